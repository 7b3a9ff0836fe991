// The scalar P010 row kernel: 10-bit codes to bytes with one rounding; see row.h.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "picture/row.h"

namespace stillreel {
namespace {

int32_t Code(const uint8_t* row, uint32_t index) {
  uint16_t word;
  std::memcpy(&word, row + 2 * size_t{index}, sizeof word);
  return word >> 6;
}

uint8_t Clamp(int32_t value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

}  // namespace

void P010RowsScalar(const YuvConstants10& c, const uint8_t* y0, const uint8_t* y1,
                    const uint8_t* uv, uint8_t* d0, uint8_t* d1, uint32_t x, uint32_t width) {
  for (; x < width; ++x) {
    const int32_t cb = Code(uv, x / 2 * 2) - 512;
    const int32_t cr = Code(uv, x / 2 * 2 + 1) - 512;
    const int32_t blue = c.cb_blue * cb;
    const int32_t green = -c.cb_green * cb - c.cr_green * cr;
    const int32_t red = c.cr_red * cr;
    for (int row = 0; row < 2; ++row) {
      const int32_t luma = c.y_scale * (Code(row == 0 ? y0 : y1, x) - c.y_offset) + 16384;
      uint8_t* out = (row == 0 ? d0 : d1) + 4 * size_t{x};
      out[0] = Clamp((luma + blue) >> 15);
      out[1] = Clamp((luma + green) >> 15);
      out[2] = Clamp((luma + red) >> 15);
      out[3] = 255;
    }
  }
}

}  // namespace stillreel
