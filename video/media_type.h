// Reading what a decoded frame's media type says: where the picture lies in the frame, how it is
// to be turned, coloured and scaled, and whether it carries an HDR signal.
#pragma once

#include <windows.h>
#include <mfidl.h>

#include <cstdint>

#include "picture/convert.h"

namespace stillreel {

// Frame size in pixels, as the decoder delivers NV12 frames.
struct FrameSize {
  uint32_t width = 0;
  uint32_t height = 0;
};

// Where the picture lies in a decoded NV12 frame, in pixels: the frame as coded (a decoder may
// align it, 1920x1088 for 1080 lines) and the part of it to show.
struct FrameLayout {
  FrameSize coded;    // MF_MT_FRAME_SIZE
  uint32_t left = 0;  // the shown area's offset in the coded frame; both even
  uint32_t top = 0;
  FrameSize picture;  // the shown area; the coded frame when the type names no usable aperture
};

// The layout an NV12 type states: MF_MT_FRAME_SIZE and the display area, the first usable of
// MF_MT_MINIMUM_DISPLAY_APERTURE and MF_MT_GEOMETRIC_APERTURE. An aperture is usable when it is
// not empty, lies inside the frame and starts on even coordinates (the chroma grid); otherwise
// it is ignored. Fails when the type has no frame size.
HRESULT ReadFrameLayout(IMFMediaType* type, FrameLayout& layout);

// How the picture of a frame of `type` is to be shown: MF_MT_VIDEO_ROTATION (the content was
// turned that far counter-clockwise, so it is turned back clockwise), MF_MT_YUV_MATRIX (BT.709,
// BT.2020; anything else BT.601), MF_MT_VIDEO_NOMINAL_RANGE (0-255 full, else limited) and
// MF_MT_PIXEL_ASPECT_RATIO. An untagged type gives the defaults, today's picture.
// `keep_stored_pixels` is the caller's ("aspect=0"). The rotation describes the stream, and no
// page says the reader copies it to the decoded type: when `type` lacks it or states 0, the
// stream's `native` type (may be null) gives it; one of them counts, never both.
PictureOptions ReadPictureOptions(IMFMediaType* type, bool keep_stored_pixels,
                                  IMFMediaType* native = nullptr);

// MF_MT_MAX_LUMINANCE_LEVEL (MaxCLL) and MF_MT_MAX_MASTERING_LUMINANCE, UINT32 nits; mingw-w64's
// headers do not name them.
inline constexpr GUID kMaxLuminanceLevel = {
    0x50253128, 0xc110, 0x4de4, {0x98, 0xae, 0x46, 0xa3, 0x24, 0xfa, 0xe6, 0xda}};
inline constexpr GUID kMaxMasteringLuminance = {
    0xd6c6b997, 0x272f, 0x4ca1, {0x8d, 0x00, 0x80, 0x42, 0x11, 0x1a, 0x0f, 0xf6}};

// The HDR part of the options, when `tone_map` (the "hdr" setting): MF_MT_TRANSFER_FUNCTION PQ or
// HLG, MF_MT_VIDEO_PRIMARIES (absent: BT.2020) and the peak (MF_MT_MAX_LUMINANCE_LEVEL when at
// least 203 nits, else MF_MT_MAX_MASTERING_LUMINANCE), each from `current` or, where it has
// none, from `native` (may be null). Any other transfer, or none, leaves the options as they are.
void ReadHdrSignal(IMFMediaType* current, IMFMediaType* native, bool tone_map,
                   PictureOptions& options);

// Bytes per sample of a type's frames: 2 for P010 (and P016), else 1 (NV12).
uint32_t SampleBytes(IMFMediaType* type);

}  // namespace stillreel
