// The in-memory BMP image: its size and its 54-byte header. Standard C++ only.
#pragma once

#include <cstdint>
#include <optional>

namespace stillreel {

// BITMAPFILEHEADER (14 bytes) followed by BITMAPINFOHEADER (40 bytes).
inline constexpr uint32_t kBmpHeaderSize = 54;

// Bytes of the whole BMP image: 54 + width * height * 4. std::nullopt when
// that does not fit a signed 32-bit size, the largest the header can state.
// A 0-pixel picture gives 54; the conversion refuses such a frame.
std::optional<uint32_t> BmpImageSize(uint32_t width, uint32_t height);

// Writes the 54-byte header of a bottom-up 32-bit BI_RGB image of width x
// height pixels (the output size, PictureSize's) and copies width * height *
// 4 pixel bytes behind it, unless `pixels` already lies there (block + 54).
// block holds BmpImageSize(width, height) bytes, which the caller has checked.
void AssembleBmp(uint32_t width, uint32_t height, const uint8_t* pixels, uint8_t* block);

}  // namespace stillreel
