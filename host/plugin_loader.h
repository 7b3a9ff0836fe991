// Loads a plug-in as a viewer does: LoadLibraryW, then every export resolved by its plain name.
// Shared by the console host, the test programs and the benchmarks.
#pragma once

#include <windows.h>

#include <utility>

#include "plugin/host_interface.h"

namespace stillreel {

struct PluginExports {
  GetPluginInfoFn GetPluginInfo = nullptr;
  GetPluginInfoWFn GetPluginInfoW = nullptr;
  IsSupportedFn IsSupported = nullptr;
  IsSupportedWFn IsSupportedW = nullptr;
  GetArchiveInfoFn GetArchiveInfo = nullptr;
  GetArchiveInfoWFn GetArchiveInfoW = nullptr;
  GetFileInfoFn GetFileInfo = nullptr;
  GetFileInfoWFn GetFileInfoW = nullptr;
  GetFileFn GetFile = nullptr;
  GetFileWFn GetFileW = nullptr;
};

// Owns one loaded plug-in; FreeLibrary when it goes.
class LoadedPlugin {
 public:
  LoadedPlugin() = default;
  LoadedPlugin(const LoadedPlugin&) = delete;
  LoadedPlugin& operator=(const LoadedPlugin&) = delete;
  LoadedPlugin(LoadedPlugin&& other) noexcept
      : m_module(std::exchange(other.m_module, nullptr)), m_exports(other.m_exports) {}
  ~LoadedPlugin() { Unload(); }

  // False (and nothing loaded) when the file does not load or lacks any of the ten exports.
  bool Load(const wchar_t* path) {
    Unload();
    m_module = LoadLibraryW(path);
    if (m_module == nullptr) return false;
    const bool all = Resolve(m_exports.GetPluginInfo, "GetPluginInfo") &
                     Resolve(m_exports.GetPluginInfoW, "GetPluginInfoW") &
                     Resolve(m_exports.IsSupported, "IsSupported") &
                     Resolve(m_exports.IsSupportedW, "IsSupportedW") &
                     Resolve(m_exports.GetArchiveInfo, "GetArchiveInfo") &
                     Resolve(m_exports.GetArchiveInfoW, "GetArchiveInfoW") &
                     Resolve(m_exports.GetFileInfo, "GetFileInfo") &
                     Resolve(m_exports.GetFileInfoW, "GetFileInfoW") &
                     Resolve(m_exports.GetFile, "GetFile") &
                     Resolve(m_exports.GetFileW, "GetFileW");
    if (!all) Unload();
    return all;
  }

  // Waits (at most 10 s) until the plug-in is really gone: Stillreel keeps a video's reader for
  // a few seconds on a thread that holds the DLL, and Wine can crash on its way out of a process
  // whose Media Foundation pipelines are still alive.
  void Unload() {
    if (m_module != nullptr) {
      wchar_t path[MAX_PATH] = {};
      const DWORD length = GetModuleFileNameW(m_module, path, MAX_PATH);
      FreeLibrary(m_module);
      for (int waited = 0;
           length != 0 && length < MAX_PATH && waited < 200 && GetModuleHandleW(path) != nullptr;
           ++waited) {
        Sleep(50);
      }
    }
    m_module = nullptr;
    m_exports = {};
  }

  HMODULE module() const { return m_module; }
  const PluginExports& exports() const { return m_exports; }
  const PluginExports* operator->() const { return &m_exports; }

 private:
  template <typename Fn>
  bool Resolve(Fn& fn, const char* name) {
    fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(m_module, name)));
    return fn != nullptr;
  }

  HMODULE m_module = nullptr;
  PluginExports m_exports;
};

}  // namespace stillreel
