// The row kernels of the NV12 conversion, one file per instruction set
// (row_scalar.cpp, row_sse2.cpp, row_avx2.cpp): two rows sharing one chroma
// row to BGRA. Internal to picture/; convert.h is the public entry.
#pragma once

#include <bit>
#include <cstdint>

#include "picture/tone_map.h"
#include "picture/yuv.h"

// The kernels use SSE2 (the baseline of x86-64, and of the 32-bit build,
// which is compiled with -msse2) and AVX2 through a target attribute, picked
// at run time. Elsewhere the scalar kernel runs.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__)) && defined(__SSE2__)
#define STILLREEL_PICTURE_X86 1
#include <immintrin.h>
#else
#define STILLREEL_PICTURE_X86 0
#endif

namespace stillreel {

// Pixels are written as bytes blue, green, red, alpha; the kernels build them
// from 16- and 32-bit lanes, which gives that order only on a little-endian host.
static_assert(std::endian::native == std::endian::little);

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

Folded Fold(const YuvConstants& c);

// The equations as yuv.h states them, for columns [x, width) of both rows.
void Nv12RowsScalar(const YuvConstants& c, const uint8_t* y0, const uint8_t* y1, const uint8_t* uv,
                    uint8_t* d0, uint8_t* d1, uint32_t x, uint32_t width);

// P010 rows (16-bit words, the value in the top 10 bits) by yuv.h's 10-bit
// equations, for columns [x, width) of both rows.
void P010RowsScalar(const YuvConstants10& c, const uint8_t* y0, const uint8_t* y1,
                    const uint8_t* uv, uint8_t* d0, uint8_t* d1, uint32_t x, uint32_t width);

#if STILLREEL_PICTURE_X86
inline int32_t PairWord(const Channel& channel) {
  return static_cast<int32_t>(static_cast<uint16_t>(channel.cb) |
                              static_cast<uint32_t>(static_cast<uint16_t>(channel.cr)) << 16);
}

// Two rows sharing their chroma row, 16 (SSE2) or 32 (AVX2) pixels at a
// time, the rest by the narrower kernels. kScaled: limited range.
template <bool kScaled>
void Nv12RowsSse2(const Folded& f, const YuvConstants& c, const uint8_t* y0, const uint8_t* y1,
                  const uint8_t* uv, uint8_t* d0, uint8_t* d1, uint32_t width);
// P010, 8 pixels of each row per step, the same bytes as P010RowsScalar.
void P010RowsSse2(const YuvConstants10& c, const uint8_t* y0, const uint8_t* y1, const uint8_t* uv,
                  uint8_t* d0, uint8_t* d1, uint32_t width);
// Tone mapping, 4 pixels of each row per step, the same bytes as ToneMapRowsScalar.
void ToneMapRowsSse2(const ToneMapTables& tables, const uint8_t* y0, const uint8_t* y1,
                     const uint8_t* uv, uint8_t* d0, uint8_t* d1, uint32_t width);
// The same, 8 pixels of each row per step.
[[gnu::target("avx2")]] void ToneMapRowsAvx2(const ToneMapTables& tables, const uint8_t* y0,
                                             const uint8_t* y1, const uint8_t* uv, uint8_t* d0,
                                             uint8_t* d1, uint32_t width);
// The same, 16 pixels of each row per step.
[[gnu::target("avx512f")]] void ToneMapRowsAvx512(const ToneMapTables& tables, const uint8_t* y0,
                                                  const uint8_t* y1, const uint8_t* uv, uint8_t* d0,
                                                  uint8_t* d1, uint32_t width);
template <bool kScaled>
[[gnu::target("avx2")]] void Nv12RowsAvx2(const Folded& f, const YuvConstants& c, const uint8_t* y0,
                                          const uint8_t* y1, const uint8_t* uv, uint8_t* d0,
                                          uint8_t* d1, uint32_t width);
#endif

}  // namespace stillreel
