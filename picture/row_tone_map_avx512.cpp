// The AVX-512 tone-mapping kernel: 16 pixels of two rows per step, the scalar kernel's float
// operations in the same order (so the same bytes), table entries gathered.

// GCC 12's AVX-512 intrinsics pass an uninitialised register as the unused merge source, which
// -Wmaybe-uninitialized reports inside the header (GCC bug 105593, fixed in GCC 13). Set before
// the header is first included here: the warning is placed at the header's lines.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <cstddef>
#include <cstring>

#include "picture/row.h"

#if STILLREEL_PICTURE_X86
namespace stillreel {
namespace {

#define STILLREEL_AVX512 [[gnu::target("avx512f"), gnu::always_inline]] inline

STILLREEL_AVX512 __m512 Unit(__m512 v) {
  return _mm512_min_ps(_mm512_max_ps(v, _mm512_setzero_ps()), _mm512_set1_ps(1.0f));
}

STILLREEL_AVX512 __m512 Interpolate(const float* table, int size, __m512 v) {
  v = _mm512_mul_ps(Unit(v), _mm512_set1_ps(static_cast<float>(size - 1)));
  const __m512i index = _mm512_cvttps_epi32(v);
  const __m512 fraction = _mm512_sub_ps(v, _mm512_cvtepi32_ps(index));
  // Each entry with the next in one 64-bit element: half the elements gathered.
  const auto* pairs = reinterpret_cast<const long long*>(table);
  const __m512i first = _mm512_i32gather_epi64(_mm512_castsi512_si256(index), pairs, 4);
  const __m512i second = _mm512_i32gather_epi64(_mm512_extracti64x4_epi64(index, 1), pairs, 4);
  // Even floats of the pairs are the entries, odd ones the next entries, pixels in order.
  const __m512i even = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
  const __m512i odd = _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
  const __m512 low = _mm512_castsi512_ps(_mm512_permutex2var_epi32(first, even, second));
  const __m512 high = _mm512_castsi512_ps(_mm512_permutex2var_epi32(first, odd, second));
  return _mm512_add_ps(low, _mm512_mul_ps(fraction, _mm512_sub_ps(high, low)));
}

STILLREEL_AVX512 __m512i Nearest(__m512 v, int size) {
  return _mm512_cvttps_epi32(_mm512_add_ps(
      _mm512_mul_ps(Unit(v), _mm512_set1_ps(static_cast<float>(size - 1))), _mm512_set1_ps(0.5f)));
}

STILLREEL_AVX512 __m512 Dot(float a, __m512 r, float b, __m512 g, float c, __m512 bl) {
  return _mm512_add_ps(
      _mm512_add_ps(_mm512_mul_ps(_mm512_set1_ps(a), r), _mm512_mul_ps(_mm512_set1_ps(b), g)),
      _mm512_mul_ps(_mm512_set1_ps(c), bl));
}

// A byte of the encoding table per lane: 4 bytes gathered from the entry on (the table is
// followed by other members of the tables), the first kept.
STILLREEL_AVX512 __m512i Encode(const ToneMapTables& t, __m512 c) {
  const __m512i index =
      Nearest(_mm512_sqrt_ps(_mm512_max_ps(c, _mm512_setzero_ps())), ToneMapTables::kEncodeSize);
  return _mm512_and_si512(_mm512_i32gather_epi32(index, t.encode, 1), _mm512_set1_epi32(255));
}

// c mixed with grey `base` by s where `outside`, else c.
STILLREEL_AVX512 __m512 Mix(__m512 c, __m512 base, __m512 s, __mmask16 outside) {
  return _mm512_mask_blend_ps(outside, c,
                              _mm512_add_ps(base, _mm512_mul_ps(s, _mm512_sub_ps(c, base))));
}

STILLREEL_AVX512 void Pixels(const ToneMapTables& t, __m512 luma, __m512 red_c, __m512 green_c,
                             __m512 blue_c, uint8_t* out) {
  const __m512 zero = _mm512_setzero_ps();
  __m512 r = Interpolate(t.to_linear, ToneMapTables::kLinearSize, _mm512_add_ps(luma, red_c));
  __m512 g = Interpolate(t.to_linear, ToneMapTables::kLinearSize, _mm512_sub_ps(luma, green_c));
  __m512 b = Interpolate(t.to_linear, ToneMapTables::kLinearSize, _mm512_add_ps(luma, blue_c));
  if (t.hlg) {
    const __m512 scene = Dot(t.luma_red, r, t.luma_green, g, t.luma_blue, b);
    const __m512 gain = Interpolate(t.hlg_gain, ToneMapTables::kGainSize,
                                    _mm512_sqrt_ps(_mm512_sqrt_ps(_mm512_max_ps(scene, zero))));
    r = _mm512_mul_ps(r, gain);
    g = _mm512_mul_ps(g, gain);
    b = _mm512_mul_ps(b, gain);
  }
  if (t.convert_primaries) {
    const float* m = t.primaries;
    const __m512 r2 = Dot(m[0], r, m[1], g, m[2], b);
    const __m512 g2 = Dot(m[3], r, m[4], g, m[5], b);
    const __m512 b2 = Dot(m[6], r, m[7], g, m[8], b);
    r = r2;
    g = g2;
    b = b2;
  }
  const __m512 brightest = _mm512_max_ps(_mm512_max_ps(r, g), b);
  const __m512i index = _mm512_min_epi32(
      _mm512_cvttps_epi32(_mm512_add_ps(
          _mm512_mul_ps(_mm512_max_ps(brightest, zero), _mm512_set1_ps(t.ratio_scale)),
          _mm512_set1_ps(0.5f))),
      _mm512_set1_epi32(ToneMapTables::kRatioSize - 1));
  const __m512 scale = _mm512_min_ps(
      _mm512_i32gather_ps(index, t.ratio, 4),
      _mm512_div_ps(_mm512_set1_ps(1.0f), _mm512_max_ps(brightest, _mm512_set1_ps(1e-6f))));
  r = _mm512_mul_ps(r, scale);
  g = _mm512_mul_ps(g, scale);
  b = _mm512_mul_ps(b, scale);
  const __m512 least = _mm512_min_ps(_mm512_min_ps(r, g), b);
  const __mmask16 outside = _mm512_cmp_ps_mask(least, zero, _CMP_LT_OQ);
  if (outside != 0) {
    const __m512 lum = Dot(0.2126f, r, 0.7152f, g, 0.0722f, b);
    const __m512 s = _mm512_maskz_div_ps(_mm512_cmp_ps_mask(lum, zero, _CMP_GT_OQ), lum,
                                         _mm512_sub_ps(lum, least));
    const __m512 base = _mm512_max_ps(lum, zero);
    r = Mix(r, base, s, outside);
    g = Mix(g, base, s, outside);
    b = Mix(b, base, s, outside);
  }
  // B | G << 8 | R << 16 | A << 24 per lane: the 16 pixels in order.
  const __m512i pixels = _mm512_or_si512(
      _mm512_or_si512(Encode(t, b), _mm512_slli_epi32(Encode(t, g), 8)),
      _mm512_or_si512(_mm512_slli_epi32(Encode(t, r), 16), _mm512_set1_epi32(-16777216)));
  _mm512_storeu_si512(out, pixels);
}

STILLREEL_AVX512 __m512 Codes(const uint8_t* row, uint32_t x, bool ten_bits) {
  const __m512i codes =
      ten_bits ? _mm512_srli_epi32(_mm512_cvtepu16_epi32(_mm256_loadu_si256(
                                       reinterpret_cast<const __m256i*>(row + 2 * size_t{x}))),
                                   6)
               : _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x)));
  return _mm512_cvtepi32_ps(codes);
}

#undef STILLREEL_AVX512

}  // namespace

[[gnu::target("avx512f")]] void ToneMapRowsAvx512(const ToneMapTables& t, const uint8_t* y0,
                                                  const uint8_t* y1, const uint8_t* uv, uint8_t* d0,
                                                  uint8_t* d1, uint32_t width) {
  const bool ten_bits = t.bits == 10;
  const __m512 y_offset = _mm512_set1_ps(t.y_offset), y_scale = _mm512_set1_ps(t.y_scale);
  const __m512 centre = _mm512_set1_ps(t.c_centre), c_scale = _mm512_set1_ps(t.c_scale);
  const __m512i cb_lanes = _mm512_setr_epi32(0, 0, 2, 2, 4, 4, 6, 6, 8, 8, 10, 10, 12, 12, 14, 14);
  const __m512i cr_lanes = _mm512_setr_epi32(1, 1, 3, 3, 5, 5, 7, 7, 9, 9, 11, 11, 13, 13, 15, 15);
  uint32_t x = 0;
  for (; x + 16 <= width; x += 16) {
    const __m512 pairs = _mm512_mul_ps(_mm512_sub_ps(Codes(uv, x, ten_bits), centre), c_scale);
    const __m512 cb = _mm512_permutexvar_ps(cb_lanes, pairs);
    const __m512 cr = _mm512_permutexvar_ps(cr_lanes, pairs);
    const __m512 red_c = _mm512_mul_ps(_mm512_set1_ps(t.cr_red), cr);
    const __m512 green_c = _mm512_add_ps(_mm512_mul_ps(_mm512_set1_ps(t.cb_green), cb),
                                         _mm512_mul_ps(_mm512_set1_ps(t.cr_green), cr));
    const __m512 blue_c = _mm512_mul_ps(_mm512_set1_ps(t.cb_blue), cb);
    Pixels(t, _mm512_mul_ps(_mm512_sub_ps(Codes(y0, x, ten_bits), y_offset), y_scale), red_c,
           green_c, blue_c, d0 + 4 * size_t{x});
    Pixels(t, _mm512_mul_ps(_mm512_sub_ps(Codes(y1, x, ten_bits), y_offset), y_scale), red_c,
           green_c, blue_c, d1 + 4 * size_t{x});
  }
  ToneMapRowsAvx2(t, y0 + x * (ten_bits ? 2 : 1), y1 + x * (ten_bits ? 2 : 1),
                  uv + x * (ten_bits ? 2 : 1), d0 + 4 * size_t{x}, d1 + 4 * size_t{x}, width - x);
}

}  // namespace stillreel
#endif
