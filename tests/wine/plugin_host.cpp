// The plug-in loaded as a host loads it: a copy in a scratch folder beside its settings file,
// LoadLibraryW, exports resolved by name.
#include "plugin_host.h"

#include <gtest/gtest.h>

namespace stillreel::test {

namespace {

// The plug-in built beside this test program.
std::wstring BuiltPlugin() {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path = self;
  return path.substr(0, path.find_last_of(L'\\') + 1) + L"" STILLREEL_PLUGIN_FILE;
}

template <typename Fn>
void Resolve(HMODULE module, Fn& fn, const char* name) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  EXPECT_NE(fn, nullptr) << "no export " << name;
}

}  // namespace

PluginHost::PluginHost(const char* settings) {
  CopyFileW(BuiltPlugin().c_str(), (m_dir / L"Stillreel.sph").c_str(), FALSE);
  if (settings) WriteSettings(settings);
  Load();
}

PluginHost::~PluginHost() {
  if (m_module) FreeLibrary(m_module);
}

void PluginHost::WriteSettings(const std::string& text) {
  WriteTextFile(m_dir / L"Stillreel.ini", text);
}

void PluginHost::RemoveSettings() { DeleteFileW((m_dir / L"Stillreel.ini").c_str()); }

void PluginHost::Reload() {
  if (m_module) FreeLibrary(m_module);
  m_module = nullptr;
  // The plug-in's kept readers hold the DLL for a few seconds: reloaded before they let it go,
  // the same module, listing cache and all, would come back.
  const std::wstring dll = m_dir / L"Stillreel.sph";
  for (int waited = 0; waited < 200 && GetModuleHandleW(dll.c_str()) != nullptr; ++waited)
    Sleep(50);
  Load();
}

void PluginHost::Load() {
  m_module = LoadLibraryW((m_dir / L"Stillreel.sph").c_str());
  ASSERT_NE(m_module, nullptr) << "LoadLibraryW failed: " << GetLastError();
  Resolve(m_module, GetPluginInfo, "GetPluginInfo");
  Resolve(m_module, GetPluginInfoW, "GetPluginInfoW");
  Resolve(m_module, IsSupported, "IsSupported");
  Resolve(m_module, IsSupportedW, "IsSupportedW");
  Resolve(m_module, GetArchiveInfo, "GetArchiveInfo");
  Resolve(m_module, GetArchiveInfoW, "GetArchiveInfoW");
  Resolve(m_module, GetFileInfo, "GetFileInfo");
  Resolve(m_module, GetFileInfoW, "GetFileInfoW");
  Resolve(m_module, GetFile, "GetFile");
  Resolve(m_module, GetFileW, "GetFileW");
}

std::vector<EntryRecord> PluginHost::List(const std::wstring& video, int* result) {
  HLOCAL listing = nullptr;
  const int code = GetArchiveInfoW(video.c_str(), 0, 0, &listing);
  if (result) *result = code;
  std::vector<EntryRecord> entries;
  if (code != 0) {
    EXPECT_EQ(listing, nullptr) << "a failed listing must leave the handle NULL";
    return entries;
  }
  for (auto* r = static_cast<const EntryRecord*>(listing); !IsTerminator(*r); ++r)
    entries.push_back(*r);
  LocalFree(listing);
  return entries;
}

std::string PluginHost::Fetch(const std::wstring& video, EntryWord position, int* result) {
  HLOCAL image = nullptr;
  const int code =
      GetFileW(video.c_str(), position, reinterpret_cast<wchar_t*>(&image), 0x100, nullptr, 0);
  if (result) *result = code;
  if (code != 0 || image == nullptr) return {};
  std::string bytes(static_cast<const char*>(image), LocalSize(image));
  LocalFree(image);
  return bytes;
}

}  // namespace stillreel::test
