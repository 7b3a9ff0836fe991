// The YCbCr to RGB matrices and ranges, as the conversion's integer
// constants. Standard C++ only.
#pragma once

#include <cstdint>

namespace stillreel {

enum class YuvMatrix : uint8_t { kBt601, kBt709, kBt2020 };
// Limited: Y 16-235, Cb and Cr 16-240. Full: 0-255 for all three.
enum class YuvRange : uint8_t { kLimited, kFull };

// The conversion's integer equations, coefficients scaled by 256 and rounded:
//   C = Cb - 128, E = Cr - 128, L = y_scale * (Y - y_offset) + 128
//   blue  = clamp((L + cb_blue * C) >> 8)
//   green = clamp((L - cb_green * C - cr_green * E) >> 8)
//   red   = clamp((L + cr_red * E) >> 8)
// with >> an arithmetic shift and clamp to [0, 255]. See GetYuvConstants.
struct YuvConstants {
  int32_t y_scale;
  int32_t y_offset;
  int32_t cb_blue;
  int32_t cb_green;
  int32_t cr_green;
  int32_t cr_red;
};

const YuvConstants& GetYuvConstants(YuvMatrix matrix, YuvRange range);

// The same equations for 10-bit codes (P010), kept at 10 bits until the one
// rounding to a byte: coefficients scaled by 32768 (the factors of yuv.cpp
// for 10-bit levels: luma 255 / 876 or 255 / 1023, chroma 255 / 896 or
// 255 / 1023; every one below 2^15, a signed 16-bit lane), C = Cb - 512,
// E = Cr - 512, L = y_scale * (Y - y_offset) + 16384, channel =
// clamp((L + ...) >> 15).
struct YuvConstants10 {
  int32_t y_scale;
  int32_t y_offset;
  int32_t cb_blue;
  int32_t cb_green;
  int32_t cr_green;
  int32_t cr_red;
};

YuvConstants10 GetYuvConstants10(YuvMatrix matrix, YuvRange range);

}  // namespace stillreel
