// The plug-in's frame as a host sees it: information texts and the input-kind flags.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "plugin_host.h"

namespace stillreel::test {
namespace {

constexpr wchar_t kFileType[] = L"MediaFoundation\x30D5\x30A1\x30A4\x30EB";

TEST(PluginInfo, WideTextsAndUntouchedBufferForOtherIndices) {
  PluginHost host(nullptr);
  wchar_t buf[260];
  EXPECT_EQ(host.GetPluginInfoW(0, buf, 260), 4);
  EXPECT_STREQ(buf, L"00AM");
  EXPECT_EQ(host.GetPluginInfoW(1, buf, 260), 18);
  EXPECT_STREQ(buf, L"Stillreel by Plorx");
  EXPECT_EQ(host.GetPluginInfoW(2, buf, 260), 17) << "defaults without a settings file";
  EXPECT_STREQ(buf, L"*.mp4;*.avi;*.wmv");
  EXPECT_EQ(host.GetPluginInfoW(3, buf, 260), 19);
  EXPECT_STREQ(buf, kFileType);

  for (int index : {-1, 4}) {
    wmemset(buf, L'#', 260);
    EXPECT_EQ(host.GetPluginInfoW(index, buf, 260), 0);
    EXPECT_EQ(buf[0], L'#');
    char narrow[260];
    std::memset(narrow, '#', sizeof(narrow));
    EXPECT_EQ(host.GetPluginInfo(index, narrow, 260), 0);
    EXPECT_EQ(narrow[0], '#');
  }
}

TEST(PluginInfo, FilterComesNormalisedFromTheSettingsFile) {
  PluginHost host(SettingsText(nullptr, nullptr, nullptr, "a,b,,c").c_str());
  wchar_t buf[260];
  EXPECT_EQ(host.GetPluginInfoW(2, buf, 260), 6);
  EXPECT_STREQ(buf, L"a;b;;c");
  host.WriteSettings(SettingsText(nullptr, nullptr, nullptr, ""));
  EXPECT_EQ(host.GetPluginInfoW(2, buf, 260), 0) << "an empty ext gives an empty filter";
  EXPECT_STREQ(buf, L"");
}

TEST(PluginInfo, BoundedCopiesNeverWritePastBuflen) {
  PluginHost host(nullptr);
  wchar_t wide[8];
  wmemset(wide, L'#', 8);
  host.GetPluginInfoW(1, wide, 5);
  EXPECT_STREQ(wide, L"Stil") << "truncated and terminated";
  EXPECT_EQ(wide[5], L'#');
  wmemset(wide, L'#', 8);
  EXPECT_EQ(host.GetPluginInfoW(1, wide, 0), 0);
  EXPECT_EQ(wide[0], L'#') << "nothing written for buflen 0";
  EXPECT_EQ(host.GetPluginInfoW(0, nullptr, 260), -1);

  char narrow[8];
  std::memset(narrow, '#', sizeof(narrow));
  host.GetPluginInfo(1, narrow, 5);
  EXPECT_STREQ(narrow, "Stil");
  EXPECT_EQ(narrow[5], '#');
}

TEST(PluginInfo, AnsiTwinUsesTheThreadCodePage) {
  PluginHost host(nullptr);
  char buf[260];
  EXPECT_EQ(host.GetPluginInfo(0, buf, 260), 4);
  EXPECT_STREQ(buf, "00AM");

  const LCID before = GetThreadLocale();
  ASSERT_TRUE(
      SetThreadLocale(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT)));
  EXPECT_EQ(host.GetPluginInfo(3, buf, 260), 19) << "the result counts wide characters";
  // "ファイル" in code page 932.
  EXPECT_STREQ(buf, "MediaFoundation\x83\x74\x83\x40\x83\x43\x83\x8B");
  // A double-byte character is never split: 16 bytes hold the name and one character.
  std::memset(buf, '#', sizeof(buf));
  host.GetPluginInfo(3, buf, 18);
  EXPECT_STREQ(buf, "MediaFoundation\x83\x74");
  std::memset(buf, '#', sizeof(buf));
  host.GetPluginInfo(3, buf, 17);
  EXPECT_STREQ(buf, "MediaFoundation");
  SetThreadLocale(before);
}

// Memory (1) is served (input_test.cpp); every other kind is refused.
TEST(PluginFrame, InputKindsOtherThanAFileOrMemoryAreRefusedWithOutputsUntouched) {
  PluginHost host(nullptr);
  const std::wstring video = Media(L"len10s.mp4");
  for (unsigned flag : {2u, 3u, 7u, 0x102u}) {
    HLOCAL handle = reinterpret_cast<HLOCAL>(0x1234);
    EXPECT_EQ(host.GetArchiveInfoW(video.c_str(), 0, flag, &handle), -1);
    EXPECT_EQ(handle, nullptr) << "hosts free the handle after any result: it must be NULL";
    EntryRecord record;
    std::memset(&record, 0x5A, sizeof(record));
    EXPECT_EQ(host.GetFileInfoW(video.c_str(), 0, L"len10s000.bmp", flag, &record), -1);
    EXPECT_EQ(record.method[0], 0x5A);
    HLOCAL image = reinterpret_cast<HLOCAL>(0x1234);
    EXPECT_EQ(host.GetFileW(video.c_str(), 0, reinterpret_cast<wchar_t*>(&image),
                            flag | kOutputToMemory, nullptr, 0),
              -1);
    EXPECT_EQ(image, reinterpret_cast<HLOCAL>(0x1234));
  }
}

}  // namespace
}  // namespace stillreel::test
