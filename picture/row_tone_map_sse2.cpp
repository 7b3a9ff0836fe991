// The SSE2 tone-mapping kernel: 4 pixels of two rows per step, the scalar kernel's float
// operations in the same order (so the same bytes), table entries fetched lane by lane.
#include <cstddef>
#include <cstring>

#include "picture/row.h"

#if STILLREEL_PICTURE_X86
namespace stillreel {
namespace {

struct Lanes {
  alignas(16) int32_t i[4];
};

// min(max(v, 0), 1), as std::min(std::max(v, 0.0f), 1.0f) gives it for every finite v.
inline __m128 Unit(__m128 v) {
  return _mm_min_ps(_mm_max_ps(v, _mm_setzero_ps()), _mm_set1_ps(1.0f));
}

// Interpolated entry of a table over [0, 1] of `size` + 1 entries.
inline __m128 Interpolate(const float* table, int size, __m128 v) {
  v = _mm_mul_ps(Unit(v), _mm_set1_ps(static_cast<float>(size - 1)));
  const __m128i index = _mm_cvttps_epi32(v);
  const __m128 fraction = _mm_sub_ps(v, _mm_cvtepi32_ps(index));
  Lanes lanes;
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes.i), index);
  const __m128 low =
      _mm_setr_ps(table[lanes.i[0]], table[lanes.i[1]], table[lanes.i[2]], table[lanes.i[3]]);
  const __m128 high = _mm_setr_ps(table[lanes.i[0] + 1], table[lanes.i[1] + 1],
                                  table[lanes.i[2] + 1], table[lanes.i[3] + 1]);
  return _mm_add_ps(low, _mm_mul_ps(fraction, _mm_sub_ps(high, low)));
}

// The nearest index of v in [0, 1] over `size` entries.
inline __m128i Nearest(__m128 v, int size) {
  return _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(Unit(v), _mm_set1_ps(static_cast<float>(size - 1))),
                                     _mm_set1_ps(0.5f)));
}

inline __m128 Dot(__m128 a, __m128 r, __m128 b, __m128 g, __m128 c, __m128 bl) {
  return _mm_add_ps(_mm_add_ps(_mm_mul_ps(a, r), _mm_mul_ps(b, g)), _mm_mul_ps(c, bl));
}

// Four pixels: Pixel() of tone_map.cpp, lane by lane.
void Pixels(const ToneMapTables& t, __m128 luma, __m128 red_c, __m128 green_c, __m128 blue_c,
            uint8_t* out) {
  const __m128 zero = _mm_setzero_ps();
  __m128 r = Interpolate(t.to_linear, ToneMapTables::kLinearSize, _mm_add_ps(luma, red_c));
  __m128 g = Interpolate(t.to_linear, ToneMapTables::kLinearSize, _mm_sub_ps(luma, green_c));
  __m128 b = Interpolate(t.to_linear, ToneMapTables::kLinearSize, _mm_add_ps(luma, blue_c));
  if (t.hlg) {
    const __m128 scene =
        Dot(_mm_set1_ps(t.luma_red), r, _mm_set1_ps(t.luma_green), g, _mm_set1_ps(t.luma_blue), b);
    const __m128 gain = Interpolate(t.hlg_gain, ToneMapTables::kGainSize,
                                    _mm_sqrt_ps(_mm_sqrt_ps(_mm_max_ps(scene, zero))));
    r = _mm_mul_ps(r, gain);
    g = _mm_mul_ps(g, gain);
    b = _mm_mul_ps(b, gain);
  }
  if (t.convert_primaries) {
    const float* m = t.primaries;
    const __m128 r2 = Dot(_mm_set1_ps(m[0]), r, _mm_set1_ps(m[1]), g, _mm_set1_ps(m[2]), b);
    const __m128 g2 = Dot(_mm_set1_ps(m[3]), r, _mm_set1_ps(m[4]), g, _mm_set1_ps(m[5]), b);
    const __m128 b2 = Dot(_mm_set1_ps(m[6]), r, _mm_set1_ps(m[7]), g, _mm_set1_ps(m[8]), b);
    r = r2;
    g = g2;
    b = b2;
  }
  const __m128 brightest = _mm_max_ps(_mm_max_ps(r, g), b);
  Lanes index;
  _mm_store_si128(
      reinterpret_cast<__m128i*>(index.i),
      _mm_cvttps_epi32(_mm_add_ps(
          _mm_mul_ps(_mm_max_ps(brightest, zero), _mm_set1_ps(t.ratio_scale)), _mm_set1_ps(0.5f))));
  float ratio[4];
  for (int k = 0; k < 4; ++k) {
    ratio[k] = t.ratio[index.i[k] < ToneMapTables::kRatioSize - 1 ? index.i[k]
                                                                  : ToneMapTables::kRatioSize - 1];
  }
  const __m128 scale =
      _mm_min_ps(_mm_loadu_ps(ratio),
                 _mm_div_ps(_mm_set1_ps(1.0f), _mm_max_ps(brightest, _mm_set1_ps(1e-6f))));
  r = _mm_mul_ps(r, scale);
  g = _mm_mul_ps(g, scale);
  b = _mm_mul_ps(b, scale);
  const __m128 least = _mm_min_ps(_mm_min_ps(r, g), b);
  const __m128 outside = _mm_cmplt_ps(least, zero);
  if (_mm_movemask_ps(outside) != 0) {
    const __m128 lum =
        Dot(_mm_set1_ps(0.2126f), r, _mm_set1_ps(0.7152f), g, _mm_set1_ps(0.0722f), b);
    const __m128 s = _mm_and_ps(_mm_cmpgt_ps(lum, zero), _mm_div_ps(lum, _mm_sub_ps(lum, least)));
    const __m128 base = _mm_max_ps(lum, zero);
    const auto mix = [&](__m128 c) {
      const __m128 mixed = _mm_add_ps(base, _mm_mul_ps(s, _mm_sub_ps(c, base)));
      return _mm_or_ps(_mm_and_ps(outside, mixed), _mm_andnot_ps(outside, c));
    };
    r = mix(r);
    g = mix(g);
    b = mix(b);
  }
  Lanes blue, green, red;
  const auto encoded = [&](__m128 c, Lanes& lanes) {
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes.i),
                    Nearest(_mm_sqrt_ps(_mm_max_ps(c, zero)), ToneMapTables::kEncodeSize));
  };
  encoded(b, blue);
  encoded(g, green);
  encoded(r, red);
  for (int k = 0; k < 4; ++k) {
    out[4 * k] = t.encode[blue.i[k]];
    out[4 * k + 1] = t.encode[green.i[k]];
    out[4 * k + 2] = t.encode[red.i[k]];
    out[4 * k + 3] = 255;
  }
}

// Four codes of a row as floats: 16-bit words shifted down by 6, or bytes.
inline __m128 Codes(const uint8_t* row, uint32_t x, bool ten_bits) {
  __m128i codes;
  if (ten_bits) {
    // Eight bytes, the four words; no 64-bit register needed (the 32-bit build has none).
    const __m128i words = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + 2 * size_t{x}));
    codes = _mm_srli_epi32(_mm_unpacklo_epi16(words, _mm_setzero_si128()), 6);
  } else {
    uint32_t bytes;
    std::memcpy(&bytes, row + x, 4);
    codes = _mm_unpacklo_epi16(
        _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int32_t>(bytes)), _mm_setzero_si128()),
        _mm_setzero_si128());
  }
  return _mm_cvtepi32_ps(codes);
}

}  // namespace

void ToneMapRowsSse2(const ToneMapTables& t, const uint8_t* y0, const uint8_t* y1,
                     const uint8_t* uv, uint8_t* d0, uint8_t* d1, uint32_t width) {
  const bool ten_bits = t.bits == 10;
  const __m128 y_offset = _mm_set1_ps(t.y_offset), y_scale = _mm_set1_ps(t.y_scale);
  const __m128 centre = _mm_set1_ps(t.c_centre), c_scale = _mm_set1_ps(t.c_scale);
  uint32_t x = 0;
  for (; x + 4 <= width; x += 4) {
    // Cb0 Cr0 Cb1 Cr1 to Cb0 Cb0 Cb1 Cb1 and Cr0 Cr0 Cr1 Cr1.
    const __m128 pairs = _mm_mul_ps(_mm_sub_ps(Codes(uv, x, ten_bits), centre), c_scale);
    const __m128 cb = _mm_shuffle_ps(pairs, pairs, _MM_SHUFFLE(2, 2, 0, 0));
    const __m128 cr = _mm_shuffle_ps(pairs, pairs, _MM_SHUFFLE(3, 3, 1, 1));
    const __m128 red_c = _mm_mul_ps(_mm_set1_ps(t.cr_red), cr);
    const __m128 green_c = _mm_add_ps(_mm_mul_ps(_mm_set1_ps(t.cb_green), cb),
                                      _mm_mul_ps(_mm_set1_ps(t.cr_green), cr));
    const __m128 blue_c = _mm_mul_ps(_mm_set1_ps(t.cb_blue), cb);
    Pixels(t, _mm_mul_ps(_mm_sub_ps(Codes(y0, x, ten_bits), y_offset), y_scale), red_c, green_c,
           blue_c, d0 + 4 * size_t{x});
    Pixels(t, _mm_mul_ps(_mm_sub_ps(Codes(y1, x, ten_bits), y_offset), y_scale), red_c, green_c,
           blue_c, d1 + 4 * size_t{x});
  }
  ToneMapRowsScalarFrom(t, y0, y1, uv, d0, d1, x, width);
}

}  // namespace stillreel
#endif
