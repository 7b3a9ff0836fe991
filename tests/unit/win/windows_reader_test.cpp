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

#include "direct_video.h"
#include "test_support.h"
#include "video/open_video.h"
#include "video/probe.h"
#include "win/media.h"
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
  HRESULT status = E_FAIL;
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
  if (out.status == S_OK) {
    const auto* data = static_cast<const uint8_t*>(image.get());
    out.block.assign(data, data + bytes);
  }
  return out;
}

// Entry `index` on a kept reader, which may read on from the entry before.
Picture ExtractKept(OpenVideo& video, const FrameSettings& settings, int32_t index) {
  Picture out;
  UniqueHlocal image;
  uint32_t bytes = 0;
  out.status = video.Extract(index, settings, ReadOnMode::kWhenFaster, nullptr, image, bytes);
  if (out.status == S_OK) {
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
  if (picture.status != S_OK || picture.width() != 328 || picture.height() != 232) return -1;
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
  if (picture.status != S_OK) return testing::AssertionFailure() << "no picture";
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
  // Plain buffers: the stride comes from MF_MT_DEFAULT_STRIDE, the chroma plane lies at stride x
  // coded height whatever spare rows follow it; Wine's own pad rows to 4 bytes with no stride.
  for (const uint32_t slack : {0u, 16u}) {
    for (const bool aligned : {true, false}) {
      WindowsBehaviour plain;
      plain.aligned_frames = aligned;
      plain.plain_slack_rows = slack;
      const auto hook = HookIf(aligned || slack != 0, plain);
      for (const auto& c : {cases[0], cases[2]}) {
        EXPECT_TRUE(ShowsMoment(Extract(c.name, {0, 0, c.sec}), c.width, c.height, c.tenths))
            << Utf8(c.name) << ": plain buffer, " << slack << " spare rows, aligned " << aligned;
      }
    }
  }
}

// Where a bottom-up 2D buffer keeps its chroma plane is not stated: refused, not guessed.
TEST(WindowsReader, BottomUpTwoDimensionalBuffersAreRefused) {
  WindowsBehaviour behaviour;
  behaviour.pitch_alignment = 64;
  behaviour.bottom_up = true;
  const auto hook = HookIf(true, behaviour);
  EXPECT_TRUE(FAILED(Extract(L"wide322.mp4", {0, 0, 1}).status));
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

// 2D interfaces that are tear-offs, gone at their own last Release: the lock is undone through a
// reference still held, never through a released interface.
TEST(WindowsReader, NoCallOnATwoDimensionalInterfaceAfterItsRelease) {
  WindowsBehaviour behaviour = AllWindowsBehaviours(kKeyInterval);
  behaviour.tear_off_2d = true;
  const auto hook = HookIf(true, behaviour);
  EXPECT_EQ(FrameNumber(Extract(L"numbered60s.mp4", {0, 0, 25})), 250);
  EXPECT_GT(hook->counts().lock_2d, 0);
  EXPECT_EQ(hook->counts().calls_after_release, 0);
}

// Key frames 40 s apart (as in screen recordings): a seek to 35 s lands at 0 s and the read goes
// on the whole way to the frame due; 59 s lands at 40 s.
TEST(WindowsReader, KeyFramesFarApartStillGiveTheFrameDue) {
  for (bool windows : {true, false}) {
    const auto hook = HookIf(windows, AllWindowsBehaviours(40 * kTicksPerSecond));
    EXPECT_EQ(FrameNumber(Extract(L"numbered60s.mp4", {0, 0, 35})), 350) << ReaderName(windows);
    EXPECT_EQ(FrameNumber(Extract(L"numbered60s.mp4", {0, 0, 59})), 590) << ReaderName(windows);
    if (hook) {
      EXPECT_GT(hook->counts().seeks, 0);
    }
  }
}

// The last entry (sec at the duration, the last of div=3) is the video's last frame, whatever
// the key-frame spacing (every frame, second, 10 s) and with B-frames, on a fresh reader and on
// a kept one that has just delivered the entry before it.
TEST(WindowsReader, TheLastEntryIsTheLastFrame) {
  const struct {
    const wchar_t* name;
    int32_t seconds;
    int64_t key_interval;
  } clips[] = {{L"numbered60s_g10.mp4", 60, kTicksPerSecond},
               {L"numbered60s.mp4", 60, kKeyInterval},
               {L"numbered10s_g1.mp4", 10, kTicksPerSecond / 10},
               {L"numbered10s_g10.mp4", 10, kTicksPerSecond},
               {L"numbered10s_g100.mp4", 10, kKeyInterval},
               {L"numbered10s_g10_bf.mp4", 10, kTicksPerSecond},
               {L"numbered10s_g100_bf.mp4", 10, kKeyInterval}};
  for (bool windows : {true, false}) {
    for (const auto& clip : clips) {
      const auto hook = HookIf(windows, AllWindowsBehaviours(clip.key_interval));
      const int last = clip.seconds * kFramesPerSecond - 1;
      SCOPED_TRACE(Utf8(clip.name) + ", " + ReaderName(windows));
      EXPECT_EQ(FrameNumber(Extract(clip.name, {0, 0, clip.seconds})), last) << "sec at the end";
      EXPECT_EQ(FrameNumber(Extract(clip.name, {3, 0, 0}, 2)), last) << "div=3, entry 2";
      const std::wstring path = Media(clip.name);  // outlives the video, which may reopen it
      MediaFoundationScope media_foundation;
      OpenVideo video;
      ASSERT_TRUE(SUCCEEDED(video.Open(path.c_str())));
      (void)ExtractKept(video, {3, 0, 0}, 1);
      EXPECT_EQ(FrameNumber(ExtractKept(video, {3, 0, 0}, 2)), last) << "kept reader, entry 2";
    }
  }
}

// The presentation lasts 3 s longer than the video (audio running on): entries past the video's
// end show its last frame, none fails. Under Wine's reader the same with a clip whose audio runs
// 3 s past its video.
TEST(WindowsReader, EntriesPastTheVideosEndShowItsLastFrame) {
  for (bool windows : {true, false}) {
    WindowsBehaviour behaviour = AllWindowsBehaviours(kTicksPerSecond);
    behaviour.extra_duration = 3 * kTicksPerSecond;
    const auto hook = HookIf(windows, behaviour);
    const wchar_t* name = windows ? L"numbered10s_g10.mp4" : L"numbered10s_audio13s.mp4";
    VideoFacts facts;
    ASSERT_TRUE(ProbeVideo(Media(name).c_str(), facts));
    EXPECT_EQ(facts.seconds, 13) << ReaderName(windows);
    for (int32_t sec : {9, 10, 11, 12, 13}) {
      EXPECT_EQ(FrameNumber(Extract(name, {0, 0, sec})), std::min(sec * kFramesPerSecond, 99))
          << ReaderName(windows) << ", sec=" << sec;
    }
    EXPECT_EQ(FrameNumber(Extract(name, {14, 0, 0}, 13)), 99) << ReaderName(windows) << ", div=14";
  }
}

// A source that cannot seek (no MFMEDIASOURCE_CAN_SEEK, SetCurrentPosition refused): every entry
// is still the frame due, read forward from where the reader stands or from a fresh reader's
// start, on a kept reader in any order and with exact=0 too; never the frame the reader stood at.
TEST(WindowsReader, SourcesThatCannotSeekStillGiveTheFrameDue) {
  WindowsBehaviour behaviour = AllWindowsBehaviours(kKeyInterval);
  behaviour.refuse_seeks = true;
  const auto hook = HookIf(true, behaviour);
  for (int32_t sec : {5, 45}) {
    EXPECT_EQ(FrameNumber(Extract(L"numbered60s.mp4", {0, 0, sec})), sec * kFramesPerSecond)
        << "fresh reader, sec=" << sec;
  }
  const std::wstring path = Media(L"numbered60s.mp4");  // outlives the video, which reopens it
  MediaFoundationScope media_foundation;
  OpenVideo video;
  ASSERT_TRUE(SUCCEEDED(video.Open(path.c_str())));
  for (const bool exact : {true, false}) {
    FrameSettings settings{12, 0, 0};
    settings.exact = exact;
    for (int32_t index : {3, 4, 8, 2, 11, 0, 7}) {
      EXPECT_NEAR(FrameNumber(ExtractKept(video, settings, index)), DueFrame(index), 1)
          << "kept reader, entry " << index << ", exact " << exact;
    }
  }
  EXPECT_GT(hook->counts().readers, 2) << "moments behind the reader come from a fresh one";
}

// The advanced video processor keeps the stream's own stamps: its frame-rate conversion is off
// before the first sample is read.
TEST(WindowsReader, TheVideoProcessorDoesNotConvertFrameRates) {
  WindowsBehaviour behaviour = AllWindowsBehaviours(kKeyInterval);
  behaviour.video_processor = true;
  const auto hook = HookIf(true, behaviour);
  EXPECT_EQ(FrameNumber(Extract(L"numbered60s.mp4", {0, 0, 25})), 250);
  EXPECT_GT(hook->counts().processor_queries, 0);
  EXPECT_EQ(hook->counts().reads_converting_rates, 0);
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
