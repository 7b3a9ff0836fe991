// One owner per open video: its listing answers later lookups of the same file without opening
// the video again, and only while the file and the settings that shaped it are unchanged, also
// across an unload and load of the DLL; by default nothing of a video outlives the call.
#include <gtest/gtest.h>
#include <mfidl.h>
#include <mfreadwrite.h>

#include <atomic>
#include <string>

#include "import_hook.h"
#include "plugin_host.h"
#include "process_counts.h"
#include "windows_reader.h"

namespace stillreel::test {
namespace {

std::atomic<long> g_readers{0};
// The plug-in makes its readers from byte streams of its own.
using CreateReaderFn = HRESULT(WINAPI*)(IMFByteStream*, IMFAttributes*, IMFSourceReader**);
CreateReaderFn g_create = nullptr;

HRESULT WINAPI CountingCreate(IMFByteStream* stream, IMFAttributes* attributes,
                              IMFSourceReader** reader) {
  ++g_readers;
  return g_create(stream, attributes, reader);
}

// Counts the source readers `module` creates from now on.
bool CountReaders(HMODULE module) {
  void* original = nullptr;
  if (!PatchImport(module, "mfreadwrite.dll", "MFCreateSourceReaderFromByteStream",
                   reinterpret_cast<void*>(CountingCreate), &original))
    return false;
  // Patched twice (the same DLL still mapped after a reload): the first original stays.
  if (original != reinterpret_cast<void*>(CountingCreate))
    g_create = reinterpret_cast<decltype(g_create)>(original);
  return true;
}

using GetFileInfoWFn = int(WINAPI*)(const wchar_t*, LONG_PTR, const wchar_t*, unsigned,
                                    EntryRecord*);

// GetFileInfoW of the entry at `position`; the code, and the entry's name in `name`.
int DescribeAt(GetFileInfoWFn describe, const std::wstring& video, EntryWord position,
               std::wstring* name = nullptr) {
  EntryRecord record{};
  record.position = position;
  const int code = describe(video.c_str(), 0, L"", 0, &record);
  if (name) *name = record.file_name;
  return code;
}

TEST(PluginOpenVideos, ListingsAnswerLookupsUntilTheFileOrTheSettingsChange) {
  PluginHost host(SettingsText("2", "0", "0").c_str());
  ASSERT_TRUE(CountReaders(host.module()));
  ScratchDir dir;
  const std::wstring video = dir / L"clip.mp4";
  ASSERT_TRUE(CopyFileW(Media(L"len60s.mp4").c_str(), video.c_str(), FALSE));
  ASSERT_EQ(host.List(video).size(), 2u);

  // The listing answers: no reader is made for lookups, one per fetch.
  long before = g_readers;
  std::wstring name;
  EXPECT_EQ(DescribeAt(host.GetFileInfoW, video, 1, &name), 0);
  EXPECT_EQ(name, L"clip001.bmp");
  EntryRecord record{};
  EXPECT_EQ(host.GetFileInfoW(video.c_str(), 0, L"CLIP000.BMP", 0, &record), 0);
  EXPECT_EQ(host.GetFileInfoW(video.c_str(), 0, L"clip002.bmp", 0, &record), -1)
      << "a name the listing lacks";
  int result = -99;
  host.Fetch(video, 5, &result);
  EXPECT_EQ(result, 2) << "a position the kept listing lacks";
  EXPECT_EQ(g_readers - before, 0) << "lookups answered by the kept listing";
  EXPECT_EQ(ReadMoment(host.Fetch(video, 1)).second, 59);
  EXPECT_EQ(g_readers - before, 1) << "a fetch opens the video once";

  // Edited settings: the next lookup gets a listing of the new settings, and the fetch its frame.
  host.WriteSettings(SettingsText("0", "10", "0"));
  before = g_readers;
  EXPECT_EQ(DescribeAt(host.GetFileInfoW, video, 5, &name), 0) << "divsec=10 lists 7 entries";
  EXPECT_EQ(g_readers - before, 1) << "listed again";
  EXPECT_EQ(ReadMoment(host.Fetch(video, 5, &result)).second, 50);
  host.Fetch(video, 7, &result);
  EXPECT_EQ(result, 2);

  // The same file written again (its write time moves): listed again.
  FILETIME written{};
  HANDLE file = CreateFileW(video.c_str(), FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  GetFileTime(file, nullptr, nullptr, &written);
  written.dwHighDateTime += 1;
  SetFileTime(file, nullptr, nullptr, &written);
  CloseHandle(file);
  before = g_readers;
  EXPECT_EQ(DescribeAt(host.GetFileInfoW, video, 6), 0);
  EXPECT_EQ(g_readers - before, 1) << "another write time is another file";

  // Gone: nothing is answered from what was kept of it.
  ASSERT_TRUE(DeleteFileW(video.c_str()));
  EXPECT_EQ(DescribeAt(host.GetFileInfoW, video, 1), 6);
  host.Fetch(video, 1, &result);
  EXPECT_EQ(result, 6);
}

// A user edits the settings file and the host unloads and loads the plug-in again while a kept
// reader still holds the DLL: the old listing must not come back.
TEST(PluginOpenVideos, AReloadWithEditedSettingsNeverGivesTheOldListing) {
  const std::string kept = "[Debug]\r\nkeep=1\r\nidle=5000\r\n";
  LoosePlugin plugin(SettingsText("2", "0", "0") + kept);
  ASSERT_NE(plugin.Load(), nullptr);
  const std::wstring video = Media(L"len60s.mp4");
  ASSERT_EQ(plugin.List(video), 0);
  ASSERT_EQ(plugin.Fetch(video, 1), 0);
  plugin.Unload();
  ASSERT_TRUE(plugin.Mapped()) << "the kept reader's worker holds the DLL";
  plugin.WriteSettings(SettingsText("0", "10", "0") + kept);
  ASSERT_NE(plugin.Load(), nullptr);
  // A fetch first: it may take a kept listing where a lookup by name might list afresh.
  std::string image;
  EXPECT_EQ(plugin.Fetch(video, 6, &image), 0) << "entry 6 of the listing of the settings in force";
  EXPECT_EQ(ReadMoment(image).second, 59);
  std::wstring name;
  EXPECT_EQ(DescribeAt(plugin.Export<GetFileInfoWFn>("GetFileInfoW"), video, 5, &name), 0);
  EXPECT_EQ(name, L"len60s005.bmp");
  plugin.Unload();
  EXPECT_TRUE(WaitFor([&] { return !plugin.Mapped(); }, 8000));
}

// By default a call lets go of its video's reader and thread before it returns: the host may end
// its process right after (tests/checks/exit_shapes.sh), or unload the DLL, or take away what
// the reader was made through.
HANDLE g_release = nullptr;  // manual reset: set, every held creation goes on
std::atomic<int> g_held{0};
CreateReaderFn g_create_held = nullptr;

std::atomic<int> g_made{0};

HRESULT WINAPI HeldCreate(IMFByteStream* stream, IMFAttributes* attributes,
                          IMFSourceReader** reader) {
  ++g_held;
  WaitForSingleObject(g_release, INFINITE);
  const HRESULT hr = g_create_held(stream, attributes, reader);
  ++g_made;
  return hr;
}

DWORD WINAPI DescribeOnThread(void* plugin) {
  EntryRecord record{};
  const std::wstring video = Media(L"len10s.mp4");
  return static_cast<DWORD>(static_cast<LoosePlugin*>(plugin)->Export<GetFileInfoWFn>(
      "GetFileInfoW")(video.c_str(), 0, L"", 0, &record));
}

// A host may end its calling thread in the middle of a call (/work/shared/hosts.md: PPx's
// "async directory read" thread, ended with TerminateThread): the video's owner stays in use
// for good, and later calls on the same video must still be answered, in time.
TEST(PluginOpenVideos, AVideoWhoseCallerWasEndedStillAnswers) {
  g_release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  LoosePlugin plugin(SettingsText("3", "0", "0"));
  ASSERT_NE(plugin.Load(), nullptr);
  void* original = nullptr;
  ASSERT_TRUE(PatchImport(plugin.module(), "mfreadwrite.dll", "MFCreateSourceReaderFromByteStream",
                          reinterpret_cast<void*>(HeldCreate), &original));
  g_create_held = reinterpret_cast<CreateReaderFn>(original);
  HANDLE caller = CreateThread(nullptr, 0, DescribeOnThread, &plugin, 0, nullptr);
  ASSERT_TRUE(WaitFor([] { return g_held == 1; }, 5000));
  Sleep(200);  // the caller waits for the worker's answer, holding no lock
  TerminateThread(caller, 99);
  WaitForSingleObject(caller, INFINITE);
  CloseHandle(caller);
  SetEvent(g_release);
  // Held past the creation gate's claim, its creation now overlaps the next one unless awaited,
  // and Wine 8 can deadlock on two creations at once (video/reader.cpp).
  ASSERT_TRUE(WaitFor([] { return g_made == 1; }, 5000));

  const std::wstring video = Media(L"len10s.mp4");
  const ULONGLONG start = GetTickCount64();
  std::wstring name;
  EXPECT_EQ(DescribeAt(plugin.Export<GetFileInfoWFn>("GetFileInfoW"), video, 2, &name), 0);
  EXPECT_EQ(name, L"len10s002.bmp");
  EXPECT_EQ(plugin.Fetch(video, 2), 0);
  EXPECT_LT(GetTickCount64() - start, 5000u) << "not held up by the ended call's owner";
  PatchImport(plugin.module(), "mfreadwrite.dll", "MFCreateSourceReaderFromByteStream", original);
  CloseHandle(g_release);
  // The worker whose caller never came back lets go of its reader (and so of the DLL): a reader
  // open at process exit takes the host down under Wine.
  plugin.Unload();
  EXPECT_TRUE(WaitFor([&] { return !plugin.Mapped(); }, 25000)) << "the ended call's worker stays";
}

TEST(PluginOpenVideos, ByDefaultNothingOfAVideoOutlivesTheCall) {
  // Every worker holds the DLL until its thread has ended: mapped after FreeLibrary means one is
  // left.
  const std::wstring video = Media(L"len10s.mp4");
  LoosePlugin plugin(SettingsText("3", "0", "0"));
  for (int call = 0; call < 3; ++call) {
    ASSERT_NE(plugin.Load(), nullptr);
    ASSERT_EQ(call == 0 ? plugin.List(video) : plugin.Fetch(video, call), 0);
    plugin.Unload();
    EXPECT_FALSE(plugin.Mapped()) << "call " << call << " left a worker behind";
  }
  ASSERT_NE(plugin.Load(), nullptr);
  {
    WindowsReaderHook hook(plugin.module(), AllWindowsBehaviours(10 * 10'000'000LL));
    ASSERT_TRUE(hook.installed());
    ASSERT_EQ(plugin.Fetch(video, 2), 0);
    EXPECT_EQ(hook.counts().readers, 1);
    EXPECT_EQ(WindowsReadersAlive(), 0) << "the reader made through the hook outlived the call";
    EXPECT_EQ(WindowsBuffersAlive(), 0) << "frames outlived the call";
  }
  plugin.Unload();
  EXPECT_FALSE(plugin.Mapped());
}

}  // namespace
}  // namespace stillreel::test
