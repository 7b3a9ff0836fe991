// The video layer driven straight from the calling thread, without a worker or the DLL.
#include "direct_video.h"

#include <wrl/client.h>

#include "win/media.h"

namespace stillreel {

bool ProbeVideo(const wchar_t* path, VideoFacts& facts) {
  // Declared before every COM pointer so that it shuts Media Foundation and COM down last.
  MediaFoundationScope media_foundation;
  if (FAILED(media_foundation.status())) return false;
  Microsoft::WRL::ComPtr<IMFSourceReader> reader;
  if (FAILED(OpenNv12Reader(path, reader))) return false;
  return SUCCEEDED(ProbeReader(reader.Get(), facts));
}

bool IsSupportedVideo(const wchar_t* path) {
  VideoFacts facts;
  return ProbeVideo(path, facts);
}

HRESULT ExtractFrame(const wchar_t* path, int32_t index, const FrameSettings& settings,
                     UniqueHlocal& image, uint32_t& image_bytes) {
  MediaFoundationScope media_foundation;
  if (FAILED(media_foundation.status())) return media_foundation.status();
  OpenVideo video;
  if (const HRESULT opened = video.Open(path); FAILED(opened)) return opened;
  return video.Extract(index, settings, ReadOnMode::kNever, nullptr, image, image_bytes);
}

}  // namespace stillreel
