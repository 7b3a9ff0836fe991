// Opening a video through the Media Foundation source reader (from our byte stream) and setting
// its output type, shared by the probe and the extraction. The caller holds a MediaFoundationScope
// for as long as the objects live.
#pragma once

#include <windows.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <cstdint>

#include "video/media_type.h"

namespace stillreel {

// Whether source readers are created one at a time, process-wide (the default). Off only for
// measuring what that costs.
void SetReaderCreationSerialised(bool serialised);

class LentMemory;

// Opens `path` (or, when `memory` is set, the video in that lent memory) with only its first video
// stream selected and that stream set to decode to progressive NV12, asking for the reader's video
// processing so that streams decoded to other formats (YUY2, P010) or interlaced are converted;
// without it when the reader refuses it. A 10-bit or HDR stream (a native P010 or P016 type,
// HEVC Main 10, H.264 High 10, a PQ or HLG transfer) is set to decode to P010 first, and to NV12
// when the reader refuses that.
HRESULT OpenNv12Reader(const wchar_t* path, Microsoft::WRL::ComPtr<IMFSourceReader>& reader,
                       LentMemory* memory = nullptr);

// The media source's duration in 100-ns ticks, taken as a 64-bit integer whatever the
// PROPVARIANT's type. `ticks` is 0 when the call fails.
HRESULT ReadDuration(IMFSourceReader* reader, int64_t& ticks);

}  // namespace stillreel
