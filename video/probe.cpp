// The video probe: whether Media Foundation can serve a file as frames, how long and how large.
#include "video/probe.h"

#include <limits>

#include "video/frame_rules.h"
#include "win/media.h"

namespace stillreel {

namespace {

// Whole seconds, truncated; a negative duration is no video and an absurd one saturates.
int32_t WholeSeconds(int64_t ticks) {
  if (ticks <= 0) return 0;
  const int64_t seconds = ticks / kTicksPerSecond;
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(seconds < kMax ? seconds : kMax);
}

}  // namespace

bool ProbeVideo(const wchar_t* path, VideoFacts& facts) {
  // Declared before every COM pointer so that it shuts Media Foundation and COM down last.
  MediaFoundationScope media_foundation;
  if (FAILED(media_foundation.status())) return false;
  Microsoft::WRL::ComPtr<IMFSourceReader> reader;
  if (FAILED(OpenNv12Reader(path, reader))) return false;
  return ProbeReader(reader.Get(), facts);
}

bool ProbeReader(IMFSourceReader* reader, VideoFacts& facts) {
  using Microsoft::WRL::ComPtr;
  int64_t ticks = 0;
  if (FAILED(ReadDuration(reader, ticks))) return false;
  VideoFacts found;
  found.seconds = WholeSeconds(ticks);
  if (found.seconds == 0) return false;
  ComPtr<IMFMediaType> current;
  // Not examined: a listing still lists a video whose size it cannot read; its fetches decide.
  (void)ReadFrameSize(reader, current, found.size);
  facts = found;
  return true;
}

bool IsSupportedVideo(const wchar_t* path) {
  VideoFacts facts;
  return ProbeVideo(path, facts);
}

}  // namespace stillreel
