// The SSE2 NV12 row kernel: 16 pixels of two rows per step; see row.h.
#include <cstddef>

#include "picture/row.h"

#if STILLREEL_PICTURE_X86
namespace stillreel {
namespace {

// H and F of one channel, each repeated for the two pixels of its pair, as
// words in the order of the luma words they are added to.
struct ChromaSse2 {
  __m128i h_lo, h_hi, f_lo, f_hi;
};

template <bool kScaled>
[[gnu::always_inline]] inline ChromaSse2 ExpandSse2(__m128i uv_lo, __m128i uv_hi,
                                                    __m128i coefficients, __m128i k) {
  __m128i sum_lo = _mm_add_epi32(_mm_madd_epi16(uv_lo, coefficients), k);
  __m128i sum_hi = _mm_add_epi32(_mm_madd_epi16(uv_hi, coefficients), k);
  ChromaSse2 c{};
  if (kScaled) {
    sum_lo = _mm_srai_epi32(sum_lo, 1);
    sum_hi = _mm_srai_epi32(sum_hi, 1);
    const __m128i mask = _mm_set1_epi32(127);
    const __m128i f = _mm_packs_epi32(_mm_and_si128(sum_lo, mask), _mm_and_si128(sum_hi, mask));
    c.f_lo = _mm_unpacklo_epi16(f, f);
    c.f_hi = _mm_unpackhi_epi16(f, f);
  }
  const int shift = kScaled ? 7 : 8;
  const __m128i h = _mm_packs_epi32(_mm_srai_epi32(sum_lo, shift), _mm_srai_epi32(sum_hi, shift));
  c.h_lo = _mm_unpacklo_epi16(h, h);
  c.h_hi = _mm_unpackhi_epi16(h, h);
  return c;
}

// One channel as bytes: H + ((149 Y + F) >> 7), or Y + H in full range, with
// `luma` 149 Y or Y.
template <bool kScaled>
[[gnu::always_inline]] inline __m128i ChannelSse2(__m128i luma_lo, __m128i luma_hi,
                                                  const ChromaSse2& c) {
  if (kScaled) {
    luma_lo = _mm_srli_epi16(_mm_add_epi16(luma_lo, c.f_lo), 7);
    luma_hi = _mm_srli_epi16(_mm_add_epi16(luma_hi, c.f_hi), 7);
  }
  return _mm_packus_epi16(_mm_add_epi16(luma_lo, c.h_lo), _mm_add_epi16(luma_hi, c.h_hi));
}

// 16 pixels of one row.
template <bool kScaled>
[[gnu::always_inline]] inline void RowSse2(const uint8_t* src_y, uint8_t* dst,
                                           const ChromaSse2& blue, const ChromaSse2& green,
                                           const ChromaSse2& red, __m128i half_scale) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src_y));
  __m128i luma_lo = _mm_unpacklo_epi8(y, zero);
  __m128i luma_hi = _mm_unpackhi_epi8(y, zero);
  if (kScaled) {
    luma_lo = _mm_mullo_epi16(luma_lo, half_scale);
    luma_hi = _mm_mullo_epi16(luma_hi, half_scale);
  }
  const __m128i b = ChannelSse2<kScaled>(luma_lo, luma_hi, blue);
  const __m128i g = ChannelSse2<kScaled>(luma_lo, luma_hi, green);
  const __m128i r = ChannelSse2<kScaled>(luma_lo, luma_hi, red);
  const __m128i a = _mm_set1_epi8(-1);
  const __m128i bg_lo = _mm_unpacklo_epi8(b, g);
  const __m128i bg_hi = _mm_unpackhi_epi8(b, g);
  const __m128i ra_lo = _mm_unpacklo_epi8(r, a);
  const __m128i ra_hi = _mm_unpackhi_epi8(r, a);
  auto* out = reinterpret_cast<__m128i*>(dst);
  _mm_storeu_si128(out, _mm_unpacklo_epi16(bg_lo, ra_lo));
  _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(bg_lo, ra_lo));
  _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(bg_hi, ra_hi));
  _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(bg_hi, ra_hi));
}

}  // namespace

// Two rows sharing their chroma row, 16 pixels at a time; the scalar code
// converts the rest.
template <bool kScaled>
void Nv12RowsSse2(const Folded& f, const YuvConstants& c, const uint8_t* y0, const uint8_t* y1,
                  const uint8_t* uv, uint8_t* d0, uint8_t* d1, uint32_t width) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i coef_b = _mm_set1_epi32(PairWord(f.blue));
  const __m128i coef_g = _mm_set1_epi32(PairWord(f.green));
  const __m128i coef_r = _mm_set1_epi32(PairWord(f.red));
  const __m128i k_b = _mm_set1_epi32(f.blue.k);
  const __m128i k_g = _mm_set1_epi32(f.green.k);
  const __m128i k_r = _mm_set1_epi32(f.red.k);
  const __m128i half_scale = _mm_set1_epi16(f.half_scale);
  uint32_t x = 0;
  for (; x + 16 <= width; x += 16) {
    const __m128i pairs = _mm_loadu_si128(reinterpret_cast<const __m128i*>(uv + x));
    const __m128i uv_lo = _mm_unpacklo_epi8(pairs, zero);
    const __m128i uv_hi = _mm_unpackhi_epi8(pairs, zero);
    const ChromaSse2 blue = ExpandSse2<kScaled>(uv_lo, uv_hi, coef_b, k_b);
    const ChromaSse2 green = ExpandSse2<kScaled>(uv_lo, uv_hi, coef_g, k_g);
    const ChromaSse2 red = ExpandSse2<kScaled>(uv_lo, uv_hi, coef_r, k_r);
    RowSse2<kScaled>(y0 + x, d0 + 4 * size_t{x}, blue, green, red, half_scale);
    RowSse2<kScaled>(y1 + x, d1 + 4 * size_t{x}, blue, green, red, half_scale);
  }
  Nv12RowsScalar(c, y0, y1, uv, d0, d1, x, width);
}

template void Nv12RowsSse2<true>(const Folded&, const YuvConstants&, const uint8_t*, const uint8_t*,
                                 const uint8_t*, uint8_t*, uint8_t*, uint32_t);
template void Nv12RowsSse2<false>(const Folded&, const YuvConstants&, const uint8_t*,
                                  const uint8_t*, const uint8_t*, uint8_t*, uint8_t*, uint32_t);

}  // namespace stillreel
#endif
