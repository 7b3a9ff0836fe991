// Builds a video's listing from what its probe learnt, its time stamp and the frame settings.
#pragma once

#include <cstdint>

#include "video/frame_rules.h"
#include "video/probe.h"
#include "win/unique.h"

namespace stillreel {

// The new listing (every entry stamped with `timestamp`, seconds since 1970); E_OUTOFMEMORY when
// the block cannot be represented or allocated.
HRESULT SynthesiseListing(const wchar_t* path, const VideoFacts& facts, int64_t timestamp,
                          const FrameSettings& settings, UniqueHlocal& listing);

}  // namespace stillreel
