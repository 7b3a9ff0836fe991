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
// only a placeholder type (a guessed size, no aperture) and signal the real one with that frame.
// When the current type shows the picture the source's native type shows, it is taken as it
// is; otherwise the first frame is decoded and the type in force for it counts. Decoding in
// every probe would start a decoder per listing (under Wine it doubled the time of a listing).
// The picture's options come from the same type. {0, 0} when no size can be read.
void ReadShownPicture(IMFSourceReader* reader, VideoFacts& facts) {
  using Microsoft::WRL::ComPtr;
  ComPtr<IMFMediaType> current;
  ComPtr<IMFMediaType> native;
  FrameLayout current_layout;
  FrameLayout native_layout;
  const bool has_current =
      SUCCEEDED(reader->GetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, &current)) &&
      SUCCEEDED(ReadFrameLayout(current.Get(), current_layout));
  if (has_current &&
      SUCCEEDED(reader->GetNativeMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, &native)) &&
      SUCCEEDED(ReadFrameLayout(native.Get(), native_layout)) &&
      native_layout.picture.width == current_layout.picture.width &&
      native_layout.picture.height == current_layout.picture.height) {
    facts.size = current_layout.picture;
    facts.picture = ReadPictureOptions(current.Get(), false);
    return;
  }
  FrameRead first;
  FrameLayout decoded;
  if (SUCCEEDED(ReadFrameAt(reader, 0, false, first)) && first.type &&
      SUCCEEDED(ReadFrameLayout(first.type.Get(), decoded))) {
    facts.size = decoded.picture;
    facts.picture = ReadPictureOptions(first.type.Get(), false);
  } else if (has_current) {
    facts.size = current_layout.picture;
    facts.picture = ReadPictureOptions(current.Get(), false);
  }
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
  int64_t ticks = 0;
  if (FAILED(ReadDuration(reader, ticks))) return false;
  VideoFacts found;
  found.seconds = WholeSeconds(ticks);
  if (found.seconds == 0) return false;
  // A listing still lists a video whose size it cannot read; its fetches decide.
  ReadShownPicture(reader, found);
  facts = found;
  return true;
}

std::optional<PictureDimensions> ListedPicture(const VideoFacts& facts, bool aspect) {
  PictureOptions options = facts.picture;
  options.keep_stored_pixels = !aspect;
  return PictureSize(facts.size.width, facts.size.height, options);
}

bool IsSupportedVideo(const wchar_t* path) {
  VideoFacts facts;
  return ProbeVideo(path, facts);
}

}  // namespace stillreel
