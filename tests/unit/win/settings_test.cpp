// Reading the settings file: both builds' keys, defaults, and the 32-bit mapping.
#include <gtest/gtest.h>

#include "plugin/settings.h"
#include "test_support.h"

namespace stillreel {
namespace {

using test::ScratchDir;
using test::SettingsText;
using test::WriteTextFile;

TEST(Settings, BothBuildsReadTheirOwnKeysFromOneFile) {
  ScratchDir dir;
  const std::wstring ini = dir / L"Stillreel.ini";
  WriteTextFile(ini, SettingsText("0", "30", "7"));

  const FrameSettings current = ReadFrameSettingsFrom(ini.c_str(), SettingsKeys::kCurrent);
  EXPECT_EQ(current.div, 0);
  EXPECT_EQ(current.divsec, 30);
  EXPECT_EQ(current.sec, 7);

  // The 32-bit build: "sec" is its interval and "divsec" means nothing to it.
  const FrameSettings legacy = ReadFrameSettingsFrom(ini.c_str(), SettingsKeys::kLegacy);
  EXPECT_EQ(legacy.div, 0);
  EXPECT_EQ(legacy.divsec, 7);
  EXPECT_EQ(legacy.sec, 0);
}

TEST(Settings, MissingNegativeAndJunkValuesCountAsNotSet) {
  ScratchDir dir;
  const FrameSettings missing =
      ReadFrameSettingsFrom((dir / L"none.ini").c_str(), SettingsKeys::kCurrent);
  EXPECT_EQ(missing.div, 0);
  EXPECT_EQ(missing.divsec, 0);
  EXPECT_EQ(missing.sec, 0);

  const std::wstring ini = dir / L"Stillreel.ini";
  WriteTextFile(ini, SettingsText("-4", "abc", "-1"));
  const FrameSettings hostile = ReadFrameSettingsFrom(ini.c_str(), SettingsKeys::kCurrent);
  EXPECT_EQ(hostile.div, 0);
  EXPECT_EQ(hostile.divsec, 0);
  EXPECT_EQ(hostile.sec, 0);
}

// Both builds read the switches; only an explicit 0 turns one off.
TEST(Settings, ExactAspectAndHdrStayOnUnlessZeroInBothBuilds) {
  ScratchDir dir;
  const std::wstring ini = dir / L"Stillreel.ini";
  for (SettingsKeys keys : {SettingsKeys::kCurrent, SettingsKeys::kLegacy}) {
    WriteTextFile(ini, "[SystemSetting]\r\nexact=2\r\naspect=1\r\n");
    FrameSettings read = ReadFrameSettingsFrom(ini.c_str(), keys);
    EXPECT_TRUE(read.exact);
    EXPECT_TRUE(read.aspect);
    EXPECT_TRUE(read.hdr) << "a file without the key tone-maps";
    WriteTextFile(ini, "[SystemSetting]\r\nexact=0\r\naspect=0\r\nhdr=0\r\n");
    read = ReadFrameSettingsFrom(ini.c_str(), keys);
    EXPECT_FALSE(read.exact);
    EXPECT_FALSE(read.aspect);
    EXPECT_FALSE(read.hdr);
    WriteTextFile(ini, "[SystemSetting]\r\nhdr=2\r\n");
    EXPECT_TRUE(ReadFrameSettingsFrom(ini.c_str(), keys).hdr);
  }
}

}  // namespace
}  // namespace stillreel
