// The video probe: whether Media Foundation can serve a file as frames, how long and how large.
#include "video/probe.h"

#include <mferror.h>

#include <limits>

#include "video/frame_read.h"
#include "video/frame_rules.h"
#include "win/media.h"
#include "win/result.h"

namespace stillreel {

namespace {

// Whole seconds, truncated; a negative duration is no video and an absurd one saturates.
int32_t WholeSeconds(int64_t ticks) {
  if (ticks <= 0) return 0;
  const int64_t seconds = ticks / kTicksPerSecond;
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(seconds < kMax ? seconds : kMax);
}

// The picture size a fetch will deliver: the type in force for the first frame, decoded here.
// Before its first frame a Windows decoder may state a placeholder type, and the type change
// that comes with that frame may bring a pixel aspect ratio or an aperture while the picture
// size stays ("H.264 Video Decoder"), so no type stated before a frame is trusted. The current
// type serves only when no frame comes. {0, 0} when no size can be read.
void ReadShownPicture(IMFSourceReader* reader, VideoFacts& facts) {
  using Microsoft::WRL::ComPtr;
  ComPtr<IMFMediaType> native;
  // Not examined: without it the picture is shown as the decoded type alone says.
  (void)reader->GetNativeMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, &native);
  FrameRead first;
  FrameLayout layout;
  if (SUCCEEDED(ReadFrameAt(reader, 0, false, first)) && first.type &&
      SUCCEEDED(ReadFrameLayout(first.type.Get(), layout))) {
    facts.size = layout.picture;
    facts.picture = ReadPictureOptions(first.type.Get(), false, native.Get());
    return;
  }
  if (first.reader_failed) return;  // no call on it after its error
  ComPtr<IMFMediaType> current;
  if (SUCCEEDED(reader->GetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, &current)) &&
      SUCCEEDED(ReadFrameLayout(current.Get(), layout))) {
    facts.size = layout.picture;
    facts.picture = ReadPictureOptions(current.Get(), false, native.Get());
  }
}

}  // namespace

HRESULT ProbeReader(IMFSourceReader* reader, VideoFacts& facts) {
  int64_t ticks = 0;
  SR_RETURN_IF_FAILED(ReadDuration(reader, ticks));
  VideoFacts found;
  found.seconds = WholeSeconds(ticks);
  SR_RETURN_HR_IF(MF_E_NO_DURATION, found.seconds == 0);
  // A listing still lists a video whose size it cannot read; its fetches decide.
  ReadShownPicture(reader, found);
  facts = found;
  return S_OK;
}

}  // namespace stillreel
