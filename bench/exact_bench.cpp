// Times GetFileW per entry with exact=1 and exact=0, interleaved entry by entry in one process,
// under the source reader that behaves as Windows' does (seeks landing on the key frame before
// the moment, aligned frames, 2D buffers; tests/support/windows_reader.h) and under Wine's own.
// Usage: exact_bench PLUGIN VIDEO KEY_INTERVAL_SECONDS ROUNDS  (div=12 is written beside PLUGIN)
//        exact_bench browse PLUGIN VIDEO KEY_INTERVAL_SECONDS DIV ROUNDS: a listing and every
//          entry in order with the kept reader reading on, with it seeking every time, and with
//          a fresh reader per call, under both readers
//        exact_bench keyframes PLUGIN OLD_PLUGIN VIDEO KEY_INTERVAL_SECONDS DIV ROUNDS: a listing
//          and every entry in order under the Windows-behaviour reader, this build against an
//          earlier one (its own settings file beside it), rounds interleaved: the cost per entry
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_timing.h"
#include "bench/browse.h"
#include "host/plugin_loader.h"
#include "windows_reader.h"

namespace {

using stillreel::bench::BrowseAll;
using stillreel::bench::FetchToMemory;
using stillreel::bench::ListPositions;
using stillreel::bench::Median;
using stillreel::bench::Now;

bool WriteText(const std::wstring& path, const std::string& text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == text.size();
}

bool WriteSettings(const std::wstring& path, bool exact) {
  return WriteText(
      path, std::string("[SystemSetting]\r\ndiv=12\r\nexact=") + (exact ? "1" : "0") + "\r\n");
}

// Browse all with the reader kept and reading on, kept and seeking, and fresh per call, rounds
// interleaved; the plug-in is loaded afresh for every browse so that each starts with no reader.
int Browse(const std::wstring& plugin_path, const wchar_t* video, long long key_interval, int div,
           int rounds) {
  const std::wstring settings = plugin_path.substr(0, plugin_path.rfind(L'.')) + L".ini";
  struct Way {
    const char* name;
    const char* debug;
  };
  const Way ways[] = {{"reading on", "keep=1\r\nreadon=1"},
                      {"seeking", "keep=1\r\nreadon=0"},
                      {"fresh reader", "keep=0"}};
  for (bool windows : {true, false}) {
    std::vector<double> times[3];
    for (int round = 0; round < rounds; ++round) {
      for (int way = 0; way < 3; ++way) {
        if (!WriteText(settings, "[SystemSetting]\r\ndiv=" + std::to_string(div) +
                                     "\r\n[Debug]\r\nidle=300\r\n" + ways[way].debug + "\r\n"))
          return 1;
        stillreel::LoadedPlugin plugin;
        if (!plugin.Load(plugin_path.c_str())) return 1;
        std::unique_ptr<stillreel::test::WindowsReaderHook> hook;
        if (windows) {
          hook = std::make_unique<stillreel::test::WindowsReaderHook>(
              plugin.module(), stillreel::test::AllWindowsBehaviours(key_interval));
          if (!hook->installed()) return 1;
        }
        const double start = Now();
        if (!BrowseAll(plugin, video)) return 1;
        times[way].push_back((Now() - start) * 1e3);
      }
    }
    std::printf("%-25s div=%-3d", windows ? "Windows-behaviour reader," : "Wine's reader,", div);
    for (int way = 0; way < 3; ++way)
      std::printf("  %s %.0f ms", ways[way].name, Median(times[way]));
    std::printf("  reading on/seeking %.2f  reading on/fresh %.2f\n",
                Median(times[0]) / Median(times[1]), Median(times[0]) / Median(times[2]));
  }
  return 0;
}

// Browse all with each of two builds under the Windows-behaviour reader, rounds interleaved; the
// mean of the entries' median times, side by side.
int KeyFrames(const std::wstring (&plugins)[2], const wchar_t* video, long long key_interval,
              int div, int rounds) {
  const char* names[2] = {"this build", "earlier build"};
  std::vector<std::vector<double>> entries[2];  // [build][entry][round]
  for (int round = 0; round < rounds; ++round) {
    for (int build = 0; build < 2; ++build) {
      const std::wstring& path = plugins[build];
      if (!WriteText(path.substr(0, path.rfind(L'.')) + L".ini",
                     "[SystemSetting]\r\ndiv=" + std::to_string(div) + "\r\ntimeout=60\r\n"))
        return 1;
      stillreel::LoadedPlugin plugin;
      if (!plugin.Load(path.c_str())) return 1;
      stillreel::test::WindowsReaderHook hook(plugin.module(),
                                              stillreel::test::AllWindowsBehaviours(key_interval));
      if (!hook.installed()) return 1;
      std::vector<double> phases;
      if (!BrowseAll(plugin, video, &phases)) return 1;
      entries[build].resize(phases.size() - 1);
      for (size_t i = 1; i < phases.size(); ++i) entries[build][i - 1].push_back(phases[i] * 1e3);
    }
  }
  double mean[2] = {0, 0};
  for (int build = 0; build < 2; ++build) {
    for (const auto& times : entries[build]) mean[build] += Median(times);
    if (!entries[build].empty()) mean[build] /= static_cast<double>(entries[build].size());
  }
  std::printf(
      "Windows-behaviour reader, key frames every %lld s, div=%d, median of %d rounds:"
      "  %s %.0f ms/entry  %s %.0f ms/entry  this/earlier %.2f\n",
      key_interval / 10'000'000LL, div, rounds, names[0], mean[0], names[1], mean[1],
      mean[0] / mean[1]);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 8 && wcscmp(argv[1], L"keyframes") == 0) {
    const std::wstring plugins[2] = {argv[2], argv[3]};
    return KeyFrames(plugins, argv[4], _wtoi(argv[5]) * 10'000'000LL, _wtoi(argv[6]),
                     _wtoi(argv[7]));
  }
  if (argc >= 7 && wcscmp(argv[1], L"browse") == 0)
    return Browse(argv[2], argv[3], _wtoi(argv[4]) * 10'000'000LL, _wtoi(argv[5]), _wtoi(argv[6]));
  if (argc < 5) {
    std::fprintf(stderr, "usage: exact_bench PLUGIN VIDEO KEY_INTERVAL_SECONDS ROUNDS\n");
    return 2;
  }
  const std::wstring plugin_path = argv[1];
  const wchar_t* video = argv[2];
  const long long key_interval = _wtoi(argv[3]) * 10'000'000LL;
  const int rounds = _wtoi(argv[4]);
  const std::wstring settings = plugin_path.substr(0, plugin_path.rfind(L'.')) + L".ini";

  for (bool windows : {true, false}) {
    // Loaded afresh for each reader and let go after its hook (declared after it), so that
    // nothing made under one reader serves the other.
    stillreel::LoadedPlugin plugin;
    if (!plugin.Load(plugin_path.c_str()) || !WriteSettings(settings, true)) return 1;
    std::unique_ptr<stillreel::test::WindowsReaderHook> hook;
    if (windows) {
      hook = std::make_unique<stillreel::test::WindowsReaderHook>(
          plugin.module(), stillreel::test::AllWindowsBehaviours(key_interval));
      if (!hook->installed()) return 1;
    }
    std::vector<unsigned long long> positions;
    if (!ListPositions(plugin, video, positions)) return 1;
    const size_t n = positions.size();
    std::vector<std::vector<double>> times[2];  // [exact][entry][round]
    times[0].resize(n);
    times[1].resize(n);
    for (int round = 0; round < rounds; ++round) {
      for (size_t i = 0; i < n; ++i) {
        for (int exact = 1; exact >= 0; --exact) {
          if (!WriteSettings(settings, exact != 0)) return 1;
          const double start = Now();
          if (!FetchToMemory(plugin, video, positions[i])) return 1;
          times[exact][i].push_back((Now() - start) * 1e3);
        }
      }
    }
    std::printf("%s reader, div=%zu, median of %d rounds (ms):\n",
                windows ? "Windows-behaviour" : "Wine's", n, rounds);
    std::printf("entry  exact=1  exact=0\n");
    std::vector<double> all[2];
    for (size_t i = 0; i < n; ++i) {
      std::printf("%5zu  %7.1f  %7.1f\n", i, Median(times[1][i]), Median(times[0][i]));
      all[1].push_back(Median(times[1][i]));
      all[0].push_back(Median(times[0][i]));
    }
    double sum[2] = {0, 0};
    for (int exact = 0; exact < 2; ++exact)
      for (double t : all[exact]) sum[exact] += t;
    std::printf("mean   %7.1f  %7.1f\n", sum[1] / n, sum[0] / n);
  }
  return 0;
}
