// Reading the frame due at a moment from a source reader that has been sought (or not).
#pragma once

#include <windows.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <cstdint>

#include "video/frame_rules.h"

namespace stillreel {

// Outcome of ReadFrameAt.
struct FrameRead {
  Microsoft::WRL::ComPtr<IMFSample> sample;   // the frame delivered; null when none came
  Microsoft::WRL::ComPtr<IMFMediaType> type;  // the current type in force for `sample`
  bool end_of_stream = false;                 // the stream ended during this read
  bool reader_failed = false;                 // ReadSample failed or raised MF_SOURCE_READERF_ERROR
  int64_t first_stamp = -1;  // stamp of the first sample this read got; -1 when none came
  // Where `sample`'s span ends when the reader stands right after it (no later sample consumed,
  // a duration stated); -1 otherwise.
  int64_t end = -1;
  int samples = 0;      // samples read
  bool capped = false;  // stopped by kStalledSamples before the frame due
  // With a ReadOnGuard: the read broke off. `sample` is not the frame due at t and where the
  // reader stands is not known; only a seek brings it back to a known place.
  bool gave_up = false;
  bool off_time_line = false;  // it gave up because a sample did not follow on the one before
};

// Makes ReadFrameAt a continuation of an earlier read instead of the read after a seek: the
// first sample must start where the last one delivered ended, each next one where the one before
// ended, and the read must be done by `deadline` (QueryPerformanceCounter value, 0 = none).
// Otherwise it gives up.
struct ReadOnGuard {
  int64_t expected_start = 0;
  int64_t deadline = 0;
};

// Reads the first video stream forward from wherever the reader stands. With `exact`, delivers
// the frame whose span holds `t` (100-ns ticks): the last one stamped at or before t, with a
// millisecond's allowance for stamps rounded late. The read stops as soon as a frame's stamp and
// duration show that it is the one, or the next frame starts after t, or the stream ends (the
// last frame read stands in), or after kStalledSamples samples in a row whose stamps do not
// advance (the latest frame read stands in). A first sample already past t is delivered as it
// is. Without `exact`, delivers the first sample. The type is read again whenever the reader
// signals a change, so `type` always describes `sample`. After a failure of the reader no further
// call is made on it (`reader_failed`); a frame read before that is still delivered. With a
// `guard` the same rules pick the frame, but the read gives up instead (`gave_up`) wherever a
// seek to t would take another way: at the end of the stream, a stall, a failure, a first sample
// past t, a break in the time line or past the deadline.
HRESULT ReadFrameAt(IMFSourceReader* reader, int64_t t, bool exact, FrameRead& read,
                    const ReadOnGuard* guard = nullptr);

}  // namespace stillreel
