// Reversed rows and transposed tiles, with SSE2 where the build has it; see rotate.h.
#include "picture/rotate.h"

#include "picture/row.h"

namespace stillreel {

void ReverseRow(uint8_t* row, uint32_t width) {
  uint8_t* left = row;
  uint8_t* right = row + 4 * size_t{width};
#if STILLREEL_PICTURE_X86
  while (right - left >= 32) {
    right -= 16;
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(left));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(right));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(left), _mm_shuffle_epi32(b, 0x1B));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(right), _mm_shuffle_epi32(a, 0x1B));
    left += 16;
  }
#endif
  while (right - left >= 8) {
    right -= 4;
    uint8_t a[4];
    std::memcpy(a, left, 4);
    std::memcpy(left, right, 4);
    std::memcpy(right, a, 4);
    left += 4;
  }
}

void WriteTileColumns(const uint8_t* tile, uint32_t tile_width, uint32_t rows, uint32_t columns,
                      bool reversed, uint8_t* out, ptrdiff_t out_step) {
  const auto tile_row = [tile, tile_width, rows, reversed](uint32_t k) {
    return tile + (reversed ? rows - 1 - k : k) * size_t{tile_width} * 4;
  };
  const auto column_out = [out, out_step](uint32_t x) {
    return out + static_cast<ptrdiff_t>(x) * out_step;
  };
  const auto write_column = [&](uint32_t x) {
    for (uint32_t k = 0; k < rows; ++k) StorePixel(tile_row(k) + 4 * x, column_out(x) + 4 * k);
  };
  const bool backwards = out_step < 0;
  // Blocks of 4 columns, transposed 4 x 4 pixels at a time in registers.
  const uint32_t blocks = STILLREEL_PICTURE_X86 ? columns / 4 : 0;
  if (backwards) {
    for (uint32_t x = columns; x-- > 4 * blocks;) write_column(x);
  }
#if STILLREEL_PICTURE_X86
  for (uint32_t block = 0; block < blocks; ++block) {
    const uint32_t x = 4 * (backwards ? blocks - 1 - block : block);
    uint32_t k = 0;
    for (; k + 4 <= rows; k += 4) {
      const auto load = [&](uint32_t i) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(tile_row(k + i) + 4 * x));
      };
      const auto store = [&](uint32_t i, __m128i value) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(column_out(x + i) + 4 * k), value);
      };
      const __m128i r0 = load(0), r1 = load(1), r2 = load(2), r3 = load(3);
      const __m128i a = _mm_unpacklo_epi32(r0, r1);  // columns 0, 1 of rows 0, 1
      const __m128i b = _mm_unpacklo_epi32(r2, r3);
      const __m128i c = _mm_unpackhi_epi32(r0, r1);  // columns 2, 3
      const __m128i d = _mm_unpackhi_epi32(r2, r3);
      store(0, _mm_unpacklo_epi64(a, b));
      store(1, _mm_unpackhi_epi64(a, b));
      store(2, _mm_unpacklo_epi64(c, d));
      store(3, _mm_unpackhi_epi64(c, d));
    }
    for (; k < rows; ++k) {
      for (uint32_t i = 0; i < 4; ++i)
        StorePixel(tile_row(k) + 4 * (x + i), column_out(x + i) + 4 * k);
    }
  }
#endif
  if (!backwards) {
    for (uint32_t x = 4 * blocks; x < columns; ++x) write_column(x);
  }
}

}  // namespace stillreel
