// The demo's before/after pair of one HDR frame: a raw P010 frame converted as hdr=0 shows it
// (the stored signal) and as hdr=1 does (tone-mapped), by the plug-in's own picture library.
// Wine decodes no 10-bit video, so the pair is made natively from a frame ffmpeg wrote.
// Usage: hdr_pair FRAME.p010 WIDTH HEIGHT pq|hlg BEFORE.bgra AFTER.bgra (top-down BGRA)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "picture/convert.h"

namespace {

bool Write(const char* path, const std::vector<uint8_t>& bottom_up, uint32_t width,
           uint32_t height) {
  std::ofstream out(path, std::ios::binary);
  const size_t row = size_t{width} * 4;
  for (uint32_t y = 0; y < height; ++y) {
    out.write(reinterpret_cast<const char*>(bottom_up.data()) + (height - 1 - y) * row,
              static_cast<std::streamsize>(row));
  }
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: %s FRAME.p010 WIDTH HEIGHT pq|hlg BEFORE.bgra AFTER.bgra\n",
                 argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<uint8_t> frame{std::istreambuf_iterator<char>(in), {}};
  const auto width = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
  const auto height = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
  if (frame.size() < size_t{width} * height * 3) {
    std::fprintf(stderr, "%s: shorter than one %ux%u P010 frame\n", argv[1], width, height);
    return 1;
  }
  const auto length = static_cast<uint32_t>(size_t{width} * height * 3);
  const stillreel::Nv12Planes planes = stillreel::PlainNv12Planes(
      frame.data(), static_cast<int32_t>(width * 2), length, width, height, 2);
  stillreel::PictureOptions options;
  options.matrix = stillreel::YuvMatrix::kBt2020;
  std::vector<uint8_t> before(size_t{width} * height * 4), after(before.size());
  bool ok = stillreel::ConvertNv12ToBgra(planes, frame.data(), length, options, before.data());
  options.transfer =
      std::strcmp(argv[4], "hlg") == 0 ? stillreel::Transfer::kHlg : stillreel::Transfer::kPq;
  options.primaries = stillreel::Primaries::kBt2020;
  ok = ok && stillreel::ConvertNv12ToBgra(planes, frame.data(), length, options, after.data());
  if (!ok || !Write(argv[5], before, width, height) || !Write(argv[6], after, width, height)) {
    std::fprintf(stderr, "conversion or writing failed\n");
    return 1;
  }
  return 0;
}
