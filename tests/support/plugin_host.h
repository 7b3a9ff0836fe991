// The plug-in loaded as a host loads it: a copy of the built DLL in a scratch folder beside its
// settings file, loaded by host/plugin_loader.h. Shared by the GoogleTest programs and torture.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "host/plugin_loader.h"
#include "plugin/host_interface.h"
#include "test_support.h"

namespace stillreel::test {

// A value no export may leave in a handle it did not fill.
inline const HLOCAL kUntouched = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0x5A5A5A5A));

// The codes an export may return at all.
inline bool IsDocumentedCode(int code) {
  return code == kResultOk || code == kResultRefused || code == kResultUnsupported ||
         code == kResultNoMemory || code == kResultReadError || code == kResultWriteError;
}

// The 64-bit plug-in built beside the running program.
std::wstring BuiltPlugin();

// The exports are members, as host code calls them: host.GetFileW(...).
class PluginHost : public PluginExports {
 public:
  // `settings` is written as Stillreel.ini beside the copy unless it is nullptr.
  explicit PluginHost(const char* settings);
  PluginHost(const PluginHost&) = delete;
  PluginHost& operator=(const PluginHost&) = delete;

  bool loaded() const { return m_plugin.module() != nullptr; }
  HMODULE module() const { return m_plugin.module(); }
  void WriteSettings(const std::string& text);
  void RemoveSettings();
  // Unloads with FreeLibrary and loads again; false when the load fails.
  bool Reload();
  const ScratchDir& dir() const { return m_dir; }

  // Conveniences that free every block as a host does.
  // The listing's records (empty on failure); `result` receives the code.
  std::vector<EntryRecord> List(const std::wstring& video, int* result = nullptr);
  // The image of an entry in memory; empty on failure.
  std::string Fetch(const std::wstring& video, EntryWord position, int* result = nullptr);

 private:
  ScratchDir m_dir;
  LoadedPlugin m_plugin;
};

}  // namespace stillreel::test
