// NV12 frame to bottom-up 32-bit BGRA conversion and the in-memory BMP image
// built from it. Standard C++ only: the caller owns every buffer.
#pragma once

#include <cstdint>
#include <optional>

namespace stillreel {

// BITMAPFILEHEADER (14 bytes) followed by BITMAPINFOHEADER (40 bytes).
inline constexpr uint32_t kBmpHeaderSize = 54;

// Bytes of the whole BMP image: 54 + width * height * 4. std::nullopt when
// that does not fit a signed 32-bit size, the largest the header can state.
// A 0-pixel picture gives 54; ConvertNv12ToBgra refuses such a frame.
std::optional<uint32_t> BmpImageSize(uint32_t width, uint32_t height);

// True when a frame of width x height pixels lies within the `length` bytes
// that start at its first luma row: pitch (bytes, must be positive and at
// least width) separates rows of both planes, the luma rows end at or before
// the chroma plane, which starts at (2 * length) / 3 (2 * length wraps in
// 32 bits), and the ceil(height / 2) chroma rows of ceil(width / 2) * 2 bytes
// end within length. Zero width or height does not fit.
bool Nv12FrameFits(int32_t pitch, uint32_t length, uint32_t width, uint32_t height);

// Converts the NV12 frame at src_y (layout as for Nv12FrameFits) with the
// BT.601 studio-range integer equations into width * height * 4 bytes of
// BGRA, alpha 255, the top picture row last. Returns false and writes nothing
// when the frame does not fit or its BMP image would be too large.
bool ConvertNv12ToBgra(const uint8_t* src_y, int32_t pitch, uint32_t length, uint32_t width,
                       uint32_t height, uint8_t* dst_bgra);

// Writes the 54-byte header of a bottom-up 32-bit BI_RGB image and copies
// width * height * 4 pixel bytes behind it, unless `pixels` already lies there
// (block + 54). block holds BmpImageSize(width, height) bytes, which the
// caller has checked.
void AssembleBmp(uint32_t width, uint32_t height, const uint8_t* pixels, uint8_t* block);

// Converts one row: width pixels from a luma row and its chroma row (Cb, Cr
// pairs, ceil(width / 2) * 2 bytes) to width * 4 BGRA bytes. This is the
// build for the baseline instruction set; ConvertNv12ToBgra uses an AVX2
// build of the same code where the processor has it.
void Nv12ToBgraRow(const uint8_t* __restrict src_y, const uint8_t* __restrict src_uv,
                   uint8_t* __restrict dst_bgra, uint32_t width);

}  // namespace stillreel
