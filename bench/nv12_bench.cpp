// Speed of the NV12 to BGRA conversion against libyuv's matching conversion
// (NV12ToARGBMatrix, followed by ARGBRotate for a turned picture) and a plain
// copy of the same output bytes: every matrix, range and rotation at 1080p,
// the untagged case also at 2160p. Beside them, at both sizes, the 10-bit
// paths on a P010 frame of smooth HDR-like content: SDR kept at 10 bits, and
// PQ and HLG tone-mapped, each against the NV12 path for the same frame; tone mapping also split
// over the cores (the _bands rows), as the plug-in runs it.
// Prints the ratios at the end, of the fastest single frames and of the
// fastest repetitions.
#include <benchmark/benchmark.h>
#include <libyuv.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "picture/bmp.h"
#include "picture/convert.h"
#include "tests/support/std_bands.h"

namespace {

struct Size {
  uint32_t width;
  uint32_t height;
};

constexpr Size kSizes[] = {{1920, 1080}, {3840, 2160}};

// One decoded frame at a decoder's pitch (rows 64-byte aligned) and an
// output buffer, filled once so that every pass reads the same bytes.
struct Frame {
  explicit Frame(Size size)
      : width(size.width),
        height(size.height),
        pitch(static_cast<int32_t>((size.width + 63) / 64 * 64)),
        length(static_cast<uint32_t>(pitch) * height * 3 / 2),
        nv12(length),
        bgra(size_t{width} * height * 4),
        copy(bgra.size()) {
    std::mt19937 random(1);
    for (uint8_t& byte : nv12) {
      byte = static_cast<uint8_t>(random());
    }
  }
  const uint8_t* Uv() const { return nv12.data() + length * 2 / 3; }

  uint32_t width;
  uint32_t height;
  int32_t pitch;
  uint32_t length;
  std::vector<uint8_t> nv12;
  std::vector<uint8_t> bgra;
  std::vector<uint8_t> copy;
};

std::string Label(Size size) {
  return std::to_string(size.width) + "x" + std::to_string(size.height);
}

// The fastest single frame of each benchmark, in seconds, by name: on a shared
// machine other work only ever adds time, and with 2 cores shared by several
// builds a whole repetition is rarely left alone, a single frame often is.
std::map<std::string, double> g_fastest_frame;

template <typename Convert>
void TimeFrames(benchmark::State& state, const std::string* name, size_t bytes, Convert convert) {
  double& fastest =
      g_fastest_frame.try_emplace(*name, std::numeric_limits<double>::max()).first->second;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    convert();
    benchmark::ClobberMemory();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    fastest = std::min(fastest, took.count());
  }
  state.SetBytesProcessed(state.iterations() * bytes);
}

// One conversion of ours and libyuv's matching one, measured side by side.
struct Case {
  const char* name;
  stillreel::YuvMatrix matrix;
  stillreel::YuvRange range;
  const libyuv::YuvConstants* theirs;
  stillreel::Rotation rotation;
  libyuv::RotationMode their_rotation;
};

constexpr Case kCases[] = {
    {"BT.601", stillreel::YuvMatrix::kBt601, stillreel::YuvRange::kLimited,
     &libyuv::kYuvI601Constants, stillreel::Rotation::k0, libyuv::kRotate0},
    {"BT.601_full", stillreel::YuvMatrix::kBt601, stillreel::YuvRange::kFull,
     &libyuv::kYuvJPEGConstants, stillreel::Rotation::k0, libyuv::kRotate0},
    {"BT.709", stillreel::YuvMatrix::kBt709, stillreel::YuvRange::kLimited,
     &libyuv::kYuvH709Constants, stillreel::Rotation::k0, libyuv::kRotate0},
    {"BT.709_full", stillreel::YuvMatrix::kBt709, stillreel::YuvRange::kFull,
     &libyuv::kYuvF709Constants, stillreel::Rotation::k0, libyuv::kRotate0},
    {"BT.2020", stillreel::YuvMatrix::kBt2020, stillreel::YuvRange::kLimited,
     &libyuv::kYuv2020Constants, stillreel::Rotation::k0, libyuv::kRotate0},
    {"BT.2020_full", stillreel::YuvMatrix::kBt2020, stillreel::YuvRange::kFull,
     &libyuv::kYuvV2020Constants, stillreel::Rotation::k0, libyuv::kRotate0},
    {"rotate90", stillreel::YuvMatrix::kBt601, stillreel::YuvRange::kLimited,
     &libyuv::kYuvI601Constants, stillreel::Rotation::k90, libyuv::kRotate90},
    {"rotate180", stillreel::YuvMatrix::kBt601, stillreel::YuvRange::kLimited,
     &libyuv::kYuvI601Constants, stillreel::Rotation::k180, libyuv::kRotate180},
    {"rotate270", stillreel::YuvMatrix::kBt601, stillreel::YuvRange::kLimited,
     &libyuv::kYuvI601Constants, stillreel::Rotation::k270, libyuv::kRotate270},
};

void Ours(benchmark::State& state, const std::string* name, Frame* frame, const Case* c) {
  stillreel::PictureOptions options;
  options.matrix = c->matrix;
  options.range = c->range;
  options.rotation = c->rotation;
  const stillreel::Nv12Planes planes = stillreel::PlainNv12Planes(
      frame->nv12.data(), frame->pitch, frame->length, frame->width, frame->height);
  TimeFrames(state, name, frame->bgra.size(), [&] {
    const bool converted = stillreel::ConvertNv12ToBgra(planes, frame->nv12.data(), frame->length,
                                                        options, frame->bgra.data());
    benchmark::DoNotOptimize(converted);
  });
}

// libyuv's conversion, bottom-up as ours; turned pictures are converted
// top-down first and then turned by ARGBRotate, libyuv's way to do both.
void Libyuv(benchmark::State& state, const std::string* name, Frame* frame, const Case* c) {
  const int width = static_cast<int>(frame->width);
  const int height = static_cast<int>(frame->height);
  const bool turned =
      c->their_rotation == libyuv::kRotate90 || c->their_rotation == libyuv::kRotate270;
  TimeFrames(state, name, frame->bgra.size(), [&] {
    if (c->their_rotation == libyuv::kRotate0) {
      libyuv::NV12ToARGBMatrix(frame->nv12.data(), frame->pitch, frame->Uv(), frame->pitch,
                               frame->bgra.data(), width * 4, c->theirs, width, -height);
    } else {
      libyuv::NV12ToARGBMatrix(frame->nv12.data(), frame->pitch, frame->Uv(), frame->pitch,
                               frame->copy.data(), width * 4, c->theirs, width, height);
      libyuv::ARGBRotate(frame->copy.data(), width * 4, frame->bgra.data(),
                         (turned ? height : width) * 4, width, height, c->their_rotation);
    }
  });
}

// The SSE2 kernel only, as on a processor without AVX2.
void OursSse2(benchmark::State& state, const std::string* name, Frame* frame) {
  const size_t stride = static_cast<uint32_t>(frame->pitch);
  const size_t dst_stride = size_t{frame->width} * 4;
  const stillreel::YuvConstants& constants =
      stillreel::GetYuvConstants(stillreel::YuvMatrix::kBt601, stillreel::YuvRange::kLimited);
  TimeFrames(state, name, frame->bgra.size(), [&] {
    for (uint32_t row = 0; row < frame->height; row += 2) {
      stillreel::Nv12ToBgraRows(
          stillreel::SimdLevel::kSse2, constants, frame->nv12.data() + row * stride,
          frame->nv12.data() + (row + 1) * stride, frame->Uv() + row / 2 * stride,
          frame->bgra.data() + (frame->height - 1 - row) * dst_stride,
          frame->bgra.data() + (frame->height - 2 - row) * dst_stride, frame->width);
    }
  });
}

// A P010 frame of the same size: a luma ramp across the studio range and slow chroma waves, as
// smooth as most of a video picture (random codes would make every pixel a saturated colour
// outside BT.709).
struct Frame10 {
  explicit Frame10(Size size)
      : width(size.width), height(size.height), p010(size_t{width} * height * 3) {
    const auto put = [this](size_t at, uint32_t value) {
      const uint16_t word = static_cast<uint16_t>(value << 6);
      std::memcpy(p010.data() + at, &word, 2);
    };
    for (uint32_t y = 0; y < height; ++y) {
      for (uint32_t x = 0; x < width; ++x) put((size_t{y} * width + x) * 2, 64 + x * 876 / width);
    }
    const size_t chroma = size_t{width} * height * 2;
    for (uint32_t y = 0; y < height / 2; ++y) {
      for (uint32_t x = 0; x < width; x += 2) {
        put(chroma + (size_t{y} * width + x) * 2,
            static_cast<uint32_t>(512 + 200 * std::sin(x / 300.0 + y / 200.0)));
        put(chroma + (size_t{y} * width + x) * 2 + 2,
            static_cast<uint32_t>(512 + 200 * std::cos(x / 250.0)));
      }
    }
  }
  uint32_t width;
  uint32_t height;
  std::vector<uint8_t> p010;
};

enum class TenBit { kSdr, kPq, kHlg };

// `bands`: split over the machine's cores as the plug-in splits a tone-mapped frame.
void OursTenBit(benchmark::State& state, const std::string* name, Frame10* frame, Frame* out,
                TenBit kind, bool bands) {
  const stillreel::StdThreadBands runner(std::max(1u, std::thread::hardware_concurrency()));
  stillreel::PictureOptions options;
  options.matrix = stillreel::YuvMatrix::kBt2020;
  if (kind != TenBit::kSdr) {
    options.transfer = kind == TenBit::kPq ? stillreel::Transfer::kPq : stillreel::Transfer::kHlg;
    options.primaries = stillreel::Primaries::kBt2020;
  }
  const auto length = static_cast<uint32_t>(frame->p010.size());
  const stillreel::Nv12Planes planes =
      stillreel::PlainNv12Planes(frame->p010.data(), static_cast<int32_t>(frame->width * 2), length,
                                 frame->width, frame->height, 2);
  TimeFrames(state, name, out->bgra.size(), [&] {
    const bool converted = stillreel::ConvertNv12ToBgra(
        planes, frame->p010.data(), length, options, out->bgra.data(), bands ? &runner : nullptr);
    benchmark::DoNotOptimize(converted);
  });
}

void Memcpy(benchmark::State& state, const std::string* name, Frame* frame) {
  TimeFrames(state, name, frame->bgra.size(),
             [&] { std::memcpy(frame->copy.data(), frame->bgra.data(), frame->bgra.size()); });
}

// Keeps the fastest real time per iteration of each benchmark: on a shared
// machine other work only ever adds time. With repetitions, only the
// aggregates are shown.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    std::vector<Run> shown;
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        const double seconds = run.real_accumulated_time / static_cast<double>(run.iterations);
        const auto [found, added] = best_.emplace(run.benchmark_name(), seconds);
        if (!added && seconds < found->second) {
          found->second = seconds;
        }
      }
      if (run.repetitions <= 1 || run.run_type == Run::RT_Aggregate) {
        shown.push_back(run);
      }
    }
    if (!shown.empty()) {
      ConsoleReporter::ReportRuns(shown);
    }
  }
  double Best(const std::string& name) const {
    const auto found = best_.find(name);
    return found == best_.end() ? 0.0 : found->second;
  }

 private:
  std::map<std::string, double> best_;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<Frame> frames;
  frames.reserve(std::size(kSizes));
  std::vector<Frame10> frames10;
  frames10.reserve(std::size(kSizes));
  const struct {
    const char* name;
    TenBit kind;
    bool bands;
  } ten_bit[] = {{"P010", TenBit::kSdr, false},
                 {"PQ", TenBit::kPq, false},
                 {"HLG", TenBit::kHlg, false},
                 {"PQ_bands", TenBit::kPq, true},
                 {"HLG_bands", TenBit::kHlg, true}};
  // Benchmark names, at stable addresses for the functions that time them.
  std::map<std::string, std::string> names;
  const auto name_of = [&names](const std::string& name) { return &(names[name] = name); };
  for (const Size size : kSizes) {
    Frame& frame = frames.emplace_back(size);
    const std::string label = Label(size);
    // Every case at 1080p; at 2160p the untagged one only.
    for (const Case& c : kCases) {
      if (size.width > 1920 && &c != &kCases[0]) continue;
      const std::string ours = "ours/" + std::string(c.name) + "/" + label;
      const std::string theirs = "libyuv/" + std::string(c.name) + "/" + label;
      benchmark::RegisterBenchmark(ours.c_str(), Ours, name_of(ours), &frame, &c)
          ->Unit(benchmark::kMicrosecond);
      benchmark::RegisterBenchmark(theirs.c_str(), Libyuv, name_of(theirs), &frame, &c)
          ->Unit(benchmark::kMicrosecond);
    }
    Frame10& frame10 = frames10.emplace_back(size);
    for (const auto& t : ten_bit) {
      const std::string name = "ours/" + std::string(t.name) + "/" + label;
      benchmark::RegisterBenchmark(name.c_str(), OursTenBit, name_of(name), &frame10, &frame,
                                   t.kind, t.bands)
          ->Unit(benchmark::kMicrosecond);
    }
    const std::string sse2 = "ours_sse2/BT.601/" + label;
    const std::string copy = "memcpy/" + label;
    benchmark::RegisterBenchmark(sse2.c_str(), OursSse2, name_of(sse2), &frame)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(copy.c_str(), Memcpy, name_of(copy), &frame)
        ->Unit(benchmark::kMicrosecond);
  }
  // Defaults that steady the ratios on a busy machine; flags given on the
  // command line come later and win.
  std::vector<char*> args(argv, argv + argc);
  char repetitions[] = "--benchmark_repetitions=10";
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  char min_time[] = "--benchmark_min_time=0.1";
  args.insert(args.begin() + 1, {repetitions, interleave, min_time});
  int arg_count = static_cast<int>(args.size());
  benchmark::Initialize(&arg_count, args.data());
  if (benchmark::ReportUnrecognizedArguments(arg_count, args.data())) {
    return 1;
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  const auto frame_time = [](const std::string& name) {
    const auto found = g_fastest_frame.find(name);
    return found == g_fastest_frame.end() ? 0.0 : found->second;
  };
  std::printf("Fastest frame, us (ratio of fastest repetitions in brackets):\n");
  for (const Size size : kSizes) {
    const std::string label = Label(size);
    const double copy = frame_time("memcpy/" + label);
    for (const Case& c : kCases) {
      const std::string name = std::string(c.name) + "/" + label;
      const double ours = frame_time("ours/" + name);
      const double libyuv = frame_time("libyuv/" + name);
      if (ours <= 0 || libyuv <= 0) continue;
      std::printf("%-22s ours %6.0f  libyuv %6.0f  ours/libyuv = %.2f [%.2f]", name.c_str(),
                  ours * 1e6, libyuv * 1e6, ours / libyuv,
                  reporter.Best("ours/" + name) / reporter.Best("libyuv/" + name));
      if (copy > 0) std::printf(", ours/memcpy = %.2f", ours / copy);
      const double sse2 = frame_time("ours_sse2/" + name);
      if (sse2 > 0) std::printf(" (SSE2 kernel: ours/libyuv = %.2f)", sse2 / libyuv);
      std::printf("\n");
    }
    const double nv12 = frame_time("ours/BT.601/" + label);
    for (const auto& t : ten_bit) {
      const std::string name = std::string(t.name) + "/" + label;
      const double ten = frame_time("ours/" + name);
      if (ten <= 0 || nv12 <= 0) continue;
      std::printf("%-22s ours %6.0f  NV12 %6.0f  10-bit/NV12 = %.2f [%.2f]\n", name.c_str(),
                  ten * 1e6, nv12 * 1e6, ten / nv12,
                  reporter.Best("ours/" + name) / reporter.Best("ours/BT.601/" + label));
    }
  }
  return 0;
}
