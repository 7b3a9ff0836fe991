// Where the planes of a decoded 4:2:0 frame with interleaved chroma (NV12)
// lie, and whether they lie within the memory that may be read. Standard C++
// only: the caller owns every buffer.
#pragma once

#include <cstdint>
#include <optional>

namespace stillreel {

// Where the visible picture of an NV12 frame lies. Pitches are in bytes and
// must be positive (a bottom-up buffer's negative pitch is refused); width
// and height are the visible size in pixels. `y` is the first visible luma
// pixel; `uv` is the Cb, Cr pair of that pixel, so a display aperture starts
// at an even column and an even row. In a 2D buffer the chroma plane starts
// y_pitch * coded height bytes after the first luma row.
//
// P010 has the same planes with each sample in 2 bytes (sample_bytes 2): a
// little-endian 16-bit word whose top 10 bits are the value, so a row of
// width pixels takes 2 * width bytes in either plane.
struct Nv12Planes {
  const uint8_t* y;
  int32_t y_pitch;
  const uint8_t* uv;
  int32_t uv_pitch;
  uint32_t width;
  uint32_t height;
  uint32_t sample_bytes = 1;  // 1: NV12; 2: P010
};

// The layout of a plain (not 2D) buffer of `length` bytes, as decoders leave
// it: both planes `pitch` bytes per row, the chroma plane at (2 * length) / 3
// (2 * length wraps in 32 bits) bytes from `buffer`.
Nv12Planes PlainNv12Planes(const uint8_t* buffer, int32_t pitch, uint32_t length, uint32_t width,
                           uint32_t height, uint32_t sample_bytes = 1);

// The planes of a 2D buffer as Lock2D or Lock2DSize give it: luma rows from
// scanline0 every `pitch` bytes, the chroma plane pitch * coded_height bytes
// after scanline0, the visible width x height picture at column `left`, row
// `top` (the display aperture; both rounded down to even, as chroma pairs
// cover 2 x 2 pixels; `left` in pixels, sample_bytes each). std::nullopt for
// a pitch that is not positive or an offset beyond the address space. Check
// the result with Nv12PlanesFit.
std::optional<Nv12Planes> Nv12PlanesIn2DBuffer(const uint8_t* scanline0, int32_t pitch,
                                               uint32_t coded_height, uint32_t left, uint32_t top,
                                               uint32_t width, uint32_t height,
                                               uint32_t sample_bytes = 1);

// True when both planes lie within the `length` bytes at `buffer` (for a 2D
// buffer, Lock2DSize's buffer start and length): pitches positive and at
// least a row's bytes, the height luma rows of width samples end at or before
// the chroma plane, and the ceil(height / 2) chroma rows of ceil(width / 2) *
// 2 samples end within the buffer; sample_bytes 1 or 2. Computed in 64 bits. Zero width or height,
// or a buffer reaching past the end of the address space, does not fit.
bool Nv12PlanesFit(const Nv12Planes& planes, const uint8_t* buffer, uint64_t length);

// Nv12PlanesFit for PlainNv12Planes(buffer, pitch, length, width, height).
bool Nv12FrameFits(int32_t pitch, uint32_t length, uint32_t width, uint32_t height);

}  // namespace stillreel
