// Reading the frame due at a moment from a source reader that has been sought (or not).
#include "video/frame_read.h"

#include <mfapi.h>

#include <limits>
#include <utility>

#include "win/result.h"

namespace stillreel {

namespace {

using Microsoft::WRL::ComPtr;

// Stream ticks mark gaps in a stream; a few in a row are plausible, an endless run is not.
constexpr int kMaxStreamTicks = 64;

// Containers round stamps (a millisecond in some, 1/90000 s in others); a frame stamped this
// much after t still counts as at or before it. 100-ns ticks.
constexpr int64_t kStampRounding = 10'000;

int64_t SaturatingAdd(int64_t a, int64_t b) {
  return a > std::numeric_limits<int64_t>::max() - b ? std::numeric_limits<int64_t>::max() : a + b;
}

}  // namespace

HRESULT ReadFrameAt(IMFSourceReader* reader, int64_t t, bool exact, FrameRead& read) {
  read = FrameRead{};
  ComPtr<IMFMediaType> type;
  SR_RETURN_IF_FAILED(reader->GetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, &type));
  const int64_t limit = SaturatingAdd(t, kStampRounding);
  int64_t first_stamp = 0;
  int samples = 0;
  for (int ticks = 0; ticks < kMaxStreamTicks;) {
    DWORD flags = 0;
    LONGLONG stamp = 0;
    ComPtr<IMFSample> sample;
    const HRESULT hr = SR_TRACED(reader->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, nullptr,
                                                    &flags, &stamp, &sample));
    if (FAILED(hr) || (flags & MF_SOURCE_READERF_ERROR) != 0) {
      read.reader_failed = true;
      return read.sample ? S_OK : (FAILED(hr) ? hr : E_FAIL);
    }
    // The new type describes this sample and all after it.
    if ((flags & MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED) != 0) {
      type.Reset();
      SR_RETURN_IF_FAILED(reader->GetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, &type));
    }
    if ((flags & MF_SOURCE_READERF_ENDOFSTREAM) != 0) {
      read.end_of_stream = true;
      return S_OK;
    }
    if (!sample) {  // a stream tick: a gap, not the end
      ++ticks;
      continue;
    }
    ticks = 0;
    // A frame that starts after t: the one before it was due, unless there was none.
    if (exact && read.sample && stamp > limit) return S_OK;
    read.sample = std::move(sample);
    read.type = type;
    if (!exact || stamp > limit) return S_OK;
    if (samples++ == 0) first_stamp = stamp;
    LONGLONG span = 0;
    // The span holds t: no need to decode the next frame to know.
    if (SUCCEEDED(read.sample->GetSampleDuration(&span)) && span > 0 &&
        SaturatingAdd(stamp, span) > limit) {
      return S_OK;
    }
    if (samples >= kReadOnSamples || stamp - first_stamp >= kReadOnSpan) return S_OK;
  }
  return S_OK;
}

}  // namespace stillreel
