// The time limit on Media Foundation's work, with a source-reader creation that does not return
// until the test lets it (as Wine's does on some broken files): calls come back with 2 (0 for
// IsSupported) in time, stuck threads are capped, a timed-out fetch writes nothing, and the DLL
// can be unloaded and loaded again meanwhile; once the platform returns, all is released.
#include <gtest/gtest.h>
#include <mfidl.h>
#include <mfreadwrite.h>

#include <atomic>
#include <string>

#include "import_hook.h"
#include "process_counts.h"

namespace stillreel::test {
namespace {

HANDLE g_release = nullptr;  // manual-reset: set, every stuck creation returns
std::atomic<bool> g_hang{false};
std::atomic<int> g_stuck{0};
HRESULT(WINAPI* g_create)(IMFByteStream*, IMFAttributes*, IMFSourceReader**) = nullptr;

HRESULT WINAPI StuckCreate(IMFByteStream* stream, IMFAttributes* attributes,
                           IMFSourceReader** reader) {
  if (!g_hang) return g_create(stream, attributes, reader);
  ++g_stuck;
  WaitForSingleObject(g_release, INFINITE);
  --g_stuck;
  return E_ABORT;
}

std::string Settings(int timeout, bool keep) {
  return SettingsText("3", "0", "0") + "timeout=" + std::to_string(timeout) +
         "\r\n[Debug]\r\nidle=400\r\nkeep=" + (keep ? "1" : "0") + "\r\n";
}

// Milliseconds `call` took.
template <typename Call>
ULONGLONG Timed(Call call) {
  const ULONGLONG start = GetTickCount64();
  call();
  return GetTickCount64() - start;
}

TEST(PluginTimeout, StuckPlatformCallsReturnInTimeAndAreReleasedLater) {
  g_release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const std::wstring good = Media(L"len10s.mp4");
  ScratchDir media;
  auto copy = [&](const std::wstring& name) {
    CopyFileW(good.c_str(), (media / name).c_str(), FALSE);
    return media / name;
  };
  LoosePlugin plugin(Settings(10, true));
  ASSERT_NE(plugin.Load(), nullptr);
  void* original = nullptr;
  ASSERT_TRUE(PatchImport(plugin.module(), "MFReadWrite.dll", "MFCreateSourceReaderFromByteStream",
                          reinterpret_cast<void*>(StuckCreate), &original));
  g_create = reinterpret_cast<decltype(g_create)>(original);
  ASSERT_EQ(plugin.List(good), 0);
  ASSERT_EQ(plugin.Fetch(good, 1), 0);
  Sleep(1000);  // the kept reader goes after 400 ms
  const DWORD threads = CountThreads();
  const DWORD handles = CountHandles();

  // A limit of 1 s: each stuck call comes back after it, with the documented failure codes.
  plugin.WriteSettings(Settings(1, true));
  g_hang = true;
  const std::wstring stuck = copy(L"stuck.mp4");
  int code = -99;
  ULONGLONG took = Timed([&] { code = plugin.List(stuck); });
  EXPECT_EQ(code, 2);
  EXPECT_GE(took, 900u);
  EXPECT_LE(took, 1600u) << "the listing returns within the limit";
  using IsSupportedWFn = int(WINAPI*)(const wchar_t*, LONG_PTR);
  char head[16] = {};
  const std::wstring other = copy(L"other.mp4");
  took = Timed([&] {
    code = plugin.Export<IsSupportedWFn>("IsSupportedW")(other.c_str(),
                                                         reinterpret_cast<LONG_PTR>(head));
  });
  EXPECT_EQ(code, 0);
  EXPECT_LE(took, 1600u);
  took = Timed([&] { code = plugin.List(stuck); });
  EXPECT_EQ(code, 2);
  EXPECT_LE(took, 300u) << "a file whose worker is stuck is refused at once";

  // A fetch into a folder that times out leaves no file, then or later.
  g_hang = false;
  plugin.WriteSettings(Settings(10, false));
  const std::wstring listed = copy(L"listed.mp4");
  ASSERT_EQ(plugin.List(listed), 0);
  g_hang = true;
  plugin.WriteSettings(Settings(1, false));
  ScratchDir out;
  std::wstring folder = out.path();
  using GetFileWFn = int(WINAPI*)(const wchar_t*, LONG_PTR, wchar_t*, unsigned, void*, LONG_PTR);
  took = Timed([&] {
    code = plugin.Export<GetFileWFn>("GetFileW")(listed.c_str(), 1, folder.data(), 0, nullptr, 0);
  });
  EXPECT_EQ(code, 2);
  EXPECT_LE(took, 1600u);
  EXPECT_FALSE(FileExists(out / L"listed001.bmp"));

  // FreeLibrary right after a timed-out call; loaded again, a good video lists and fetches.
  plugin.Unload();
  EXPECT_TRUE(plugin.Mapped()) << "the stuck workers hold the DLL";
  ASSERT_NE(plugin.Load(), nullptr);
  g_hang = false;
  plugin.WriteSettings(Settings(10, true));
  EXPECT_EQ(plugin.List(good), 0);
  EXPECT_EQ(plugin.Fetch(good, 2), 0);

  // Past the cap of stuck threads new work is refused at once instead of piling up threads.
  g_hang = true;
  plugin.WriteSettings(Settings(1, true));
  for (int i = 0; g_stuck < 4 && i < 8; ++i)
    plugin.List(copy(L"cap" + std::to_wstring(i) + L".mp4"));
  EXPECT_TRUE(WaitFor([] { return g_stuck >= 4; }, 3000)) << g_stuck << " stuck";
  const DWORD capped = CountThreads();
  took = Timed([&] { code = plugin.List(copy(L"beyond.mp4")); });
  EXPECT_EQ(code, 2);
  EXPECT_LE(took, 300u) << "refused at once beyond the cap";
  EXPECT_LE(CountThreads(), capped) << "no new thread beyond the cap";

  // The platform returns at last: every worker releases what it holds and ends, the DLL goes.
  plugin.Unload();
  g_hang = false;
  SetEvent(g_release);
  EXPECT_TRUE(WaitFor([] { return g_stuck == 0; }, 5000));
  EXPECT_TRUE(WaitFor([&] { return !plugin.Mapped(); }, 8000)) << "the last worker let the DLL go";
  EXPECT_TRUE(WaitFor([&] { return CountThreads() <= threads; }, 5000))
      << CountThreads() << " threads, " << threads << " before";
  EXPECT_TRUE(WaitFor([&] { return CountHandles() <= handles; }, 3000))
      << CountHandles() << " handles, " << handles << " before";
  EXPECT_FALSE(FileExists(out / L"listed001.bmp")) << "an abandoned fetch wrote its file later";
  CloseHandle(g_release);
}

}  // namespace
}  // namespace stillreel::test
