// The video probe: whether Media Foundation can serve a file as frames, how long and how large.
#pragma once

#include <cstdint>

namespace stillreel {

// Frame size in pixels, as the decoder delivers NV12 frames.
struct FrameSize {
  uint32_t width = 0;
  uint32_t height = 0;
};

// Whole seconds of the video, 0 when it is not a usable video. `size`, when given, receives
// the frame size (left as it was if it cannot be read).
int32_t ProbeVideo(const wchar_t* path, FrameSize* size = nullptr);

// ProbeVideo(path) != 0: the file opens, its first video stream decodes to NV12 and it lasts at
// least one whole second.
bool IsSupportedVideo(const wchar_t* path);

}  // namespace stillreel
