// NV12 to bottom-up BGRA conversion and BMP assembly; see nv12.h.
#include "video/nv12.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <limits>

// The row loop is compiled twice: for the baseline of the target and, where
// the compiler can and the processor supports it, for AVX2. Both are the
// same plain C++; only the instruction set the vectoriser may use differs.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define STILLREEL_NV12_AVX2 1
#else
#define STILLREEL_NV12_AVX2 0
#endif

namespace stillreel {
namespace {

// Pixels are stored as two 16-bit words, blue | green << 8 and red | alpha << 8,
// which gives the bytes blue, green, red, alpha only on a little-endian host.
static_assert(std::endian::native == std::endian::little);

// Each channel is (298 Y + K) >> 8 with the BT.601 studio-range constants
// (C = Y - 16, D = Cb - 128, E = Cr - 128, + 128 to round) folded into K:
//   blue:  K = 516 Cb - 70688
//   green: K = -100 Cb - 208 Cr + 34784
//   red:   K = 409 Cr - 56992
// with >> an arithmetic shift of a signed 32-bit sum. Since adding a multiple
// of 256 commutes with the shift, splitting 298 Y = 256 Y + 42 Y and
// K = 256 high + low gives the same result exactly:
//   (298 Y + K) >> 8 = Y + high + ((42 Y + low) >> 8)
//   blue:  high = 2 Cb - 276,  low = 4 Cb - 32              42 Y + low in [-32, 11698]
//   green: high = 135 - Cr,    low = 48 Cr - 100 Cb + 224   42 Y + low in [-25276, 23174]
//   red:   high = 2 Cr - 223,  low = 96 - 103 Cr            42 Y + low in [-26169, 10806]
// and every channel before clamping lies in [-277, 534]. Every step thus
// fits 16 bits, so the vectoriser works on 8 (SSE2) or 16 (AVX2) pixels per
// instruction instead of 4 or 8.
struct ChromaTerms {
  int16_t blue_high;
  int16_t blue_low;
  int16_t green_high;
  int16_t green_low;
  int16_t red_high;
  int16_t red_low;
};

inline ChromaTerms Terms(int32_t cb, int32_t cr) {
  return {static_cast<int16_t>(2 * cb - 276), static_cast<int16_t>(4 * cb - 32),
          static_cast<int16_t>(135 - cr),     static_cast<int16_t>(48 * cr - 100 * cb + 224),
          static_cast<int16_t>(2 * cr - 223), static_cast<int16_t>(96 - 103 * cr)};
}

inline int32_t Channel(int32_t y, int32_t luma42, int16_t high, int16_t low) {
  const int16_t value = static_cast<int16_t>(y + high + (static_cast<int16_t>(luma42 + low) >> 8));
  return std::min<int16_t>(std::max<int16_t>(value, 0), 255);
}

inline void Store16(uint16_t value, uint8_t* __restrict dst) {
  std::memcpy(dst, &value, sizeof value);
}

inline void StorePixel(int32_t y, const ChromaTerms& terms, uint8_t* __restrict dst) {
  const int32_t luma42 = 42 * y;
  const int32_t blue = Channel(y, luma42, terms.blue_high, terms.blue_low);
  const int32_t green = Channel(y, luma42, terms.green_high, terms.green_low);
  const int32_t red = Channel(y, luma42, terms.red_high, terms.red_low);
  Store16(static_cast<uint16_t>(blue | green << 8), dst);
  Store16(static_cast<uint16_t>(red | 0xFF00), dst + 2);
}

// Two pixels per (Cb, Cr) pair. The body has no branch, which is what lets
// GCC vectorise it; an odd last column is converted after the loop.
[[gnu::always_inline]] inline void RowLoop(const uint8_t* __restrict src_y,
                                           const uint8_t* __restrict src_uv,
                                           uint8_t* __restrict dst_bgra, uint32_t width) {
  const size_t pairs = width / 2;
  for (size_t p = 0; p < pairs; ++p) {
    const ChromaTerms terms = Terms(src_uv[2 * p], src_uv[2 * p + 1]);
    StorePixel(src_y[2 * p], terms, dst_bgra + 8 * p);
    StorePixel(src_y[2 * p + 1], terms, dst_bgra + 8 * p + 4);
  }
  if (width & 1) {
    StorePixel(src_y[2 * pairs], Terms(src_uv[2 * pairs], src_uv[2 * pairs + 1]),
               dst_bgra + 8 * pairs);
  }
}

using RowFunction = void (*)(const uint8_t*, const uint8_t*, uint8_t*, uint32_t);

#if STILLREEL_NV12_AVX2
[[gnu::target("avx2")]] void Nv12ToBgraRowAvx2(const uint8_t* __restrict src_y,
                                               const uint8_t* __restrict src_uv,
                                               uint8_t* __restrict dst_bgra, uint32_t width) {
  RowLoop(src_y, src_uv, dst_bgra, width);
}
#endif

RowFunction PickRowFunction() {
#if STILLREEL_NV12_AVX2
  // Cheap after the first call; needed when called before libgcc's own
  // constructor has run.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) {
    return Nv12ToBgraRowAvx2;
  }
#endif
  return Nv12ToBgraRow;
}

}  // namespace

std::optional<uint32_t> BmpImageSize(uint32_t width, uint32_t height) {
  // width * height fits 64 bits; the bound keeps * 4 + 54 within int32.
  constexpr uint64_t kMaxPixels = (std::numeric_limits<int32_t>::max() - kBmpHeaderSize) / 4;
  const uint64_t pixels = uint64_t{width} * height;
  if (pixels > kMaxPixels) {
    return std::nullopt;
  }
  return static_cast<uint32_t>(kBmpHeaderSize + pixels * 4);
}

bool Nv12FrameFits(int32_t pitch, uint32_t length, uint32_t width, uint32_t height) {
  if (width == 0 || height == 0 || pitch <= 0 || static_cast<uint32_t>(pitch) < width) {
    return false;
  }
  // Byte offsets from the first luma row, in 64 bits, where no product of
  // two 32-bit factors overflows.
  const uint64_t stride = static_cast<uint32_t>(pitch);
  const uint64_t chroma_offset = static_cast<uint32_t>(2u * length) / 3u;
  const uint64_t luma_end = (height - uint64_t{1}) * stride + width;
  if (luma_end > chroma_offset) {
    return false;
  }
  const uint64_t chroma_rows = (uint64_t{height} + 1) / 2;
  const uint64_t chroma_row_bytes = (uint64_t{width} + 1) / 2 * 2;
  const uint64_t chroma_end = chroma_offset + (chroma_rows - 1) * stride + chroma_row_bytes;
  return chroma_end <= length;
}

void Nv12ToBgraRow(const uint8_t* __restrict src_y, const uint8_t* __restrict src_uv,
                   uint8_t* __restrict dst_bgra, uint32_t width) {
  RowLoop(src_y, src_uv, dst_bgra, width);
}

bool ConvertNv12ToBgra(const uint8_t* src_y, int32_t pitch, uint32_t length, uint32_t width,
                       uint32_t height, uint8_t* dst_bgra) {
  if (!Nv12FrameFits(pitch, length, width, height) || !BmpImageSize(width, height)) {
    return false;
  }
  const RowFunction convert_row = PickRowFunction();
  const size_t src_stride = static_cast<uint32_t>(pitch);
  const size_t dst_stride = size_t{width} * 4;
  const uint8_t* src_uv = src_y + static_cast<uint32_t>(2u * length) / 3u;
  // Row pointers come from the row index so that none points outside its
  // buffer, even after the last row. Picture row 0 is the last stored row.
  for (uint32_t row = 0; row < height; ++row) {
    convert_row(src_y + row * src_stride, src_uv + row / 2 * src_stride,
                dst_bgra + (height - 1 - row) * dst_stride, width);
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
