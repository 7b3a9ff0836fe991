// The SSE2 P010 row kernel: 8 pixels of two rows per step with 16 x 16 -> 32-bit multiply-adds,
// the scalar kernel's equations exactly; see row.h.
#include <cstddef>

#include "picture/row.h"

#if STILLREEL_PICTURE_X86
namespace stillreel {
namespace {

// Coefficient word pairs for _mm_madd_epi16: (cb, cr) per channel, (y_scale, 1) for luma.
inline __m128i Pair(int32_t low, int32_t high) {
  return _mm_set1_epi32(static_cast<int32_t>(
      static_cast<uint16_t>(low) | static_cast<uint32_t>(static_cast<uint16_t>(high)) << 16));
}

struct Chroma {
  __m128i lo, hi;  // the sum per pair, repeated for both pixels: pixels 0-3 and 4-7
};

inline Chroma Expand(__m128i pairs, __m128i coefficients) {
  const __m128i sum = _mm_madd_epi16(pairs, coefficients);  // pairs 0-3
  return {_mm_unpacklo_epi32(sum, sum), _mm_unpackhi_epi32(sum, sum)};
}

// 8 pixels of one row: luma words from `src`, the channels' chroma sums.
inline void Row(const uint8_t* src, uint8_t* dst, __m128i y_offset, __m128i luma_pair,
                const Chroma& blue, const Chroma& green, const Chroma& red) {
  const __m128i codes = _mm_sub_epi16(
      _mm_srli_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)), 6), y_offset);
  const __m128i one = _mm_set1_epi16(1);
  // (Y - y_offset) * y_scale + 1 * 16384, per pixel in 32 bits.
  const __m128i luma_lo = _mm_madd_epi16(_mm_unpacklo_epi16(codes, one), luma_pair);
  const __m128i luma_hi = _mm_madd_epi16(_mm_unpackhi_epi16(codes, one), luma_pair);
  const auto channel = [&](const Chroma& c) {
    const __m128i lo = _mm_srai_epi32(_mm_add_epi32(luma_lo, c.lo), 15);
    const __m128i hi = _mm_srai_epi32(_mm_add_epi32(luma_hi, c.hi), 15);
    const __m128i words = _mm_packs_epi32(lo, hi);
    return _mm_packus_epi16(words, words);  // low 8 bytes: the clamped channel
  };
  const __m128i b = channel(blue), g = channel(green), r = channel(red);
  const __m128i bg = _mm_unpacklo_epi8(b, g);
  const __m128i ra = _mm_unpacklo_epi8(r, _mm_set1_epi8(-1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_unpacklo_epi16(bg, ra));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16), _mm_unpackhi_epi16(bg, ra));
}

}  // namespace

void P010RowsSse2(const YuvConstants10& c, const uint8_t* y0, const uint8_t* y1, const uint8_t* uv,
                  uint8_t* d0, uint8_t* d1, uint32_t width) {
  const __m128i y_offset = _mm_set1_epi16(static_cast<int16_t>(c.y_offset));
  const __m128i luma_pair = Pair(c.y_scale, 16384);
  const __m128i blue_pair = Pair(c.cb_blue, 0);
  const __m128i green_pair = Pair(-c.cb_green, -c.cr_green);
  const __m128i red_pair = Pair(0, c.cr_red);
  const __m128i centre = _mm_set1_epi16(512);
  uint32_t x = 0;
  for (; x + 8 <= width; x += 8) {
    // Cb, Cr of pairs 0-3 minus 512: 16-bit, signed.
    const __m128i pairs = _mm_sub_epi16(
        _mm_srli_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(uv + 2 * size_t{x})), 6),
        centre);
    const Chroma blue = Expand(pairs, blue_pair);
    const Chroma green = Expand(pairs, green_pair);
    const Chroma red = Expand(pairs, red_pair);
    Row(y0 + 2 * size_t{x}, d0 + 4 * size_t{x}, y_offset, luma_pair, blue, green, red);
    Row(y1 + 2 * size_t{x}, d1 + 4 * size_t{x}, y_offset, luma_pair, blue, green, red);
  }
  P010RowsScalar(c, y0, y1, uv, d0, d1, x, width);
}

}  // namespace stillreel
#endif
