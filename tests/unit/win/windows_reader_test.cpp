// Probe and extraction under a source reader that behaves as Windows' does (windows_reader.h),
// put in place of this program's own import, and the same checks under Wine's reader.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"
#include "video/extract.h"
#include "video/probe.h"
#include "windows_reader.h"

namespace stillreel {
namespace {

using test::AllWindowsBehaviours;
using test::Media;
using test::Utf8;
using test::WindowsBehaviour;
using test::WindowsReaderHook;

constexpr int64_t kKeyInterval = 10 * kTicksPerSecond;  // numbered60s.mp4: -g 100 at 10 fps
constexpr int kFramesPerSecond = 10;
constexpr int kLastFrame = 599;

struct Picture {
  ExtractStatus status = ExtractStatus::kNoFrame;
  std::vector<uint8_t> block;
  uint32_t width() const { return Field(18); }
  uint32_t height() const { return Field(22); }
  // Blue, green, red, alpha of a pixel, `row` counted from the top of the picture.
  const uint8_t* At(uint32_t x, uint32_t row) const {
    return block.data() + 54 + (size_t{height() - 1 - row} * width() + x) * 4;
  }
  uint32_t Field(size_t offset) const {
    uint32_t value = 0;
    if (block.size() >= 54) std::memcpy(&value, block.data() + offset, sizeof value);
    return value;
  }
};

Picture Extract(const wchar_t* name, FrameSettings settings, int32_t index = 0) {
  Picture out;
  UniqueHlocal image;
  uint32_t bytes = 0;
  out.status = ExtractFrame(Media(name).c_str(), index, settings, image, bytes);
  if (out.status == ExtractStatus::kOk) {
    const auto* data = static_cast<const uint8_t*>(image.get());
    out.block.assign(data, data + bytes);
  }
  return out;
}

// The hook on this program's import for `windows`, none for Wine's own reader.
std::unique_ptr<WindowsReaderHook> HookIf(bool windows, WindowsBehaviour behaviour) {
  if (!windows) return nullptr;
  auto hook = std::make_unique<WindowsReaderHook>(GetModuleHandleW(nullptr), std::move(behaviour));
  EXPECT_TRUE(hook->installed());
  return hook;
}

const char* ReaderName(bool windows) { return windows ? "Windows-behaviour reader" : "Wine's"; }

// The number numbered60s.mp4 shows (tests/make_media.sh); -1 when a block is neither black nor
// white or a colour shows anywhere (the double's padding is loud red), so a picture with padding
// or a wrong chroma plane never reads as a number.
int FrameNumber(const Picture& picture) {
  if (picture.status != ExtractStatus::kOk || picture.width() != 328 || picture.height() != 232)
    return -1;
  for (uint32_t row = 0; row < picture.height(); ++row) {
    for (uint32_t x = 0; x < picture.width(); ++x) {
      const uint8_t* p = picture.At(x, row);
      if (std::max({p[0], p[1], p[2]}) - std::min({p[0], p[1], p[2]}) > 24) return -1;
    }
  }
  int number = 0;
  for (uint32_t bit = 0; bit < 10; ++bit) {
    const uint8_t level = picture.At((2 * bit + 1) * picture.width() / 20, 58)[1];
    if (level > 64 && level < 192) return -1;
    number = number * 2 + (level >= 192 ? 1 : 0);
  }
  return number;
}

// The frame due at entry `index` of div=12 on the 60 s clip: the last one at or before its
// moment; the last frame for the moment at the end.
int DueFrame(int index) {
  const int64_t t = SeekTime({12, 0, 0}, index, 60 * kTicksPerSecond);
  return static_cast<int>(std::min<int64_t>(kLastFrame, t * kFramesPerSecond / kTicksPerSecond));
}

TEST(WindowsReader, EveryEntryIsTheFrameDueAtItsMoment) {
  for (bool windows : {true, false}) {
    const auto hook = HookIf(windows, AllWindowsBehaviours(kKeyInterval));
    std::set<int> shown;
    for (int32_t index = 0; index < 12; ++index) {
      const int number = FrameNumber(Extract(L"numbered60s.mp4", {12, 0, 0}, index));
      EXPECT_NEAR(number, DueFrame(index), 1) << ReaderName(windows) << ", entry " << index;
      EXPECT_TRUE(shown.insert(number).second)
          << ReaderName(windows) << ": entry " << index << " repeats frame " << number;
    }
    if (hook) {
      // The double's behaviours were in force, not passed by.
      EXPECT_GT(hook->counts().seeks, 0);
      EXPECT_GT(hook->counts().lock_2d, 0);
      EXPECT_GT(hook->counts().type_changes, 0);
      EXPECT_EQ(hook->counts().advanced, hook->counts().readers);
      // Progressive output asked for (Wine refuses it, the plain request follows).
      EXPECT_EQ(hook->counts().progressive_requests, hook->counts().readers);
    }
  }
}

// exact=0 keeps the first sample the seek delivers: on Windows the key frame at or before the
// moment, for the moment at the end (60 s) the last key frame (50 s).
TEST(WindowsReader, WithoutExactEntriesAreTheKeyFramesBeforeTheirMoments) {
  const auto hook = HookIf(true, AllWindowsBehaviours(kKeyInterval));
  FrameSettings settings{12, 0, 0};
  settings.exact = false;
  for (int32_t index = 0; index < 12; ++index) {
    const int64_t t = std::min(SeekTime(settings, index, 60 * kTicksPerSecond),
                               int64_t{kLastFrame} * kTicksPerSecond / kFramesPerSecond);
    const int key_frame =
        static_cast<int>(t / kKeyInterval * kKeyInterval * kFramesPerSecond / kTicksPerSecond);
    EXPECT_EQ(FrameNumber(Extract(L"numbered60s.mp4", settings, index)), key_frame)
        << "entry " << index;
  }
}

// The gray moment pictures of tests/make_media.sh (as in video_test.cpp): white top-left cell,
// the tenth's gray bottom-left, the second's gray elsewhere, every pixel within 2. Padding (loud
// red), a shear or a wrong chroma plane fails on the first wrong pixel.
testing::AssertionResult ShowsMoment(const Picture& picture, uint32_t width, uint32_t height,
                                     int tenths) {
  if (picture.status != ExtractStatus::kOk) return testing::AssertionFailure() << "no picture";
  if (picture.width() != width || picture.height() != height) {
    return testing::AssertionFailure() << picture.width() << "x" << picture.height();
  }
  const auto gray = [](int step) { return (298 * step + 128) >> 8; };
  const double cell_w = width / 4.0, cell_h = height / 4.0;
  const auto close_to = [](double value, double edge) {
    return value + 2 >= edge && value < edge + 2;
  };
  for (uint32_t row = 0; row < height; ++row) {
    for (uint32_t x = 0; x < width; ++x) {
      int expected = gray(3 * (tenths / 10));
      if (x < cell_w + 2) {
        if (close_to(x, cell_w) || close_to(row, cell_h) || close_to(row, 3 * cell_h)) continue;
        if (row < cell_h) expected = 255;
        if (row >= 3 * cell_h) expected = gray(20 * (tenths % 10));
      }
      const uint8_t* p = picture.At(x, row);
      for (int c = 0; c < 3; ++c) {
        if (std::abs(p[c] - expected) > 2) {
          return testing::AssertionFailure()
                 << "pixel x " << x << ", row " << row << ": " << int{p[0]} << "," << int{p[1]}
                 << "," << int{p[2]} << "; gray " << expected << " expected";
        }
      }
    }
  }
  return testing::AssertionSuccess();
}

// Pitches beyond the width, from a 2D buffer whose length is not its layout: the chroma plane
// is found at pitch x coded height, the picture inside the aperture.
TEST(WindowsReader, PicturesFromPaddedTwoDimensionalBuffersAreUprightAndUnsheared) {
  const struct {
    const wchar_t* name;
    uint32_t width, height;
    int32_t sec;
    int tenths;
    uint32_t alignment;  // 322 -> coded 336 -> pitch 384 or 512; 161 -> 176 -> 256
  } cases[] = {{L"wide322.mp4", 322, 240, 1, 10, 64},
               {L"wide322.mp4", 322, 240, 1, 10, 256},
               {L"odd161.avi", 161, 120, 2, 20, 64},
               {L"odd161.avi", 161, 120, 2, 20, 256}};
  for (const auto& c : cases) {
    WindowsBehaviour behaviour;
    behaviour.aligned_frames = true;
    behaviour.placeholder_type = true;
    behaviour.pitch_alignment = c.alignment;
    const auto hook = HookIf(true, behaviour);
    EXPECT_TRUE(ShowsMoment(Extract(c.name, {0, 0, c.sec}), c.width, c.height, c.tenths))
        << Utf8(c.name) << ", pitch aligned to " << c.alignment;
    EXPECT_GT(hook->counts().lock_2d, 0) << Utf8(c.name);
  }
  // Aligned frames in plain buffers: the stride comes from MF_MT_DEFAULT_STRIDE.
  WindowsBehaviour plain;
  plain.aligned_frames = true;
  const auto hook = HookIf(true, plain);
  EXPECT_TRUE(ShowsMoment(Extract(L"wide322.mp4", {0, 0, 1}), 322, 240, 10)) << "plain buffer";
}

// Where a bottom-up 2D buffer keeps its chroma plane is not stated: refused, not guessed.
TEST(WindowsReader, BottomUpTwoDimensionalBuffersAreRefused) {
  WindowsBehaviour behaviour;
  behaviour.pitch_alignment = 64;
  behaviour.bottom_up = true;
  const auto hook = HookIf(true, behaviour);
  EXPECT_EQ(Extract(L"wide322.mp4", {0, 0, 1}).status, ExtractStatus::kNoFrame);
  EXPECT_GT(hook->counts().lock_2d, 0);
}

// Before the first frame the current type may be a placeholder (1920x1088): the probe's size
// is the picture the fetches deliver all the same.
TEST(WindowsReader, ProbeSizeIsThePictureDespiteAPlaceholderType) {
  const struct {
    const wchar_t* name;
    FrameSize size;
  } cases[] = {
      {L"numbered60s.mp4", {328, 232}}, {L"hd1080.mp4", {1920, 1080}}, {L"odd161.avi", {161, 120}}};
  for (bool windows : {true, false}) {
    const auto hook = HookIf(windows, AllWindowsBehaviours(kKeyInterval));
    for (const auto& c : cases) {
      VideoFacts facts;
      ASSERT_TRUE(ProbeVideo(Media(c.name).c_str(), facts)) << Utf8(c.name);
      EXPECT_EQ(facts.size.width, c.size.width) << Utf8(c.name) << ", " << ReaderName(windows);
      EXPECT_EQ(facts.size.height, c.size.height) << Utf8(c.name) << ", " << ReaderName(windows);
    }
  }
}

// A reader that reports an error is not called again: the frame read before it stands in, or
// there is none; the probe still lists the video, its size unknown.
TEST(WindowsReader, NoCallOnAReaderAfterItsError) {
  for (int after : {1, 3}) {
    WindowsBehaviour behaviour = AllWindowsBehaviours(kKeyInterval);
    behaviour.error_after_samples = after;
    const auto hook = HookIf(true, behaviour);
    const Picture picture = Extract(L"numbered60s.mp4", {0, 0, 25});  // key frame 20 s, 5 s on
    if (after == 1) {
      EXPECT_EQ(FrameNumber(picture), 200) << "the key frame read before the error";
    } else {
      EXPECT_EQ(FrameNumber(picture), 202) << "the latest frame read before the error";
    }
    VideoFacts facts;
    EXPECT_TRUE(ProbeVideo(Media(L"numbered60s.mp4").c_str(), facts));
    EXPECT_GT(hook->counts().errors, 0);
    EXPECT_EQ(hook->counts().calls_after_error, 0) << "error after " << after << " samples";
  }
}

// A platform that refuses the advanced video processor still gets a reader: the plain one.
TEST(WindowsReader, ReaderWithoutAdvancedProcessingWhenItIsRefused) {
  WindowsBehaviour behaviour;
  behaviour.refuse_advanced_processing = true;
  const auto hook = HookIf(true, behaviour);
  EXPECT_TRUE(ShowsMoment(Extract(L"wide322.mp4", {0, 0, 1}), 322, 240, 10));
  EXPECT_GT(hook->counts().readers, 0);
  EXPECT_EQ(hook->counts().advanced, 0);
}

}  // namespace
}  // namespace stillreel
