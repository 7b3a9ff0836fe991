// Reading the frame due at a moment from a source reader that has been sought (or not).
#include "video/frame_read.h"

#include <mfapi.h>

#include <algorithm>
#include <limits>
#include <utility>

#include "win/clock.h"
#include "win/result.h"

namespace stillreel {

namespace {

using Microsoft::WRL::ComPtr;

// Stream ticks mark gaps in a stream; a few in a row are plausible, an endless run is not.
constexpr int kMaxStreamTicks = 64;

int64_t SaturatingAdd(int64_t a, int64_t b) {
  return a > std::numeric_limits<int64_t>::max() - b ? std::numeric_limits<int64_t>::max() : a + b;
}

}  // namespace

HRESULT ReadFrameAt(IMFSourceReader* reader, int64_t t, bool exact, FrameRead& read,
                    const ReadOnGuard* guard) {
  read = FrameRead{};
  ComPtr<IMFMediaType> type;
  SR_RETURN_IF_FAILED(reader->GetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, &type));
  const int64_t limit = SaturatingAdd(t, kStampRounding);
  int64_t expected_start = guard != nullptr ? guard->expected_start : 0;
  int64_t latest = std::numeric_limits<int64_t>::min();
  int stalled = 0;
  for (int ticks = 0; ticks < kMaxStreamTicks;) {
    DWORD flags = 0;
    LONGLONG stamp = 0;
    ComPtr<IMFSample> sample;
    const HRESULT hr = SR_TRACED(reader->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, nullptr,
                                                    &flags, &stamp, &sample));
    if (FAILED(hr) || (flags & MF_SOURCE_READERF_ERROR) != 0) {
      read.reader_failed = true;
      read.gave_up = guard != nullptr;
      read.end = -1;
      return read.sample ? S_OK : (FAILED(hr) ? hr : E_FAIL);
    }
    // The new type describes this sample and all after it.
    if ((flags & MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED) != 0) {
      type.Reset();
      SR_RETURN_IF_FAILED(reader->GetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, &type));
    }
    if ((flags & MF_SOURCE_READERF_ENDOFSTREAM) != 0) {
      read.end_of_stream = true;
      // After a seek the end has its own rule (the caller's), which reading on leaves to it.
      read.gave_up = guard != nullptr;
      read.end = -1;
      return S_OK;
    }
    if (!sample) {  // a stream tick: a gap, not the end
      ++ticks;
      continue;
    }
    ticks = 0;
    if (read.samples++ == 0) read.first_stamp = stamp;
    LONGLONG span = 0;
    if (FAILED(sample->GetSampleDuration(&span))) span = 0;
    if (guard != nullptr) {
      // Reading on reproduces a seek's frame only along one unbroken time line.
      read.off_time_line = span <= 0 || stamp < expected_start - kStampRounding ||
                           stamp > expected_start + kStampRounding;
      // A first frame already past t: the frame due is the one delivered before.
      if (read.off_time_line || (read.samples == 1 && stamp > limit) ||
          (guard->deadline != 0 && CounterNow() > guard->deadline)) {
        read.gave_up = true;
        return S_OK;
      }
    }
    expected_start = SaturatingAdd(stamp, span);
    // A frame that starts after t: the one before it was due, unless there was none.
    if (exact && read.sample && stamp > limit) {
      read.end = -1;  // this later frame is consumed and gone
      return S_OK;
    }
    read.sample = std::move(sample);
    read.type = type;
    read.end = span > 0 ? SaturatingAdd(stamp, span) : -1;
    if (!exact || stamp > limit) return S_OK;
    // The span holds t: no need to decode the next frame to know.
    if (span > 0 && SaturatingAdd(stamp, span) > limit) return S_OK;
    // Stamps that never advance would never reach t.
    stalled = stamp > latest ? 0 : stalled + 1;
    latest = std::max<int64_t>(latest, stamp);
    if (stalled >= kStalledSamples) {
      read.capped = true;
      read.gave_up = guard != nullptr;
      return S_OK;
    }
  }
  // Only gaps for a long while: where the stream goes on is not known.
  read.gave_up = guard != nullptr;
  read.end = -1;
  return S_OK;
}

}  // namespace stillreel
