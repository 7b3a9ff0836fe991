// The plug-in loaded as a host loads it: a copy in a scratch folder beside its settings file,
// LoadLibraryW, exports resolved by name.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "listing/entry_record.h"
#include "plugin/host_interface.h"
#include "test_support.h"

namespace stillreel::test {

using Progress = int(WINAPI*)(int, int, LONG_PTR);

class PluginHost {
 public:
  // `settings` is written as Stillreel.ini beside the copy unless it is nullptr.
  explicit PluginHost(const char* settings);
  ~PluginHost();
  PluginHost(const PluginHost&) = delete;
  PluginHost& operator=(const PluginHost&) = delete;

  bool loaded() const { return m_module != nullptr; }
  void WriteSettings(const std::string& text);
  void RemoveSettings();
  // Unloads with FreeLibrary and loads again.
  void Reload();
  const ScratchDir& dir() const { return m_dir; }

  int(WINAPI* GetPluginInfo)(int, char*, int) = nullptr;
  int(WINAPI* GetPluginInfoW)(int, wchar_t*, int) = nullptr;
  int(WINAPI* IsSupported)(const char*, LONG_PTR) = nullptr;
  int(WINAPI* IsSupportedW)(const wchar_t*, LONG_PTR) = nullptr;
  int(WINAPI* GetArchiveInfo)(const char*, LONG_PTR, unsigned, HLOCAL*) = nullptr;
  int(WINAPI* GetArchiveInfoW)(const wchar_t*, LONG_PTR, unsigned, HLOCAL*) = nullptr;
  int(WINAPI* GetFileInfo)(const char*, LONG_PTR, const char*, unsigned, EntryRecordA*) = nullptr;
  int(WINAPI* GetFileInfoW)(const wchar_t*, LONG_PTR, const wchar_t*, unsigned,
                            EntryRecord*) = nullptr;
  int(WINAPI* GetFile)(const char*, LONG_PTR, char*, unsigned, Progress, LONG_PTR) = nullptr;
  int(WINAPI* GetFileW)(const wchar_t*, LONG_PTR, wchar_t*, unsigned, Progress, LONG_PTR) = nullptr;

  // Conveniences that free every block as a host does.
  // The listing's records (empty on failure); `result` receives the code.
  std::vector<EntryRecord> List(const std::wstring& video, int* result = nullptr);
  // The image of an entry in memory; empty on failure.
  std::string Fetch(const std::wstring& video, EntryWord position, int* result = nullptr);

 private:
  void Load();

  ScratchDir m_dir;
  HMODULE m_module = nullptr;
};

}  // namespace stillreel::test
