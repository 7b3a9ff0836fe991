// Fetching entries through the loaded plug-in: memory and file output, result codes, the
// settings read afresh, and every listed entry deliverable.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plugin_host.h"

namespace stillreel::test {
namespace {

TEST(PluginFetch, EveryEntryOfAListingComesInMemoryAndAsAFile) {
  PluginHost host(SettingsText("4", "0", "0").c_str());
  const std::wstring video = Media(L"len60s.mp4");
  const auto entries = host.List(video);
  ASSERT_EQ(entries.size(), 4u);
  ScratchDir out;
  int previous_second = -1;
  for (const EntryRecord& entry : entries) {
    int result = -99;
    const std::string image = host.Fetch(video, entry.position, &result);
    ASSERT_EQ(result, 0) << "entry " << entry.position;
    EXPECT_EQ(image.size(), entry.file_size) << "the block is as large as the listing says";
    const Moment moment = ReadMoment(image);
    ASSERT_TRUE(moment.valid);
    EXPECT_TRUE(moment.upright) << "entry " << entry.position;
    EXPECT_GT(moment.second, previous_second) << "entries move forward through the video";
    previous_second = moment.second;

    std::wstring dir = out.path();
    ASSERT_EQ(host.GetFileW(video.c_str(), entry.position, dir.data(), 0, nullptr, 0), 0);
    EXPECT_EQ(ReadWholeFile(out / entry.file_name), image) << "file and memory agree";
  }
  // div = 4 over 60 s: 0, 20, 40 and the end (the last frame, 59 s).
  EXPECT_EQ(previous_second, 59);
}

TEST(PluginFetch, FetchesFollowTheSettingsInForce) {
  PluginHost host(SettingsText("0", "10", "0").c_str());
  const std::wstring video = Media(L"len60s.mp4");
  ASSERT_EQ(host.List(video).size(), 7u);
  EXPECT_EQ(ReadMoment(host.Fetch(video, 2)).second, 20);
  host.WriteSettings(SettingsText("0", "5", "0"));
  EXPECT_EQ(ReadMoment(host.Fetch(video, 2)).second, 10) << "the new moment";
  int result = -99;
  EXPECT_EQ(ReadMoment(host.Fetch(video, 7, &result)).second, 35)
      << "entry 7 of the listing of the settings in force (13 entries)";
  host.Fetch(video, 13, &result);
  EXPECT_EQ(result, 2) << "beyond the listing of the settings in force";
}

TEST(PluginFetch, AnsiTwinAndOutputKindsDecidedByBit8) {
  PluginHost host(SettingsText("2", "0", "0").c_str());
  const std::string video = Utf8(Media(L"len10s.mp4"));
  HLOCAL image = nullptr;
  ASSERT_EQ(
      host.GetFile(video.c_str(), 1, reinterpret_cast<char*>(&image), kOutputToMemory, nullptr, 0),
      0);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(LocalSize(image), 320u * 240 * 4 + 54);
  LocalFree(image);

  ScratchDir out;
  std::string dir = Utf8(out.path());
  // Bits 9 and 10 without bit 8 still mean a directory.
  ASSERT_EQ(host.GetFile(video.c_str(), 1, dir.data(), 0x200, nullptr, 0), 0);
  EXPECT_TRUE(FileExists(out / L"len10s001.bmp"));
  std::wstring wide_dir = out.path();
  EXPECT_EQ(host.GetFileW(Media(L"len10s.mp4").c_str(), 0, wide_dir.data(), 0x400, nullptr, 0), 0);
  EXPECT_TRUE(FileExists(out / L"len10s000.bmp"));
}

TEST(PluginFetch, OddWidthsComeOutUprightAndUnsheared) {
  PluginHost host(SettingsText("1", "0", "0").c_str());
  for (const wchar_t* name : {L"wide322.mp4", L"odd161.avi"}) {
    const std::wstring video = Media(name);
    const auto entries = host.List(video);
    ASSERT_EQ(entries.size(), 1u) << Utf8(name);
    const std::string image = host.Fetch(video, 0);
    const Moment moment = ReadMoment(image);
    ASSERT_TRUE(moment.valid) << Utf8(name);
    EXPECT_EQ(image.size(), entries[0].file_size);
    EXPECT_TRUE(moment.upright) << Utf8(name);
    EXPECT_EQ(moment.second, 0) << Utf8(name);
    // Unsheared: the marker's right edge is at the same column in the top and the bottom row
    // of the marker.
    auto green = [&](uint32_t x, uint32_t row) {
      return static_cast<uint8_t>(
          image[54 + ((moment.height - 1 - row) * moment.width + x) * 4 + 1]);
    };
    const uint32_t edge = moment.width / 4;
    for (uint32_t row : {1u, moment.height / 4 - 2}) {
      EXPECT_GT(green(edge - 2, row), 240) << Utf8(name) << " row " << row;
      EXPECT_LT(green(edge + 2, row), 100) << Utf8(name) << " row " << row;
    }
  }
}

}  // namespace
}  // namespace stillreel::test
