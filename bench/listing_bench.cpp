// Times GetArchiveInfoW of two builds of the plug-in side by side in one process, interleaved
// listing by listing, so drift hits both alike. Each listing starts from an empty cache (the
// listing export always rebuilds).
// Usage: listing_bench NEW_PLUGIN OLD_PLUGIN ROUNDS VIDEO...
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <vector>

#include "bench/bench_timing.h"
#include "host/plugin_loader.h"

using namespace stillreel;

namespace {

using stillreel::bench::Median;
using stillreel::bench::Now;

// Milliseconds of one listing, or a negative value when it fails.
double TimeListing(const LoadedPlugin& plugin, const wchar_t* video) {
  HLOCAL listing = nullptr;
  const double start = Now();
  const int result = plugin->GetArchiveInfoW(video, 0, 0, &listing);
  const double elapsed = (Now() - start) * 1000.0;
  if (listing != nullptr) LocalFree(listing);
  return result == kResultOk ? elapsed : -1.0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: listing_bench NEW_PLUGIN OLD_PLUGIN ROUNDS VIDEO...\n");
    return 2;
  }
  LoadedPlugin plugins[2];
  for (int i = 0; i < 2; ++i) {
    if (!plugins[i].Load(argv[1 + i])) {
      std::fprintf(stderr, "cannot load %ls\n", argv[1 + i]);
      return 2;
    }
  }
  const int rounds = std::max(1, _wtoi(argv[3]));
  // The first listing in a process starts Media Foundation's own machinery: not counted.
  for (const LoadedPlugin& plugin : plugins) TimeListing(plugin, argv[4]);

  std::vector<double> times[2];
  for (int round = 0; round < rounds; ++round) {
    for (int v = 4; v < argc; ++v) {
      // Alternate which build goes first, so neither always finds warm caches.
      for (int k = 0; k < 2; ++k) {
        const int i = (round + k) % 2;
        const double ms = TimeListing(plugins[i], argv[v]);
        if (ms < 0) {
          std::fprintf(stderr, "listing failed: %ls\n", argv[v]);
          return 1;
        }
        times[i].push_back(ms);
      }
    }
  }
  const double fresh = Median(times[0]);
  const double old = Median(times[1]);
  std::printf("listings %zu per build\nnew_ms %.1f\nold_ms %.1f\nnew/old %.3f\n", times[0].size(),
              fresh, old, fresh / old);
  return 0;
}
