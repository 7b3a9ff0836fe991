// The video probe: whether Media Foundation can serve a file as frames, how long and how large.
#pragma once

#include <cstdint>
#include <optional>

#include "video/reader.h"

namespace stillreel {

// What a listing needs to know of a video, learnt from one opening.
struct VideoFacts {
  int32_t seconds = 0;  // whole seconds, truncated
  FrameSize size;       // the shown area as stored; {0, 0} when it cannot be read
  // How a fetch turns and scales it: the same type's attributes the extraction reads, with
  // keep_stored_pixels left to the "aspect" setting.
  PictureOptions picture;
};

// The facts of a usable video from a reader that OpenNv12Reader opened, wherever it stands: its
// first video stream decodes and it lasts at least one whole second. A failure for anything else:
// the duration's, or MF_E_NO_DURATION for less than a second (nothing to list).
HRESULT ProbeReader(IMFSourceReader* reader, VideoFacts& facts);

}  // namespace stillreel
