// The 32-bit build's bands of a tone-mapped frame: threads started as the plug-in starts them
// (their own small stack, entered with whatever alignment Windows gives), at the caller's
// priority, giving the bytes of one pass over the frame, the processor's widest kernel and SSE2.
// Prints one line per check and exits with the number of failures.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "picture/convert.h"
#include "video/bands.h"

namespace {

int g_failures = 0;

void Check(bool ok, const char* what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAIL", what);
  if (!ok) ++g_failures;
}

}  // namespace

int wmain() {
  using namespace stillreel;
  // Odd sides: the last band ends on a lone row.
  constexpr uint32_t kWidth = 1031, kHeight = 771, kPitch = kWidth * 2 + 6;
  std::vector<uint8_t> p010(size_t{kPitch} * (kHeight + 1) * 3 / 2);
  uint32_t seed = 1;
  for (size_t i = 0; i + 1 < p010.size(); i += 2) {
    seed = seed * 1664525u + 1013904223u;
    const uint16_t word = static_cast<uint16_t>(((i / kPitch * 3 + (seed >> 26)) % 1024) << 6);
    std::memcpy(&p010[i], &word, 2);
  }
  const Nv12Planes planes = PlainNv12Planes(p010.data(), static_cast<int32_t>(kPitch),
                                            static_cast<uint32_t>(p010.size()), kWidth, kHeight, 2);
  PictureOptions options;
  options.transfer = Transfer::kPq;
  options.primaries = Primaries::kBt2020;
  options.matrix = YuvMatrix::kBt2020;
  options.rotation = Rotation::k90;
  std::vector<uint8_t> whole(size_t{kWidth} * kHeight * 4), banded(whole.size());
  const ThreadBands bands;
  std::printf("processors: %u, bands: %u\n", bands.Width(),
              ConversionBands(options.transfer, bands.Width(), kWidth, kHeight));
  Check(ConvertNv12ToBgra(planes, p010.data(), p010.size(), options, whole.data()),
        "a frame in one pass");
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
  Check(ConvertNv12ToBgra(planes, p010.data(), p010.size(), options, banded.data(), &bands),
        "the frame in bands");
  Check(banded == whole, "bands give the bytes of one pass");
  return g_failures;
}
