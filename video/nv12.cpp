// NV12 to bottom-up BGRA conversion and BMP assembly; see nv12.h.
#include "video/nv12.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <limits>

// The row kernels use SSE2 (the baseline of x86-64, and of the 32-bit build,
// which is compiled with -msse2) and AVX2 through a target attribute, picked
// at run time. Elsewhere the scalar kernel runs.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__)) && defined(__SSE2__)
#define STILLREEL_NV12_X86 1
#include <immintrin.h>
#else
#define STILLREEL_NV12_X86 0
#endif

namespace stillreel {
namespace {

// Pixels are written as bytes blue, green, red, alpha; the kernels build them
// from 16- and 32-bit lanes, which gives that order only on a little-endian host.
static_assert(std::endian::native == std::endian::little);

// Coefficients of the equations in nv12.h, [matrix][range]. With Kr, Kb the
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

// The fast form. Per channel the chroma part of the sum,
//   S = cb * Cb + cr * Cr + k,  k = 128 - y_scale * y_offset - 128 (cb + cr)
// (cb, cr the signed coefficients of the channel) is taken once per Cb, Cr
// pair with one 16 x 16 -> 32-bit multiply-add of the word pair as NV12
// stores it. Full range (y_scale 256) is then Y + H with H = S >> 8. Limited
// range (y_scale = 2 * 149) splits S >> 1 = 128 H + F (F = S >> 1 & 127, so
// H is again S >> 8) and, exactly,
//   (298 Y + S) >> 8 = ((298 Y + S) >> 1) >> 7 = H + ((149 Y + F) >> 7)
// since 128 H is a multiple of 128. 149 Y + F lies in [0, 38122], an
// unsigned 16-bit lane; H lies in [-293, 253] and every channel before
// clamping in [-293, 550], so all per-pixel steps fit 16-bit lanes, where
// packing to bytes with unsigned saturation is the clamp.
struct Channel {
  int16_t cb;
  int16_t cr;
  int32_t k;
};

struct Folded {
  Channel blue;
  Channel green;
  Channel red;
  int16_t half_scale;  // y_scale / 2; 128 for full range, which needs no F
};

Folded Fold(const YuvConstants& c) {
  const int32_t base = 128 - c.y_scale * c.y_offset;
  const auto channel = [base](int32_t cb, int32_t cr) {
    return Channel{static_cast<int16_t>(cb), static_cast<int16_t>(cr), base - 128 * (cb + cr)};
  };
  return {channel(c.cb_blue, 0), channel(-c.cb_green, -c.cr_green), channel(0, c.cr_red),
          static_cast<int16_t>(c.y_scale / 2)};
}

uint8_t Clamp(int32_t value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

// The equations as nv12.h states them, for columns [x, width) of both rows.
void ScalarRows(const YuvConstants& c, const uint8_t* y0, const uint8_t* y1, const uint8_t* uv,
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

#if STILLREEL_NV12_X86
int32_t PairWord(const Channel& channel) {
  return static_cast<int32_t>(static_cast<uint16_t>(channel.cb) |
                              static_cast<uint32_t>(static_cast<uint16_t>(channel.cr)) << 16);
}

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

// Two rows sharing their chroma row, 16 pixels at a time; the scalar code
// converts the rest.
template <bool kScaled>
void RowsSse2(const Folded& f, const YuvConstants& c, const uint8_t* y0, const uint8_t* y1,
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
  ScalarRows(c, y0, y1, uv, d0, d1, x, width);
}

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

template <bool kScaled>
[[gnu::target("avx2")]] void RowsAvx2(const Folded& f, const YuvConstants& c, const uint8_t* y0,
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
  RowsSse2<kScaled>(f, c, y0 + x, y1 + x, uv + x, d0 + 4 * size_t{x}, d1 + 4 * size_t{x},
                    width - x);
}
#endif

using RowsFunction = void (*)(const Folded&, const YuvConstants&, const uint8_t*, const uint8_t*,
                              const uint8_t*, uint8_t*, uint8_t*, uint32_t);

void RowsScalar(const Folded&, const YuvConstants& c, const uint8_t* y0, const uint8_t* y1,
                const uint8_t* uv, uint8_t* d0, uint8_t* d1, uint32_t width) {
  ScalarRows(c, y0, y1, uv, d0, d1, 0, width);
}

// The kernel and constants for one conversion.
class RowConverter {
 public:
  RowConverter(SimdLevel level, const YuvConstants& constants)
      : constants_(constants), folded_(Fold(constants)) {
    // Limited range; full range (y_scale 256) needs no F.
    const bool scaled = folded_.half_scale != 128;
    level = std::min(level, BestSimdLevel());
    function_ = RowsScalar;
#if STILLREEL_NV12_X86
    if (level == SimdLevel::kAvx2) {
      function_ = scaled ? RowsAvx2<true> : RowsAvx2<false>;
    } else if (level == SimdLevel::kSse2) {
      function_ = scaled ? RowsSse2<true> : RowsSse2<false>;
    }
#else
    (void)scaled;
#endif
  }
  void operator()(const uint8_t* y0, const uint8_t* y1, const uint8_t* uv, uint8_t* d0, uint8_t* d1,
                  uint32_t width) const {
    function_(folded_, constants_, y0, y1, uv, d0, d1, width);
  }

 private:
  YuvConstants constants_;
  Folded folded_;
  RowsFunction function_;
};

bool PlanesFit(uint64_t y_offset, int32_t y_pitch, uint64_t uv_offset, int32_t uv_pitch,
               uint32_t width, uint32_t height, uint64_t length) {
  if (width == 0 || height == 0 || y_pitch <= 0 || uv_pitch <= 0 ||
      static_cast<uint32_t>(y_pitch) < width || static_cast<uint32_t>(uv_pitch) < width) {
    return false;
  }
  // Spans in bytes from each plane's first byte; no product of two 32-bit
  // factors overflows 64 bits, and offsets are compared before subtracting.
  const uint64_t luma_span = (height - uint64_t{1}) * static_cast<uint32_t>(y_pitch) + width;
  const uint64_t chroma_rows = (uint64_t{height} + 1) / 2;
  const uint64_t chroma_span =
      (chroma_rows - 1) * static_cast<uint32_t>(uv_pitch) + (uint64_t{width} + 1) / 2 * 2;
  return y_offset <= uv_offset && luma_span <= uv_offset - y_offset && uv_offset <= length &&
         chroma_span <= length - uv_offset;
}

uint32_t PlainChromaOffset(uint32_t length) { return static_cast<uint32_t>(2u * length) / 3u; }

const uint8_t* LumaRow(const Nv12Planes& planes, uint32_t row) {
  return planes.y + size_t{row} * static_cast<uint32_t>(planes.y_pitch);
}

const uint8_t* ChromaRow(const Nv12Planes& planes, uint32_t row) {
  return planes.uv + size_t{row / 2} * static_cast<uint32_t>(planes.uv_pitch);
}

bool Turned(Rotation rotation) { return rotation == Rotation::k90 || rotation == Rotation::k270; }

// Rows are converted in segments of this many pixels into scratch on the
// stack: even, so that a segment starts at a chroma pair.
constexpr uint32_t kSegment = 128;
// Source rows per tile of a quarter turn: each output row receives this many
// pixels (64 bytes) at a time.
constexpr uint32_t kTileRows = 16;

// Where stored output pixel x of source row `row` lands, in pixels from the
// start of the bottom-up destination: start + x * step.
struct Placement {
  ptrdiff_t start;
  ptrdiff_t step;
};

Placement Place(Rotation rotation, uint32_t row, uint32_t height, uint32_t stored_width) {
  const ptrdiff_t h = height;
  const ptrdiff_t w = stored_width;
  const ptrdiff_t r = row;
  switch (rotation) {
    case Rotation::k90:  // column x: output row x from the top; row r: column h - 1 - r
      return {(w - 1) * h + (h - 1 - r), -h};
    case Rotation::k180:
      return {r * w + (w - 1), -1};
    case Rotation::k270:
      return {r, h};
    case Rotation::k0:
      break;
  }
  return {(h - 1 - r) * w, 1};
}

void StorePixel(const uint8_t* pixel, uint8_t* dst) { std::memcpy(dst, pixel, 4); }

// Area resampling of one row from src_width to dst_width pixels, fed pixel by
// pixel. Lengths are counted in units of 1 / (src_width * dst_width) of the
// row: a source pixel covers dst_width units, an output pixel src_width.
class AreaRow {
 public:
  AreaRow(uint32_t src_width, uint32_t dst_width, uint8_t* dst, Placement placement)
      : src_width_(src_width), dst_width_(dst_width), dst_(dst), placement_(placement) {}

  void Push(const uint8_t* bgra, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i, bgra += 4) {
      uint64_t left = dst_width_;
      while (left > 0) {
        const uint64_t take = std::min<uint64_t>(left, src_width_ - covered_);
        for (int c = 0; c < 3; ++c) sums_[c] += bgra[c] * take;
        covered_ += take;
        left -= take;
        if (covered_ == src_width_) Emit();
      }
    }
  }

 private:
  void Emit() {
    uint8_t pixel[4];
    for (int c = 0; c < 3; ++c) {
      pixel[c] = static_cast<uint8_t>((sums_[c] + src_width_ / 2) / src_width_);
      sums_[c] = 0;
    }
    pixel[3] = 255;
    StorePixel(pixel,
               dst_ + 4 * (placement_.start + static_cast<ptrdiff_t>(index_) * placement_.step));
    covered_ = 0;
    ++index_;
  }

  uint64_t src_width_;
  uint64_t dst_width_;
  uint8_t* dst_;
  Placement placement_;
  uint64_t sums_[3] = {};
  uint64_t covered_ = 0;
  uint32_t index_ = 0;
};

void ReverseRow(uint8_t* row, uint32_t width) {
  uint8_t* left = row;
  uint8_t* right = row + 4 * size_t{width};
#if STILLREEL_NV12_X86
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

// Upright or upside down: each pair of source rows goes straight into its
// destination rows.
void ConvertStraight(const RowConverter& convert, const Nv12Planes& planes, bool upside_down,
                     uint8_t* dst) {
  const uint32_t width = planes.width;
  const uint32_t height = planes.height;
  const size_t dst_stride = size_t{width} * 4;
  for (uint32_t row = 0; row < height; row += 2) {
    const uint32_t next = std::min(row + 1, height - 1);
    // Picture row 0 is the last stored row, or the first when turned over.
    uint8_t* d0 = dst + (upside_down ? row : height - 1 - row) * dst_stride;
    uint8_t* d1 = dst + (upside_down ? next : height - 1 - next) * dst_stride;
    convert(LumaRow(planes, row), LumaRow(planes, next), ChromaRow(planes, row), d0, d1, width);
    if (upside_down) {
      ReverseRow(d0, width);
      if (next != row) ReverseRow(d1, width);
    }
  }
}

// Writes `columns` columns of a tile of `rows` rows as runs of output pixels:
// column x goes to out + x * out_step (bytes), its pixels taken from the tile
// rows top to bottom, or bottom to top when `reversed`. Columns are written
// in the order of their addresses, last column first when out_step < 0.
void WriteTileColumns(const uint8_t* tile, uint32_t rows, uint32_t columns, bool reversed,
                      uint8_t* out, ptrdiff_t out_step) {
  const auto tile_row = [tile, rows, reversed](uint32_t k) {
    return tile + (reversed ? rows - 1 - k : k) * kSegment * 4;
  };
  const auto column_out = [out, out_step](uint32_t x) {
    return out + static_cast<ptrdiff_t>(x) * out_step;
  };
  const auto write_column = [&](uint32_t x) {
    for (uint32_t k = 0; k < rows; ++k) StorePixel(tile_row(k) + 4 * x, column_out(x) + 4 * k);
  };
  const bool backwards = out_step < 0;
  // Blocks of 4 columns, transposed 4 x 4 pixels at a time in registers.
  const uint32_t blocks = STILLREEL_NV12_X86 ? columns / 4 : 0;
  if (backwards) {
    for (uint32_t x = columns; x-- > 4 * blocks;) write_column(x);
  }
#if STILLREEL_NV12_X86
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

// A quarter turn: tiles of kTileRows source rows by kSegment columns are
// converted on the stack, then each tile column is written as a run of
// kTileRows pixels of one output row.
void ConvertTurned(const RowConverter& convert, const Nv12Planes& planes, bool clockwise,
                   uint8_t* dst) {
  const uint32_t width = planes.width;
  const uint32_t height = planes.height;
  const ptrdiff_t out_stride = static_cast<ptrdiff_t>(height) * 4;
  uint8_t tile[kTileRows * kSegment * 4];
  const uint32_t segments = (width - 1) / kSegment + 1;
  for (uint32_t row0 = 0; row0 < height; row0 += kTileRows) {
    const uint32_t rows = std::min(kTileRows, height - row0);
    for (uint32_t segment = 0; segment < segments; ++segment) {
      // Clockwise, source column x is output row x counted from the top, and
      // source rows run right to left; counter-clockwise, output row x
      // counted from the bottom, rows left to right. Segments are taken in
      // the order of their output rows in memory.
      const uint32_t x0 = (clockwise ? segments - 1 - segment : segment) * kSegment;
      const uint32_t columns = std::min(kSegment, width - x0);
      for (uint32_t t = 0; t < rows; t += 2) {
        const uint32_t t1 = std::min(t + 1, rows - 1);
        convert(LumaRow(planes, row0 + t) + x0, LumaRow(planes, row0 + t1) + x0,
                ChromaRow(planes, row0 + t) + x0, tile + t * kSegment * 4, tile + t1 * kSegment * 4,
                columns);
      }
      const size_t out_row = clockwise ? width - 1 - x0 : x0;
      const size_t out_column = clockwise ? height - row0 - rows : row0;
      WriteTileColumns(tile, rows, columns, clockwise, dst + (out_row * height + out_column) * 4,
                       clockwise ? -out_stride : out_stride);
    }
  }
}

// Rows widened or narrowed: each pair of source rows is converted a segment
// at a time and streamed through an area filter to its place in any rotation.
void ConvertResampled(const RowConverter& convert, const Nv12Planes& planes, Rotation rotation,
                      uint32_t stored_width, uint8_t* dst) {
  const uint32_t width = planes.width;
  const uint32_t height = planes.height;
  uint8_t scratch[2][kSegment * 4];
  for (uint32_t row = 0; row < height; row += 2) {
    const uint32_t next = std::min(row + 1, height - 1);
    AreaRow first(width, stored_width, dst, Place(rotation, row, height, stored_width));
    AreaRow second(width, stored_width, dst, Place(rotation, next, height, stored_width));
    for (uint32_t x0 = 0; x0 < width; x0 += kSegment) {
      const uint32_t count = std::min(kSegment, width - x0);
      convert(LumaRow(planes, row) + x0, LumaRow(planes, next) + x0, ChromaRow(planes, row) + x0,
              scratch[0], scratch[1], count);
      first.Push(scratch[0], count);
      if (next != row) second.Push(scratch[1], count);
    }
  }
}

}  // namespace

const YuvConstants& GetYuvConstants(YuvMatrix matrix, YuvRange range) {
  const size_t m = std::min<size_t>(static_cast<size_t>(matrix), 2);
  const size_t r = std::min<size_t>(static_cast<size_t>(range), 1);
  return kYuvConstants[m][r];
}

SimdLevel BestSimdLevel() {
#if STILLREEL_NV12_X86
  // Cheap after the first call; needed when called before libgcc's own
  // constructor has run.
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? SimdLevel::kAvx2 : SimdLevel::kSse2;
#else
  return SimdLevel::kScalar;
#endif
}

void Nv12ToBgraRows(SimdLevel level, const YuvConstants& constants, const uint8_t* src_y0,
                    const uint8_t* src_y1, const uint8_t* src_uv, uint8_t* dst0, uint8_t* dst1,
                    uint32_t width) {
  RowConverter(level, constants)(src_y0, src_y1, src_uv, dst0, dst1, width);
}

std::optional<uint32_t> BmpImageSize(uint32_t width, uint32_t height) {
  // width * height fits 64 bits; the bound keeps * 4 + 54 within int32.
  constexpr uint64_t kMaxPixels = (std::numeric_limits<int32_t>::max() - kBmpHeaderSize) / 4;
  const uint64_t pixels = uint64_t{width} * height;
  if (pixels > kMaxPixels) {
    return std::nullopt;
  }
  return static_cast<uint32_t>(kBmpHeaderSize + pixels * 4);
}

Nv12Planes PlainNv12Planes(const uint8_t* buffer, int32_t pitch, uint32_t length, uint32_t width,
                           uint32_t height) {
  // The chroma offset is at most length: the pointer stays within the buffer.
  return {buffer, pitch, buffer + PlainChromaOffset(length), pitch, width, height};
}

std::optional<Nv12Planes> Nv12PlanesIn2DBuffer(const uint8_t* scanline0, int32_t pitch,
                                               uint32_t coded_height, uint32_t left, uint32_t top,
                                               uint32_t width, uint32_t height) {
  if (pitch <= 0) {
    return std::nullopt;
  }
  left &= ~1u;
  top &= ~1u;
  // Byte offsets from scanline0 in 64 bits; pointers are formed only once
  // they are known to stay within the address space.
  const uint64_t stride = static_cast<uint32_t>(pitch);
  const uint64_t y_offset = top * stride + left;
  const uint64_t uv_offset = (uint64_t{coded_height} + top / 2) * stride + left;
  const auto base = reinterpret_cast<uintptr_t>(scanline0);
  if (std::max(y_offset, uv_offset) > std::numeric_limits<uintptr_t>::max() - base) {
    return std::nullopt;
  }
  return Nv12Planes{reinterpret_cast<const uint8_t*>(base + y_offset),
                    pitch,
                    reinterpret_cast<const uint8_t*>(base + uv_offset),
                    pitch,
                    width,
                    height};
}

bool Nv12PlanesFit(const Nv12Planes& planes, const uint8_t* buffer, uint64_t length) {
  // Compared as addresses: the planes may be anywhere, not only in the buffer.
  const auto base = reinterpret_cast<uintptr_t>(buffer);
  const auto y = reinterpret_cast<uintptr_t>(planes.y);
  const auto uv = reinterpret_cast<uintptr_t>(planes.uv);
  // A buffer must lie within the address space, so that no offset below
  // length wraps a pointer.
  if (buffer == nullptr || y < base || uv < base ||
      length > std::numeric_limits<uintptr_t>::max() - base) {
    return false;
  }
  return PlanesFit(y - base, planes.y_pitch, uv - base, planes.uv_pitch, planes.width,
                   planes.height, length);
}

bool Nv12FrameFits(int32_t pitch, uint32_t length, uint32_t width, uint32_t height) {
  return PlanesFit(0, pitch, PlainChromaOffset(length), pitch, width, height, length);
}

std::optional<PictureDimensions> PictureSize(uint32_t width, uint32_t height,
                                             const PictureOptions& options) {
  switch (options.rotation) {
    case Rotation::k0:
    case Rotation::k90:
    case Rotation::k180:
    case Rotation::k270:
      break;
    default:
      return std::nullopt;
  }
  if (width == 0 || height == 0) {
    return std::nullopt;
  }
  uint64_t stored_width = width;
  const uint32_t num = options.aspect_num;
  const uint32_t den = options.aspect_den;
  if (!options.keep_stored_pixels && num != 0 && den != 0 && num != den) {
    // width * num < 2^64; the remainder is below den, so doubling it cannot wrap.
    const uint64_t product = uint64_t{width} * num;
    stored_width = product / den + (product % den * 2 >= den ? 1 : 0);
    stored_width = std::max<uint64_t>(stored_width, 1);
    if (stored_width > std::numeric_limits<uint32_t>::max()) {
      return std::nullopt;
    }
  }
  const auto stored = static_cast<uint32_t>(stored_width);
  const PictureDimensions size = Turned(options.rotation) ? PictureDimensions{height, stored}
                                                          : PictureDimensions{stored, height};
  if (!BmpImageSize(size.width, size.height)) {
    return std::nullopt;
  }
  return size;
}

bool ConvertNv12ToBgra(const Nv12Planes& planes, const uint8_t* buffer, uint64_t length,
                       const PictureOptions& options, uint8_t* dst_bgra) {
  if (static_cast<size_t>(options.matrix) > 2 || static_cast<size_t>(options.range) > 1 ||
      !Nv12PlanesFit(planes, buffer, length)) {
    return false;
  }
  const std::optional<PictureDimensions> size = PictureSize(planes.width, planes.height, options);
  if (!size) {
    return false;
  }
  const RowConverter convert(BestSimdLevel(), GetYuvConstants(options.matrix, options.range));
  const uint32_t stored_width = Turned(options.rotation) ? size->height : size->width;
  if (stored_width != planes.width) {
    ConvertResampled(convert, planes, options.rotation, stored_width, dst_bgra);
  } else if (Turned(options.rotation)) {
    ConvertTurned(convert, planes, options.rotation == Rotation::k90, dst_bgra);
  } else {
    ConvertStraight(convert, planes, options.rotation == Rotation::k180, dst_bgra);
  }
  return true;
}

void AssembleBmp(uint32_t width, uint32_t height, const uint8_t* pixels, uint8_t* block) {
  const uint32_t pixel_bytes = width * height * 4;
  uint8_t* out = block;
  // Every header field is little-endian.
  const auto put16 = [&out](uint16_t value) {
    *out++ = static_cast<uint8_t>(value);
    *out++ = static_cast<uint8_t>(value >> 8);
  };
  const auto put32 = [&out](uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
      *out++ = static_cast<uint8_t>(value >> shift);
    }
  };
  // BITMAPFILEHEADER
  put16(0x4D42);  // "BM"
  put32(kBmpHeaderSize + pixel_bytes);
  put16(0);
  put16(0);
  put32(kBmpHeaderSize);
  // BITMAPINFOHEADER; a positive height means rows stored bottom-up.
  put32(40);
  put32(width);
  put32(height);
  put16(1);   // planes
  put16(32);  // bits per pixel
  put32(0);   // BI_RGB
  put32(pixel_bytes);
  put32(0);  // pixels per metre, x and y
  put32(0);
  put32(0);  // colours used, important
  put32(0);
  // Pixels converted straight into the block are already in place.
  if (pixels != block + kBmpHeaderSize) std::memcpy(block + kBmpHeaderSize, pixels, pixel_bytes);
}

}  // namespace stillreel
