// The clock and the summary the benchmarks share: seconds from the performance counter and the
// median of repeated measurements (robust against the odd slow run on a busy machine).
#pragma once

#include <windows.h>

#include <algorithm>
#include <vector>

namespace stillreel::bench {

inline double Now() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

inline double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0.0 : values[values.size() / 2];
}

}  // namespace stillreel::bench
