// Tests of the NV12 to BGRA conversion (matrices, ranges, plane layouts,
// rotation, pixel aspect) and the BMP image built from it.
#include "picture/bmp.h"
#include "picture/convert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <vector>

namespace stillreel {
namespace {

using Bgra = std::array<uint8_t, 4>;

// The BT.601 studio-range equations as the conversion was first defined, in
// 32-bit arithmetic: untagged frames must keep these bytes.
Bgra Expected(int32_t y, int32_t cb, int32_t cr) {
  const auto clamp = [](int32_t v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); };
  return {clamp((298 * y + 516 * cb - 70688) >> 8),
          clamp((298 * y - 100 * cb - 208 * cr + 34784) >> 8),
          clamp((298 * y + 409 * cr - 56992) >> 8), 255};
}

// Every matrix and range: each factor of the standard equations (Kr, Kb of
// BT.601 0.299, 0.114; BT.709 0.2126, 0.0722; BT.2020 0.2627, 0.0593; luma
// scaled by 255 / 219 and chroma by 255 / 224 in limited range) times 256,
// rounded to nearest.
struct Equations {
  const char* name;
  YuvMatrix matrix;
  YuvRange range;
  int32_t y_scale, y_offset, cb_blue, cb_green, cr_green, cr_red;
};

constexpr Equations kEquations[] = {
    {"BT.601 limited", YuvMatrix::kBt601, YuvRange::kLimited, 298, 16, 516, 100, 208, 409},
    {"BT.601 full", YuvMatrix::kBt601, YuvRange::kFull, 256, 0, 454, 88, 183, 359},
    {"BT.709 limited", YuvMatrix::kBt709, YuvRange::kLimited, 298, 16, 541, 55, 136, 459},
    {"BT.709 full", YuvMatrix::kBt709, YuvRange::kFull, 256, 0, 475, 48, 120, 403},
    {"BT.2020 limited", YuvMatrix::kBt2020, YuvRange::kLimited, 298, 16, 548, 48, 167, 430},
    {"BT.2020 full", YuvMatrix::kBt2020, YuvRange::kFull, 256, 0, 482, 42, 146, 377},
};

Bgra Expected(const Equations& e, int32_t y, int32_t cb, int32_t cr) {
  const auto clamp = [](int32_t v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); };
  const int32_t luma = e.y_scale * (y - e.y_offset) + 128;
  return {clamp((luma + e.cb_blue * (cb - 128)) >> 8),
          clamp((luma - e.cb_green * (cb - 128) - e.cr_green * (cr - 128)) >> 8),
          clamp((luma + e.cr_red * (cr - 128)) >> 8), 255};
}

Bgra PixelAt(const uint8_t* pixels, size_t index) {
  return {pixels[index * 4], pixels[index * 4 + 1], pixels[index * 4 + 2], pixels[index * 4 + 3]};
}

// An NV12 sample as a decoder leaves it: an even number of luma rows, then
// the chroma rows, both `pitch` bytes apart and nothing after them, so that
// the chroma plane lies at two thirds of the length. With the smallest even
// pitch the last chroma byte read is the last byte of the allocation.
struct Frame {
  Frame(uint32_t w, uint32_t h, uint32_t p)
      : width(w),
        height(h),
        pitch(p),
        luma_rows(h + (h & 1)),
        bytes(size_t{p} * luma_rows * 3 / 2) {}
  uint8_t* Y(uint32_t row) { return bytes.data() + size_t{row} * pitch; }
  uint8_t* Uv(uint32_t row) { return Y(luma_rows + row); }
  uint32_t Length() const { return static_cast<uint32_t>(bytes.size()); }
  Nv12Planes Planes() const {
    return PlainNv12Planes(bytes.data(), static_cast<int32_t>(pitch), Length(), width, height);
  }
  bool Convert(uint8_t* dst, const PictureOptions& options = {}) const {
    return ConvertNv12ToBgra(Planes(), bytes.data(), Length(), options, dst);
  }

  uint32_t width;
  uint32_t height;
  uint32_t pitch;
  uint32_t luma_rows;
  std::vector<uint8_t> bytes;
};

uint32_t Read32(const std::vector<uint8_t>& block, size_t offset) {
  return block[offset] | block[offset + 1] << 8 | block[offset + 2] << 16 |
         static_cast<uint32_t>(block[offset + 3]) << 24;
}

uint32_t Read16(const std::vector<uint8_t>& block, size_t offset) {
  return block[offset] | block[offset + 1] << 8;
}

// The worked values, black at Y 16 and white at Y 235, in a frame whose top
// row is black: it must come out as the last row of the pixel array.
TEST(Nv12, WorkedValuesWithTheTopRowStoredLast) {
  Frame frame(2, 2, 2);
  const uint8_t bytes[] = {16, 16, 235, 235, 128, 128};
  std::copy(std::begin(bytes), std::end(bytes), frame.bytes.begin());
  std::vector<uint8_t> pixels(2 * 2 * 4);
  ASSERT_TRUE(frame.Convert(pixels.data()));
  for (size_t x = 0; x < 2; ++x) {
    EXPECT_EQ(PixelAt(pixels.data(), x), (Bgra{255, 255, 255, 255})) << "array row 0";
    EXPECT_EQ(PixelAt(pixels.data(), 2 + x), (Bgra{0, 0, 0, 255})) << "array row 1";
  }
}

// Every (Y, Cb, Cr) for every matrix and range, through the whole
// conversion and each kernel: the fast form reorganises the equations for
// 16-bit lanes and must not change one value.
TEST(Nv12, MatchesTheEquationsForEveryInput) {
  // Chroma row k holds the pairs (Cb, Cr) = (p, k); each pass puts four luma
  // values beside every pair, two per row of the pair's two rows.
  Frame frame(512, 512, 512);
  for (uint32_t k = 0; k < 256; ++k) {
    for (uint32_t p = 0; p < 256; ++p) {
      frame.Uv(k)[2 * p] = static_cast<uint8_t>(p);
      frame.Uv(k)[2 * p + 1] = static_cast<uint8_t>(k);
    }
  }
  std::vector<SimdLevel> levels = {SimdLevel::kScalar};
  for (const SimdLevel level : {SimdLevel::kSse2, SimdLevel::kAvx2}) {
    if (level <= BestSimdLevel()) levels.push_back(level);
  }
  std::vector<uint8_t> pixels(512 * 512 * 4);
  std::vector<uint8_t> row_pixels(2 * 512 * 4);
  for (const Equations& e : kEquations) {
    PictureOptions options;
    options.matrix = e.matrix;
    options.range = e.range;
    int mismatches = 0;
    for (uint32_t pass = 0; pass < 64 && mismatches < 5; ++pass) {
      for (uint32_t row = 0; row < 512; ++row) {
        for (uint32_t x = 0; x < 512; ++x) {
          frame.Y(row)[x] = static_cast<uint8_t>(4 * pass + 2 * (row & 1) + (x & 1));
        }
      }
      ASSERT_TRUE(frame.Convert(pixels.data(), options));
      for (uint32_t row = 0; row < 512 && mismatches < 5; ++row) {
        for (uint32_t x = 0; x < 512; ++x) {
          const uint8_t y = frame.Y(row)[x];
          const Bgra expected = Expected(e, y, x / 2, row / 2);
          if (PixelAt(pixels.data(), (511 - row) * 512 + x) != expected ||
              (e.matrix == YuvMatrix::kBt601 && e.range == YuvRange::kLimited &&
               expected != Expected(y, x / 2, row / 2))) {
            ADD_FAILURE() << e.name << ": Y " << +y << " Cb " << x / 2 << " Cr " << row / 2;
            if (++mismatches == 5) break;
          }
        }
      }
      // Each kernel, two rows sharing one chroma row, against the conversion.
      for (const SimdLevel level : levels) {
        for (uint32_t row = 0; row < 512; row += 2) {
          Nv12ToBgraRows(level, GetYuvConstants(e.matrix, e.range), frame.Y(row), frame.Y(row + 1),
                         frame.Uv(row / 2), row_pixels.data(), row_pixels.data() + 512 * 4, 512);
          ASSERT_TRUE(std::equal(row_pixels.begin(), row_pixels.begin() + 512 * 4,
                                 pixels.begin() + (511 - row) * 512 * 4) &&
                      std::equal(row_pixels.begin() + 512 * 4, row_pixels.end(),
                                 pixels.begin() + (510 - row) * 512 * 4))
              << e.name << " level " << static_cast<int>(level) << " rows " << row;
        }
      }
    }
  }
}

TEST(Nv12, WritesEveryHeaderField) {
  constexpr uint32_t kWidth = 1280;
  constexpr uint32_t kHeight = 720;
  constexpr uint32_t kPixelBytes = kWidth * kHeight * 4;
  ASSERT_EQ(BmpImageSize(kWidth, kHeight), kPixelBytes + 54);
  std::vector<uint8_t> pixels(kPixelBytes);
  for (size_t i = 0; i < pixels.size(); ++i) {
    pixels[i] = static_cast<uint8_t>(i * 7 + i / 4096);
  }
  std::vector<uint8_t> block(kPixelBytes + 54, 0xCD);
  AssembleBmp(kWidth, kHeight, pixels.data(), block.data());
  EXPECT_EQ(Read16(block, 0), 0x4D42u) << "bfType";
  EXPECT_EQ(Read32(block, 2), kPixelBytes + 54) << "bfSize";
  EXPECT_EQ(Read16(block, 6), 0u) << "bfReserved1";
  EXPECT_EQ(Read16(block, 8), 0u) << "bfReserved2";
  EXPECT_EQ(Read32(block, 10), 54u) << "bfOffBits";
  EXPECT_EQ(Read32(block, 14), 40u) << "biSize";
  EXPECT_EQ(Read32(block, 18), kWidth) << "biWidth";
  EXPECT_EQ(Read32(block, 22), kHeight) << "biHeight";
  EXPECT_EQ(Read16(block, 26), 1u) << "biPlanes";
  EXPECT_EQ(Read16(block, 28), 32u) << "biBitCount";
  EXPECT_EQ(Read32(block, 30), 0u) << "biCompression";
  EXPECT_EQ(Read32(block, 34), kPixelBytes) << "biSizeImage";
  for (size_t offset = 38; offset < 54; offset += 4) {
    EXPECT_EQ(Read32(block, offset), 0u) << "field at " << offset;
  }
  EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), block.begin() + 54));
}

TEST(Nv12, FindsTheChromaOfAPaddedDecoderSurface) {
  // 1080 rows decoded into a 1088-row surface: the chroma plane starts at
  // row 1088. The 8 padding rows hold values that would colour the black
  // picture if taken for chroma.
  Frame frame(1920, 1080, 1920);
  frame.luma_rows = 1088;
  frame.bytes.assign(size_t{1920} * 1088 * 3 / 2, 128);
  ASSERT_EQ(frame.Length(), 1920u * 1088 * 3 / 2);
  std::fill(frame.Y(0), frame.Y(1080), 16);
  std::fill(frame.Y(1080), frame.Uv(0), 255);
  std::vector<uint8_t> pixels(size_t{1920} * 1080 * 4);
  ASSERT_TRUE(frame.Convert(pixels.data()));
  for (size_t i = 0; i < size_t{1920} * 1080; ++i) {
    ASSERT_EQ(PixelAt(pixels.data(), i), (Bgra{0, 0, 0, 255})) << "pixel " << i;
  }
}

// Odd widths convert only their own columns, with the last pair's chroma,
// and no read or write leaves its buffer (the frame ends at its last byte
// read; the pixels are followed by guard bytes).
TEST(Nv12, OddSizesStayWithinTheirBuffers) {
  std::mt19937 random(3);
  constexpr size_t kGuard = 64;
  for (const uint32_t width : {1u, 2u, 3u, 5u, 15u, 17u, 31u, 33u, 63u, 65u, 127u}) {
    for (const uint32_t height : {1u, 2u, 3u, 5u}) {
      Frame frame(width, height, width + (width & 1));
      for (uint8_t& byte : frame.bytes) {
        byte = static_cast<uint8_t>(random());
      }
      const size_t pixel_bytes = size_t{width} * height * 4;
      std::vector<uint8_t> pixels(pixel_bytes + kGuard, 0xCD);
      ASSERT_TRUE(frame.Convert(pixels.data())) << width << "x" << height;
      for (uint32_t row = 0; row < height; ++row) {
        for (uint32_t x = 0; x < width; ++x) {
          const uint8_t* uv = frame.Uv(row / 2) + x / 2 * 2;
          ASSERT_EQ(PixelAt(pixels.data(), (height - 1 - row) * width + x),
                    Expected(frame.Y(row)[x], uv[0], uv[1]))
              << width << "x" << height << " row " << row << " column " << x;
        }
      }
      EXPECT_TRUE(std::all_of(pixels.begin() + pixel_bytes, pixels.end(),
                              [](uint8_t b) { return b == 0xCD; }))
          << "wrote past the pixels of " << width << "x" << height;
    }
  }
}

TEST(Nv12, RefusesWhatDoesNotFitAndWritesNothing) {
  struct Case {
    const char* what;
    int32_t pitch;
    uint32_t length;
    uint32_t width;
    uint32_t height;
  };
  // A 4x4 frame needs 24 bytes at pitch 4; 3x2 at pitch 3 needs 10, since
  // the odd column's Cr byte lies past the row.
  const Case cases[] = {
      {"zero pitch", 0, 24, 4, 4},
      {"negative pitch", -4, 24, 4, 4},
      {"pitch below width", 3, 24, 4, 4},
      {"zero width", 4, 24, 0, 4},
      {"zero height", 4, 24, 4, 0},
      {"luma runs into chroma", 4, 23, 4, 4},
      {"chroma runs past the end", 3, 9, 3, 2},
      // Fits, but the image would be 2^31 + 54 bytes. Nothing is read.
      {"image too large", 32768, 805306368, 32768, 16384},
  };
  const std::vector<uint8_t> source(64, 128);
  std::vector<uint8_t> pixels(64, 0xCD);
  for (const Case& c : cases) {
    EXPECT_FALSE(
        ConvertNv12ToBgra(PlainNv12Planes(source.data(), c.pitch, c.length, c.width, c.height),
                          source.data(), c.length, {}, pixels.data()))
        << c.what;
    EXPECT_TRUE(std::all_of(pixels.begin(), pixels.end(), [](uint8_t b) { return b == 0xCD; }))
        << c.what;
  }
  EXPECT_TRUE(Nv12FrameFits(3, 10, 3, 2));
  EXPECT_TRUE(Nv12FrameFits(4, 24, 4, 4));
  // (height - 1) * pitch + width is 2^32 + 1, 1 if it wrapped in 32 bits.
  EXPECT_FALSE(Nv12FrameFits(65536, 0xFFFFFFFF, 1, 65537));
  EXPECT_FALSE(
      Nv12FrameFits(std::numeric_limits<int32_t>::max(), 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF));

  EXPECT_EQ(BmpImageSize(0, 5), 54u);
  EXPECT_EQ(BmpImageSize(536870898, 1), 2147483646u) << "largest image";
  EXPECT_EQ(BmpImageSize(536870899, 1), std::nullopt);
  EXPECT_EQ(BmpImageSize(65536, 8192), std::nullopt);
  EXPECT_EQ(BmpImageSize(0xFFFFFFFF, 0xFFFFFFFF), std::nullopt);
}

// A 2D buffer as Lock2DSize describes it: 64-byte pitch, 16 coded rows, so
// the chroma plane at 64 * 16, and a 10x6 aperture at column 5 (taken as 4),
// row 2. Bytes outside the aperture would show as wrong colours if read.
TEST(Nv12, ConvertsTheApertureOfA2DBuffer) {
  constexpr int32_t kPitch = 64;
  constexpr uint32_t kWidth = 10, kHeight = 6;
  std::vector<uint8_t> buffer(kPitch * 16 * 3 / 2, 255);
  const std::optional<Nv12Planes> planes =
      Nv12PlanesIn2DBuffer(buffer.data(), kPitch, 16, 5, 2, kWidth, kHeight);
  ASSERT_TRUE(planes);
  ASSERT_EQ(planes->y, buffer.data() + 2 * kPitch + 4);
  ASSERT_EQ(planes->uv, buffer.data() + 17 * kPitch + 4);
  for (uint32_t row = 0; row < kHeight; ++row) {
    for (uint32_t x = 0; x < kWidth; ++x) {
      buffer[(2 + row) * kPitch + 4 + x] = static_cast<uint8_t>(20 + row * 30 + x);
      buffer[(17 + row / 2) * kPitch + 4 + x] = static_cast<uint8_t>(60 + 9 * x);
    }
  }
  std::vector<uint8_t> pixels(kWidth * kHeight * 4, 0xCD);
  // The last chroma byte read is the 10th of the third chroma row.
  const uint64_t needed = 19 * kPitch + 4 + kWidth;
  EXPECT_FALSE(ConvertNv12ToBgra(*planes, buffer.data(), needed - 1, {}, pixels.data()));
  EXPECT_TRUE(std::all_of(pixels.begin(), pixels.end(), [](uint8_t b) { return b == 0xCD; }));
  ASSERT_TRUE(ConvertNv12ToBgra(*planes, buffer.data(), needed, {}, pixels.data()));
  for (uint32_t row = 0; row < kHeight; ++row) {
    for (uint32_t x = 0; x < kWidth; ++x) {
      const uint8_t* uv = planes->uv + row / 2 * kPitch + x / 2 * 2;
      ASSERT_EQ(PixelAt(pixels.data(), (kHeight - 1 - row) * kWidth + x),
                Expected(planes->y[row * kPitch + x], uv[0], uv[1]))
          << "row " << row << " column " << x;
    }
  }

  const auto refused = [&](const char* what, void (*change)(Nv12Planes&)) {
    Nv12Planes p = *planes;
    change(p);
    EXPECT_FALSE(Nv12PlanesFit(p, buffer.data(), buffer.size())) << what;
  };
  refused("negative luma pitch", [](Nv12Planes& p) { p.y_pitch = -p.y_pitch; });
  refused("chroma pitch below width", [](Nv12Planes& p) { p.uv_pitch = kWidth - 1; });
  refused("luma before the buffer", [](Nv12Planes& p) { p.y -= 2 * kPitch + 5; });
  refused("chroma inside the luma rows", [](Nv12Planes& p) { p.uv = p.y + 5 * kPitch; });
  refused("second chroma row 2^31 bytes on",
          [](Nv12Planes& p) { p.uv_pitch = std::numeric_limits<int32_t>::max(); });
  EXPECT_FALSE(Nv12PlanesIn2DBuffer(buffer.data(), -kPitch, 16, 0, 0, kWidth, kHeight));
}

TEST(Nv12, PictureSizeWidensThenTurns) {
  struct Case {
    uint32_t width, height, num, den;
    Rotation rotation;
    bool keep;
    std::optional<std::pair<uint32_t, uint32_t>> size;
  };
  const Case cases[] = {
      {720, 480, 1, 1, Rotation::k0, false, std::pair{720u, 480u}},
      {720, 480, 32, 27, Rotation::k0, false, std::pair{853u, 480u}},  // 853.33
      {720, 480, 32, 27, Rotation::k90, false, std::pair{480u, 853u}},
      {720, 480, 32, 27, Rotation::k270, true, std::pair{480u, 720u}},
      {720, 480, 8, 9, Rotation::k180, false, std::pair{640u, 480u}},
      {3, 1, 1, 2, Rotation::k0, false, std::pair{2u, 1u}},          // 1.5 rounds up
      {1, 1, 1, 3, Rotation::k0, false, std::pair{1u, 1u}},          // never 0
      {720, 480, 0, 0, Rotation::k0, false, std::pair{720u, 480u}},  // unknown: square
      {0, 480, 1, 1, Rotation::k0, false, std::nullopt},
      {720, 480, 1, 1, static_cast<Rotation>(45), false, std::nullopt},
      {0xFFFFFFFF, 1, 0xFFFFFFFF, 1, Rotation::k0, false, std::nullopt},
      {268435450, 1, 2, 1, Rotation::k0, false, std::nullopt},  // image over 2^31 bytes
  };
  for (const Case& c : cases) {
    PictureOptions options;
    options.rotation = c.rotation;
    options.aspect_num = c.num;
    options.aspect_den = c.den;
    options.keep_stored_pixels = c.keep;
    const std::optional<PictureDimensions> size = PictureSize(c.width, c.height, options);
    const auto got = size ? std::optional(std::pair{size->width, size->height}) : std::nullopt;
    EXPECT_EQ(got, c.size) << c.width << "x" << c.height << " at " << c.num << ":" << c.den
                           << " turned " << static_cast<int>(c.rotation);
  }
}

// Output pixel (u, v), counted from the top left, of a W x H picture turned
// clockwise by `rotation` comes from source pixel {x, y}.
std::pair<uint32_t, uint32_t> SourceOf(Rotation rotation, uint32_t u, uint32_t v, uint32_t w,
                                       uint32_t h) {
  switch (rotation) {
    case Rotation::k90:
      return {v, h - 1 - u};
    case Rotation::k180:
      return {w - 1 - u, h - 1 - v};
    case Rotation::k270:
      return {w - 1 - v, u};
    default:
      return {u, v};
  }
}

constexpr Rotation kRotations[] = {Rotation::k0, Rotation::k90, Rotation::k180, Rotation::k270};

// Converts with `options` into a buffer followed by guard bytes, checks them
// and returns the pixels with their size.
std::vector<uint8_t> Output(const Frame& frame, const PictureOptions& options,
                            PictureDimensions& size) {
  constexpr size_t kGuard = 64;
  const std::optional<PictureDimensions> picture = PictureSize(frame.width, frame.height, options);
  if (!picture) {
    ADD_FAILURE() << "no size for " << frame.width << "x" << frame.height;
    return {};
  }
  size = *picture;
  std::vector<uint8_t> out(size_t{size.width} * size.height * 4 + kGuard, 0xCD);
  EXPECT_TRUE(frame.Convert(out.data(), options));
  EXPECT_TRUE(std::all_of(out.end() - kGuard, out.end(), [](uint8_t b) { return b == 0xCD; }))
      << "wrote past the pixels of " << frame.width << "x" << frame.height;
  return std::vector<uint8_t>(out.begin(), out.end() - kGuard);
}

TEST(Nv12, TurnsTheTopLeftCornerClockwise) {
  // 3x2, black top-left pixel, white elsewhere, neutral chroma.
  Frame frame(3, 2, 4);
  std::fill(frame.bytes.begin(), frame.bytes.end(), 128);
  std::fill(frame.Y(0), frame.Y(0) + 4 * 2, 235);
  frame.Y(0)[0] = 16;
  struct Case {
    Rotation rotation;
    uint32_t width, height, corner;  // stored index of the black pixel, bottom-up
  };
  // 90: top right; 180: bottom right; 270: bottom left.
  for (const Case c : {Case{Rotation::k0, 3, 2, 3}, Case{Rotation::k90, 2, 3, 5},
                       Case{Rotation::k180, 3, 2, 2}, Case{Rotation::k270, 2, 3, 0}}) {
    PictureOptions options;
    options.rotation = c.rotation;
    PictureDimensions size{};
    const std::vector<uint8_t> out = Output(frame, options, size);
    ASSERT_EQ(size.width, c.width);
    ASSERT_EQ(size.height, c.height);
    for (uint32_t i = 0; i < c.width * c.height; ++i) {
      EXPECT_EQ(PixelAt(out.data(), i)[0], i == c.corner ? 0 : 255)
          << "turned " << static_cast<int>(c.rotation) << " pixel " << i;
    }
  }
}

// Every rotation of random frames whose sizes are odd or cross the 16-row
// and 128-column tiles: every pixel from the right source pixel.
TEST(Nv12, RotatesEveryPixelIntoPlace) {
  std::mt19937 random(5);
  struct Size {
    uint32_t width, height;
  };
  for (const Size s : {Size{1, 1}, Size{2, 3}, Size{5, 7}, Size{17, 33}, Size{33, 17},
                       Size{130, 19}, Size{257, 35}, Size{31, 129}}) {
    Frame frame(s.width, s.height, s.width + (s.width & 1));
    for (uint8_t& byte : frame.bytes) byte = static_cast<uint8_t>(random());
    for (const Rotation rotation : kRotations) {
      PictureOptions options;
      options.rotation = rotation;
      PictureDimensions size{};
      const std::vector<uint8_t> out = Output(frame, options, size);
      for (uint32_t v = 0; v < size.height; ++v) {
        for (uint32_t u = 0; u < size.width; ++u) {
          const auto [x, y] = SourceOf(rotation, u, v, s.width, s.height);
          const uint8_t* uv = frame.Uv(y / 2) + x / 2 * 2;
          ASSERT_EQ(PixelAt(out.data(), size_t{size.height - 1 - v} * size.width + u),
                    Expected(frame.Y(y)[x], uv[0], uv[1]))
              << s.width << "x" << s.height << " turned " << static_cast<int>(rotation) << " at "
              << u << "," << v;
        }
      }
    }
  }
}

// Non-square pixels: a constant colour stays exact, a ramp comes out within
// 1 level of the area average of the source span each output pixel covers,
// and widening then turning equals turning the widened picture.
TEST(Nv12, WidensRowsByAreaAverage) {
  struct Case {
    uint32_t width, height, num, den;
  };
  for (const Case c : {Case{45, 6, 32, 27}, Case{16, 3, 8, 9}, Case{7, 2, 5, 2}, Case{300, 5, 3, 2},
                       Case{301, 4, 1, 3}}) {
    Frame frame(c.width, c.height, c.width + (c.width & 1));
    // Full range with neutral chroma gives blue = green = red = Y exactly.
    std::fill(frame.bytes.begin(), frame.bytes.end(), 128);
    for (uint32_t row = 0; row < c.height; ++row) {
      for (uint32_t x = 0; x < c.width; ++x) {
        frame.Y(row)[x] = static_cast<uint8_t>((x * 37 + row * 11) % 256);
      }
    }
    PictureOptions options;
    options.range = YuvRange::kFull;
    options.aspect_num = c.num;
    options.aspect_den = c.den;
    PictureDimensions size{};
    const std::vector<uint8_t> upright = Output(frame, options, size);
    const double scale = static_cast<double>(c.width) / size.width;  // source pixels per output
    for (uint32_t row = 0; row < c.height; ++row) {
      for (uint32_t i = 0; i < size.width; ++i) {
        double sum = 0;
        for (uint32_t x = 0; x < c.width; ++x) {
          const double overlap =
              std::min<double>(x + 1, (i + 1) * scale) - std::max<double>(x, i * scale);
          if (overlap > 0) sum += overlap * frame.Y(row)[x];
        }
        const Bgra got = PixelAt(upright.data(), size_t{c.height - 1 - row} * size.width + i);
        for (int channel = 0; channel < 3; ++channel) {
          ASSERT_LE(std::abs(got[channel] - sum / scale), 1.0)
              << c.width << " at " << c.num << ":" << c.den << " row " << row << " pixel " << i;
        }
        ASSERT_EQ(got[3], 255);
      }
    }
    for (const Rotation rotation : kRotations) {
      options.rotation = rotation;
      PictureDimensions turned_size{};
      const std::vector<uint8_t> turned = Output(frame, options, turned_size);
      for (uint32_t v = 0; v < turned_size.height; ++v) {
        for (uint32_t u = 0; u < turned_size.width; ++u) {
          const auto [x, y] = SourceOf(rotation, u, v, size.width, size.height);
          ASSERT_EQ(
              PixelAt(turned.data(), size_t{turned_size.height - 1 - v} * turned_size.width + u),
              PixelAt(upright.data(), size_t{size.height - 1 - y} * size.width + x))
              << c.width << " turned " << static_cast<int>(rotation) << " at " << u << "," << v;
        }
      }
    }
    options.rotation = Rotation::k0;
    std::fill(frame.bytes.begin(), frame.bytes.end(), 77);
    const std::vector<uint8_t> flat = Output(frame, options, size);
    for (size_t i = 0; i < flat.size() / 4; ++i) {
      ASSERT_EQ(PixelAt(flat.data(), i), Expected(kEquations[1], 77, 77, 77))
          << "flat, pixel " << i;
    }
  }
}

}  // namespace
}  // namespace stillreel
