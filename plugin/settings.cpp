// The settings file beside the DLL, read once at the start of every host call.
#include "plugin/settings.h"

#include <windows.h>
#include <shlwapi.h>

#include "listing/entry_record.h"
#include "plugin/module.h"
#include "plugin/settings_rules.h"
#include "win/platform.h"
#include "win/trace.h"

namespace stillreel {

namespace {

constexpr wchar_t kSection[] = L"SystemSetting";

// The module path with ".ini" for its extension; false when the module path does not fit.
bool SettingsPath(wchar_t (&path)[kPathChars]) {
  const DWORD length = GetModuleFileNameW(PluginModule(), path, kPathChars);
  if (length == 0 || length >= kPathChars) return false;
  return PathRenameExtensionW(path, L".ini") != FALSE;
}

int32_t ReadInt(const wchar_t* file, const wchar_t* key) {
  return static_cast<int32_t>(GetPrivateProfileIntW(kSection, key, 0, file));
}

}  // namespace

FrameSettings ReadFrameSettingsFrom(const wchar_t* file, SettingsKeys keys) {
  if (file == nullptr || file[0] == L'\0') return {};
  FrameSettings settings = keys == SettingsKeys::kLegacy
                               ? MapLegacySettings(ReadInt(file, L"div"), ReadInt(file, L"sec"))
                               : NormaliseSettings({ReadInt(file, L"div"), ReadInt(file, L"divsec"),
                                                    ReadInt(file, L"sec")});
  // Both builds: anything but an explicit 0 keeps the exact moment, the pixel aspect ratio and
  // the tone mapping of HDR.
  settings.exact = GetPrivateProfileIntW(kSection, L"exact", 1, file) != 0;
  settings.aspect = GetPrivateProfileIntW(kSection, L"aspect", 1, file) != 0;
  settings.hdr = GetPrivateProfileIntW(kSection, L"hdr", 1, file) != 0;
  return settings;
}

namespace {

MediaLimits ReadMediaLimitsFrom(const wchar_t* file) {
  int timeout =
      static_cast<int>(GetPrivateProfileIntW(kSection, L"timeout", kDefaultTimeoutSeconds, file));
  // A week at most: past that the milliseconds would not fit a DWORD, and no one waits so long.
  constexpr int kMaxTimeoutSeconds = 7 * 24 * 3600;
  if (timeout < 0) timeout = kDefaultTimeoutSeconds;
  if (timeout > kMaxTimeoutSeconds) timeout = kMaxTimeoutSeconds;
  MediaLimits limits = MediaLimits::Starting(static_cast<DWORD>(timeout) * 1000);
  limits.keep_reader = GetPrivateProfileIntW(L"Debug", L"keep", 0, file) != 0;
  limits.serialise_creation = GetPrivateProfileIntW(L"Debug", L"serialise", 1, file) != 0;
  // 0: never read on, 2: wherever it gives the seek's frame, whatever it costs.
  const UINT read_on = GetPrivateProfileIntW(L"Debug", L"readon", 1, file);
  limits.read_on = read_on == 0   ? ReadOnMode::kNever
                   : read_on == 2 ? ReadOnMode::kAlways
                                  : ReadOnMode::kWhenFaster;
  const int idle = static_cast<int>(GetPrivateProfileIntW(L"Debug", L"idle", kDefaultIdleMs, file));
  if (idle >= 0) limits.idle_ms = static_cast<DWORD>(idle);
  return limits;
}

}  // namespace

CallSettings ReadCallSettings() {
  CallSettings settings;
  wchar_t file[kPathChars];
  // Not by default under Wine: its process exit faults while a media pipeline is alive, and a
  // host may end its process while an entry is being read ahead. Windows ends every thread of the
  // process before anything else runs at exit ("ExitProcess"): there a pipeline alive is no fault.
  settings.read_ahead = !RunsUnderWine();
  if (!SettingsPath(file)) {
    settings.limits = MediaLimits::Starting(kDefaultTimeoutSeconds * 1000);
    SetTraceEnabled(false);
    return settings;
  }
  settings.frame = ReadFrameSettingsFrom(file, kBuildKeys);
  settings.limits = ReadMediaLimitsFrom(file);
  settings.read_ahead =
      GetPrivateProfileIntW(kSection, L"readahead", settings.read_ahead ? 1 : 0, file) != 0;
  SetTraceEnabled(GetPrivateProfileIntW(L"Debug", L"trace", 0, file) != 0);
  return settings;
}

void ReadFilter(wchar_t (&filter)[kPathChars]) {
  wchar_t file[kPathChars];
  if (!SettingsPath(file)) {
    lstrcpynW(filter, kDefaultFilter, kPathChars);
    return;
  }
  GetPrivateProfileStringW(kSection, L"ext", kDefaultFilter, filter, kPathChars, file);
  NormaliseFilter(filter);
}

}  // namespace stillreel
