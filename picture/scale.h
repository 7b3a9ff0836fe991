// Rows widened or narrowed by an area filter and placed in any rotation.
// Internal to picture/.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "picture/convert.h"
#include "picture/rotate.h"

namespace stillreel {

// Where stored output pixel x of source row `row` lands, in pixels from the
// start of the bottom-up destination: start + x * step.
struct Placement {
  ptrdiff_t start;
  ptrdiff_t step;
};

inline Placement Place(Rotation rotation, uint32_t row, uint32_t height, uint32_t stored_width) {
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

}  // namespace stillreel
