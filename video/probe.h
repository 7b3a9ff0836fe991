// The video probe: whether Media Foundation can serve a file as frames, how long and how large.
#pragma once

#include <cstdint>

#include "video/reader.h"

namespace stillreel {

// What a listing needs to know of a video, learnt from one opening.
struct VideoFacts {
  int32_t seconds = 0;  // whole seconds, truncated
  FrameSize size;       // the picture a fetch delivers; {0, 0} when it cannot be read
};

// The facts of a usable video: it opens, its first video stream decodes to NV12 and it lasts at
// least one whole second. False for anything else.
bool ProbeVideo(const wchar_t* path, VideoFacts& facts);

// The same facts from a reader that OpenNv12Reader opened, wherever it stands.
bool ProbeReader(IMFSourceReader* reader, VideoFacts& facts);

bool IsSupportedVideo(const wchar_t* path);

}  // namespace stillreel
