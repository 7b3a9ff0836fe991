// NV12 plane layouts and bounds; see planes.h.
#include "picture/planes.h"

#include <algorithm>
#include <cstddef>
#include <limits>

namespace stillreel {
namespace {

bool PlanesFit(uint64_t y_offset, int32_t y_pitch, uint64_t uv_offset, int32_t uv_pitch,
               uint32_t width, uint32_t height, uint32_t sample_bytes, uint64_t length) {
  if (sample_bytes != 1 && sample_bytes != 2) return false;
  // Row bytes in 64 bits: 2 * width may not fit 32.
  const uint64_t row_bytes = uint64_t{width} * sample_bytes;
  if (width == 0 || height == 0 || y_pitch <= 0 || uv_pitch <= 0 ||
      static_cast<uint32_t>(y_pitch) < row_bytes || static_cast<uint32_t>(uv_pitch) < row_bytes) {
    return false;
  }
  // Spans in bytes from each plane's first byte; no product of two 32-bit
  // factors overflows 64 bits, and offsets are compared before subtracting.
  const uint64_t luma_span = (height - uint64_t{1}) * static_cast<uint32_t>(y_pitch) + row_bytes;
  const uint64_t chroma_rows = (uint64_t{height} + 1) / 2;
  const uint64_t chroma_span = (chroma_rows - 1) * static_cast<uint32_t>(uv_pitch) +
                               (uint64_t{width} + 1) / 2 * 2 * sample_bytes;
  return y_offset <= uv_offset && luma_span <= uv_offset - y_offset && uv_offset <= length &&
         chroma_span <= length - uv_offset;
}

uint32_t PlainChromaOffset(uint32_t length) { return static_cast<uint32_t>(2u * length) / 3u; }

}  // namespace

Nv12Planes PlainNv12Planes(const uint8_t* buffer, int32_t pitch, uint32_t length, uint32_t width,
                           uint32_t height, uint32_t sample_bytes) {
  // The chroma offset is at most length: the pointer stays within the buffer.
  return {buffer, pitch, buffer + PlainChromaOffset(length), pitch, width, height, sample_bytes};
}

std::optional<Nv12Planes> Nv12PlanesIn2DBuffer(const uint8_t* scanline0, int32_t pitch,
                                               uint32_t coded_height, uint32_t left, uint32_t top,
                                               uint32_t width, uint32_t height,
                                               uint32_t sample_bytes) {
  if (pitch <= 0) {
    return std::nullopt;
  }
  left &= ~1u;
  top &= ~1u;
  // Byte offsets from scanline0 in 64 bits; pointers are formed only once
  // they are known to stay within the address space.
  const uint64_t stride = static_cast<uint32_t>(pitch);
  const uint64_t column = uint64_t{left} * sample_bytes;
  const uint64_t y_offset = top * stride + column;
  const uint64_t uv_offset = (uint64_t{coded_height} + top / 2) * stride + column;
  const auto base = reinterpret_cast<uintptr_t>(scanline0);
  if (std::max(y_offset, uv_offset) > std::numeric_limits<uintptr_t>::max() - base) {
    return std::nullopt;
  }
  return Nv12Planes{reinterpret_cast<const uint8_t*>(base + y_offset),
                    pitch,
                    reinterpret_cast<const uint8_t*>(base + uv_offset),
                    pitch,
                    width,
                    height,
                    sample_bytes};
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
                   planes.height, planes.sample_bytes, length);
}

bool Nv12FrameFits(int32_t pitch, uint32_t length, uint32_t width, uint32_t height) {
  return PlanesFit(0, pitch, PlainChromaOffset(length), pitch, width, height, 1, length);
}

}  // namespace stillreel
