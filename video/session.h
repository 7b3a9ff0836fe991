// Media Foundation work done on threads of our own, one per open video, so that a host's call
// returns within its time limit even when the platform never does, and so that a video's source
// reader stays open between fetches.
#pragma once

#include <windows.h>

#include <cstdint>

#include "video/byte_stream.h"
#include "video/extract.h"
#include "video/probe.h"

namespace stillreel {

// How long an unused reader stays open: long enough for a viewer stepping through entries, short
// enough that the file is soon let go (Windows may refuse to replace or delete it while open).
inline constexpr DWORD kDefaultIdleMs = 3000;
// At most this many readers kept open while unused; the least recently used goes first.
inline constexpr int kMaxIdleReaders = 4;
// At most this many threads left behind in a platform call that did not return; beyond that new
// work is refused at once instead of piling up threads. A file whose worker is stuck is refused at
// once too, so one broken file costs one thread. Under Wine 8, once two or three calls are stuck
// every later reader creation in the process hangs as well (measured with the quick corpus), so
// waiting out more than a few limits gains nothing.
inline constexpr int kMaxStuckWorkers = 4;
// Threads of ours at most: busy, idle and stuck together.
inline constexpr int kMaxWorkers = 16;

// What limits one host call's Media Foundation work, fixed when the call starts.
struct MediaLimits {
  ULONGLONG deadline = 0;  // GetTickCount64 milliseconds at which the call gives up; 0: never
  bool keep_reader = true;
  ReadOnMode read_on = ReadOnMode::kWhenFaster;  // for a kept reader (OpenVideo::Extract)
  bool serialise_creation = true;
  DWORD idle_ms = kDefaultIdleMs;

  // Limits for a call starting now and lasting at most `timeout_ms` (0: no limit).
  static MediaLimits Starting(DWORD timeout_ms);
};

// ProbeVideo on a worker. False also when the limit passed or too many workers are stuck.
// With `memory` the video is read from that lent memory (`path` only names it): on a worker of
// its own, whose reader is never kept.
bool ProbeVideoWithin(const wchar_t* path, const MediaLimits& limits, VideoFacts& facts,
                      LentMemory* memory = nullptr);

// ExtractFrame on a worker, on the video's kept reader when it has one. kNoFrame also
// when the limit passed or too many workers are stuck; then nothing is left behind for the caller.
// `expected_bytes` (the listed size; 0 when not known) lets the calling thread make the image
// block ready while the worker decodes.
// `memory` as for ProbeVideoWithin.
ExtractStatus ExtractFrameWithin(const wchar_t* path, int32_t index, const FrameSettings& settings,
                                 const MediaLimits& limits, uint32_t expected_bytes,
                                 UniqueHlocal& image, uint32_t& image_bytes,
                                 LentMemory* memory = nullptr);

// Workers alive and those of them stuck past their caller's limit, for tests and benchmarks.
struct WorkerCounts {
  int alive = 0;
  int stuck = 0;
};
WorkerCounts CountWorkers();

}  // namespace stillreel
