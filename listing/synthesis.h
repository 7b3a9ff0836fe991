// Builds a video's listing from its duration, frame size and the frame settings.
#pragma once

#include "video/frame_rules.h"
#include "win/unique.h"

namespace stillreel {

// 0 with the new listing; 6 when the video gives no duration or cannot be opened for its time
// stamp; 4 when the block cannot be represented or allocated.
int SynthesiseListing(const wchar_t* path, const FrameSettings& settings, UniqueHlocal& listing);

}  // namespace stillreel
