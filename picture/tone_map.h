// HDR signals (PQ, HLG) shown on an SDR display: the published curves in
// double precision (the reference), the tables built from them, and the row
// kernels that use the tables. Standard C++ only.
//
// The path of one pixel:
//   1. Y'CbCr codes (8 or 10 bits) to non-linear R'G'B' by the matrix and range.
//   2. R'G'B' to linear light, in units of SDR white (203 nits, the HDR
//      reference white of BT.2408): PQ by the SMPTE ST 2084 EOTF; HLG by the
//      BT.2100 inverse OETF and its reference OOTF for a 1,000-nit display
//      (system gamma 1.2 on the scene luminance).
//   3. BT.2020 primaries to BT.709 (a 3 x 3 matrix on linear light).
//   4. Tone mapping: the brightest component M of the pixel is mapped by the
//      BT.2390 EETF (on PQ codes, source peak to 203 nits, no black lift) and
//      all three components are scaled by EETF(M) / M, so that the ratios
//      between them, and with them the hue and saturation, are kept.
//   5. Gamut mapping: a component still below 0 (a colour outside BT.709)
//      is lifted by mixing the pixel with the grey of its own luminance just
//      enough to bring it to 0: luminance and hue (the direction from white
//      in the chromaticity plane) stay, saturation gives way.
//   6. sRGB encoding (IEC 61966-2-1) to 8 bits, the last rounding of all.
// Steps 2 and 4 and 6 go through tables; the rest is float arithmetic, the
// same in every kernel.
#pragma once

#include <cstdint>

#include "picture/yuv.h"

namespace stillreel {

// How the signal's codes relate to light (MF_MT_TRANSFER_FUNCTION).
// kSdr: shown as the codes are, no linearisation.
enum class Transfer : uint8_t { kSdr, kPq, kHlg };
// The signal's primaries (MF_MT_VIDEO_PRIMARIES); others are taken as BT.709.
enum class Primaries : uint8_t { kBt709, kBt2020 };

// SDR white in nits: HDR reference white (BT.2408), shown as 100 % SDR.
inline constexpr double kSdrWhiteNits = 203.0;
// The peak assumed for PQ without mastering or content light levels, and
// the display peak HLG's reference OOTF is taken for.
inline constexpr uint32_t kDefaultPeakNits = 1000;

// What the tone mapping needs to know of a signal.
struct HdrSignal {
  Transfer transfer = Transfer::kPq;
  Primaries primaries = Primaries::kBt2020;
  YuvMatrix matrix = YuvMatrix::kBt2020;
  YuvRange range = YuvRange::kLimited;
  uint32_t peak_nits = kDefaultPeakNits;  // PQ only; below 203 or 0 means 1,000
  uint32_t bits = 10;                     // of the codes: 8 (NV12) or 10 (P010)
};

// The curves, in double precision.
double PqToNits(double code);     // SMPTE ST 2084 EOTF: [0, 1] -> [0, 10000] nits
double NitsToPq(double nits);     // its inverse
double HlgToScene(double code);   // BT.2100 HLG inverse OETF: [0, 1] -> [0, 1]
double SrgbFromLinear(double l);  // IEC 61966-2-1 encoding, [0, 1] -> [0, 1]
// BT.2390 EETF on PQ codes: source range [0, source_max], target peak
// target_max (both PQ codes, target_max <= source_max), no black lift.
double Bt2390Eetf(double code, double source_max, double target_max);

// The peak in nits the tone mapping maps to SDR white for `signal`.
double SourcePeakNits(const HdrSignal& signal);

struct RgbColour {
  double red, green, blue;
};

// The whole path in double precision, for codes y, cb, cr at signal.bits:
// sRGB-encoded red, green, blue in [0, 1] before the final rounding to bytes.
RgbColour ToneMapReference(const HdrSignal& signal, int32_t y, int32_t cb, int32_t cr);

// The tables and constants of one signal's conversion. About 28 KB: built on
// the stack for each frame (some 20,000 curve evaluations).
struct ToneMapTables {
  static constexpr int kLinearSize = 4096;  // R' [0, 1] -> linear, interpolated
  static constexpr int kGainSize = 1024;    // HLG: scene luminance^(1/4) -> OOTF gain
  static constexpr int kRatioSize = 4096;   // M -> EETF(M) / M
  static constexpr int kEncodeSize = 4096;  // sqrt(linear) -> sRGB byte

  // Step 1: value = (code - offset) * scale, chroma centred on `centre`.
  float y_offset, y_scale, c_centre, c_scale;
  float cr_red, cb_green, cr_green, cb_blue;
  // Step 2.
  bool hlg;
  float luma_red, luma_green, luma_blue;  // the scene luminance weights
  float to_linear[kLinearSize + 1];       // the last entry repeated, for interpolation at 1
  float hlg_gain[kGainSize + 1];
  // Step 3.
  bool convert_primaries;
  float primaries[9];  // row-major, linear BT.2020 -> BT.709
  // Step 4: index = M * ratio_scale, clamped to the last entry.
  float ratio_scale;
  float ratio[kRatioSize];
  uint8_t encode[kEncodeSize];
  // After `encode`: the AVX2 kernel gathers 4 bytes from each entry and keeps the first.
  uint32_t bits;
};

void BuildToneMapTables(const HdrSignal& signal, ToneMapTables& tables);

// Two rows sharing one chroma row, as the NV12 kernels (tables.bits 8) or
// P010 (10: 16-bit words, value in the top 10 bits), to width * 4 BGRA bytes.
void ToneMapRowsScalar(const ToneMapTables& tables, const uint8_t* y0, const uint8_t* y1,
                       const uint8_t* uv, uint8_t* d0, uint8_t* d1, uint32_t width);
// The same for columns [x, width) of both rows; x even.
void ToneMapRowsScalarFrom(const ToneMapTables& tables, const uint8_t* y0, const uint8_t* y1,
                           const uint8_t* uv, uint8_t* d0, uint8_t* d1, uint32_t x, uint32_t width);

}  // namespace stillreel
