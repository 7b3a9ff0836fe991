// Finds which frame of an independently decoded video (raw top-down BGRA frames) a BMP image
// shows, and how closely: prints "frame N max M mean A" for the best match, and the same for
// the image flipped upside down, so a test can tell a right picture from a flipped one.
// Usage: frame_match IMAGE.bmp FRAMES.bgra WIDTH HEIGHT
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

struct Match {
  long frame = -1;
  int max = 256;
  double mean = 1e9;
};

std::vector<uint8_t> ReadAll(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// `rows_top_down` yields the image's row for each picture row from the top.
template <typename RowOf>
Match BestMatch(const std::vector<uint8_t>& frames, size_t width, size_t height, RowOf row_of) {
  const size_t frame_bytes = width * height * 4;
  Match best;
  for (size_t f = 0; f + 1 <= frames.size() / frame_bytes; ++f) {
    const uint8_t* frame = frames.data() + f * frame_bytes;
    int max = 0;
    uint64_t sum = 0;
    for (size_t y = 0; y < height; ++y) {
      const uint8_t* mine = row_of(y);
      const uint8_t* theirs = frame + y * width * 4;
      for (size_t x = 0; x < width; ++x) {
        for (int c = 0; c < 3; ++c) {  // blue, green, red; alpha is checked apart
          const int d = std::abs(int{mine[x * 4 + c]} - int{theirs[x * 4 + c]});
          max = std::max(max, d);
          sum += d;
        }
      }
    }
    const double mean = static_cast<double>(sum) / (width * height * 3);
    if (mean < best.mean) best = {static_cast<long>(f), max, mean};
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: frame_match IMAGE.bmp FRAMES.bgra WIDTH HEIGHT\n");
    return 2;
  }
  const std::vector<uint8_t> bmp = ReadAll(argv[1]);
  const std::vector<uint8_t> frames = ReadAll(argv[2]);
  const size_t width = std::strtoul(argv[3], nullptr, 10);
  const size_t height = std::strtoul(argv[4], nullptr, 10);
  if (bmp.size() != 54 + width * height * 4) {
    std::fprintf(stderr, "%s: %zu bytes, not a %zux%zu 32-bit image\n", argv[1], bmp.size(), width,
                 height);
    return 1;
  }
  const uint8_t* pixels = bmp.data() + 54;
  for (size_t i = 0; i < width * height; ++i) {
    if (pixels[i * 4 + 3] != 255) {
      std::fprintf(stderr, "%s: alpha %d at pixel %zu\n", argv[1], pixels[i * 4 + 3], i);
      return 1;
    }
  }
  // The BMP stores the bottom row first.
  const Match upright = BestMatch(frames, width, height,
                                  [&](size_t y) { return pixels + (height - 1 - y) * width * 4; });
  const Match flipped =
      BestMatch(frames, width, height, [&](size_t y) { return pixels + y * width * 4; });
  std::printf("frame %ld max %d mean %.3f\n", upright.frame, upright.max, upright.mean);
  std::printf("flipped frame %ld max %d mean %.3f\n", flipped.frame, flipped.max, flipped.mean);
  return 0;
}
