// The plug-in loaded as a host loads it; see plugin_host.h.
#include "plugin_host.h"

namespace stillreel::test {

std::wstring BuiltPlugin() {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path = self;
  return path.substr(0, path.find_last_of(L'\\') + 1) + L"Stillreel.sph";
}

PluginHost::PluginHost(const char* settings) {
  CopyFileW(BuiltPlugin().c_str(), (m_dir / L"Stillreel.sph").c_str(), FALSE);
  if (settings) WriteSettings(settings);
  Reload();
}

void PluginHost::WriteSettings(const std::string& text) {
  WriteTextFile(m_dir / L"Stillreel.ini", text);
}

void PluginHost::RemoveSettings() { DeleteFileW((m_dir / L"Stillreel.ini").c_str()); }

bool PluginHost::Reload() {
  m_plugin.Unload();
  const bool loaded = m_plugin.Load((m_dir / L"Stillreel.sph").c_str());
  static_cast<PluginExports&>(*this) = m_plugin.exports();
  return loaded;
}

std::vector<EntryRecord> PluginHost::List(const std::wstring& video, int* result) {
  HLOCAL listing = nullptr;
  const int code = GetArchiveInfoW(video.c_str(), 0, 0, &listing);
  if (result) *result = code;
  std::vector<EntryRecord> entries;
  if (code != kResultOk || listing == nullptr) return entries;
  for (auto* r = static_cast<const EntryRecord*>(listing); !IsTerminator(*r); ++r)
    entries.push_back(*r);
  LocalFree(listing);
  return entries;
}

std::string PluginHost::Fetch(const std::wstring& video, EntryWord position, int* result) {
  HLOCAL image = nullptr;
  const int code = GetFileW(video.c_str(), position, reinterpret_cast<wchar_t*>(&image),
                            kOutputToMemory, nullptr, 0);
  if (result) *result = code;
  if (code != kResultOk || image == nullptr) return {};
  std::string bytes(static_cast<const char*>(image), LocalSize(image));
  LocalFree(image);
  return bytes;
}

}  // namespace stillreel::test
