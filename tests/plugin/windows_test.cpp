// The plug-in through its exports under a source reader that behaves as Windows' does
// (windows_reader.h), put in place of the DLL's import, and the same under Wine's reader.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "plugin_host.h"
#include "windows_reader.h"

namespace stillreel::test {
namespace {

std::unique_ptr<WindowsReaderHook> HookIf(bool windows, WindowsBehaviour behaviour) {
  if (!windows) return nullptr;
  auto hook = std::make_unique<WindowsReaderHook>(GetModuleHandleW(L"Stillreel.sph"),
                                                  std::move(behaviour));
  EXPECT_TRUE(hook->installed());
  return hook;
}

const char* ReaderName(bool windows) { return windows ? "Windows-behaviour reader" : "Wine's"; }

uint32_t U32(const std::string& block, size_t offset) {
  uint32_t value = 0;
  if (block.size() >= offset + 4) std::memcpy(&value, block.data() + offset, sizeof value);
  return value;
}

// A 1080-line H.264 frame decoded as 1920x1088 with an aperture, a placeholder type until the
// first frame and a 2D buffer: the entry is the 1920x1080 picture, as listed, and matches
// ffmpeg's decoding of the same frame with the project's tolerance (tests/host_cycle.sh: at
// most 5 levels, mean below 1.0). Padding shown anywhere would break the tolerance there.
TEST(PluginWindows, FullHdFrameIsThePictureAsListedAndMatchesFfmpeg) {
  constexpr uint32_t kWidth = 1920, kHeight = 1080;
  const std::string reference = ReadWholeFile(Media(L"hd1080_frame10.bgra"));
  ASSERT_EQ(reference.size(), size_t{kWidth} * kHeight * 4);
  for (bool windows : {true, false}) {
    PluginHost host(SettingsText(nullptr, nullptr, "1").c_str());  // sec=1: frame 10 at 10 fps
    ASSERT_TRUE(host.loaded());
    WindowsBehaviour behaviour;
    behaviour.aligned_frames = true;
    behaviour.placeholder_type = true;
    behaviour.pitch_alignment = 64;
    const auto hook = HookIf(windows, behaviour);
    const std::wstring video = Media(L"hd1080.mp4");
    const auto entries = host.List(video);
    ASSERT_EQ(entries.size(), 1u) << ReaderName(windows);
    const std::string block = host.Fetch(video, entries[0].position);
    ASSERT_EQ(block.size(), size_t{entries[0].file_size}) << ReaderName(windows);
    ASSERT_EQ(U32(block, 18), kWidth) << ReaderName(windows);
    ASSERT_EQ(U32(block, 22), kHeight) << ReaderName(windows);
    int max_difference = 0;
    uint64_t total = 0;
    for (uint32_t row = 0; row < kHeight; ++row) {
      const auto* ours = reinterpret_cast<const uint8_t*>(block.data()) + 54 +
                         size_t{kHeight - 1 - row} * kWidth * 4;
      const auto* theirs =
          reinterpret_cast<const uint8_t*>(reference.data()) + size_t{row} * kWidth * 4;
      for (uint32_t i = 0; i < kWidth * 4; ++i) {
        if (i % 4 == 3) continue;  // alpha
        const int difference = std::abs(int{ours[i]} - int{theirs[i]});
        max_difference = std::max(max_difference, difference);
        total += difference;
      }
    }
    const double mean = static_cast<double>(total) / (double{kWidth} * kHeight * 3);
    EXPECT_LE(max_difference, 5) << ReaderName(windows);
    EXPECT_LT(mean, 1.0) << ReaderName(windows);
    if (hook) {
      EXPECT_GT(hook->counts().lock_2d, 0);
      EXPECT_GT(hook->counts().type_changes, 0);
    }
  }
}

// The number numbered60s.mp4 shows (tests/make_media.sh) at the sampling row of its bit blocks;
// -1 when a block is neither black nor white.
int FrameNumber(const std::string& block) {
  const uint32_t width = U32(block, 18), height = U32(block, 22);
  if (width != 328 || height != 232 || block.size() != 54 + size_t{width} * height * 4) return -1;
  int number = 0;
  for (uint32_t bit = 0; bit < 10; ++bit) {
    const size_t x = (2 * bit + 1) * width / 20;
    const auto level = static_cast<uint8_t>(block[54 + ((height - 1 - 58) * width + x) * 4 + 1]);
    if (level > 64 && level < 192) return -1;
    number = number * 2 + (level >= 192 ? 1 : 0);
  }
  return number;
}

// "exact" in the settings file: absent or 1 reads on to the frame due (div=12 on 60 s at 10 fps:
// 54, 109, 163, ...), 0 keeps the key frame the seek lands on (0, 100, 100, ...).
TEST(PluginWindows, ExactSettingChoosesBetweenTheMomentAndTheKeyFrame) {
  const std::wstring video = Media(L"numbered60s.mp4");
  const struct {
    const char* settings;
    int frames[4];
  } cases[] = {{"[SystemSetting]\r\ndiv=12\r\n", {0, 54, 109, 163}},
               {"[SystemSetting]\r\ndiv=12\r\nexact=1\r\n", {0, 54, 109, 163}},
               {"[SystemSetting]\r\ndiv=12\r\nexact=0\r\n", {0, 0, 100, 100}}};
  for (const auto& c : cases) {
    PluginHost host(c.settings);
    const auto hook = HookIf(true, AllWindowsBehaviours(100'000'000));
    const auto entries = host.List(video);
    ASSERT_EQ(entries.size(), 12u);
    for (int i = 0; i < 4; ++i) {
      const std::string block = host.Fetch(video, entries[i].position);
      EXPECT_EQ(block.size(), size_t{entries[i].file_size}) << c.settings;
      EXPECT_NEAR(FrameNumber(block), c.frames[i], 1) << c.settings << "entry " << i;
    }
  }
}

}  // namespace
}  // namespace stillreel::test
