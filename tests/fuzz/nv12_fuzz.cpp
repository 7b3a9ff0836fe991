// libFuzzer target for the NV12 conversion: random geometry, plain or 2D
// layout, pitches, length, bytes, matrix, range, rotation and pixel aspect,
// with every buffer allocated to its exact size so that ASan catches any
// access outside it.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "picture/bmp.h"
#include "picture/convert.h"

namespace {

using stillreel::PictureDimensions;
using stillreel::PictureOptions;
using stillreel::Rotation;

// Small enough for thousands of runs a second.
constexpr uint32_t kMaxSide = 160;
constexpr uint32_t kMaxLength = 64 * 1024;

void Check(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

uint8_t Clamp(int32_t value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

// y_scale, y_offset, cb_blue, cb_green, cr_green, cr_red per [matrix][range],
// as derived in picture/yuv.cpp.
constexpr int32_t kEquations[3][2][6] = {
    {{298, 16, 516, 100, 208, 409}, {256, 0, 454, 88, 183, 359}},
    {{298, 16, 541, 55, 136, 459}, {256, 0, 475, 48, 120, 403}},
    {{298, 16, 548, 48, 167, 430}, {256, 0, 482, 42, 146, 377}},
};

// Source pixel {x, y} of output pixel (u, v), from the top left, of a w x h
// picture turned clockwise.
void SourceOf(Rotation rotation, uint32_t u, uint32_t v, uint32_t w, uint32_t h, uint32_t& x,
              uint32_t& y) {
  switch (rotation) {
    case Rotation::k90:
      x = v, y = h - 1 - u;
      return;
    case Rotation::k180:
      x = w - 1 - u, y = h - 1 - v;
      return;
    case Rotation::k270:
      x = w - 1 - v, y = u;
      return;
    default:
      x = u, y = v;
  }
}

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
  // A 2D layout moves the planes anywhere in the buffer with their own pitch.
  const bool two_d = input.ConsumeBool();
  const uint32_t y_offset = input.ConsumeIntegralInRange<uint32_t>(0, 256);
  const uint32_t uv_offset = input.ConsumeIntegralInRange<uint32_t>(0, kMaxLength);
  const auto uv_pitch = static_cast<int32_t>(std::clamp<int64_t>(
      int64_t{pitch} + input.ConsumeIntegralInRange<int32_t>(-2, 32), INT32_MIN, INT32_MAX));
  PictureOptions options;
  options.matrix = static_cast<stillreel::YuvMatrix>(input.ConsumeIntegralInRange(0, 2));
  options.range = static_cast<stillreel::YuvRange>(input.ConsumeIntegralInRange(0, 1));
  options.rotation = static_cast<Rotation>(90 * input.ConsumeIntegralInRange(0, 3));
  if (input.ConsumeBool()) {
    options.aspect_num = input.ConsumeIntegralInRange<uint32_t>(0, 6);
    options.aspect_den = input.ConsumeIntegralInRange<uint32_t>(0, 6);
    options.keep_stored_pixels = input.ConsumeBool();
  }
  const std::vector<uint8_t> bytes = input.ConsumeRemainingBytes<uint8_t>();
  std::vector<uint8_t> frame(length);
  for (size_t i = 0; i < frame.size(); ++i) {
    frame[i] = bytes.empty() ? static_cast<uint8_t>(i) : bytes[i % bytes.size()];
  }

  stillreel::Nv12Planes planes =
      stillreel::PlainNv12Planes(frame.data(), pitch, length, width, height);
  if (two_d) {
    planes.y = frame.data() + std::min(y_offset, length);
    planes.uv = frame.data() + std::min(uv_offset, length);
    planes.uv_pitch = uv_pitch;
  }
  const bool fits = stillreel::Nv12PlanesFit(planes, frame.data(), length);
  Check(two_d || fits == stillreel::Nv12FrameFits(pitch, length, width, height));
  const std::optional<PictureDimensions> out_size = PictureSize(width, height, options);
  // A frame that fits is at most `length` pixels, widened at most 6 times;
  // any other gets a small buffer that a refusal must leave as it is.
  const size_t pixel_bytes = fits && out_size ? size_t{out_size->width} * out_size->height * 4 : 16;
  std::vector<uint8_t> pixels(pixel_bytes, 0xCD);
  const bool converted =
      stillreel::ConvertNv12ToBgra(planes, frame.data(), length, options, pixels.data());
  Check(converted == (fits && out_size.has_value()));
  if (!converted) {
    Check(std::all_of(pixels.begin(), pixels.end(), [](uint8_t b) { return b == 0xCD; }));
    return 0;
  }

  // The upright, unscaled picture: every pixel against the equations as
  // written, and every kernel against the scalar one.
  PictureOptions upright_options = options;
  upright_options.rotation = Rotation::k0;
  upright_options.keep_stored_pixels = true;
  std::vector<uint8_t> upright(size_t{width} * height * 4);
  Check(
      stillreel::ConvertNv12ToBgra(planes, frame.data(), length, upright_options, upright.data()));
  const int32_t* e = kEquations[static_cast<int>(options.matrix)][static_cast<int>(options.range)];
  const stillreel::YuvConstants& constants = GetYuvConstants(options.matrix, options.range);
  std::vector<uint8_t> scalar_rows(size_t{width} * 8);
  std::vector<uint8_t> rows(size_t{width} * 8);
  const size_t y_stride = static_cast<uint32_t>(planes.y_pitch);
  const size_t uv_stride = static_cast<uint32_t>(planes.uv_pitch);
  for (uint32_t row = 0; row < height; ++row) {
    const uint8_t* y_row = planes.y + row * y_stride;
    const uint8_t* uv_row = planes.uv + row / 2 * uv_stride;
    const uint8_t* out = upright.data() + size_t{height - 1 - row} * width * 4;
    for (uint32_t x = 0; x < width; ++x) {
      const int32_t luma = e[0] * (y_row[x] - e[1]) + 128;
      const int32_t cb = uv_row[x / 2 * 2] - 128;
      const int32_t cr = uv_row[x / 2 * 2 + 1] - 128;
      Check(out[4 * x] == Clamp((luma + e[2] * cb) >> 8));
      Check(out[4 * x + 1] == Clamp((luma - e[3] * cb - e[4] * cr) >> 8));
      Check(out[4 * x + 2] == Clamp((luma + e[5] * cr) >> 8));
      Check(out[4 * x + 3] == 255);
    }
    if (row % 2 == 0) {
      const uint8_t* next = row + 1 < height ? y_row + y_stride : y_row;
      stillreel::Nv12ToBgraRows(stillreel::SimdLevel::kScalar, constants, y_row, next, uv_row,
                                scalar_rows.data(), scalar_rows.data() + width * 4, width);
      for (const auto level : {stillreel::SimdLevel::kSse2, stillreel::SimdLevel::kAvx2}) {
        stillreel::Nv12ToBgraRows(level, constants, y_row, next, uv_row, rows.data(),
                                  rows.data() + width * 4, width);
        Check(rows == scalar_rows);
      }
    }
  }

  // The delivered picture: turned pixels as they are, or, widened, each
  // channel within the values of the source span the output pixel covers.
  const bool turned = options.rotation == Rotation::k90 || options.rotation == Rotation::k270;
  const uint32_t stored_width = turned ? out_size->height : out_size->width;
  for (uint32_t v = 0; v < out_size->height; ++v) {
    for (uint32_t u = 0; u < out_size->width; ++u) {
      uint32_t x = 0;
      uint32_t y = 0;
      SourceOf(options.rotation, u, v, stored_width, height, x, y);
      const uint8_t* got =
          pixels.data() + (size_t{out_size->height - 1 - v} * out_size->width + u) * 4;
      const uint8_t* source_row = upright.data() + size_t{height - 1 - y} * width * 4;
      const uint64_t first = uint64_t{x} * width / stored_width;
      const uint64_t last = ((uint64_t{x} + 1) * width + stored_width - 1) / stored_width;
      Check(got[3] == 255);
      for (int c = 0; c < 3; ++c) {
        uint8_t low = 255;
        uint8_t high = 0;
        for (uint64_t i = first; i < last; ++i) {
          low = std::min(low, source_row[i * 4 + c]);
          high = std::max(high, source_row[i * 4 + c]);
        }
        Check(low <= got[c] && got[c] <= high);
      }
    }
  }

  std::vector<uint8_t> block(*stillreel::BmpImageSize(out_size->width, out_size->height));
  stillreel::AssembleBmp(out_size->width, out_size->height, pixels.data(), block.data());
  Check(std::memcmp(block.data() + 54, pixels.data(), pixels.size()) == 0);
  return 0;
}
