// Speed of the NV12 to BGRA conversion against libyuv's NV12ToARGB and a
// plain copy of the same output bytes, at 1080p and 2160p. Prints the ratios
// of the fastest real times at the end.
#include <benchmark/benchmark.h>
#include <libyuv.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "video/nv12.h"

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

void Ours(benchmark::State& state, Frame* frame) {
  for (auto _ : state) {
    const bool converted =
        stillreel::ConvertNv12ToBgra(frame->nv12.data(), frame->pitch, frame->length, frame->width,
                                     frame->height, frame->bgra.data());
    benchmark::DoNotOptimize(converted);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * frame->bgra.size());
}

// The row loop built for the baseline instruction set only, as on a
// processor without AVX2.
void OursBaseline(benchmark::State& state, Frame* frame) {
  const size_t stride = static_cast<uint32_t>(frame->pitch);
  for (auto _ : state) {
    for (uint32_t row = 0; row < frame->height; ++row) {
      stillreel::Nv12ToBgraRow(frame->nv12.data() + row * stride, frame->Uv() + row / 2 * stride,
                               frame->bgra.data() + (frame->height - 1 - row) * frame->width * 4,
                               frame->width);
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * frame->bgra.size());
}

void Libyuv(benchmark::State& state, Frame* frame) {
  const int width = static_cast<int>(frame->width);
  for (auto _ : state) {
    // A negative height writes bottom-up, as ours does.
    libyuv::NV12ToARGB(frame->nv12.data(), frame->pitch, frame->Uv(), frame->pitch,
                       frame->bgra.data(), width * 4, width, -static_cast<int>(frame->height));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * frame->bgra.size());
}

void Memcpy(benchmark::State& state, Frame* frame) {
  for (auto _ : state) {
    std::memcpy(frame->copy.data(), frame->bgra.data(), frame->bgra.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * frame->bgra.size());
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
  for (const Size size : kSizes) {
    Frame& frame = frames.emplace_back(size);
    const std::string label = Label(size);
    benchmark::RegisterBenchmark(("ours/" + label).c_str(), Ours, &frame)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("ours_baseline/" + label).c_str(), OursBaseline, &frame)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("libyuv/" + label).c_str(), Libyuv, &frame)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("memcpy/" + label).c_str(), Memcpy, &frame)
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
  for (const Size size : kSizes) {
    const std::string label = Label(size);
    const double ours = reporter.Best("ours/" + label);
    const double baseline = reporter.Best("ours_baseline/" + label);
    const double libyuv = reporter.Best("libyuv/" + label);
    const double copy = reporter.Best("memcpy/" + label);
    if (ours > 0 && libyuv > 0 && copy > 0) {
      std::printf("%s ours/libyuv = %.2f, ours/memcpy = %.2f", label.c_str(), ours / libyuv,
                  ours / copy);
      if (baseline > 0) {
        std::printf(" (baseline build: ours/libyuv = %.2f)", baseline / libyuv);
      }
      std::printf("\n");
    }
  }
  return 0;
}
