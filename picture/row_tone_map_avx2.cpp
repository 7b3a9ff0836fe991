// The AVX2 tone-mapping kernel: 8 pixels of two rows per step, the scalar kernel's float
// operations in the same order (so the same bytes), table entries gathered.
#include <cstddef>
#include <cstring>

#include "picture/row.h"

#if STILLREEL_PICTURE_X86
namespace stillreel {
namespace {

#define STILLREEL_AVX2 [[gnu::target("avx2"), gnu::always_inline]] inline

STILLREEL_AVX2 __m256 Unit(__m256 v) {
  return _mm256_min_ps(_mm256_max_ps(v, _mm256_setzero_ps()), _mm256_set1_ps(1.0f));
}

STILLREEL_AVX2 __m256 Interpolate(const float* table, int size, __m256 v) {
  v = _mm256_mul_ps(Unit(v), _mm256_set1_ps(static_cast<float>(size - 1)));
  const __m256i index = _mm256_cvttps_epi32(v);
  const __m256 fraction = _mm256_sub_ps(v, _mm256_cvtepi32_ps(index));
  // Each entry with the next in one 64-bit element: half the elements gathered.
  const auto* pairs = reinterpret_cast<const long long*>(table);
  const __m256 first =
      _mm256_castsi256_ps(_mm256_i32gather_epi64(pairs, _mm256_castsi256_si128(index), 4));
  const __m256 second =
      _mm256_castsi256_ps(_mm256_i32gather_epi64(pairs, _mm256_extracti128_si256(index, 1), 4));
  // Lanes 0, 1 | 2, 3 of the shuffles hold entries of pixels 0, 1, 4, 5 | 2, 3, 6, 7.
  const __m256 low = _mm256_castpd_ps(_mm256_permute4x64_pd(
      _mm256_castps_pd(_mm256_shuffle_ps(first, second, _MM_SHUFFLE(2, 0, 2, 0))), 0xD8));
  const __m256 high = _mm256_castpd_ps(_mm256_permute4x64_pd(
      _mm256_castps_pd(_mm256_shuffle_ps(first, second, _MM_SHUFFLE(3, 1, 3, 1))), 0xD8));
  return _mm256_add_ps(low, _mm256_mul_ps(fraction, _mm256_sub_ps(high, low)));
}

STILLREEL_AVX2 __m256i Nearest(__m256 v, int size) {
  return _mm256_cvttps_epi32(_mm256_add_ps(
      _mm256_mul_ps(Unit(v), _mm256_set1_ps(static_cast<float>(size - 1))), _mm256_set1_ps(0.5f)));
}

STILLREEL_AVX2 __m256 Dot(float a, __m256 r, float b, __m256 g, float c, __m256 bl) {
  return _mm256_add_ps(
      _mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(a), r), _mm256_mul_ps(_mm256_set1_ps(b), g)),
      _mm256_mul_ps(_mm256_set1_ps(c), bl));
}

// A byte of the encoding table per lane: 4 bytes gathered from the entry on (the table is
// followed by other members of the tables), the first kept.
STILLREEL_AVX2 __m256i Encode(const ToneMapTables& t, __m256 c) {
  const __m256i index =
      Nearest(_mm256_sqrt_ps(_mm256_max_ps(c, _mm256_setzero_ps())), ToneMapTables::kEncodeSize);
  return _mm256_and_si256(_mm256_i32gather_epi32(reinterpret_cast<const int*>(t.encode), index, 1),
                          _mm256_set1_epi32(255));
}

// c mixed with grey `base` by s where `outside`, else c.
STILLREEL_AVX2 __m256 Mix(__m256 c, __m256 base, __m256 s, __m256 outside) {
  return _mm256_blendv_ps(c, _mm256_add_ps(base, _mm256_mul_ps(s, _mm256_sub_ps(c, base))),
                          outside);
}

STILLREEL_AVX2 void Pixels(const ToneMapTables& t, __m256 luma, __m256 red_c, __m256 green_c,
                           __m256 blue_c, uint8_t* out) {
  const __m256 zero = _mm256_setzero_ps();
  __m256 r = Interpolate(t.to_linear, ToneMapTables::kLinearSize, _mm256_add_ps(luma, red_c));
  __m256 g = Interpolate(t.to_linear, ToneMapTables::kLinearSize, _mm256_sub_ps(luma, green_c));
  __m256 b = Interpolate(t.to_linear, ToneMapTables::kLinearSize, _mm256_add_ps(luma, blue_c));
  if (t.hlg) {
    const __m256 scene = Dot(t.luma_red, r, t.luma_green, g, t.luma_blue, b);
    const __m256 gain = Interpolate(t.hlg_gain, ToneMapTables::kGainSize,
                                    _mm256_sqrt_ps(_mm256_sqrt_ps(_mm256_max_ps(scene, zero))));
    r = _mm256_mul_ps(r, gain);
    g = _mm256_mul_ps(g, gain);
    b = _mm256_mul_ps(b, gain);
  }
  if (t.convert_primaries) {
    const float* m = t.primaries;
    const __m256 r2 = Dot(m[0], r, m[1], g, m[2], b);
    const __m256 g2 = Dot(m[3], r, m[4], g, m[5], b);
    const __m256 b2 = Dot(m[6], r, m[7], g, m[8], b);
    r = r2;
    g = g2;
    b = b2;
  }
  const __m256 brightest = _mm256_max_ps(_mm256_max_ps(r, g), b);
  const __m256i index = _mm256_min_epi32(
      _mm256_cvttps_epi32(_mm256_add_ps(
          _mm256_mul_ps(_mm256_max_ps(brightest, zero), _mm256_set1_ps(t.ratio_scale)),
          _mm256_set1_ps(0.5f))),
      _mm256_set1_epi32(ToneMapTables::kRatioSize - 1));
  const __m256 scale = _mm256_min_ps(
      _mm256_i32gather_ps(t.ratio, index, 4),
      _mm256_div_ps(_mm256_set1_ps(1.0f), _mm256_max_ps(brightest, _mm256_set1_ps(1e-6f))));
  r = _mm256_mul_ps(r, scale);
  g = _mm256_mul_ps(g, scale);
  b = _mm256_mul_ps(b, scale);
  const __m256 least = _mm256_min_ps(_mm256_min_ps(r, g), b);
  const __m256 outside = _mm256_cmp_ps(least, zero, _CMP_LT_OQ);
  if (_mm256_movemask_ps(outside) != 0) {
    const __m256 lum = Dot(0.2126f, r, 0.7152f, g, 0.0722f, b);
    const __m256 s = _mm256_and_ps(_mm256_cmp_ps(lum, zero, _CMP_GT_OQ),
                                   _mm256_div_ps(lum, _mm256_sub_ps(lum, least)));
    const __m256 base = _mm256_max_ps(lum, zero);
    r = Mix(r, base, s, outside);
    g = Mix(g, base, s, outside);
    b = Mix(b, base, s, outside);
  }
  // B | G << 8 | R << 16 | A << 24 per lane: the 8 pixels in order.
  const __m256i pixels = _mm256_or_si256(
      _mm256_or_si256(Encode(t, b), _mm256_slli_epi32(Encode(t, g), 8)),
      _mm256_or_si256(_mm256_slli_epi32(Encode(t, r), 16), _mm256_set1_epi32(-16777216)));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), pixels);
}

STILLREEL_AVX2 __m256 Codes(const uint8_t* row, uint32_t x, bool ten_bits) {
  const __m256i codes =
      ten_bits ? _mm256_srli_epi32(_mm256_cvtepu16_epi32(_mm_loadu_si128(
                                       reinterpret_cast<const __m128i*>(row + 2 * size_t{x}))),
                                   6)
               : _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + x)));
  return _mm256_cvtepi32_ps(codes);
}

#undef STILLREEL_AVX2

}  // namespace

[[gnu::target("avx2")]] void ToneMapRowsAvx2(const ToneMapTables& t, const uint8_t* y0,
                                             const uint8_t* y1, const uint8_t* uv, uint8_t* d0,
                                             uint8_t* d1, uint32_t width) {
  const bool ten_bits = t.bits == 10;
  const __m256 y_offset = _mm256_set1_ps(t.y_offset), y_scale = _mm256_set1_ps(t.y_scale);
  const __m256 centre = _mm256_set1_ps(t.c_centre), c_scale = _mm256_set1_ps(t.c_scale);
  const __m256i cb_lanes = _mm256_setr_epi32(0, 0, 2, 2, 4, 4, 6, 6);
  const __m256i cr_lanes = _mm256_setr_epi32(1, 1, 3, 3, 5, 5, 7, 7);
  uint32_t x = 0;
  for (; x + 8 <= width; x += 8) {
    const __m256 pairs = _mm256_mul_ps(_mm256_sub_ps(Codes(uv, x, ten_bits), centre), c_scale);
    const __m256 cb = _mm256_permutevar8x32_ps(pairs, cb_lanes);
    const __m256 cr = _mm256_permutevar8x32_ps(pairs, cr_lanes);
    const __m256 red_c = _mm256_mul_ps(_mm256_set1_ps(t.cr_red), cr);
    const __m256 green_c = _mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(t.cb_green), cb),
                                         _mm256_mul_ps(_mm256_set1_ps(t.cr_green), cr));
    const __m256 blue_c = _mm256_mul_ps(_mm256_set1_ps(t.cb_blue), cb);
    Pixels(t, _mm256_mul_ps(_mm256_sub_ps(Codes(y0, x, ten_bits), y_offset), y_scale), red_c,
           green_c, blue_c, d0 + 4 * size_t{x});
    Pixels(t, _mm256_mul_ps(_mm256_sub_ps(Codes(y1, x, ten_bits), y_offset), y_scale), red_c,
           green_c, blue_c, d1 + 4 * size_t{x});
  }
  ToneMapRowsSse2(t, y0 + x * (ten_bits ? 2 : 1), y1 + x * (ten_bits ? 2 : 1),
                  uv + x * (ten_bits ? 2 : 1), d0 + 4 * size_t{x}, d1 + 4 * size_t{x}, width - x);
}

}  // namespace stillreel
#endif
