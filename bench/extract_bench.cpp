// Times GetFileW to memory per entry against the bare platform work inside it: a source reader
// opened, configured for NV12, sought and read once, with nothing of ours. Both run in one
// process, interleaved entry by entry, so drift hits them alike.
// Usage: extract_bench PLUGIN VIDEO ROUNDS  (the plug-in's settings file chooses the entries)
//        extract_bench browse PLUGIN VIDEO ROUNDS: a listing and every entry in order, as a
//          viewer stepping through a video; the plug-in is loaded afresh for each round
//          (BENCH_PHASES set: each round's listing and entries in ms, a line each)
//        extract_bench parallel PLUGIN ROUNDS VIDEO...: one host thread per video, each a listing
//          and every entry, all at once
//        extract_bench linger PLUGIN VIDEO ROUNDS MS: every entry in order, the host lingering MS
//          milliseconds on each; the median fetch from the third entry on (those a read-ahead can
//          have ready)
//        extract_bench random PLUGIN VIDEO ROUNDS: every entry in an order that jumps around; the
//          time and the process's CPU time, the latter once the plug-in has let go of everything
#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_timing.h"
#include "bench/browse.h"
#include "host/plugin_loader.h"
#include "plugin/host_interface.h"

using Microsoft::WRL::ComPtr;

namespace {

using stillreel::bench::BrowseAll;
using stillreel::bench::FetchToMemory;
using stillreel::bench::ListPositions;
using stillreel::bench::Median;
using stillreel::bench::Now;

// What any program must do to get one NV12 frame at `ticks`: nothing converted, nothing kept.
bool BareFrame(const wchar_t* video, LONGLONG ticks) {
  if (FAILED(CoInitialize(nullptr))) return false;
  bool ok = false;
  if (SUCCEEDED(MFStartup(MF_VERSION, 0))) {
    {
      ComPtr<IMFSourceReader> reader;
      ComPtr<IMFMediaType> type;
      ComPtr<IMFSample> sample;
      DWORD flags = 0;
      LONGLONG stamp = 0;
      PROPVARIANT position;
      PropVariantInit(&position);
      position.vt = VT_I8;
      position.hVal.QuadPart = ticks;
      ok = SUCCEEDED(MFCreateSourceReaderFromURL(video, nullptr, &reader)) &&
           SUCCEEDED(reader->SetStreamSelection(MF_SOURCE_READER_ALL_STREAMS, FALSE)) &&
           SUCCEEDED(reader->SetStreamSelection(MF_SOURCE_READER_FIRST_VIDEO_STREAM, TRUE)) &&
           SUCCEEDED(MFCreateMediaType(&type)) &&
           SUCCEEDED(type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video)) &&
           SUCCEEDED(type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12)) &&
           SUCCEEDED(reader->SetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, nullptr,
                                                 type.Get())) &&
           SUCCEEDED(reader->SetCurrentPosition(GUID_NULL, position)) &&
           SUCCEEDED(reader->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, nullptr, &flags,
                                        &stamp, &sample)) &&
           sample != nullptr;
    }
    MFShutdown();
  }
  CoUninitialize();
  return ok;
}

int Browse(const wchar_t* path, const wchar_t* video, int rounds) {
  std::vector<double> times;
  std::vector<std::vector<double>> phases;  // per round: the listing, then each entry
  for (int round = 0; round < rounds; ++round) {
    // A fresh load each round: its unload waits until the kept readers have let the DLL go.
    stillreel::LoadedPlugin plugin;
    if (!plugin.Load(path)) return 1;
    phases.emplace_back();
    const double start = Now();
    if (!BrowseAll(plugin, video, &phases.back())) return 1;
    times.push_back(Now() - start);
  }
  std::printf("browse_ms %.1f\n", Median(times) * 1e3);
  if (GetEnvironmentVariableW(L"BENCH_PHASES", nullptr, 0) != 0) {
    for (const std::vector<double>& round : phases) {
      for (double t : round) std::printf(" %.0f", t * 1e3);
      std::printf("\n");
    }
  }
  // Where the time goes: the listing, and the entries' median and total (medians over rounds).
  std::vector<double> listing, entry, entries;
  for (const std::vector<double>& round : phases) {
    listing.push_back(round[0]);
    std::vector<double> each(round.begin() + 1, round.end());
    double total = 0;
    for (double t : each) total += t;
    entries.push_back(total);
    entry.push_back(Median(each));
  }
  std::printf("listing_ms %.1f entry_median_ms %.1f entries_ms %.1f\n", Median(listing) * 1e3,
              Median(entry) * 1e3, Median(entries) * 1e3);
  return 0;
}

int Linger(const wchar_t* path, const wchar_t* video, int rounds, int linger_ms) {
  std::vector<double> next;
  for (int round = 0; round < rounds; ++round) {
    stillreel::LoadedPlugin plugin;
    if (!plugin.Load(path)) return 1;
    std::vector<unsigned long long> positions;
    if (!ListPositions(plugin, video, positions)) return 1;
    for (size_t i = 0; i < positions.size(); ++i) {
      const double start = Now();
      if (!FetchToMemory(plugin, video, positions[i])) return 1;
      if (i >= 2) next.push_back(Now() - start);
      Sleep(linger_ms);
    }
  }
  std::printf("next_ms %.2f\n", Median(next) * 1e3);
  return 0;
}

// The whole process's CPU time, every thread of it (the platform's own included), in seconds:
// under Wine from the kernel's account of the Unix process, else from Windows.
double ProcessCpuSeconds() {
  HANDLE stat = CreateFileW(L"Z:\\proc\\self\\stat", GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (stat != INVALID_HANDLE_VALUE) {
    char text[1024] = {};
    DWORD read = 0;
    const BOOL ok = ReadFile(stat, text, sizeof(text) - 1, &read, nullptr);
    CloseHandle(stat);
    // Fields 14 and 15, user and system clock ticks (100 a second), after the ") " that ends
    // the command name.
    const char* after = ok ? std::strrchr(text, ')') : nullptr;
    unsigned long long user = 0, system = 0;
    if (after != nullptr &&
        std::sscanf(after + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user,
                    &system) == 2)
      return static_cast<double>(user + system) / 100.0;
  }
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto seconds = [](FILETIME t) {
    return static_cast<double>(static_cast<unsigned long long>(t.dwHighDateTime) << 32 |
                               t.dwLowDateTime) /
           1e7;
  };
  return seconds(kernel) + seconds(user);
}

int Random(const wchar_t* path, const wchar_t* video, int rounds) {
  std::vector<double> times, cpu;
  for (int round = 0; round < rounds; ++round) {
    const double cpu_start = ProcessCpuSeconds();
    const double start = Now();
    {
      stillreel::LoadedPlugin plugin;
      if (!plugin.Load(path)) return 1;
      std::vector<unsigned long long> positions;
      if (!ListPositions(plugin, video, positions)) return 1;
      std::shuffle(positions.begin(), positions.end(), std::mt19937(round + 1));
      for (unsigned long long position : positions) {
        if (!FetchToMemory(plugin, video, position)) return 1;
      }
      times.push_back(Now() - start);
    }
    // Work cancelled but still under way ends before the DLL goes: its CPU time counts.
    for (int waited = 0; waited < 200 && GetModuleHandleW(path) != nullptr; ++waited) Sleep(50);
    cpu.push_back(ProcessCpuSeconds() - cpu_start);
  }
  std::printf("random_ms %.1f cpu_ms %.1f\n", Median(times) * 1e3, Median(cpu) * 1e3);
  return 0;
}

struct BrowseJob {
  const stillreel::LoadedPlugin* plugin;
  const wchar_t* video;
  bool ok = false;
};

DWORD WINAPI BrowseThread(void* parameter) {
  auto& job = *static_cast<BrowseJob*>(parameter);
  job.ok = BrowseAll(*job.plugin, job.video);
  return 0;
}

int Parallel(const wchar_t* path, int rounds, std::vector<const wchar_t*> videos) {
  std::vector<double> times;
  for (int round = 0; round < rounds; ++round) {
    stillreel::LoadedPlugin plugin;
    if (!plugin.Load(path)) return 1;
    std::vector<BrowseJob> jobs;
    for (const wchar_t* video : videos) jobs.push_back({&plugin, video});
    std::vector<HANDLE> threads;
    const double start = Now();
    for (BrowseJob& job : jobs)
      threads.push_back(CreateThread(nullptr, 0, BrowseThread, &job, 0, nullptr));
    WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
    times.push_back(Now() - start);
    for (HANDLE thread : threads) CloseHandle(thread);
    for (const BrowseJob& job : jobs)
      if (!job.ok) return 1;
  }
  std::printf("parallel_ms %.1f\n", Median(times) * 1e3);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 5 && wcscmp(argv[1], L"browse") == 0) return Browse(argv[2], argv[3], _wtoi(argv[4]));
  if (argc >= 6 && wcscmp(argv[1], L"linger") == 0)
    return Linger(argv[2], argv[3], _wtoi(argv[4]), _wtoi(argv[5]));
  if (argc >= 5 && wcscmp(argv[1], L"random") == 0) return Random(argv[2], argv[3], _wtoi(argv[4]));
  if (argc >= 5 && wcscmp(argv[1], L"parallel") == 0)
    return Parallel(argv[2], _wtoi(argv[3]), std::vector<const wchar_t*>(argv + 4, argv + argc));
  if (argc < 4) {
    std::fprintf(stderr, "usage: extract_bench PLUGIN VIDEO ROUNDS\n");
    return 2;
  }
  const wchar_t* video = argv[2];
  const int rounds = _wtoi(argv[3]);
  stillreel::LoadedPlugin plugin;
  if (!plugin.Load(argv[1])) return 1;

  std::vector<unsigned long long> positions;
  if (!ListPositions(plugin, video, positions)) return 1;

  // The seek times the plug-in uses for "div" entries over the video's duration; the bench's
  // settings file spreads the entries with div.
  const double duration = [&] {
    double seconds = 0;
    CoInitialize(nullptr);
    MFStartup(MF_VERSION, 0);
    {
      ComPtr<IMFSourceReader> reader;
      PROPVARIANT value;
      PropVariantInit(&value);
      if (SUCCEEDED(MFCreateSourceReaderFromURL(video, nullptr, &reader)) &&
          SUCCEEDED(reader->GetPresentationAttribute(MF_SOURCE_READER_MEDIASOURCE, MF_PD_DURATION,
                                                     &value)))
        seconds = static_cast<double>(value.uhVal.QuadPart) / 1e7;
      PropVariantClear(&value);
    }
    MFShutdown();
    CoUninitialize();
    return seconds;
  }();
  const size_t n = positions.size();
  const long long step =
      n > 1 ? static_cast<long long>(duration * 1e7) / static_cast<long long>(n - 1) : 0;

  std::vector<double> ours, bare;
  for (int round = 0; round < rounds; ++round) {
    for (size_t i = 0; i < n; ++i) {
      double start = Now();
      if (!FetchToMemory(plugin, video, positions[i])) return 1;
      ours.push_back(Now() - start);
      start = Now();
      // The last entry lies at the very end, where the platform alone delivers nothing; time
      // the bare read one frame earlier there, as the plug-in itself must.
      const long long ticks = std::min<long long>(step * static_cast<long long>(i),
                                                  static_cast<long long>(duration * 1e7) - 400000);
      BareFrame(video, ticks);
      bare.push_back(Now() - start);
    }
  }
  for (size_t i = 0; i < n; ++i) {
    std::vector<double> ours_i, bare_i;
    for (int round = 0; round < rounds; ++round) {
      ours_i.push_back(ours[round * n + i]);
      bare_i.push_back(bare[round * n + i]);
    }
    std::printf("entry %zu at %.3f s: ours %.1f ms, bare %.1f ms\n", i,
                static_cast<double>(step * static_cast<long long>(i)) / 1e7, Median(ours_i) * 1e3,
                Median(bare_i) * 1e3);
  }
  for (size_t i = 0; i < n; ++i)
    std::printf("seek %.3f\n", static_cast<double>(step * static_cast<long long>(i)) / 1e7);
  std::printf("entries %zu rounds %d\n", n, rounds);
  std::printf("ours_ms %.2f\n", Median(ours) * 1e3);
  std::printf("bare_ms %.2f\n", Median(bare) * 1e3);
  std::printf("ours/bare %.3f\n", Median(ours) / Median(bare));
  return 0;
}
