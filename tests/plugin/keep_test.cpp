// The source reader kept between fetches: the same pictures as a fresh open in any order, never a
// stale file, and nothing left behind once it is let go, whether by time or by an unload.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "plugin_host.h"
#include "process_counts.h"
#include "windows_reader.h"

// After <windows.h>, which process_counts.h brings.
#include <psapi.h>

namespace stillreel::test {
namespace {

// Short, so the tests need not wait the default 3 s for an unused reader to go. Nothing is read
// ahead: these tests count what the kept reader alone does.
constexpr int kIdleMs = 400;

std::string KeptSettings(const char* div, bool keep, const char* read_on = "1") {
  return SettingsText(div, "0", "0") + "readahead=0\r\n[Debug]\r\nidle=" + std::to_string(kIdleMs) +
         "\r\nkeep=" + (keep ? "1" : "0") + "\r\nreadon=" + read_on + "\r\n";
}

TEST(PluginKeep, KeptReaderGivesTheBytesOfAFreshOpenInAnyOrder) {
  // 31 entries a third of a second apart: close enough to read on, far enough to seek back.
  // B-frames make Wine stamp frames late, which reading on must not be fooled by; entries 5 to 8
  // of gap1s.mkv fall in a second without frames, which a seek skips and reading on must not.
  for (const wchar_t* name : {L"len10s.mp4", L"bframes.mp4", L"len10s.avi", L"gap1s.mkv"}) {
    const std::wstring video = Media(name);
    PluginHost fresh(KeptSettings("31", false).c_str());
    // Reading on wherever the reader allows it, so that each order really tries it.
    PluginHost kept(KeptSettings("31", true, "2").c_str());
    ASSERT_EQ(fresh.List(video).size(), 31u) << Utf8(name);
    ASSERT_EQ(kept.List(video).size(), 31u) << Utf8(name);
    std::vector<std::string> expected;
    for (EntryWord i = 0; i < 31; ++i) {
      expected.push_back(fresh.Fetch(video, i));
      ASSERT_FALSE(expected.back().empty()) << Utf8(name) << " entry " << i;
    }
    std::vector<EntryWord> order(31);
    for (EntryWord i = 0; i < 31; ++i) order[i] = i;
    std::vector<EntryWord> reversed(order.rbegin(), order.rend());
    std::vector<EntryWord> shuffled = order;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
    for (const auto* pass : {&order, &reversed, &shuffled, &order}) {
      for (EntryWord i : *pass) {
        EXPECT_TRUE(kept.Fetch(video, i) == expected[i])
            << Utf8(name) << " entry " << i << " differs from a fresh open's (pass "
            << (pass == &order      ? "in order"
                : pass == &reversed ? "reversed"
                                    : "shuffled")
            << ")";
      }
    }
  }
}

// Reading on wherever the reader allows it, whatever it costs (readon=2), under Wine's reader and
// under one that seeks to the key frame before the moment as Windows does. The numbered clip has
// a key frame every 10 s and no B-frames (whose stamps only Wine gives late; see the test above).
TEST(PluginKeep, ReadingOnSkipsSeeksAndGivesTheFramesASeekGives) {
  constexpr EntryWord kEntries = 25;  // 2.5 s apart: several entries between key frames
  const std::wstring video = Media(L"numbered60s.mp4");
  for (const bool windows : {false, true}) {
    const char* reader = windows ? "Windows-behaviour reader" : "Wine's reader";
    PluginHost host(KeptSettings("25", false).c_str());
    WindowsReaderHook hook(host.module(),
                           windows ? AllWindowsBehaviours(10 * 10'000'000LL) : WindowsBehaviour{});
    ASSERT_TRUE(hook.installed());
    ASSERT_EQ(host.List(video).size(), kEntries);
    std::vector<std::string> expected;
    for (EntryWord i = 0; i < kEntries; ++i) expected.push_back(host.Fetch(video, i));

    host.WriteSettings(KeptSettings("25", true, "2"));
    const long before = hook.counts().positions;
    for (EntryWord i = 0; i < kEntries; ++i) {
      EXPECT_TRUE(host.Fetch(video, i) == expected[i]) << reader << ", entry " << i;
    }
    // The first entry's seek, and the last entry's two: it lies at the very end, where the
    // stream's last frame is found by a seek back.
    EXPECT_LE(hook.counts().positions - before, 3) << reader << ": reads on instead of seeking";
    for (EntryWord i : {20u, 21u, 3u, 4u, 4u, 24u}) {
      EXPECT_TRUE(host.Fetch(video, i) == expected[i]) << reader << ", entry " << i << " again";
    }
  }
}

TEST(PluginKeep, ReplacedOrDeletedFileIsNeverReadThroughTheKeptReader) {
  PluginHost host(KeptSettings("5", true).c_str());
  ScratchDir dir;
  const std::wstring video = dir / L"clip.mp4";
  ASSERT_TRUE(CopyFileW(Media(L"len10s.mp4").c_str(), video.c_str(), FALSE));
  ASSERT_EQ(host.List(video).size(), 5u);
  ASSERT_EQ(ReadMoment(host.Fetch(video, 1)).width, 320u);

  // Another video (160x120) in its place while the reader is kept. Windows may refuse while the
  // reader holds the file; then it is replaced once the reader has been let go.
  const bool replaced_at_once = CopyFileW(Media(L"len59s.mp4").c_str(), video.c_str(), FALSE);
  if (!replaced_at_once) {
    ASSERT_TRUE(
        WaitFor([&] { return CopyFileW(Media(L"len59s.mp4").c_str(), video.c_str(), FALSE); },
                kIdleMs + 3000));
  }
  int result = -99;
  const Moment moment = ReadMoment(host.Fetch(video, 2, &result));
  EXPECT_TRUE(result != 0 || moment.width == 160u)
      << "the old video came through a stale reader (replaced at once: " << replaced_at_once << ")";

  // Deleted: Windows keeps the name of a file deleted while open until its last handle closes
  // (Wine shows it unchanged till then), so while it is there its content may still come; once
  // the name is gone nothing may.
  ASSERT_EQ(host.Fetch(video, 3).empty(), false);
  const bool deleted = DeleteFileW(video.c_str()) ||
                       WaitFor([&] { return DeleteFileW(video.c_str()) != FALSE; }, kIdleMs + 3000);
  ASSERT_TRUE(deleted);
  if (FileExists(video)) {
    const Moment still = ReadMoment(host.Fetch(video, 4, &result));
    EXPECT_TRUE(result != 0 || still.width == 160u) << "only the deleted file's own content";
    ASSERT_TRUE(WaitFor([&] { return !FileExists(video); }, kIdleMs + 3000))
        << "the kept reader let the deleted file go";
  }
  host.Fetch(video, 4, &result);
  EXPECT_NE(result, 0) << "a deleted video still gave a picture";
}

TEST(PluginKeep, AFailedOpenIsNotKeptAsAReader) {
  PluginHost host(KeptSettings("3", true).c_str());
  // The reader of an audio-only file is made before its missing video stream fails it.
  for (int again = 0; again < 3; ++again) {
    for (const wchar_t* name : {L"audio_only.m4a", L"len0900ms.mp4", L"notvideo.mp4"}) {
      EXPECT_EQ(host.IsSupportedW(Media(name).c_str(), 0x10000), 0) << Utf8(name) << " " << again;
      int result = -99;
      host.List(Media(name), &result);
      EXPECT_EQ(result, 2) << Utf8(name) << " " << again;
    }
  }
}

TEST(PluginKeep, IdleReaderGoesAndTheDllUnloadsOnlyAfterItsWorker) {
  const std::wstring video = Media(L"len10s.mp4");
  // Once, so that what Media Foundation keeps for the process is there before counting.
  {
    LoosePlugin warm(KeptSettings("3", true));
    ASSERT_NE(warm.Load(), nullptr);
    warm.Fetch(video, 1);
    warm.Unload();
    ASSERT_TRUE(WaitFor([&] { return !warm.Mapped(); }, kIdleMs + 3000));
  }
  Sleep(500);
  const DWORD threads = CountThreads();
  const DWORD handles = CountHandles();

  LoosePlugin plugin(KeptSettings("3", true));
  ASSERT_NE(plugin.Load(), nullptr);
  std::string image;
  ASSERT_EQ(plugin.Fetch(video, 1, &image), 0);
  EXPECT_GT(CountThreads(), threads) << "the reader's worker waits for the next fetch";
  EXPECT_TRUE(WaitFor([&] { return CountThreads() <= threads; }, kIdleMs + 3000))
      << "an unused reader's thread ended";
  EXPECT_TRUE(WaitFor([&] { return CountHandles() <= handles; }, 2000))
      << CountHandles() << " handles, " << handles << " before";

  // FreeLibrary right after a fetch, the reader still kept: the DLL stays mapped while its worker
  // lets Media Foundation go, then goes; loaded again it works as before.
  ASSERT_EQ(plugin.Fetch(video, 2), 0);
  plugin.Unload();
  EXPECT_TRUE(plugin.Mapped()) << "the worker holds the DLL";
  EXPECT_TRUE(WaitFor([&] { return !plugin.Mapped(); }, kIdleMs + 3000))
      << "the DLL is unloaded once its worker ended";
  EXPECT_TRUE(WaitFor([&] { return CountThreads() <= threads; }, 3000));
  ASSERT_NE(plugin.Load(), nullptr);
  std::string again;
  EXPECT_EQ(plugin.Fetch(video, 1, &again), 0);
  EXPECT_EQ(again, image);
}

// Before the process ends, every copy of the plug-in the tests loaded has let its kept readers
// go: Wine can crash on its way out of a process whose Media Foundation pipelines are alive.
class ReadersGoneAtExit : public ::testing::Environment {
 public:
  void TearDown() override {
    WaitFor(
        [] {
          HMODULE modules[256];
          DWORD bytes = 0;
          if (!EnumProcessModules(GetCurrentProcess(), modules, sizeof(modules), &bytes))
            return true;
          for (DWORD i = 0; i < bytes / sizeof(HMODULE); ++i) {
            wchar_t name[MAX_PATH];
            if (GetModuleBaseNameW(GetCurrentProcess(), modules[i], name, MAX_PATH) &&
                _wcsicmp(name, L"" STILLREEL_PLUGIN_FILE) == 0)
              return false;
          }
          return true;
        },
        10000);
  }
};
const auto* const g_readers_gone_at_exit =
    ::testing::AddGlobalTestEnvironment(new ReadersGoneAtExit);

}  // namespace
}  // namespace stillreel::test
