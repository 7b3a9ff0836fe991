// BMP image size and header; see bmp.h.
#include "picture/bmp.h"

#include <cstring>
#include <limits>

namespace stillreel {

std::optional<uint32_t> BmpImageSize(uint32_t width, uint32_t height) {
  // width * height fits 64 bits; the bound keeps * 4 + 54 within int32.
  constexpr uint64_t kMaxPixels = (std::numeric_limits<int32_t>::max() - kBmpHeaderSize) / 4;
  const uint64_t pixels = uint64_t{width} * height;
  if (pixels > kMaxPixels) {
    return std::nullopt;
  }
  return static_cast<uint32_t>(kBmpHeaderSize + pixels * 4);
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
