// Pixel moves of the turned pictures: a row reversed in place, a tile's
// columns written as output rows. Internal to picture/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace stillreel {

inline void StorePixel(const uint8_t* pixel, uint8_t* dst) { std::memcpy(dst, pixel, 4); }

// Reverses the order of `width` BGRA pixels of a row.
void ReverseRow(uint8_t* row, uint32_t width);

// Writes `columns` columns of a tile of `rows` rows of `tile_width` pixels as runs of output
// pixels: column x goes to out + x * out_step (bytes), its pixels taken from the tile rows top to
// bottom, or bottom to top when `reversed`. Columns are written in the order of their addresses,
// last column first when out_step < 0.
void WriteTileColumns(const uint8_t* tile, uint32_t tile_width, uint32_t rows, uint32_t columns,
                      bool reversed, uint8_t* out, ptrdiff_t out_step);

}  // namespace stillreel
