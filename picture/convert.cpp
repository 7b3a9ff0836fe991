// NV12 to bottom-up BGRA: the plane drivers (upright, turned, widened) around
// the row kernels of row_*.cpp; see convert.h.
#include "picture/convert.h"

#include <algorithm>
#include <cstddef>
#include <limits>

#include "picture/bmp.h"
#include "picture/rotate.h"
#include "picture/row.h"
#include "picture/scale.h"
#include "picture/tone_map.h"

namespace stillreel {
namespace {

using RowsFunction = void (*)(const Folded&, const YuvConstants&, const uint8_t*, const uint8_t*,
                              const uint8_t*, uint8_t*, uint8_t*, uint32_t);

void RowsScalar(const Folded&, const YuvConstants& c, const uint8_t* y0, const uint8_t* y1,
                const uint8_t* uv, uint8_t* d0, uint8_t* d1, uint32_t width) {
  Nv12RowsScalar(c, y0, y1, uv, d0, d1, 0, width);
}

// The NV12 kernel and constants for one conversion.
class RowConverter {
 public:
  RowConverter(SimdLevel level, const YuvConstants& constants)
      : constants_(constants), folded_(Fold(constants)) {
    // Limited range; full range (y_scale 256) needs no F.
    const bool scaled = folded_.half_scale != 128;
    level = std::min(level, BestSimdLevel());
    function_ = RowsScalar;
#if STILLREEL_PICTURE_X86
    if (level >= SimdLevel::kAvx2) {
      function_ = scaled ? Nv12RowsAvx2<true> : Nv12RowsAvx2<false>;
    } else if (level == SimdLevel::kSse2) {
      function_ = scaled ? Nv12RowsSse2<true> : Nv12RowsSse2<false>;
    }
#else
    (void)scaled;
#endif
  }
  void operator()(const uint8_t* y0, const uint8_t* y1, const uint8_t* uv, uint8_t* d0, uint8_t* d1,
                  uint32_t width) const {
    function_(folded_, constants_, y0, y1, uv, d0, d1, width);
  }

 private:
  YuvConstants constants_;
  Folded folded_;
  RowsFunction function_;
};

// P010 kept at 10 bits until the last rounding.
class P010Converter {
 public:
  P010Converter(SimdLevel level, const YuvConstants10& constants)
      : constants_(constants), simd_(std::min(level, BestSimdLevel()) >= SimdLevel::kSse2) {}
  void operator()(const uint8_t* y0, const uint8_t* y1, const uint8_t* uv, uint8_t* d0, uint8_t* d1,
                  uint32_t width) const {
#if STILLREEL_PICTURE_X86
    if (simd_) return P010RowsSse2(constants_, y0, y1, uv, d0, d1, width);
#endif
    P010RowsScalar(constants_, y0, y1, uv, d0, d1, 0, width);
  }

 private:
  YuvConstants10 constants_;
  bool simd_;
};

// PQ or HLG tone-mapped to SDR, from NV12 or P010 as the tables say.
class ToneMapConverter {
 public:
  ToneMapConverter(SimdLevel level, const ToneMapTables& tables)
      : tables_(tables), level_(std::min(level, BestSimdLevel())) {}
  void operator()(const uint8_t* y0, const uint8_t* y1, const uint8_t* uv, uint8_t* d0, uint8_t* d1,
                  uint32_t width) const {
#if STILLREEL_PICTURE_X86
    if (level_ == SimdLevel::kAvx512) {
      return ToneMapRowsAvx512(tables_, y0, y1, uv, d0, d1, width);
    }
    if (level_ == SimdLevel::kAvx2) return ToneMapRowsAvx2(tables_, y0, y1, uv, d0, d1, width);
    if (level_ == SimdLevel::kSse2) return ToneMapRowsSse2(tables_, y0, y1, uv, d0, d1, width);
#endif
    ToneMapRowsScalar(tables_, y0, y1, uv, d0, d1, width);
  }

 private:
  const ToneMapTables& tables_;
  SimdLevel level_;
};

const uint8_t* LumaRow(const Nv12Planes& planes, uint32_t row) {
  return planes.y + size_t{row} * static_cast<uint32_t>(planes.y_pitch);
}

const uint8_t* ChromaRow(const Nv12Planes& planes, uint32_t row) {
  return planes.uv + size_t{row / 2} * static_cast<uint32_t>(planes.uv_pitch);
}

bool Turned(Rotation rotation) { return rotation == Rotation::k90 || rotation == Rotation::k270; }

// Rows are converted in segments of this many pixels into scratch on the
// stack: even, so that a segment starts at a chroma pair.
constexpr uint32_t kSegment = 128;
// Source rows per tile of a quarter turn: each output row receives this many
// pixels (64 bytes) at a time.
constexpr uint32_t kTileRows = 16;

// Each driver converts source rows [begin, end): begin a multiple of kTileRows, end one too or
// the height.

// Upright or upside down: each pair of source rows goes straight into its
// destination rows.
template <typename Convert>
void ConvertStraight(const Convert& convert, const Nv12Planes& planes, bool upside_down,
                     uint8_t* dst, uint32_t begin, uint32_t end) {
  const uint32_t width = planes.width;
  const uint32_t height = planes.height;
  const size_t dst_stride = size_t{width} * 4;
  for (uint32_t row = begin; row < end; row += 2) {
    const uint32_t next = std::min(row + 1, height - 1);
    // Picture row 0 is the last stored row, or the first when turned over.
    uint8_t* d0 = dst + (upside_down ? row : height - 1 - row) * dst_stride;
    uint8_t* d1 = dst + (upside_down ? next : height - 1 - next) * dst_stride;
    convert(LumaRow(planes, row), LumaRow(planes, next), ChromaRow(planes, row), d0, d1, width);
    if (upside_down) {
      ReverseRow(d0, width);
      if (next != row) ReverseRow(d1, width);
    }
  }
}

// A quarter turn: tiles of kTileRows source rows by kSegment columns are
// converted on the stack, then each tile column is written as a run of
// kTileRows pixels of one output row.
template <typename Convert>
void ConvertTurned(const Convert& convert, const Nv12Planes& planes, bool clockwise, uint8_t* dst,
                   uint32_t begin, uint32_t end) {
  const uint32_t width = planes.width;
  const uint32_t height = planes.height;
  const ptrdiff_t out_stride = static_cast<ptrdiff_t>(height) * 4;
  uint8_t tile[kTileRows * kSegment * 4];
  const uint32_t segments = (width - 1) / kSegment + 1;
  for (uint32_t row0 = begin; row0 < end; row0 += kTileRows) {
    const uint32_t rows = std::min(kTileRows, height - row0);
    for (uint32_t segment = 0; segment < segments; ++segment) {
      // Clockwise, source column x is output row x counted from the top, and
      // source rows run right to left; counter-clockwise, output row x
      // counted from the bottom, rows left to right. Segments are taken in
      // the order of their output rows in memory.
      const uint32_t x0 = (clockwise ? segments - 1 - segment : segment) * kSegment;
      const uint32_t columns = std::min(kSegment, width - x0);
      for (uint32_t t = 0; t < rows; t += 2) {
        const uint32_t t1 = std::min(t + 1, rows - 1);
        const size_t column = size_t{x0} * planes.sample_bytes;
        convert(LumaRow(planes, row0 + t) + column, LumaRow(planes, row0 + t1) + column,
                ChromaRow(planes, row0 + t) + column, tile + t * kSegment * 4,
                tile + t1 * kSegment * 4, columns);
      }
      const size_t out_row = clockwise ? width - 1 - x0 : x0;
      const size_t out_column = clockwise ? height - row0 - rows : row0;
      WriteTileColumns(tile, kSegment, rows, columns, clockwise,
                       dst + (out_row * height + out_column) * 4,
                       clockwise ? -out_stride : out_stride);
    }
  }
}

// Rows widened or narrowed: each pair of source rows is converted a segment
// at a time and streamed through an area filter to its place in any rotation.
template <typename Convert>
void ConvertResampled(const Convert& convert, const Nv12Planes& planes, Rotation rotation,
                      uint32_t stored_width, uint8_t* dst, uint32_t begin, uint32_t end) {
  const uint32_t width = planes.width;
  const uint32_t height = planes.height;
  uint8_t scratch[2][kSegment * 4];
  for (uint32_t row = begin; row < end; row += 2) {
    const uint32_t next = std::min(row + 1, height - 1);
    AreaRow first(width, stored_width, dst, Place(rotation, row, height, stored_width));
    AreaRow second(width, stored_width, dst, Place(rotation, next, height, stored_width));
    for (uint32_t x0 = 0; x0 < width; x0 += kSegment) {
      const uint32_t count = std::min(kSegment, width - x0);
      const size_t column = size_t{x0} * planes.sample_bytes;
      convert(LumaRow(planes, row) + column, LumaRow(planes, next) + column,
              ChromaRow(planes, row) + column, scratch[0], scratch[1], count);
      first.Push(scratch[0], count);
      if (next != row) second.Push(scratch[1], count);
    }
  }
}

}  // namespace

SimdLevel BestSimdLevel() {
#if STILLREEL_PICTURE_X86
  // Cheap after the first call; needed when called before libgcc's own
  // constructor has run.
  __builtin_cpu_init();
  // libgcc checks that the system saves the registers too (XGETBV).
  if (__builtin_cpu_supports("avx512f")) return SimdLevel::kAvx512;
  return __builtin_cpu_supports("avx2") ? SimdLevel::kAvx2 : SimdLevel::kSse2;
#else
  return SimdLevel::kScalar;
#endif
}

void P010ToBgraRows(SimdLevel level, const YuvConstants10& constants, const uint8_t* src_y0,
                    const uint8_t* src_y1, const uint8_t* src_uv, uint8_t* dst0, uint8_t* dst1,
                    uint32_t width) {
  P010Converter(level, constants)(src_y0, src_y1, src_uv, dst0, dst1, width);
}

void ToneMapRows(SimdLevel level, const ToneMapTables& tables, const uint8_t* src_y0,
                 const uint8_t* src_y1, const uint8_t* src_uv, uint8_t* dst0, uint8_t* dst1,
                 uint32_t width) {
  ToneMapConverter(level, tables)(src_y0, src_y1, src_uv, dst0, dst1, width);
}

void Nv12ToBgraRows(SimdLevel level, const YuvConstants& constants, const uint8_t* src_y0,
                    const uint8_t* src_y1, const uint8_t* src_uv, uint8_t* dst0, uint8_t* dst1,
                    uint32_t width) {
  RowConverter(level, constants)(src_y0, src_y1, src_uv, dst0, dst1, width);
}

std::optional<PictureDimensions> PictureSize(uint32_t width, uint32_t height,
                                             const PictureOptions& options) {
  switch (options.rotation) {
    case Rotation::k0:
    case Rotation::k90:
    case Rotation::k180:
    case Rotation::k270:
      break;
    default:
      return std::nullopt;
  }
  if (width == 0 || height == 0) {
    return std::nullopt;
  }
  uint64_t stored_width = width;
  const uint32_t num = options.aspect_num;
  const uint32_t den = options.aspect_den;
  if (!options.keep_stored_pixels && num != 0 && den != 0 && num != den) {
    // width * num < 2^64; the remainder is below den, so doubling it cannot wrap.
    const uint64_t product = uint64_t{width} * num;
    stored_width = product / den + (product % den * 2 >= den ? 1 : 0);
    stored_width = std::max<uint64_t>(stored_width, 1);
    if (stored_width > std::numeric_limits<uint32_t>::max()) {
      return std::nullopt;
    }
  }
  const auto stored = static_cast<uint32_t>(stored_width);
  const PictureDimensions size = Turned(options.rotation) ? PictureDimensions{height, stored}
                                                          : PictureDimensions{stored, height};
  if (!BmpImageSize(size.width, size.height)) {
    return std::nullopt;
  }
  return size;
}

namespace {

// Runs the driver the options call for with `convert` on source rows [begin, end).
template <typename Convert>
void DriveRows(const Convert& convert, const Nv12Planes& planes, const PictureOptions& options,
               const PictureDimensions& size, uint8_t* dst_bgra, uint32_t begin, uint32_t end) {
  const uint32_t stored_width = Turned(options.rotation) ? size.height : size.width;
  if (stored_width != planes.width) {
    ConvertResampled(convert, planes, options.rotation, stored_width, dst_bgra, begin, end);
  } else if (Turned(options.rotation)) {
    ConvertTurned(convert, planes, options.rotation == Rotation::k90, dst_bgra, begin, end);
  } else {
    ConvertStraight(convert, planes, options.rotation == Rotation::k180, dst_bgra, begin, end);
  }
}

// One conversion split into bands of `band_rows` source rows: every band writes output pixels
// of its own rows only, so bands need no order.
template <typename Convert>
struct Banded {
  static void Work(void* context, uint32_t band) {
    const auto& job = *static_cast<const Banded*>(context);
    const uint32_t begin = band * job.band_rows;
    if (begin >= job.planes.height) return;
    const uint32_t end = std::min(job.planes.height - begin, job.band_rows) + begin;
    DriveRows(job.convert, job.planes, job.options, job.size, job.dst_bgra, begin, end);
  }

  const Convert& convert;
  const Nv12Planes& planes;
  const PictureOptions& options;
  const PictureDimensions& size;
  uint8_t* dst_bgra;
  uint32_t band_rows;
};

template <typename Convert>
void Drive(const Convert& convert, const Nv12Planes& planes, const PictureOptions& options,
           const PictureDimensions& size, uint8_t* dst_bgra, const BandRunner* runner) {
  const uint32_t count = runner != nullptr ? ConversionBands(options.transfer, runner->Width(),
                                                             planes.width, planes.height)
                                           : 1;
  if (count <= 1) return DriveRows(convert, planes, options, size, dst_bgra, 0, planes.height);
  // Whole tiles per band, for the quarter turn.
  const uint32_t band_rows = ((planes.height - 1) / count / kTileRows + 1) * kTileRows;
  Banded<Convert> job{convert, planes, options, size, dst_bgra, band_rows};
  runner->Run((planes.height - 1) / band_rows + 1, &Banded<Convert>::Work, &job);
}

}  // namespace

uint32_t ConversionBands(Transfer transfer, uint32_t workers, uint32_t width, uint32_t height) {
  // A band of fewer pixels converts in less time than a thread takes to start and end.
  constexpr uint64_t kMinBandPixels = uint64_t{1} << 18;
  constexpr uint32_t kMaxBands = 8;
  if (transfer == Transfer::kSdr || workers <= 1) return 1;
  const uint64_t by_pixels = uint64_t{width} * height / kMinBandPixels;
  const uint64_t by_rows = height / kTileRows;
  return static_cast<uint32_t>(
      std::max<uint64_t>(1, std::min<uint64_t>({workers, kMaxBands, by_pixels, by_rows})));
}

bool ConvertNv12ToBgra(const Nv12Planes& planes, const uint8_t* buffer, uint64_t length,
                       const PictureOptions& options, uint8_t* dst_bgra, const BandRunner* bands) {
  if (static_cast<size_t>(options.matrix) > 2 || static_cast<size_t>(options.range) > 1 ||
      static_cast<size_t>(options.transfer) > 2 || static_cast<size_t>(options.primaries) > 1 ||
      !Nv12PlanesFit(planes, buffer, length)) {
    return false;
  }
  const std::optional<PictureDimensions> size = PictureSize(planes.width, planes.height, options);
  if (!size) {
    return false;
  }
  const SimdLevel level = BestSimdLevel();
  if (options.transfer != Transfer::kSdr) {
    HdrSignal signal;
    signal.transfer = options.transfer;
    signal.primaries = options.primaries;
    signal.matrix = options.matrix;
    signal.range = options.range;
    signal.peak_nits = options.peak_nits;
    signal.bits = planes.sample_bytes == 2 ? 10 : 8;
    ToneMapTables tables;
    BuildToneMapTables(signal, tables);
    Drive(ToneMapConverter(level, tables), planes, options, *size, dst_bgra, bands);
  } else if (planes.sample_bytes == 2) {
    Drive(P010Converter(level, GetYuvConstants10(options.matrix, options.range)), planes, options,
          *size, dst_bgra, bands);
  } else {
    Drive(RowConverter(level, GetYuvConstants(options.matrix, options.range)), planes, options,
          *size, dst_bgra, bands);
  }
  return true;
}

}  // namespace stillreel
