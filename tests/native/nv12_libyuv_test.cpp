// Cross-check of the NV12 conversion against libyuv's NV12ToARGB on random
// frames: an independent implementation of the same BT.601 studio range.
#include <gtest/gtest.h>
#include <libyuv.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "video/nv12.h"

namespace stillreel {
namespace {

TEST(Nv12, AgreesWithLibyuvWithinThreeLevels) {
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
    std::vector<uint8_t> ours(size_t{width} * height * 4);
    std::vector<uint8_t> theirs(ours.size());
    ASSERT_TRUE(ConvertNv12ToBgra(frame.data(), static_cast<int32_t>(pitch),
                                  static_cast<uint32_t>(frame.size()), width, height, ours.data()));
    // libyuv's ARGB is B, G, R, A in memory, like ours, but top-down.
    ASSERT_EQ(libyuv::NV12ToARGB(frame.data(), static_cast<int>(pitch), uv, static_cast<int>(pitch),
                                 theirs.data(), static_cast<int>(width * 4),
                                 static_cast<int>(width), static_cast<int>(height)),
              0);
    int worst = 0;
    for (uint32_t row = 0; row < height; ++row) {
      const uint8_t* our_row = ours.data() + size_t{height - 1 - row} * width * 4;
      const uint8_t* their_row = theirs.data() + size_t{row} * width * 4;
      for (uint32_t i = 0; i < width * 4; ++i) {
        worst = std::max(worst, std::abs(our_row[i] - their_row[i]));
      }
    }
    EXPECT_LE(worst, 3) << width << "x" << height << " pitch " << pitch;
  }
}

}  // namespace
}  // namespace stillreel
