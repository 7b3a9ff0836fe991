// Opening a video through the Media Foundation source reader, shared by the probe and the
// extraction. The caller holds a MediaFoundationScope for as long as the objects live.
#pragma once

#include <windows.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <cstdint>

namespace stillreel {

// Frame size in pixels, as the decoder delivers NV12 frames.
struct FrameSize {
  uint32_t width = 0;
  uint32_t height = 0;
};

// Whether source readers are created one at a time, process-wide (the default). Off only for
// measuring what that costs.
void SetReaderCreationSerialised(bool serialised);

// Opens `path` with only its first video stream selected and that stream set to decode to NV12.
HRESULT OpenNv12Reader(const wchar_t* path, Microsoft::WRL::ComPtr<IMFSourceReader>& reader);

// The media source's duration in 100-ns ticks, taken as a 64-bit integer whatever the
// PROPVARIANT's type. `ticks` is 0 when the call fails.
HRESULT ReadDuration(IMFSourceReader* reader, int64_t& ticks);

// The first video stream's current (decoder output) type and its MF_MT_FRAME_SIZE. `size` is
// written only on success.
HRESULT ReadFrameSize(IMFSourceReader* reader, Microsoft::WRL::ComPtr<IMFMediaType>& current,
                      FrameSize& size);

}  // namespace stillreel
