// Reading what a decoded frame's media type says: where the picture lies in the frame, how it is
// to be turned, coloured and scaled, and whether it carries an HDR signal.
#include "video/media_type.h"

#include <mfapi.h>

#include "win/result.h"

namespace stillreel {

namespace {

// An aperture attribute as an area inside `coded`; false when absent or unusable.
bool ReadAperture(IMFMediaType* type, const GUID& key, FrameSize coded, FrameLayout& layout) {
  MFVideoArea area{};
  UINT32 bytes = 0;
  if (FAILED(type->GetBlob(key, reinterpret_cast<UINT8*>(&area), sizeof area, &bytes)) ||
      bytes != sizeof area) {
    return false;
  }
  // Offsets are whole pixels here: decoders state crops that way, leaving the fraction 0.
  const int64_t left = area.OffsetX.value;
  const int64_t top = area.OffsetY.value;
  const int64_t width = area.Area.cx;
  const int64_t height = area.Area.cy;
  if (left < 0 || top < 0 || width <= 0 || height <= 0 || left + width > coded.width ||
      top + height > coded.height || (left & 1) != 0 || (top & 1) != 0) {
    return false;
  }
  layout.left = static_cast<uint32_t>(left);
  layout.top = static_cast<uint32_t>(top);
  layout.picture = {static_cast<uint32_t>(width), static_cast<uint32_t>(height)};
  return true;
}

// An attribute from `current`, or from `native` (may be null) where `current` has none.
bool ReadSignalValue(IMFMediaType* current, IMFMediaType* native, const GUID& key, UINT32& value) {
  return SUCCEEDED(current->GetUINT32(key, &value)) ||
         (native != nullptr && SUCCEEDED(native->GetUINT32(key, &value)));
}

}  // namespace

HRESULT ReadFrameLayout(IMFMediaType* type, FrameLayout& layout) {
  UINT64 packed = 0;
  SR_RETURN_IF_FAILED(type->GetUINT64(MF_MT_FRAME_SIZE, &packed));
  FrameLayout found;
  found.coded = {static_cast<uint32_t>(packed >> 32), static_cast<uint32_t>(packed)};
  found.picture = found.coded;
  if (!ReadAperture(type, MF_MT_MINIMUM_DISPLAY_APERTURE, found.coded, found)) {
    (void)ReadAperture(type, MF_MT_GEOMETRIC_APERTURE, found.coded, found);  // else the frame
  }
  layout = found;
  return S_OK;
}

PictureOptions ReadPictureOptions(IMFMediaType* type, bool keep_stored_pixels,
                                  IMFMediaType* native) {
  PictureOptions options;
  options.keep_stored_pixels = keep_stored_pixels;
  UINT32 value = 0;
  // The decoded type's own value when it states a turn; 0 there says nothing (Wine states 0
  // whatever the container says), and the reader turns no frames unless asked to.
  if ((SUCCEEDED(type->GetUINT32(MF_MT_VIDEO_ROTATION, &value)) && value != 0) ||
      (native != nullptr && SUCCEEDED(native->GetUINT32(MF_MT_VIDEO_ROTATION, &value)))) {
    switch (value) {
      case MFVideoRotationFormat_90:
        options.rotation = Rotation::k90;
        break;
      case MFVideoRotationFormat_180:
        options.rotation = Rotation::k180;
        break;
      case MFVideoRotationFormat_270:
        options.rotation = Rotation::k270;
        break;
      default:
        break;  // an angle not a multiple of 90 is shown as stored
    }
  }
  if (SUCCEEDED(type->GetUINT32(MF_MT_YUV_MATRIX, &value))) {
    switch (value) {
      case MFVideoTransferMatrix_BT709:
        options.matrix = YuvMatrix::kBt709;
        break;
      case MFVideoTransferMatrix_BT2020_10:
      case MFVideoTransferMatrix_BT2020_12:
        options.matrix = YuvMatrix::kBt2020;
        break;
      default:
        break;  // SMPTE 240M and unknown values: BT.601, as untagged video
    }
  }
  if (SUCCEEDED(type->GetUINT32(MF_MT_VIDEO_NOMINAL_RANGE, &value)) &&
      value == MFNominalRange_0_255) {
    options.range = YuvRange::kFull;
  }
  UINT64 packed = 0;
  if (SUCCEEDED(type->GetUINT64(MF_MT_PIXEL_ASPECT_RATIO, &packed))) {
    // 0 in either part means square to the conversion.
    options.aspect_num = static_cast<uint32_t>(packed >> 32);
    options.aspect_den = static_cast<uint32_t>(packed);
  }
  return options;
}

void ReadHdrSignal(IMFMediaType* current, IMFMediaType* native, bool tone_map,
                   PictureOptions& options) {
  UINT32 value = 0;
  if (!tone_map || !ReadSignalValue(current, native, MF_MT_TRANSFER_FUNCTION, value)) return;
  if (value == MFVideoTransFunc_2084) {
    options.transfer = Transfer::kPq;
  } else if (value == MFVideoTransFunc_HLG) {
    options.transfer = Transfer::kHlg;
  } else {
    return;
  }
  // HDR without stated primaries is BT.2020 in practice; any other stated value is shown as
  // BT.709.
  options.primaries = !ReadSignalValue(current, native, MF_MT_VIDEO_PRIMARIES, value) ||
                              value == MFVideoPrimaries_BT2020
                          ? Primaries::kBt2020
                          : Primaries::kBt709;
  // The content's own peak (MaxCLL) where it is stated and plausible, else the mastering
  // display's; the conversion takes 1,000 nits where neither is at least SDR white.
  UINT32 content = 0, mastering = 0;
  (void)ReadSignalValue(current, native, kMaxLuminanceLevel, content);
  (void)ReadSignalValue(current, native, kMaxMasteringLuminance, mastering);
  options.peak_nits = content >= kSdrWhiteNits ? content : mastering;
}

uint32_t SampleBytes(IMFMediaType* type) {
  GUID subtype{};
  return SUCCEEDED(type->GetGUID(MF_MT_SUBTYPE, &subtype)) &&
                 (subtype == MFVideoFormat_P010 || subtype == MFVideoFormat_P016)
             ? 2
             : 1;
}

}  // namespace stillreel
