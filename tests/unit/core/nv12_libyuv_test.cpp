// Cross-check of the NV12 conversion against libyuv's NV12ToARGBMatrix on
// random frames: an independent implementation of each matrix and range,
// within 2 levels.
#include <gtest/gtest.h>
#include <libyuv.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "picture/bmp.h"
#include "picture/convert.h"

namespace stillreel {
namespace {

TEST(Nv12, AgreesWithLibyuvForEveryMatrix) {
  struct Matrix {
    const char* name;
    YuvMatrix matrix;
    YuvRange range;
    const libyuv::YuvConstants* theirs;
    // libyuv caps its limited-range BT.709 and BT.2020 blue factor at 2.0
    // (UB 128 in its row_common.cc, a signed 8-bit multiplier) instead of
    // 2.112 and 2.142: blue may differ by that much more per step of Cb.
    double blue_cap;
  };
  const Matrix matrices[] = {
      {"BT.601 limited", YuvMatrix::kBt601, YuvRange::kLimited, &libyuv::kYuvI601Constants, 0},
      {"BT.601 full", YuvMatrix::kBt601, YuvRange::kFull, &libyuv::kYuvJPEGConstants, 0},
      {"BT.709 limited", YuvMatrix::kBt709, YuvRange::kLimited, &libyuv::kYuvH709Constants, 0.112},
      {"BT.709 full", YuvMatrix::kBt709, YuvRange::kFull, &libyuv::kYuvF709Constants, 0},
      {"BT.2020 limited", YuvMatrix::kBt2020, YuvRange::kLimited, &libyuv::kYuv2020Constants,
       0.142},
      {"BT.2020 full", YuvMatrix::kBt2020, YuvRange::kFull, &libyuv::kYuvV2020Constants, 0},
  };
  std::mt19937 random(7);
  struct Size {
    uint32_t width;
    uint32_t height;
  };
  for (const Size size : {Size{2, 2}, Size{64, 36}, Size{640, 360}, Size{1, 1}, Size{3, 5},
                          Size{33, 17}, Size{101, 57}, Size{639, 359}}) {
    const uint32_t width = size.width;
    const uint32_t height = size.height;
    // Rows padded as a decoder pads them; the chroma plane follows an even
    // number of luma rows so that it sits at two thirds of the length.
    const uint32_t pitch = (width + 1 + random() % 64) & ~1u;
    const uint32_t luma_rows = height + (height & 1);
    std::vector<uint8_t> frame(size_t{pitch} * luma_rows * 3 / 2);
    for (uint8_t& byte : frame) {
      byte = static_cast<uint8_t>(random());
    }
    const uint8_t* uv = frame.data() + size_t{pitch} * luma_rows;
    const auto length = static_cast<uint32_t>(frame.size());
    const Nv12Planes planes =
        PlainNv12Planes(frame.data(), static_cast<int32_t>(pitch), length, width, height);
    for (const Matrix& m : matrices) {
      PictureOptions options;
      options.matrix = m.matrix;
      options.range = m.range;
      std::vector<uint8_t> ours(size_t{width} * height * 4);
      std::vector<uint8_t> theirs(ours.size());
      ASSERT_TRUE(ConvertNv12ToBgra(planes, frame.data(), length, options, ours.data()));
      // libyuv's ARGB is B, G, R, A in memory, like ours, but top-down.
      ASSERT_EQ(libyuv::NV12ToARGBMatrix(frame.data(), static_cast<int>(pitch), uv,
                                         static_cast<int>(pitch), theirs.data(),
                                         static_cast<int>(width * 4), m.theirs,
                                         static_cast<int>(width), static_cast<int>(height)),
                0);
      // The difference beyond what libyuv's cap explains, in levels.
      double worst = 0;
      for (uint32_t row = 0; row < height; ++row) {
        const uint8_t* our_row = ours.data() + size_t{height - 1 - row} * width * 4;
        const uint8_t* their_row = theirs.data() + size_t{row} * width * 4;
        for (uint32_t i = 0; i < width * 4; ++i) {
          const int cb = uv[size_t{row / 2} * pitch + i / 8 * 2];
          const double cap = i % 4 == 0 ? m.blue_cap * std::abs(cb - 128) : 0;
          worst = std::max(worst, std::abs(our_row[i] - their_row[i]) - cap);
        }
      }
      EXPECT_LE(worst, 2) << m.name << " " << width << "x" << height << " pitch " << pitch;
    }
  }
}

}  // namespace
}  // namespace stillreel
