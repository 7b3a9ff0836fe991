// Platform-free rules for the settings file's texts.
#pragma once

namespace stillreel {

inline constexpr wchar_t kDefaultFilter[] = L"*.mp4;*.avi;*.wmv";

// Hosts separate filter patterns with ";": every "," becomes one, nothing else changes.
inline void NormaliseFilter(wchar_t* filter) {
  for (; *filter != L'\0'; ++filter)
    if (*filter == L',') *filter = L';';
}

}  // namespace stillreel
