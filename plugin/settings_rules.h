// Platform-free rules for the settings file: its texts and the 32-bit build's older keys.
#pragma once

#include <cstdint>

#include "video/frame_rules.h"

namespace stillreel {

// The 32-bit build's older keys: "div" as div and "sec" as the interval; no single frame.
inline FrameSettings MapLegacySettings(int32_t div, int32_t sec) {
  return NormaliseSettings({div, sec, 0});
}

inline constexpr wchar_t kDefaultFilter[] = L"*.mp4;*.avi;*.wmv";

// Hosts separate filter patterns with ";": every "," becomes one, nothing else changes.
inline void NormaliseFilter(wchar_t* filter) {
  for (; *filter != L'\0'; ++filter)
    if (*filter == L',') *filter = L';';
}

}  // namespace stillreel
