// The video probe: whether Media Foundation can serve a file as frames, how long and how large.
#include "video/probe.h"

#include <limits>

#include "video/frame_read.h"
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

// The picture size a fetch will deliver. Before its first frame a Windows decoder may state
// only a placeholder type (a guessed size, no aperture) and signal the real one with that frame,
// so the size is taken from the type in force for the first decoded frame; the current type
// stands in when no frame comes. {0, 0} when neither can be read.
FrameSize PictureSize(IMFSourceReader* reader) {
  using Microsoft::WRL::ComPtr;
  FrameRead first;
  ComPtr<IMFMediaType> type;
  if (SUCCEEDED(ReadFrameAt(reader, 0, false, first)) && first.type) {
    type = first.type;
  } else if (first.reader_failed ||
             FAILED(reader->GetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, &type))) {
    return {};
  }
  FrameLayout layout;
  return SUCCEEDED(ReadFrameLayout(type.Get(), layout)) ? layout.picture : FrameSize{};
}

bool Probe(const wchar_t* path, bool with_size, VideoFacts& facts) {
  using Microsoft::WRL::ComPtr;
  // Declared before every COM pointer so that it shuts Media Foundation and COM down last.
  MediaFoundationScope media_foundation;
  if (FAILED(media_foundation.status())) return false;
  ComPtr<IMFSourceReader> reader;
  if (FAILED(OpenNv12Reader(path, reader))) return false;
  int64_t ticks = 0;
  if (FAILED(ReadDuration(reader.Get(), ticks))) return false;
  VideoFacts found;
  found.seconds = WholeSeconds(ticks);
  if (found.seconds == 0) return false;
  // A listing still lists a video whose size it cannot read; its fetches decide.
  if (with_size) found.size = PictureSize(reader.Get());
  facts = found;
  return true;
}

}  // namespace

bool ProbeVideo(const wchar_t* path, VideoFacts& facts) { return Probe(path, true, facts); }

// Whether the file is a video needs no frame decoded.
bool IsSupportedVideo(const wchar_t* path) {
  VideoFacts facts;
  return Probe(path, false, facts);
}

}  // namespace stillreel
