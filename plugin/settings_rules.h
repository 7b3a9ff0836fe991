// Platform-free rules for the settings file's texts.
#pragma once

#include <algorithm>
#include <string>

namespace stillreel {

inline constexpr wchar_t kDefaultFilter[] = L"*.mp4;*.avi;*.wmv";

// Hosts separate filter patterns with ";": every "," becomes one, nothing else changes.
inline std::wstring NormaliseFilter(std::wstring filter) {
  std::replace(filter.begin(), filter.end(), L',', L';');
  return filter;
}

}  // namespace stillreel
