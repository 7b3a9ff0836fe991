// The scalar NV12 row kernel and the folded constants the others share; see row.h.
#include <algorithm>
#include <cstddef>

#include "picture/row.h"

namespace stillreel {

Folded Fold(const YuvConstants& c) {
  const int32_t base = 128 - c.y_scale * c.y_offset;
  const auto channel = [base](int32_t cb, int32_t cr) {
    return Channel{static_cast<int16_t>(cb), static_cast<int16_t>(cr), base - 128 * (cb + cr)};
  };
  return {channel(c.cb_blue, 0), channel(-c.cb_green, -c.cr_green), channel(0, c.cr_red),
          static_cast<int16_t>(c.y_scale / 2)};
}

namespace {

uint8_t Clamp(int32_t value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

}  // namespace

void Nv12RowsScalar(const YuvConstants& c, const uint8_t* y0, const uint8_t* y1, const uint8_t* uv,
                    uint8_t* d0, uint8_t* d1, uint32_t x, uint32_t width) {
  for (; x < width; ++x) {
    const int32_t cb = uv[x / 2 * 2] - 128;
    const int32_t cr = uv[x / 2 * 2 + 1] - 128;
    const int32_t blue = c.cb_blue * cb;
    const int32_t green = -c.cb_green * cb - c.cr_green * cr;
    const int32_t red = c.cr_red * cr;
    for (int row = 0; row < 2; ++row) {
      const int32_t luma = c.y_scale * ((row == 0 ? y0 : y1)[x] - c.y_offset) + 128;
      uint8_t* out = (row == 0 ? d0 : d1) + 4 * size_t{x};
      out[0] = Clamp((luma + blue) >> 8);
      out[1] = Clamp((luma + green) >> 8);
      out[2] = Clamp((luma + red) >> 8);
      out[3] = 255;
    }
  }
}

}  // namespace stillreel
