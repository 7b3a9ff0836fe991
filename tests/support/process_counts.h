// What the process holds (threads, handles) and a plug-in copy loaded by hand, for the tests of
// what the plug-in's own threads leave behind.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <string>

#include "test_support.h"

namespace stillreel::test {

inline DWORD CountThreads() {
  DWORD threads = 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++threads;
  CloseHandle(snapshot);
  return threads;
}

// Open handle values: Wine's GetProcessHandleCount answers 0. Values are handed out lowest first,
// so a long run of free ones ends the table.
inline DWORD CountHandles() {
  DWORD handles = 0;
  DWORD flags = 0;
  for (ULONG_PTR value = 4, free_run = 0; free_run < 1024; value += 4) {
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
      ++handles;
      free_run = 0;
    } else {
      ++free_run;
    }
  }
  return handles;
}

// Waits until `done` holds or `ms` pass.
template <typename Done>
bool WaitFor(Done done, int ms) {
  for (int waited = 0; waited < ms; waited += 50) {
    if (done()) return true;
    Sleep(50);
  }
  return done();
}

// A copy of the built plug-in in its own folder with `settings` beside it, loaded and unloaded
// by the test itself, so that it can unload at any moment and patch the copy's imports.
class LoosePlugin {
 public:
  explicit LoosePlugin(const std::string& settings) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring built = self;
    built = built.substr(0, built.find_last_of(L'\\') + 1) + L"" STILLREEL_PLUGIN_FILE;
    CopyFileW(built.c_str(), path().c_str(), FALSE);
    WriteSettings(settings);
  }
  ~LoosePlugin() { Unload(); }

  std::wstring path() const { return m_dir / L"Stillreel.sph"; }
  void WriteSettings(const std::string& text) { WriteTextFile(m_dir / L"Stillreel.ini", text); }

  HMODULE Load() {
    m_module = LoadLibraryW(path().c_str());
    return m_module;
  }
  void Unload() {
    if (m_module) FreeLibrary(m_module);
    m_module = nullptr;
  }
  // True while any copy of this DLL is mapped, whether or not the test still holds it.
  bool Mapped() const { return GetModuleHandleW(path().c_str()) != nullptr; }
  HMODULE module() const { return m_module; }

  template <typename Fn>
  Fn Export(const char* name) const {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(m_module, name)));
  }

  int List(const std::wstring& video) {
    using Fn = int(WINAPI*)(const wchar_t*, LONG_PTR, unsigned, HLOCAL*);
    HLOCAL listing = nullptr;
    const int code = Export<Fn>("GetArchiveInfoW")(video.c_str(), 0, 0, &listing);
    if (listing) LocalFree(listing);
    return code;
  }
  int Fetch(const std::wstring& video, LONG_PTR entry, std::string* image = nullptr) {
    using Fn = int(WINAPI*)(const wchar_t*, LONG_PTR, wchar_t*, unsigned, void*, LONG_PTR);
    HLOCAL block = nullptr;
    const int code = Export<Fn>("GetFileW")(video.c_str(), entry,
                                            reinterpret_cast<wchar_t*>(&block), 0x100, nullptr, 0);
    if (block && image) image->assign(static_cast<const char*>(block), LocalSize(block));
    if (block) LocalFree(block);
    return code;
  }

 private:
  ScratchDir m_dir;
  HMODULE m_module = nullptr;
};

}  // namespace stillreel::test
