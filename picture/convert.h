// NV12 picture to bottom-up 32-bit BGRA conversion: colour matrix and range,
// rotation, pixel aspect. Standard C++ only: the caller owns every buffer.
#pragma once

#include <cstdint>
#include <optional>

#include "picture/planes.h"
#include "picture/tone_map.h"
#include "picture/yuv.h"

namespace stillreel {

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
  // PQ or HLG: linearised and tone-mapped to SDR (tone_map.h), from the
  // peak in nits (PQ; 0 = 1,000) and the primaries. kSdr shows the codes as
  // they are, whatever the signal.
  Transfer transfer = Transfer::kSdr;
  Primaries primaries = Primaries::kBt709;
  uint32_t peak_nits = 0;
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

// Runs the bands of one conversion side by side. The picture code starts no thread itself: the
// caller's platform does, or runs the bands one after another.
class BandRunner {
 public:
  // How many bands it can run at once; 1 or less runs the whole picture on the caller's thread.
  virtual uint32_t Width() const = 0;
  // Calls work(context, band) once for every band in [0, count) and returns when all have
  // returned. A band that cannot get a thread of its own runs on the caller's.
  virtual void Run(uint32_t count, void (*work)(void* context, uint32_t band),
                   void* context) const = 0;

 protected:
  ~BandRunner() = default;
};

// How many bands of rows a conversion of width x height pixels is split into with `workers`
// running at once: only tone mapping, whose arithmetic rather than memory bounds it, and only
// where each band has enough rows to repay its thread.
uint32_t ConversionBands(Transfer transfer, uint32_t workers, uint32_t width, uint32_t height);

// Converts the visible picture to PictureSize(...) width * height * 4 bytes
// of BGRA at dst_bgra, alpha 255, the top output row last. Rows are widened
// with an area filter (each output pixel the average of the source span it
// covers). NV12 or P010 as planes.sample_bytes says; a PQ or HLG transfer
// is tone-mapped. Returns false and writes nothing when the planes do not
// fit the `length` bytes at `buffer` or PictureSize refuses. Uses no heap
// (a tone-mapped frame builds its tables, some 28 KB, on the stack). With `bands`, rows are
// split as ConversionBands says; the bytes are the same either way.
bool ConvertNv12ToBgra(const Nv12Planes& planes, const uint8_t* buffer, uint64_t length,
                       const PictureOptions& options, uint8_t* dst_bgra,
                       const BandRunner* bands = nullptr);

// Instruction sets of the row conversion; all give the same bytes.
// kAvx512 serves tone mapping only; the other conversions, bound by memory, run AVX2 there.
enum class SimdLevel : uint8_t { kScalar, kSse2, kAvx2, kAvx512 };

// The best level this build and processor support; the conversion uses it.
SimdLevel BestSimdLevel();

// Converts two rows sharing one chroma row (Cb, Cr pairs, ceil(width / 2) *
// 2 bytes) to width * 4 BGRA bytes each; src_y1 may equal src_y0 when dst1
// equals dst0. A level above BestSimdLevel() runs as BestSimdLevel().
void Nv12ToBgraRows(SimdLevel level, const YuvConstants& constants, const uint8_t* src_y0,
                    const uint8_t* src_y1, const uint8_t* src_uv, uint8_t* dst0, uint8_t* dst1,
                    uint32_t width);

// The same for two P010 rows (16-bit words, value in the top 10 bits; chroma
// rows ceil(width / 2) * 2 words), kept at 10 bits until the last rounding.
void P010ToBgraRows(SimdLevel level, const YuvConstants10& constants, const uint8_t* src_y0,
                    const uint8_t* src_y1, const uint8_t* src_uv, uint8_t* dst0, uint8_t* dst1,
                    uint32_t width);

// Two rows tone-mapped with `tables` (NV12 or P010 samples as tables.bits says).
void ToneMapRows(SimdLevel level, const ToneMapTables& tables, const uint8_t* src_y0,
                 const uint8_t* src_y1, const uint8_t* src_uv, uint8_t* dst0, uint8_t* dst1,
                 uint32_t width);

}  // namespace stillreel
