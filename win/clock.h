// The performance counter as a clock for measuring and bounding work in milliseconds.
#pragma once

#include <windows.h>

#include <cstdint>

namespace stillreel {

inline int64_t CounterNow() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

inline int64_t CounterFrequency() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return frequency.QuadPart;
}

inline double CounterMsSince(int64_t start) {
  return static_cast<double>(CounterNow() - start) * 1000.0 /
         static_cast<double>(CounterFrequency());
}

// The counter value `ms` milliseconds after `start`.
inline int64_t CounterAfterMs(int64_t start, double ms) {
  return start + static_cast<int64_t>(ms * static_cast<double>(CounterFrequency()) / 1000.0);
}

}  // namespace stillreel
