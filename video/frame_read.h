// Reading the frame due at a moment from a source reader that has been sought (or not).
#pragma once

#include <windows.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <cstdint>

namespace stillreel {

// How far a read goes on past the first sample it gets, at most: a little over the longest
// key-frame interval in common use (10 s), in stream time (100-ns ticks) and in samples (30 s
// at 120 fps, against stamps that do not advance). At the cap the latest frame read is taken.
inline constexpr int64_t kReadOnSpan = 30 * 10'000'000LL;
inline constexpr int kReadOnSamples = 3600;

// Outcome of ReadFrameAt.
struct FrameRead {
  Microsoft::WRL::ComPtr<IMFSample> sample;   // the frame delivered; null when none came
  Microsoft::WRL::ComPtr<IMFMediaType> type;  // the current type in force for `sample`
  bool end_of_stream = false;                 // the stream ended during this read
  bool reader_failed = false;                 // ReadSample failed or raised MF_SOURCE_READERF_ERROR
};

// Reads the first video stream forward from wherever the reader stands. With `exact`, delivers
// the frame whose span holds `t` (100-ns ticks): the last one stamped at or before t, with a
// millisecond's allowance for stamps rounded late. The read stops as soon as a frame's stamp and
// duration show that it is the one, or the next frame starts after t, or the stream ends (the
// last frame read stands in), or at the kReadOnSpan / kReadOnSamples cap (the latest frame read
// stands in). A first sample already past t is delivered as it is. Without `exact`, delivers the
// first sample. The type is read again whenever the reader signals a change, so `type` always
// describes `sample`. After a failure of the reader no further call is made on it
// (`reader_failed`); a frame read before that is still delivered.
HRESULT ReadFrameAt(IMFSourceReader* reader, int64_t t, bool exact, FrameRead& read);

}  // namespace stillreel
