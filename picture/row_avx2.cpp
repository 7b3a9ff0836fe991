// The AVX2 NV12 row kernel: 32 pixels of two rows per step; see row.h.
#include <cstddef>

#include "picture/row.h"

#if STILLREEL_PICTURE_X86
namespace stillreel {
namespace {

// The same with 32 pixels per step. 256-bit unpacks and packs work within
// each 128-bit half; luma and chroma are loaded with their 4-byte groups
// reordered [0 2 4 6 | 1 3 5 7], so that words hold pixels [0-3 8-11 | 4-7
// 12-15] (lo) and [16-19 24-27 | 20-23 28-31] (hi), and the final
// interleave then yields pixels 0-7, 8-15, 16-23, 24-31 in order.
struct ChromaAvx2 {
  __m256i h_lo, h_hi, f_lo, f_hi;
};

[[gnu::target("avx2"), gnu::always_inline]] inline __m256i LoadReordered(const uint8_t* src) {
  const __m256i order = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  return _mm256_permutevar8x32_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src)),
                                     order);
}

// Each 32-bit sum S holds H = S >> 8 (which fits 16 bits) in its bytes 1-2
// and S & 255 in byte 0: a byte shuffle repeats them into both 16-bit words
// of the lane, one per pixel of the pair, already in luma word order.
template <bool kScaled>
[[gnu::target("avx2"), gnu::always_inline]] inline ChromaAvx2 ExpandAvx2(__m256i uv_lo,
                                                                         __m256i uv_hi,
                                                                         __m256i coefficients,
                                                                         __m256i k) {
  const __m256i sum_lo = _mm256_add_epi32(_mm256_madd_epi16(uv_lo, coefficients), k);
  const __m256i sum_hi = _mm256_add_epi32(_mm256_madd_epi16(uv_hi, coefficients), k);
  const __m256i high = _mm256_setr_epi8(1, 2, 1, 2, 5, 6, 5, 6, 9, 10, 9, 10, 13, 14, 13, 14, 1, 2,
                                        1, 2, 5, 6, 5, 6, 9, 10, 9, 10, 13, 14, 13, 14);
  ChromaAvx2 c{};
  c.h_lo = _mm256_shuffle_epi8(sum_lo, high);
  c.h_hi = _mm256_shuffle_epi8(sum_hi, high);
  if (kScaled) {
    // F = (S & 255) >> 1; -128 (bit 7 set) zeroes the high byte of each word.
    const __m256i low =
        _mm256_setr_epi8(0, -128, 0, -128, 4, -128, 4, -128, 8, -128, 8, -128, 12, -128, 12, -128,
                         0, -128, 0, -128, 4, -128, 4, -128, 8, -128, 8, -128, 12, -128, 12, -128);
    c.f_lo = _mm256_srli_epi16(_mm256_shuffle_epi8(sum_lo, low), 1);
    c.f_hi = _mm256_srli_epi16(_mm256_shuffle_epi8(sum_hi, low), 1);
  }
  return c;
}

template <bool kScaled>
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i ChannelAvx2(__m256i luma_lo,
                                                                       __m256i luma_hi,
                                                                       const ChromaAvx2& c) {
  if (kScaled) {
    luma_lo = _mm256_srli_epi16(_mm256_add_epi16(luma_lo, c.f_lo), 7);
    luma_hi = _mm256_srli_epi16(_mm256_add_epi16(luma_hi, c.f_hi), 7);
  }
  return _mm256_packus_epi16(_mm256_add_epi16(luma_lo, c.h_lo), _mm256_add_epi16(luma_hi, c.h_hi));
}

template <bool kScaled>
[[gnu::target("avx2"), gnu::always_inline]] inline void RowAvx2(const uint8_t* src_y, uint8_t* dst,
                                                                const ChromaAvx2& blue,
                                                                const ChromaAvx2& green,
                                                                const ChromaAvx2& red,
                                                                __m256i half_scale) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i y = LoadReordered(src_y);
  __m256i luma_lo = _mm256_unpacklo_epi8(y, zero);
  __m256i luma_hi = _mm256_unpackhi_epi8(y, zero);
  if (kScaled) {
    luma_lo = _mm256_mullo_epi16(luma_lo, half_scale);
    luma_hi = _mm256_mullo_epi16(luma_hi, half_scale);
  }
  const __m256i b = ChannelAvx2<kScaled>(luma_lo, luma_hi, blue);
  const __m256i g = ChannelAvx2<kScaled>(luma_lo, luma_hi, green);
  const __m256i r = ChannelAvx2<kScaled>(luma_lo, luma_hi, red);
  const __m256i a = _mm256_set1_epi8(-1);
  const __m256i bg_lo = _mm256_unpacklo_epi8(b, g);
  const __m256i bg_hi = _mm256_unpackhi_epi8(b, g);
  const __m256i ra_lo = _mm256_unpacklo_epi8(r, a);
  const __m256i ra_hi = _mm256_unpackhi_epi8(r, a);
  auto* out = reinterpret_cast<__m256i*>(dst);
  _mm256_storeu_si256(out, _mm256_unpacklo_epi16(bg_lo, ra_lo));
  _mm256_storeu_si256(out + 1, _mm256_unpackhi_epi16(bg_lo, ra_lo));
  _mm256_storeu_si256(out + 2, _mm256_unpacklo_epi16(bg_hi, ra_hi));
  _mm256_storeu_si256(out + 3, _mm256_unpackhi_epi16(bg_hi, ra_hi));
}

}  // namespace

template <bool kScaled>
[[gnu::target("avx2")]] void Nv12RowsAvx2(const Folded& f, const YuvConstants& c, const uint8_t* y0,
                                          const uint8_t* y1, const uint8_t* uv, uint8_t* d0,
                                          uint8_t* d1, uint32_t width) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i coef_b = _mm256_set1_epi32(PairWord(f.blue));
  const __m256i coef_g = _mm256_set1_epi32(PairWord(f.green));
  const __m256i coef_r = _mm256_set1_epi32(PairWord(f.red));
  const __m256i k_b = _mm256_set1_epi32(f.blue.k);
  const __m256i k_g = _mm256_set1_epi32(f.green.k);
  const __m256i k_r = _mm256_set1_epi32(f.red.k);
  const __m256i half_scale = _mm256_set1_epi16(f.half_scale);
  uint32_t x = 0;
  for (; x + 32 <= width; x += 32) {
    const __m256i pairs = LoadReordered(uv + x);
    const __m256i uv_lo = _mm256_unpacklo_epi8(pairs, zero);
    const __m256i uv_hi = _mm256_unpackhi_epi8(pairs, zero);
    const ChromaAvx2 blue = ExpandAvx2<kScaled>(uv_lo, uv_hi, coef_b, k_b);
    const ChromaAvx2 green = ExpandAvx2<kScaled>(uv_lo, uv_hi, coef_g, k_g);
    const ChromaAvx2 red = ExpandAvx2<kScaled>(uv_lo, uv_hi, coef_r, k_r);
    RowAvx2<kScaled>(y0 + x, d0 + 4 * size_t{x}, blue, green, red, half_scale);
    RowAvx2<kScaled>(y1 + x, d1 + 4 * size_t{x}, blue, green, red, half_scale);
  }
  // Fewer than 32 left: SSE2 takes 16 of them, scalar code the rest.
  Nv12RowsSse2<kScaled>(f, c, y0 + x, y1 + x, uv + x, d0 + 4 * size_t{x}, d1 + 4 * size_t{x},
                        width - x);
}

template void Nv12RowsAvx2<true>(const Folded&, const YuvConstants&, const uint8_t*, const uint8_t*,
                                 const uint8_t*, uint8_t*, uint8_t*, uint32_t);
template void Nv12RowsAvx2<false>(const Folded&, const YuvConstants&, const uint8_t*,
                                  const uint8_t*, const uint8_t*, uint8_t*, uint8_t*, uint32_t);

}  // namespace stillreel
#endif
