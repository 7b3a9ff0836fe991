// What the Windows benchmarks do as a viewer does: list a video, fetch its entries to memory.
#pragma once

#include <windows.h>

#include <vector>

#include "bench/bench_timing.h"
#include "host/plugin_loader.h"
#include "plugin/host_interface.h"

namespace stillreel::bench {

// The entries' positions of a fresh listing; false when the listing fails.
inline bool ListPositions(const LoadedPlugin& plugin, const wchar_t* video,
                          std::vector<unsigned long long>& positions) {
  HLOCAL listing = nullptr;
  if (plugin->GetArchiveInfoW(video, 0, 0, &listing) != kResultOk) return false;
  positions.clear();
  for (auto* r = static_cast<const EntryRecord*>(listing); r->method[0]; ++r)
    positions.push_back(r->position);
  LocalFree(listing);
  return true;
}

// One entry's image in memory, let go at once; false on failure.
inline bool FetchToMemory(const LoadedPlugin& plugin, const wchar_t* video,
                          unsigned long long position) {
  HLOCAL image = nullptr;
  if (plugin->GetFileW(video, static_cast<LONG_PTR>(position), reinterpret_cast<wchar_t*>(&image),
                       kOutputToMemory, nullptr, 0) != kResultOk)
    return false;
  LocalFree(image);
  return true;
}

// A listing and every entry of it in order; false on any failure. `phases`, when given, receives
// the listing's time and then each entry's, in seconds.
inline bool BrowseAll(const LoadedPlugin& plugin, const wchar_t* video,
                      std::vector<double>* phases = nullptr) {
  double start = Now();
  std::vector<unsigned long long> positions;
  if (!ListPositions(plugin, video, positions)) return false;
  if (phases) phases->push_back(Now() - start);
  for (unsigned long long position : positions) {
    start = Now();
    if (!FetchToMemory(plugin, video, position)) return false;
    if (phases) phases->push_back(Now() - start);
  }
  return true;
}

}  // namespace stillreel::bench
