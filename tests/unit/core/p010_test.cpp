// Tests of the 10-bit (P010) conversion: the equations kept at 10 bits until one rounding, a
// ramp without the 8-bit conversion's gaps, and the NV12 plane layouts, turns and widening.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <set>
#include <vector>

#include "picture/convert.h"

namespace stillreel {
namespace {

void PutWord(uint8_t* at, uint32_t value) {
  const uint16_t word = static_cast<uint16_t>(value << 6);
  std::memcpy(at, &word, 2);
}

// A plain P010 buffer: even number of luma rows, chroma rows after them, `pitch` bytes apart,
// nothing after; the last byte read is the allocation's last byte at the smallest pitch.
struct Frame10 {
  Frame10(uint32_t w, uint32_t h, uint32_t p)
      : width(w), height(h), pitch(p), rows(h + (h & 1)), bytes(size_t{p} * rows * 3 / 2) {}
  uint8_t* Y(uint32_t row) { return bytes.data() + size_t{row} * pitch; }
  uint8_t* Uv(uint32_t row) { return Y(rows + row); }
  uint32_t Length() const { return static_cast<uint32_t>(bytes.size()); }
  bool Convert(uint8_t* dst, const PictureOptions& options = {}) const {
    return ConvertNv12ToBgra(
        PlainNv12Planes(bytes.data(), static_cast<int32_t>(pitch), Length(), width, height, 2),
        bytes.data(), Length(), options, dst);
  }
  uint32_t width, height, pitch, rows;
  std::vector<uint8_t> bytes;
};

// Every luma code with a grid of chroma codes, every matrix and range, against the equations
// in double precision: within half a level plus the coefficients' rounding to 1/65536.
TEST(P010, MatchesTheEquationsWithOneRounding) {
  const struct {
    YuvMatrix matrix;
    double kr, kb;
  } matrices[] = {{YuvMatrix::kBt601, 0.299, 0.114},
                  {YuvMatrix::kBt709, 0.2126, 0.0722},
                  {YuvMatrix::kBt2020, 0.2627, 0.0593}};
  for (const auto& m : matrices) {
    for (const YuvRange range : {YuvRange::kLimited, YuvRange::kFull}) {
      const YuvConstants10 constants = GetYuvConstants10(m.matrix, range);
      const bool full = range == YuvRange::kFull;
      const double kg = 1 - m.kr - m.kb;
      int failures = 0;
      for (uint32_t y = 0; y < 1024; ++y) {
        for (uint32_t cb = 0; cb < 1024; cb += 31) {
          for (uint32_t cr = 0; cr < 1024; cr += 37) {
            uint8_t luma[4], chroma[4], out[8];
            PutWord(luma, y);
            PutWord(luma + 2, y);
            PutWord(chroma, cb);
            PutWord(chroma + 2, cr);
            P010ToBgraRows(SimdLevel::kScalar, constants, luma, luma, chroma, out, out + 4, 1);
            const double l = full ? y / 1023.0 : (y - 64.0) / 876.0;
            const double pb = (cb - 512.0) / (full ? 1023.0 : 896.0);
            const double pr = (cr - 512.0) / (full ? 1023.0 : 896.0);
            const double want[3] = {
                l + 2 * (1 - m.kb) * pb,
                l - 2 * (1 - m.kb) * m.kb / kg * pb - 2 * (1 - m.kr) * m.kr / kg * pr,
                l + 2 * (1 - m.kr) * pr};
            for (int c = 0; c < 3; ++c) {
              const double exact = std::clamp(255 * want[c], 0.0, 255.0);
              if (std::abs(out[c] - exact) > 0.52 && ++failures <= 5) {
                ADD_FAILURE() << "matrix " << static_cast<int>(m.matrix) << " full " << full
                              << " Y " << y << " Cb " << cb << " Cr " << cr << " channel " << c
                              << ": " << +out[c] << " against " << exact;
              }
            }
          }
        }
      }
    }
  }
}

// Every instruction set gives the scalar bytes: every luma code beside chroma codes running
// through all values, every matrix and range, a width with a tail.
TEST(P010, EveryLevelGivesTheScalarBytesForEveryCode) {
  std::vector<SimdLevel> levels;
  for (const SimdLevel level : {SimdLevel::kSse2, SimdLevel::kAvx2}) {
    if (level <= BestSimdLevel()) levels.push_back(level);
  }
  if (levels.empty()) GTEST_SKIP() << "no SIMD level on this processor";
  constexpr uint32_t kWidth = 1024 + 5;
  std::vector<uint8_t> luma0(kWidth * 2), luma1(kWidth * 2), chroma((kWidth + 1) * 2);
  std::vector<uint8_t> scalar(size_t{kWidth} * 8), simd(scalar.size());
  for (const YuvMatrix matrix : {YuvMatrix::kBt601, YuvMatrix::kBt709, YuvMatrix::kBt2020}) {
    for (const YuvRange range : {YuvRange::kLimited, YuvRange::kFull}) {
      const YuvConstants10 constants = GetYuvConstants10(matrix, range);
      for (uint32_t shift = 0; shift < 1024; shift += 5) {
        for (uint32_t x = 0; x < kWidth; ++x) {
          PutWord(luma0.data() + 2 * x, x % 1024);
          PutWord(luma1.data() + 2 * x, (x * 3 + shift) % 1024);
          PutWord(chroma.data() + 2 * x, (x % 2 == 0 ? x * 5 + shift : x * 7 + 3 * shift) % 1024);
        }
        P010ToBgraRows(SimdLevel::kScalar, constants, luma0.data(), luma1.data(), chroma.data(),
                       scalar.data(), scalar.data() + kWidth * 4, kWidth);
        for (const SimdLevel level : levels) {
          P010ToBgraRows(level, constants, luma0.data(), luma1.data(), chroma.data(), simd.data(),
                         simd.data() + kWidth * 4, kWidth);
          ASSERT_TRUE(simd == scalar)
              << "matrix " << static_cast<int>(matrix) << " range " << static_cast<int>(range)
              << " level " << static_cast<int>(level) << " shift " << shift;
        }
      }
    }
  }
}

// A smooth 10-bit ramp over the studio range: converted at 10 bits every output level appears
// and no step exceeds one level; its top 8 bits through the NV12 conversion leave gaps (two
// levels at a time), the banding 10-bit video is kept at 10 bits to avoid.
TEST(P010, ARampHasNoGapsWhereEightBitsBand) {
  constexpr uint32_t kWidth = 876;
  Frame10 frame(kWidth, 2, kWidth * 2);
  std::vector<uint8_t> nv12(size_t{kWidth} * 3, 128);  // 2 luma rows and 1 chroma row
  for (uint32_t x = 0; x < kWidth; ++x) {
    const uint32_t code = 64 + x;  // 64 .. 939
    PutWord(frame.Y(0) + 2 * x, code);
    PutWord(frame.Y(1) + 2 * x, code);
    PutWord(frame.Uv(0) + 2 * x, 512);
    nv12[x] = nv12[kWidth + x] = static_cast<uint8_t>(code >> 2);
  }
  std::vector<uint8_t> ten(size_t{kWidth} * 2 * 4), eight(ten.size());
  ASSERT_TRUE(frame.Convert(ten.data()));
  ASSERT_TRUE(ConvertNv12ToBgra(PlainNv12Planes(nv12.data(), kWidth, kWidth * 3, kWidth, 2),
                                nv12.data(), nv12.size(), {}, eight.data()));
  const auto levels = [](const std::vector<uint8_t>& pixels, int& widest_step) {
    std::set<int> seen;
    widest_step = 0;
    for (uint32_t x = 0; x < kWidth; ++x) {
      seen.insert(pixels[4 * x + 1]);
      if (x > 0) widest_step = std::max(widest_step, pixels[4 * x + 1] - pixels[4 * x - 3]);
    }
    return seen.size();
  };
  int ten_step = 0, eight_step = 0;
  const size_t ten_levels = levels(ten, ten_step);
  const size_t eight_levels = levels(eight, eight_step);
  EXPECT_EQ(ten_levels, 256u);
  EXPECT_EQ(ten_step, 1);
  EXPECT_GT(ten_levels, eight_levels);
  EXPECT_EQ(eight_step, 2) << "the 8-bit conversion was expected to skip levels";
}

// The same picture as P010 (each code times 4) and as NV12 gives the same bytes within a level
// through every turn and pixel aspect, and in a 2D buffer's aperture: the drivers step P010's
// columns by two bytes. A buffer too short for 2-byte samples is refused.
TEST(P010, TakesEveryLayoutOfNv12) {
  std::mt19937 random(7);
  for (const auto& [width, height] : {std::pair{33u, 17u}, std::pair{130u, 35u}}) {
    const uint32_t pitch8 = width + 1;
    std::vector<uint8_t> nv12(size_t{pitch8} * (height + 1) * 3 / 2);
    for (uint8_t& b : nv12) b = static_cast<uint8_t>(random());
    // P010 in a 2D buffer: pitch 512 bytes, 4 rows and 2 columns of aperture offset.
    constexpr uint32_t kPitch = 512, kCoded = 48, kLeft = 2, kTop = 4;
    std::vector<uint8_t> p010(size_t{kPitch} * kCoded * 3 / 2, 0xEE);
    const Nv12Planes planes8 = PlainNv12Planes(nv12.data(), static_cast<int32_t>(pitch8),
                                               static_cast<uint32_t>(nv12.size()), width, height);
    for (uint32_t row = 0; row < height; ++row) {
      for (uint32_t x = 0; x < width; ++x) {
        PutWord(p010.data() + (kTop + row) * kPitch + 2 * (kLeft + x),
                planes8.y[row * pitch8 + x] * 4u);
      }
    }
    for (uint32_t row = 0; row < (height + 1) / 2; ++row) {
      for (uint32_t x = 0; x < (width + 1) / 2 * 2; ++x) {
        PutWord(p010.data() + (kCoded + kTop / 2 + row) * kPitch + 2 * (kLeft + x),
                planes8.uv[row * pitch8 + x] * 4u);
      }
    }
    const std::optional<Nv12Planes> planes10 =
        Nv12PlanesIn2DBuffer(p010.data(), kPitch, kCoded, kLeft, kTop, width, height, 2);
    ASSERT_TRUE(planes10);
    for (const Rotation rotation : {Rotation::k0, Rotation::k90, Rotation::k180, Rotation::k270}) {
      for (const uint32_t num : {1u, 3u}) {
        PictureOptions options;
        options.rotation = rotation;
        options.aspect_num = num;
        options.aspect_den = 2;
        const std::optional<PictureDimensions> size = PictureSize(width, height, options);
        ASSERT_TRUE(size);
        const size_t bytes = size_t{size->width} * size->height * 4;
        std::vector<uint8_t> eight(bytes), ten(bytes + 16, 0xCD);
        ASSERT_TRUE(ConvertNv12ToBgra(planes8, nv12.data(), nv12.size(), options, eight.data()));
        ASSERT_TRUE(ConvertNv12ToBgra(*planes10, p010.data(), p010.size(), options, ten.data()));
        for (size_t i = 0; i < bytes; ++i) {
          ASSERT_LE(std::abs(eight[i] - ten[i]), 1)
              << width << "x" << height << " turned " << static_cast<int>(rotation) << " at " << num
              << ":2, byte " << i;
        }
        EXPECT_TRUE(
            std::all_of(ten.begin() + bytes, ten.end(), [](uint8_t b) { return b == 0xCD; }));
      }
    }
    // The last chroma byte read is the 2 * width-th of the last chroma row.
    const uint64_t needed = uint64_t{kCoded + kTop / 2 + (height + 1) / 2 - 1} * kPitch +
                            2 * kLeft + (width + 1) / 2 * 4;
    std::vector<uint8_t> out(size_t{width} * height * 4);
    EXPECT_FALSE(ConvertNv12ToBgra(*planes10, p010.data(), needed - 1, {}, out.data()));
    EXPECT_TRUE(ConvertNv12ToBgra(*planes10, p010.data(), needed, {}, out.data()));
    Nv12Planes narrow = *planes10;
    narrow.y_pitch = static_cast<int32_t>(2 * width - 1);  // holds width bytes, not 2 * width
    EXPECT_FALSE(Nv12PlanesFit(narrow, p010.data(), p010.size()));
  }
}

}  // namespace
}  // namespace stillreel
