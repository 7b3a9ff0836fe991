// Extraction of one entry's frame as a complete BMP image in local memory.
#pragma once

#include <cstdint>

#include "video/frame_rules.h"
#include "win/unique.h"

namespace stillreel {

// kNoFrame: the video cannot be opened or decoded at that moment, or the frame is refused.
// kNoMemory: the conversion target or the image block cannot be allocated.
enum class ExtractStatus { kOk, kNoFrame, kNoMemory };

// Decodes the frame of entry `index` (placed in time by `settings`) and returns its BMP image as
// a LocalAlloc(LMEM_FIXED) block; image_bytes receives the block's size. Both outputs are left as
// they were unless the result is kOk.
ExtractStatus ExtractFrame(const wchar_t* path, int32_t index, const FrameSettings& settings,
                           UniqueHlocal& image, uint32_t& image_bytes);

}  // namespace stillreel
