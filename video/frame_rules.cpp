// The frame settings and the rule that turns an entry's position into a seek time.
#include "video/frame_rules.h"

#include <algorithm>
#include <limits>

namespace stillreel {

namespace {

int32_t NotNegative(int32_t value) { return value < 0 ? 0 : value; }

// a * b for non-negative operands, saturated at INT64_MAX.
int64_t SaturatingProduct(int64_t a, int64_t b) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  if (a != 0 && b > kMax / a) return kMax;
  return a * b;
}

}  // namespace

FrameSettings NormaliseSettings(FrameSettings settings) {
  return {NotNegative(settings.div), NotNegative(settings.divsec),
          NotNegative(settings.sec), settings.exact,
          settings.aspect,           settings.hdr};
}

int64_t SeekTime(const FrameSettings& raw, int32_t index, int64_t duration) {
  const FrameSettings settings = NormaliseSettings(raw);
  const int64_t position = index < 0 ? 0 : index;
  if (duration < 0) duration = 0;
  if (settings.sec != 0) {
    const int64_t t = int64_t{settings.sec} * kTicksPerSecond;
    return t < duration ? t : duration;
  }
  if (settings.div == 0) {
    return SaturatingProduct(position, int64_t{settings.divsec} * kTicksPerSecond);
  }
  if (settings.div == 1) return 0;
  return SaturatingProduct(position, duration / (settings.div - 1));
}

}  // namespace stillreel
