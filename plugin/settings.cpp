// The settings file beside the DLL: frame settings and the file filter, read on every use.
#include "plugin/settings.h"

#include <windows.h>
#include <shlwapi.h>

#include "listing/entry_record.h"
#include "plugin/module.h"
#include "plugin/settings_rules.h"

namespace stillreel {

namespace {

constexpr wchar_t kSection[] = L"SystemSetting";

// The module path with ".ini" for its extension; empty when the module path does not fit.
std::wstring SettingsPath() {
  wchar_t path[kPathChars];
  const DWORD length = GetModuleFileNameW(PluginModule(), path, kPathChars);
  if (length == 0 || length >= kPathChars) return {};
  if (!PathRenameExtensionW(path, L".ini")) return {};
  return path;
}

int32_t ReadInt(const std::wstring& file, const wchar_t* key) {
  return static_cast<int32_t>(GetPrivateProfileIntW(kSection, key, 0, file.c_str()));
}

}  // namespace

FrameSettings ReadFrameSettingsFrom(const std::wstring& file, SettingsKeys keys) {
  if (file.empty()) return {};
  if (keys == SettingsKeys::kLegacy)
    return MapLegacySettings(ReadInt(file, L"div"), ReadInt(file, L"sec"));
  return NormaliseSettings(
      {ReadInt(file, L"div"), ReadInt(file, L"divsec"), ReadInt(file, L"sec")});
}

FrameSettings ReadFrameSettings() { return ReadFrameSettingsFrom(SettingsPath(), kBuildKeys); }

std::wstring ReadFilter() {
  const std::wstring file = SettingsPath();
  if (file.empty()) return kDefaultFilter;
  wchar_t value[kPathChars];
  GetPrivateProfileStringW(kSection, L"ext", kDefaultFilter, value, kPathChars, file.c_str());
  return NormaliseFilter(value);
}

}  // namespace stillreel
