// NV12 picture to bottom-up 32-bit BGRA conversion (colour matrix and range,
// rotation, pixel aspect) and the in-memory BMP image built from it.
// Standard C++ only: the caller owns every buffer.
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

// Where the visible picture of an NV12 frame lies. Pitches are in bytes and
// must be positive (a bottom-up buffer's negative pitch is refused); width
// and height are the visible size in pixels. `y` is the first visible luma
// pixel; `uv` is the Cb, Cr pair of that pixel, so a display aperture starts
// at an even column and an even row. In a 2D buffer the chroma plane starts
// y_pitch * coded height bytes after the first luma row.
struct Nv12Planes {
  const uint8_t* y;
  int32_t y_pitch;
  const uint8_t* uv;
  int32_t uv_pitch;
  uint32_t width;
  uint32_t height;
};

// The layout of a plain (not 2D) buffer of `length` bytes, as decoders leave
// it: both planes `pitch` bytes per row, the chroma plane at (2 * length) / 3
// (2 * length wraps in 32 bits) bytes from `buffer`.
Nv12Planes PlainNv12Planes(const uint8_t* buffer, int32_t pitch, uint32_t length, uint32_t width,
                           uint32_t height);

// The planes of a 2D buffer as Lock2D or Lock2DSize give it: luma rows from
// scanline0 every `pitch` bytes, the chroma plane pitch * coded_height bytes
// after scanline0, the visible width x height picture at column `left`, row
// `top` (the display aperture; both rounded down to even, as chroma pairs
// cover 2 x 2 pixels). std::nullopt for a pitch that is not positive or an
// offset beyond the address space. Check the result with Nv12PlanesFit.
std::optional<Nv12Planes> Nv12PlanesIn2DBuffer(const uint8_t* scanline0, int32_t pitch,
                                               uint32_t coded_height, uint32_t left, uint32_t top,
                                               uint32_t width, uint32_t height);

// True when both planes lie within the `length` bytes at `buffer` (for a 2D
// buffer, Lock2DSize's buffer start and length): pitches positive and at
// least `width`, the height luma rows of width bytes end at or before the
// chroma plane, and the ceil(height / 2) chroma rows of ceil(width / 2) * 2
// bytes end within the buffer. Computed in 64 bits. Zero width or height,
// or a buffer reaching past the end of the address space, does not fit.
bool Nv12PlanesFit(const Nv12Planes& planes, const uint8_t* buffer, uint64_t length);

// Nv12PlanesFit for PlainNv12Planes(buffer, pitch, length, width, height).
bool Nv12FrameFits(int32_t pitch, uint32_t length, uint32_t width, uint32_t height);

enum class YuvMatrix : uint8_t { kBt601, kBt709, kBt2020 };
// Limited: Y 16-235, Cb and Cr 16-240. Full: 0-255 for all three.
enum class YuvRange : uint8_t { kLimited, kFull };

// The conversion's integer equations, coefficients scaled by 256 and rounded:
//   C = Cb - 128, E = Cr - 128, L = y_scale * (Y - y_offset) + 128
//   blue  = clamp((L + cb_blue * C) >> 8)
//   green = clamp((L - cb_green * C - cr_green * E) >> 8)
//   red   = clamp((L + cr_red * E) >> 8)
// with >> an arithmetic shift and clamp to [0, 255]. See GetYuvConstants.
struct YuvConstants {
  int32_t y_scale;
  int32_t y_offset;
  int32_t cb_blue;
  int32_t cb_green;
  int32_t cr_green;
  int32_t cr_red;
};

const YuvConstants& GetYuvConstants(YuvMatrix matrix, YuvRange range);

// How far the picture is turned clockwise on output, in degrees.
enum class Rotation : uint16_t { k0 = 0, k90 = 90, k180 = 180, k270 = 270 };

// Defaults: an untagged frame, BT.601 limited range, upright, square pixels.
struct PictureOptions {
  YuvMatrix matrix = YuvMatrix::kBt601;
  YuvRange range = YuvRange::kLimited;
  Rotation rotation = Rotation::k0;
  // Pixel aspect ratio, width : height of one stored pixel; 0 in either
  // means square. Applied by widening (or narrowing) rows, height kept.
  uint32_t aspect_num = 1;
  uint32_t aspect_den = 1;
  // Deliver the stored pixels unscaled whatever the aspect ratio.
  bool keep_stored_pixels = false;
};

struct PictureDimensions {
  uint32_t width;
  uint32_t height;
};

// The size in pixels of the image delivered for a visible picture of width x
// height: width becomes round(width * num / den) (halves up, at least 1)
// unless the pixels are square or kept, then 90 and 270 swap the sides.
// std::nullopt for a zero side, an unknown rotation, or an image that
// BmpImageSize refuses.
std::optional<PictureDimensions> PictureSize(uint32_t width, uint32_t height,
                                             const PictureOptions& options);

// Converts the visible picture to PictureSize(...) width * height * 4 bytes
// of BGRA at dst_bgra, alpha 255, the top output row last. Rows are widened
// with an area filter (each output pixel the average of the source span it
// covers). Returns false and writes nothing when the planes do not fit the
// `length` bytes at `buffer` or PictureSize refuses. Uses no heap.
bool ConvertNv12ToBgra(const Nv12Planes& planes, const uint8_t* buffer, uint64_t length,
                       const PictureOptions& options, uint8_t* dst_bgra);

// Writes the 54-byte header of a bottom-up 32-bit BI_RGB image of width x
// height pixels (the output size, PictureSize's) and copies width * height *
// 4 pixel bytes behind it, unless `pixels` already lies there (block + 54).
// block holds BmpImageSize(width, height) bytes, which the caller has checked.
void AssembleBmp(uint32_t width, uint32_t height, const uint8_t* pixels, uint8_t* block);

// Instruction sets of the row conversion; all give the same bytes.
enum class SimdLevel : uint8_t { kScalar, kSse2, kAvx2 };

// The best level this build and processor support; the conversion uses it.
SimdLevel BestSimdLevel();

// Converts two rows sharing one chroma row (Cb, Cr pairs, ceil(width / 2) *
// 2 bytes) to width * 4 BGRA bytes each; src_y1 may equal src_y0 when dst1
// equals dst0. A level above BestSimdLevel() runs as BestSimdLevel().
void Nv12ToBgraRows(SimdLevel level, const YuvConstants& constants, const uint8_t* src_y0,
                    const uint8_t* src_y1, const uint8_t* src_uv, uint8_t* dst0, uint8_t* dst1,
                    uint32_t width);

}  // namespace stillreel
