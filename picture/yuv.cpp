// The conversion's constants per matrix and range; see yuv.h.
#include "picture/yuv.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace stillreel {
namespace {

// Coefficients of the equations in yuv.h, [matrix][range]. With Kr, Kb the
// luma weights of red and blue (Kg = 1 - Kr - Kb) the matrices are
//   R = Y' + 2 (1 - Kr) Pr
//   G = Y' - 2 (1 - Kb) Kb / Kg Pb - 2 (1 - Kr) Kr / Kg Pr
//   B = Y' + 2 (1 - Kb) Pb
// BT.601 Kr 0.299, Kb 0.114; BT.709 Kr 0.2126, Kb 0.0722; BT.2020 (non-constant
// luminance) Kr 0.2627, Kb 0.0593. Limited range scales Y - 16 by 255 / 219
// and Cb - 128, Cr - 128 by 255 / 224; full range by 1. Each factor times 256,
// rounded to nearest:
//   BT.601  limited: 298.08 408.58 516.41 100.29 208.12 -> 298 409 516 100 208
//   BT.601  full:    256    358.91 453.63  88.10 182.82 -> 256 359 454  88 183
//   BT.709  limited: 298.08 458.94 540.78  54.59 136.43 -> 298 459 541  55 136
//   BT.709  full:    256    403.15 475.03  47.96 119.84 -> 256 403 475  48 120
//   BT.2020 limited: 298.08 429.74 548.29  47.96 166.51 -> 298 430 548  48 167
//   BT.2020 full:    256    377.50 481.64  42.13 146.27 -> 256 377 482  42 146
// (y_scale, cr_red, cb_blue, cb_green, cr_green). BT.601 limited is the
// conversion's original definition and stays bit for bit.
constexpr YuvConstants kYuvConstants[3][2] = {
    {{298, 16, 516, 100, 208, 409}, {256, 0, 454, 88, 183, 359}},
    {{298, 16, 541, 55, 136, 459}, {256, 0, 475, 48, 120, 403}},
    {{298, 16, 548, 48, 167, 430}, {256, 0, 482, 42, 146, 377}},
};

}  // namespace

const YuvConstants& GetYuvConstants(YuvMatrix matrix, YuvRange range) {
  const size_t m = std::min<size_t>(static_cast<size_t>(matrix), 2);
  const size_t r = std::min<size_t>(static_cast<size_t>(range), 1);
  return kYuvConstants[m][r];
}

YuvConstants10 GetYuvConstants10(YuvMatrix matrix, YuvRange range) {
  double kr = 0.299, kb = 0.114;
  if (matrix == YuvMatrix::kBt709) {
    kr = 0.2126, kb = 0.0722;
  } else if (matrix == YuvMatrix::kBt2020) {
    kr = 0.2627, kb = 0.0593;
  }
  const double kg = 1.0 - kr - kb;
  const bool full = range == YuvRange::kFull;
  const double luma = 255.0 / (full ? 1023.0 : 876.0) * 32768.0;
  const double chroma = 255.0 / (full ? 1023.0 : 896.0) * 32768.0;
  const auto fixed = [](double value) { return static_cast<int32_t>(std::lround(value)); };
  return {fixed(luma),
          full ? 0 : 64,
          fixed(2 * (1 - kb) * chroma),
          fixed(2 * (1 - kb) * kb / kg * chroma),
          fixed(2 * (1 - kr) * kr / kg * chroma),
          fixed(2 * (1 - kr) * chroma)};
}

}  // namespace stillreel
