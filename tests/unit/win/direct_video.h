// The video layer driven straight from the calling thread, without a worker or the DLL: what the
// Win32 unit tests use to check probing and extraction by themselves.
#pragma once

#include <cstdint>

#include "video/open_video.h"
#include "video/probe.h"
#include "win/unique.h"

namespace stillreel {

// The facts of a usable video, as the listing's probe finds them; false for anything else.
bool ProbeVideo(const wchar_t* path, VideoFacts& facts);
bool IsSupportedVideo(const wchar_t* path);

// The BMP image of entry `index` (placed in time by `settings`) from a fresh reader that seeks;
// both outputs are left as they were unless the result is S_OK.
HRESULT ExtractFrame(const wchar_t* path, int32_t index, const FrameSettings& settings,
                     UniqueHlocal& image, uint32_t& image_bytes);

}  // namespace stillreel
