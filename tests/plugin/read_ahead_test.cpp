// Entries read ahead of a host that walks a video in order: the bytes of a fresh open in any
// order and under either reader, never a replaced file's old picture, cancelled by any other
// entry without waiting for it, within the call's time limit, and nothing left behind by an
// unload. Readers made on threads below normal priority are the read-ahead's own.
#include <gtest/gtest.h>
#include <mfidl.h>
#include <mfreadwrite.h>

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "import_hook.h"
#include "plugin_host.h"
#include "process_counts.h"
#include "windows_reader.h"

namespace stillreel::test {
namespace {

// Reader creations by the plug-in, the host's own and the read-ahead's apart: readers made on
// threads below normal priority are the read-ahead's.
struct Creations {
  std::atomic<long> host{0};
  std::atomic<long> ahead{0};
};
Creations g_creations;
HRESULT(WINAPI* g_create)(IMFByteStream*, IMFAttributes*, IMFSourceReader**) = nullptr;

HRESULT WINAPI CountingCreate(IMFByteStream* stream, IMFAttributes* attributes,
                              IMFSourceReader** reader) {
  ++(GetThreadPriority(GetCurrentThread()) >= THREAD_PRIORITY_NORMAL ? g_creations.host
                                                                     : g_creations.ahead);
  return g_create(stream, attributes, reader);
}

// Counts the reader creations of `module` from now on (on top of a reader double, if any).
void CountCreations(HMODULE module) {
  g_creations.host = 0;
  g_creations.ahead = 0;
  void* original = nullptr;
  ASSERT_TRUE(PatchImport(module, "MFReadWrite.dll", "MFCreateSourceReaderFromByteStream",
                          reinterpret_cast<void*>(CountingCreate), &original));
  g_create = reinterpret_cast<decltype(g_create)>(original);
}

// A manual-reset event, unset: read-ahead's reads wait on it (hold_background_reads).
struct Brake {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ~Brake() {
    SetEvent(event);
    CloseHandle(event);
  }
  void Release() { SetEvent(event); }
};

std::string AheadSettings(const char* div, bool read_ahead, int timeout = 10) {
  return SettingsText(div, "0", "0") + "readahead=" + (read_ahead ? "1" : "0") +
         "\r\ntimeout=" + std::to_string(timeout) + "\r\n";
}

// The process's threads once Media Foundation has been used in it: what it keeps for the
// process is there before counting.
DWORD WarmThreads() {
  {
    PluginHost warm(AheadSettings("3", false).c_str());
    warm.Fetch(Media(L"len10s.mp4"), 1);
  }
  Sleep(300);
  return CountThreads();
}

// No thread of the plug-in's left: every read-ahead has delivered or ended.
bool Settled(DWORD threads) {
  return WaitFor([&] { return CountThreads() <= threads; }, 10000);
}

std::vector<std::string> FreshImages(const std::wstring& video, EntryWord entries) {
  PluginHost fresh(AheadSettings("12", false).c_str());
  EXPECT_EQ(fresh.List(video).size(), entries);
  std::vector<std::string> images;
  for (EntryWord i = 0; i < entries; ++i) {
    images.push_back(fresh.Fetch(video, i));
    EXPECT_FALSE(images.back().empty()) << "entry " << i;
  }
  return images;
}

TEST(PluginReadAhead, GivesTheBytesOfAFreshOpenInOrderReversedAndShuffled) {
  constexpr EntryWord kEntries = 12;
  const std::wstring video = Media(L"numbered60s.mp4");
  const std::vector<std::string> expected = FreshImages(video, kEntries);
  std::vector<EntryWord> order;
  for (EntryWord i = 0; i < kEntries; ++i) order.push_back(i);
  const std::vector<EntryWord> reversed(order.rbegin(), order.rend());
  // Runs of neighbours broken by jumps: read-ahead starts, is taken, is cancelled.
  const std::vector<EntryWord> shuffled = {5, 6, 7, 2, 3, 11, 10, 9, 0, 1, 4, 8};
  for (const bool windows : {false, true}) {
    const char* reader = windows ? "Windows-behaviour reader" : "Wine's reader";
    PluginHost host(AheadSettings("12", true).c_str());
    WindowsReaderHook hook(host.module(),
                           windows ? AllWindowsBehaviours(10 * 10'000'000LL) : WindowsBehaviour{});
    ASSERT_TRUE(hook.installed());
    CountCreations(host.module());
    for (const std::vector<EntryWord>* pass : {&std::as_const(order), &reversed, &shuffled}) {
      const char* name = pass == &order ? "in order" : pass == &reversed ? "reversed" : "shuffled";
      ASSERT_EQ(host.List(video).size(), kEntries);
      const long host_before = g_creations.host;
      for (EntryWord i : *pass) {
        // A host that lingers a little on every other entry, as a viewer's user does.
        if (i % 2) Sleep(150);
        EXPECT_TRUE(host.Fetch(video, i) == expected[i])
            << reader << ", " << name << ", entry " << i;
      }
      // Walking in order the host's own calls read only the first two entries: every later one
      // was read ahead, or waited for while being read.
      if (pass != &shuffled) {
        EXPECT_EQ(g_creations.host - host_before, 2) << reader << ", " << name;
      }
    }
  }
}

TEST(PluginReadAhead, NothingIsReadAheadOutOfOrderOrWhenSwitchedOff) {
  const std::wstring video = Media(L"len10s.mp4");
  const DWORD threads = WarmThreads();
  {
    PluginHost host(AheadSettings("12", true).c_str());
    CountCreations(host.module());
    ASSERT_EQ(host.List(video).size(), 12u);
    // A host that jumps around: no two fetches in a row are neighbours.
    for (EntryWord i : {3u, 9u, 0u, 6u, 11u, 1u, 7u, 4u, 10u})
      ASSERT_FALSE(host.Fetch(video, i).empty());
    EXPECT_EQ(g_creations.ahead, 0);
    host.WriteSettings(AheadSettings("12", false));
    for (EntryWord i = 0; i < 5; ++i) ASSERT_FALSE(host.Fetch(video, i).empty());
    EXPECT_EQ(g_creations.ahead, 0) << "readahead=0 reads nothing ahead";
    // Absent, it is off under Wine only, whose process exit faults with a pipeline alive.
    host.WriteSettings(SettingsText("12", "0", "0"));
    for (EntryWord i = 5; i < 9; ++i) ASSERT_FALSE(host.Fetch(video, i).empty());
    EXPECT_EQ(g_creations.ahead, 0) << "read ahead by default under Wine";
  }
  EXPECT_TRUE(Settled(threads));
}

TEST(PluginReadAhead, AnotherEntryCancelsWhatIsInFlightWithoutWaitingForIt) {
  const std::wstring video = Media(L"len10s.mp4");
  const std::vector<std::string> expected = FreshImages(video, 12);
  const DWORD threads = WarmThreads();
  {
    Brake brake;
    PluginHost host(AheadSettings("12", true).c_str());
    WindowsBehaviour held;
    held.hold_background_reads = brake.event;
    WindowsReaderHook hook(host.module(), held);
    ASSERT_TRUE(hook.installed());
    CountCreations(host.module());
    ASSERT_EQ(host.List(video).size(), 12u);
    // Entry 2 is read ahead, and stays in the platform until the test lets it go.
    ASSERT_EQ(host.Fetch(video, 0), expected[0]);
    ASSERT_EQ(host.Fetch(video, 1), expected[1]);
    ASSERT_TRUE(WaitFor([&] { return hook.counts().held_reads > 0; }, 5000));
    // The host asks elsewhere: answered while the read-ahead is still held.
    EXPECT_EQ(host.Fetch(video, 7), expected[7]);
    EXPECT_GT(hook.counts().held_reads, 0) << "the fetch waited for the cancelled read-ahead";
    brake.Release();
    ASSERT_TRUE(WaitFor([&] { return hook.counts().held_reads == 0; }, 5000));

    // Entries 4 and 5 in a row: 6 is read ahead and finished; then 9 cancels it, and 6 is read
    // afresh by the host's own call.
    ASSERT_EQ(host.Fetch(video, 4), expected[4]);
    ASSERT_EQ(host.Fetch(video, 5), expected[5]);
    ASSERT_TRUE(Settled(threads));
    ASSERT_EQ(host.Fetch(video, 9), expected[9]);
    const long host_before = g_creations.host;
    EXPECT_EQ(host.Fetch(video, 6), expected[6]);
    EXPECT_EQ(g_creations.host - host_before, 1) << "an image read ahead outlived a jump elsewhere";
  }
  EXPECT_TRUE(Settled(threads));
}

TEST(PluginReadAhead, AReplacedOrDeletedFileNeverGivesTheOldPicture) {
  ScratchDir dir;
  const std::wstring video = dir / L"clip.mp4";
  const DWORD threads = WarmThreads();
  auto replace = [&] {
    // Windows may refuse while a reader holds the file: then once it has let go.
    return CopyFileW(Media(L"len59s.mp4").c_str(), video.c_str(), FALSE) ||
           WaitFor([&] { return CopyFileW(Media(L"len59s.mp4").c_str(), video.c_str(), FALSE); },
                   10000);
  };
  // Replaced while entry 2 is being read ahead, and after it was read.
  for (const bool wait_for_it : {false, true}) {
    ASSERT_TRUE(CopyFileW(Media(L"len10s.mp4").c_str(), video.c_str(), FALSE));
    PluginHost host(AheadSettings("5", true).c_str());
    CountCreations(host.module());
    ASSERT_EQ(host.List(video).size(), 5u);
    ASSERT_EQ(ReadMoment(host.Fetch(video, 0)).width, 320u);
    ASSERT_EQ(ReadMoment(host.Fetch(video, 1)).width, 320u);
    if (wait_for_it) {
      ASSERT_TRUE(Settled(threads));
    }
    ASSERT_TRUE(replace());
    int result = -99;
    const Moment moment = ReadMoment(host.Fetch(video, 2, &result));
    EXPECT_TRUE(result != 0 || moment.width == 160u)
        << "the old video's entry came from the read-ahead (waited for it: " << wait_for_it << ")";
  }
  // Deleted after entry 2 was read ahead: nothing comes once the name is gone.
  {
    ASSERT_TRUE(CopyFileW(Media(L"len10s.mp4").c_str(), video.c_str(), FALSE));
    PluginHost host(AheadSettings("5", true).c_str());
    ASSERT_EQ(host.List(video).size(), 5u);
    ASSERT_FALSE(host.Fetch(video, 0).empty());
    ASSERT_FALSE(host.Fetch(video, 1).empty());
    ASSERT_TRUE(Settled(threads));
    ASSERT_TRUE(DeleteFileW(video.c_str()) ||
                WaitFor([&] { return DeleteFileW(video.c_str()) != FALSE; }, 10000));
    ASSERT_TRUE(WaitFor([&] { return !FileExists(video); }, 10000));
    int result = -99;
    EXPECT_TRUE(host.Fetch(video, 2, &result).empty());
    EXPECT_NE(result, 0) << "a deleted video's entry came from the read-ahead";
  }
  EXPECT_TRUE(Settled(threads));
}

TEST(PluginReadAhead, WaitingForAnEntryBeingReadKeepsTheTimeLimit) {
  const std::wstring video = Media(L"len10s.mp4");
  const DWORD threads = WarmThreads();
  {
    Brake brake;
    PluginHost host(AheadSettings("12", true, 2).c_str());
    WindowsBehaviour held;
    held.hold_background_reads = brake.event;
    WindowsReaderHook hook(host.module(), held);
    ASSERT_TRUE(hook.installed());
    ASSERT_EQ(host.List(video).size(), 12u);
    ASSERT_FALSE(host.Fetch(video, 0).empty());
    ASSERT_FALSE(host.Fetch(video, 1).empty());
    ASSERT_TRUE(WaitFor([&] { return hook.counts().held_reads > 0; }, 5000));
    // Entry 2 is stuck being read ahead: the host's call gives up at its limit, as for its own.
    const ULONGLONG start = GetTickCount64();
    int result = -99;
    EXPECT_TRUE(host.Fetch(video, 2, &result).empty());
    EXPECT_EQ(result, 2);
    EXPECT_LT(GetTickCount64() - start, 6000u) << "the call outlived its 2-s limit";
    brake.Release();
    ASSERT_TRUE(WaitFor([&] { return hook.counts().held_reads == 0; }, 5000));
    // Once the platform returns, the stuck worker ends and the entry reads as usual.
    EXPECT_TRUE(WaitFor([&] { return !host.Fetch(video, 2).empty(); }, 10000));
  }
  EXPECT_TRUE(Settled(threads));
}

// hosts.md: "FreeLibrary after every call": the DLL stays while a read-ahead runs, its work is
// found by the next load when it is still mapped, and nothing is left once it has gone.
TEST(PluginReadAhead, UnloadAndReloadWhileReadingAhead) {
  const std::wstring video = Media(L"len10s.mp4");
  const std::vector<std::string> expected = FreshImages(video, 12);
  const DWORD threads = WarmThreads();
  const DWORD handles = CountHandles();
  LoosePlugin plugin(AheadSettings("12", true));
  for (int round = 0; round < 3; ++round) {
    ASSERT_NE(plugin.Load(), nullptr);
    EXPECT_EQ(plugin.List(video), 0);
    std::string image;
    for (EntryWord i = 0; i < 4; ++i) {
      if (i > 0) {
        ASSERT_NE(plugin.Load(), nullptr);
      }
      ASSERT_EQ(plugin.Fetch(video, i, &image), 0);
      EXPECT_EQ(image, expected[i]) << "round " << round << ", entry " << i;
      plugin.Unload();
    }
    // The next entry was read ahead: its worker holds the DLL until it has let Media Foundation go.
    EXPECT_TRUE(WaitFor([&] { return !plugin.Mapped(); }, 10000)) << "round " << round;
  }
  EXPECT_TRUE(Settled(threads));
  EXPECT_TRUE(WaitFor([&] { return CountHandles() <= handles; }, 5000))
      << CountHandles() << " handles, " << handles << " before";
}

}  // namespace
}  // namespace stillreel::test
