// The video probe: whether Media Foundation can serve a file as frames, how long and how large.
#include "video/probe.h"

#include <limits>

#include "video/frame_rules.h"
#include "video/reader.h"
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

int32_t ProbeVideo(const wchar_t* path, FrameSize* size) {
  using Microsoft::WRL::ComPtr;
  // Declared before every COM pointer so that it shuts Media Foundation and COM down last.
  MediaFoundationScope media_foundation;
  if (FAILED(media_foundation.status())) return 0;
  ComPtr<IMFSourceReader> reader;
  ComPtr<IMFMediaType> requested;
  if (FAILED(OpenNv12Reader(path, reader, requested))) return 0;
  int64_t ticks = 0;
  if (FAILED(ReadDuration(reader.Get(), ticks))) return 0;
  if (size != nullptr) {
    ComPtr<IMFMediaType> current;
    FrameSize read;
    if (SUCCEEDED(ReadFrameSize(reader.Get(), current, read))) *size = read;
  }
  return WholeSeconds(ticks);
}

bool IsSupportedVideo(const wchar_t* path) { return ProbeVideo(path) != 0; }

}  // namespace stillreel
