// Tests of the NV12 to BGRA conversion and the BMP image built from it.
#include "video/nv12.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace stillreel {
namespace {

using Bgra = std::array<uint8_t, 4>;

// The three equations as written, in 32-bit arithmetic.
Bgra Expected(int32_t y, int32_t cb, int32_t cr) {
  const auto clamp = [](int32_t v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); };
  return {clamp((298 * y + 516 * cb - 70688) >> 8),
          clamp((298 * y - 100 * cb - 208 * cr + 34784) >> 8),
          clamp((298 * y + 409 * cr - 56992) >> 8), 255};
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
  bool Convert(uint8_t* dst) const {
    return ConvertNv12ToBgra(bytes.data(), static_cast<int32_t>(pitch), Length(), width, height,
                             dst);
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

// Every (Y, Cb, Cr) through both builds of the row loop: the conversion
// reorganises the equations for 16-bit lanes and must not change one value.
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
  std::vector<uint8_t> pixels(512 * 512 * 4);
  std::vector<uint8_t> row_pixels(512 * 4);
  int mismatches = 0;
  for (uint32_t pass = 0; pass < 64 && mismatches < 5; ++pass) {
    for (uint32_t row = 0; row < 512; ++row) {
      for (uint32_t x = 0; x < 512; ++x) {
        frame.Y(row)[x] = static_cast<uint8_t>(4 * pass + 2 * (row & 1) + (x & 1));
      }
    }
    ASSERT_TRUE(frame.Convert(pixels.data()));
    for (uint32_t row = 0; row < 512; ++row) {
      Nv12ToBgraRow(frame.Y(row), frame.Uv(row / 2), row_pixels.data(), 512);
      for (uint32_t x = 0; x < 512; ++x) {
        const uint8_t y = frame.Y(row)[x];
        const Bgra expected = Expected(y, x / 2, row / 2);
        const Bgra converted = PixelAt(pixels.data(), (511 - row) * 512 + x);
        const Bgra baseline = PixelAt(row_pixels.data(), x);
        if (converted != expected || baseline != expected) {
          ADD_FAILURE() << "Y " << +y << " Cb " << x / 2 << " Cr " << row / 2;
          if (++mismatches == 5) {
            return;
          }
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
        ConvertNv12ToBgra(source.data(), c.pitch, c.length, c.width, c.height, pixels.data()))
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

}  // namespace
}  // namespace stillreel
