// libFuzzer target for the NV12 conversion: random geometry, pitch, length
// and bytes, with every buffer allocated to its exact size so that ASan
// catches any access outside it.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "video/nv12.h"

namespace {

// Small enough for thousands of runs a second.
constexpr uint32_t kMaxSide = 160;
constexpr uint32_t kMaxLength = 64 * 1024;

void Check(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

uint8_t Clamp(int32_t value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const uint32_t width = input.ConsumeIntegralInRange<uint32_t>(0, kMaxSide);
  const uint32_t height = input.ConsumeIntegralInRange<uint32_t>(0, kMaxSide);
  // Mostly pitches and lengths near a decoder's, sometimes anything.
  const int32_t pitch = input.ConsumeBool() ? static_cast<int32_t>(width) +
                                                  input.ConsumeIntegralInRange<int32_t>(-2, 64)
                                            : input.ConsumeIntegral<int32_t>();
  uint32_t length = input.ConsumeIntegralInRange<uint32_t>(0, kMaxLength);
  if (input.ConsumeBool() && pitch > 0) {
    const int64_t sample = int64_t{pitch} * (height + (height & 1)) * 3 / 2;
    length = static_cast<uint32_t>(
        std::clamp<int64_t>(sample + input.ConsumeIntegralInRange<int32_t>(-3, 3), 0, kMaxLength));
  }
  const std::vector<uint8_t> bytes = input.ConsumeRemainingBytes<uint8_t>();
  std::vector<uint8_t> frame(length);
  for (size_t i = 0; i < frame.size(); ++i) {
    frame[i] = bytes.empty() ? static_cast<uint8_t>(i) : bytes[i % bytes.size()];
  }

  const bool fits = stillreel::Nv12FrameFits(pitch, length, width, height);
  const bool sized = stillreel::BmpImageSize(width, height).has_value();
  // A frame that fits is at most `length` pixels; any other gets a small
  // buffer that a refusal must leave as it is.
  const size_t pixel_bytes = fits ? size_t{width} * height * 4 : 16;
  std::vector<uint8_t> pixels(pixel_bytes, 0xCD);
  const bool converted =
      stillreel::ConvertNv12ToBgra(frame.data(), pitch, length, width, height, pixels.data());
  Check(converted == (fits && sized));
  if (!converted) {
    Check(std::all_of(pixels.begin(), pixels.end(), [](uint8_t b) { return b == 0xCD; }));
    return 0;
  }

  // Every pixel against the equations as written, and the baseline build of
  // the row loop against whichever build the conversion picked.
  const size_t stride = static_cast<uint32_t>(pitch);
  const uint8_t* uv_plane = frame.data() + static_cast<uint32_t>(2u * length) / 3u;
  std::vector<uint8_t> row_pixels(size_t{width} * 4);
  for (uint32_t row = 0; row < height; ++row) {
    const uint8_t* y_row = frame.data() + row * stride;
    const uint8_t* uv_row = uv_plane + row / 2 * stride;
    const uint8_t* out = pixels.data() + size_t{height - 1 - row} * width * 4;
    stillreel::Nv12ToBgraRow(y_row, uv_row, row_pixels.data(), width);
    Check(std::memcmp(out, row_pixels.data(), row_pixels.size()) == 0);
    for (uint32_t x = 0; x < width; ++x) {
      const int32_t y = y_row[x];
      const int32_t cb = uv_row[x / 2 * 2];
      const int32_t cr = uv_row[x / 2 * 2 + 1];
      Check(out[4 * x] == Clamp((298 * y + 516 * cb - 70688) >> 8));
      Check(out[4 * x + 1] == Clamp((298 * y - 100 * cb - 208 * cr + 34784) >> 8));
      Check(out[4 * x + 2] == Clamp((298 * y + 409 * cr - 56992) >> 8));
      Check(out[4 * x + 3] == 255);
    }
  }

  std::vector<uint8_t> block(*stillreel::BmpImageSize(width, height));
  stillreel::AssembleBmp(width, height, pixels.data(), block.data());
  Check(std::memcmp(block.data() + 54, pixels.data(), pixels.size()) == 0);
  return 0;
}
