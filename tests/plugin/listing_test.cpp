// Listing through the loaded plug-in: support rules, count rules, names, result codes (what is
// kept between calls: open_videos_test.cpp).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "plugin_host.h"

namespace stillreel::test {
namespace {

// The first bytes as hosts pass them, 2,048 zeros in a 4,096-byte buffer: bits 16 and up of its
// address are set, so it is no handle. Read only for a name that is no file.
const std::vector<char> g_zero_header(4096);
const LONG_PTR kNoHandle = reinterpret_cast<LONG_PTR>(g_zero_header.data());

std::vector<std::wstring> Names(const std::vector<EntryRecord>& entries) {
  std::vector<std::wstring> names;
  for (const EntryRecord& e : entries) names.push_back(e.file_name);
  return names;
}

TEST(PluginSupport, AcceptsVideosOfAtLeastOneSecondOnly) {
  PluginHost host(nullptr);
  EXPECT_EQ(host.IsSupportedW(Media(L"len0900ms.mp4").c_str(), kNoHandle), 0);
  EXPECT_NE(host.IsSupportedW(Media(L"len1s.mp4").c_str(), kNoHandle), 0);
  for (const wchar_t* name : {L"len10s.avi", L"len10s.wmv", L"len10s.mkv", L"a.b.mp4"})
    EXPECT_NE(host.IsSupportedW(Media(name).c_str(), kNoHandle), 0) << Utf8(name);
  for (const wchar_t* name :
       {L"audio_only.m4a", L"notvideo.mp4", L"notvideo.txt", L"seven_bytes.mp4", L"missing.mp4"})
    EXPECT_EQ(host.IsSupportedW(Media(name).c_str(), kNoHandle), 0) << Utf8(name);
  EXPECT_NE(host.IsSupported(Utf8(Media(L"len1s.mp4")).c_str(), kNoHandle), 0);
}

TEST(PluginSupport, HandleWhoseReadFailsIsRefusedWithoutProbing) {
  PluginHost host(nullptr);
  // A small value is a handle; one opened without read access cannot be read.
  HANDLE file = CreateFileW(Media(L"len1s.mp4").c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  if (reinterpret_cast<uintptr_t>(file) <= 0xFFFF) {
    EXPECT_EQ(host.IsSupportedW(Media(L"len1s.mp4").c_str(), reinterpret_cast<LONG_PTR>(file)), 0);
  }
  CloseHandle(file);
  HANDLE readable = CreateFileW(Media(L"len1s.mp4").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(host.IsSupportedW(Media(L"len1s.mp4").c_str(), reinterpret_cast<LONG_PTR>(readable)),
            0);
  CloseHandle(readable);
}

TEST(PluginListing, CountRulesAndNames) {
  PluginHost host(nullptr);
  struct Case {
    const char* div;
    const char* divsec;
    const char* sec;
    const wchar_t* video;
    size_t count;
  } cases[] = {
      {"3", "2", "7", L"len10s.mp4", 1},  {"10", "0", "0", L"len10s.mp4", 10},
      {"0", "60", "0", L"len59s.mp4", 1}, {"0", "10", "0", L"len10s.mp4", 2},
      {"0", "0", "0", L"len10s.mp4", 1},  {"-3", "-1", "-9", L"len10s.mp4", 1},
  };
  for (const Case& c : cases) {
    host.WriteSettings(SettingsText(c.div, c.divsec, c.sec));
    int result = -99;
    const auto entries = host.List(Media(c.video), &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(entries.size(), c.count)
        << "div=" << c.div << " divsec=" << c.divsec << " sec=" << c.sec;
    for (size_t i = 0; i < entries.size(); ++i) {
      EXPECT_EQ(entries[i].position, i);
      EXPECT_STREQ(entries[i].method, "MF");
      EXPECT_EQ(entries[i].file_size,
                c.video == std::wstring(L"len59s.mp4") ? 160u * 120 * 4 + 54 : 320u * 240 * 4 + 54);
      EXPECT_EQ(entries[i].compressed_size, entries[i].file_size);
    }
  }
  host.RemoveSettings();
  EXPECT_EQ(host.List(Media(L"len10s.mp4")).size(), 1u) << "no settings file: one entry";
}

TEST(PluginListing, TripExampleAndNameForms) {
  PluginHost host(SettingsText("0", "30", "0").c_str());
  const auto entries = host.List(Media(L"Trip.mp4"));
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(Names(entries),
            (std::vector<std::wstring>{L"Trip000.bmp", L"Trip001.bmp", L"Trip002.bmp",
                                       L"Trip003.bmp", L"Trip004.bmp"}));
  EXPECT_EQ(entries[0].file_size, 1280u * 720 * 4 + 54);

  // The timestamp is the file's last write, in seconds since 1970.
  WIN32_FILE_ATTRIBUTE_DATA data;
  ASSERT_TRUE(GetFileAttributesExW(Media(L"Trip.mp4").c_str(), GetFileExInfoStandard, &data));
  const uint64_t ticks =
      uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32 | data.ftLastWriteTime.dwLowDateTime;
  EXPECT_EQ(entries[4].timestamp, static_cast<EntryTime>((ticks - 116444736000000000) / 10000000));

  EXPECT_EQ(Names(host.List(Media(L"a.b.mp4"))), std::vector<std::wstring>{L"a.b000.bmp"});
  EXPECT_EQ(Names(host.List(Media(L"\x52D5\x753B.mp4"))), std::vector<std::wstring>{L"\x52D5\x753B"
                                                                                    L"000.bmp"});
}

TEST(PluginListing, ResultCodesOfFailedListings) {
  PluginHost host(nullptr);
  int result = 0;
  host.List(Media(L"missing.mp4"), &result);
  EXPECT_EQ(result, 6);
  host.List(Media(L"seven_bytes.mp4"), &result);
  EXPECT_EQ(result, 2);
  host.List(Media(L"notvideo.mp4"), &result);
  EXPECT_EQ(result, 2);
  host.List(Media(L"len0900ms.mp4"), &result);
  EXPECT_EQ(result, 2);
}

TEST(PluginEntryInfo, ByNameCaseInsensitiveOrByPosition) {
  PluginHost host(SettingsText("4", "0", "0").c_str());
  const std::wstring video = Media(L"len10s.mp4");
  EntryRecord record{};
  ASSERT_EQ(host.GetFileInfoW(video.c_str(), 0, L"LEN10S002.BMP", 0, &record), 0);
  EXPECT_EQ(record.position, 2u);
  EXPECT_STREQ(record.file_name, L"len10s002.bmp");

  record = EntryRecord{};
  record.position = 3;
  ASSERT_EQ(host.GetFileInfoW(video.c_str(), 0, L"", 0, &record), 0);
  EXPECT_STREQ(record.file_name, L"len10s003.bmp");

  EXPECT_EQ(host.GetFileInfoW(video.c_str(), 0, L"nope.bmp", 0, &record), -1)
      << "a fresh listing without the entry gives -1";

  EntryRecordA narrow{};
  narrow.position = 1;
  ASSERT_EQ(host.GetFileInfo(Utf8(video).c_str(), 0, "", 0, &narrow), 0)
      << "the ANSI twin carries the host's position too";
  EXPECT_STREQ(narrow.file_name, "len10s001.bmp");
  ASSERT_EQ(host.GetFileInfo(Utf8(video).c_str(), 0, "len10s000.BMP", 0, &narrow), 0);
  EXPECT_EQ(narrow.position, 0u);
  EXPECT_EQ(narrow.file_size, 320u * 240 * 4 + 54);
}

TEST(PluginListing, AnsiListingConvertsNamesWithTheCodePage) {
  PluginHost host(SettingsText("2", "0", "0").c_str());
  HLOCAL listing = nullptr;
  ASSERT_EQ(host.GetArchiveInfo(Utf8(Media(L"len10s.mp4")).c_str(), 0, 0, &listing), 0);
  const auto* records = static_cast<const EntryRecordA*>(listing);
  EXPECT_STREQ(records[0].file_name, "len10s000.bmp");
  EXPECT_STREQ(records[1].file_name, "len10s001.bmp");
  EXPECT_EQ(records[1].position, 1u);
  EXPECT_EQ(records[2].method[0], '\0');
  EXPECT_EQ(LocalSize(listing), 3 * sizeof(EntryRecordA));
  LocalFree(listing);

  // A name with no form in the code page comes out with its default character.
  listing = nullptr;
  ASSERT_EQ(host.GetArchiveInfoW(Media(L"\x52D5\x753B.mp4").c_str(), 0, 0, &listing), 0);
  LocalFree(listing);
}

}  // namespace
}  // namespace stillreel::test
