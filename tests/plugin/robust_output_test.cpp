// Nothing lost through the loaded plug-in: existing files, folders, the video and the settings
// stay as they were; a write or an allocation that fails (made to fail at the plug-in's imports)
// leaves no partial file, no handle and no broken state behind.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "import_hook.h"
#include "plugin_host.h"

namespace stillreel::test {
namespace {

struct FileState {
  std::string bytes;
  FILETIME written{};
  DWORD attributes = 0;
  bool operator==(const FileState& o) const {
    return bytes == o.bytes && CompareFileTime(&written, &o.written) == 0 &&
           attributes == o.attributes;
  }
};

FileState StateOf(const std::wstring& path) {
  FileState state;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
    state.written = data.ftLastWriteTime;
    state.attributes = data.dwFileAttributes;
  }
  state.bytes = ReadWholeFile(path);
  return state;
}

TEST(RobustOutput, ExistingFilesFoldersVideoAndSettingsStayAsTheyWere) {
  PluginHost host(Settings("div=4").c_str());
  ScratchDir work;
  const std::wstring video = work / L"clip.mp4";
  ASSERT_TRUE(CopyFileW(Media(L"len10s.mp4").c_str(), video.c_str(), FALSE));
  const std::wstring ini = host.dir() / L"Stillreel.ini";
  const FileState video_before = StateOf(video);
  const FileState ini_before = StateOf(ini);

  ScratchDir out;
  std::wstring dir = out.path();
  // Entry 0 exists read-only, entry 1 under another letter case, entry 2 as a folder.
  WriteTextFile(out / L"clip000.bmp", "keep me");
  SetFileAttributesW((out / L"clip000.bmp").c_str(), FILE_ATTRIBUTE_READONLY);
  WriteTextFile(out / L"CLIP001.BMP", "and me");
  ASSERT_TRUE(CreateDirectoryW((out / L"clip002.bmp").c_str(), nullptr));
  WriteTextFile(out / L"clip002.bmp\\inside.txt", "and what is in me");
  const FileState first = StateOf(out / L"clip000.bmp");
  const FileState second = StateOf(out / L"CLIP001.BMP");
  const FileState inside = StateOf(out / L"clip002.bmp\\inside.txt");

  ASSERT_EQ(host.List(video).size(), 4u);
  for (EntryWord position : {0, 1, 2})
    EXPECT_EQ(host.GetFileW(video.c_str(), position, dir.data(), 0, nullptr, 0), 9) << position;
  EXPECT_EQ(host.GetFileW(video.c_str(), 3, dir.data(), 0, nullptr, 0), 0);
  EXPECT_TRUE(StateOf(out / L"clip000.bmp") == first);
  EXPECT_TRUE(StateOf(out / L"CLIP001.BMP") == second);
  EXPECT_TRUE(StateOf(out / L"clip002.bmp\\inside.txt") == inside);
  EXPECT_EQ(FolderContents(dir).size(), 4u) << "only clip003.bmp is new";

  // Folders that cannot take a file: a read-only system folder, a file, one that is missing.
  for (std::wstring bad : {std::wstring(L"Z:\\proc"), video, out / L"missing\\folder"}) {
    EXPECT_EQ(host.GetFileW(video.c_str(), 3, bad.data(), 0, nullptr, 0), 9) << Utf8(bad);
  }
  EXPECT_FALSE(FileExists(L"Z:\\proc\\clip003.bmp"));

  // Whatever was read, listed or fetched, the video and the settings are untouched.
  host.Fetch(video, 1);
  EntryRecord record{};
  host.GetFileInfoW(video.c_str(), 0, L"clip002.bmp", 0, &record);
  EXPECT_TRUE(StateOf(video) == video_before);
  EXPECT_TRUE(StateOf(ini) == ini_before);
  SetFileAttributesW((out / L"clip000.bmp").c_str(), FILE_ATTRIBUTE_NORMAL);
}

// WriteFile as a full disk does it: half the bytes, then failure or a short count.
BOOL(WINAPI* g_real_write_file)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) = nullptr;
bool g_short_write_reports_failure = true;

BOOL WINAPI ShortWriteFile(HANDLE file, LPCVOID data, DWORD bytes, LPDWORD written,
                           LPOVERLAPPED overlapped) {
  DWORD half = 0;
  g_real_write_file(file, data, bytes / 2, &half, overlapped);
  if (written) *written = half;
  if (g_short_write_reports_failure) {
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
  }
  return TRUE;
}

TEST(RobustOutput, AWriteThatFailsLeavesNoPartialFile) {
  PluginHost host(Settings("div=2").c_str());
  void* original = nullptr;
  ASSERT_TRUE(PatchImport(host.module(), "KERNEL32.dll", "WriteFile",
                          reinterpret_cast<void*>(ShortWriteFile), &original));
  g_real_write_file = reinterpret_cast<decltype(g_real_write_file)>(original);
  const std::wstring video = Media(L"len10s.mp4");
  ScratchDir out;
  std::wstring dir = out.path();
  for (bool reports_failure : {true, false}) {
    g_short_write_reports_failure = reports_failure;
    EXPECT_EQ(host.GetFileW(video.c_str(), 1, dir.data(), 0, nullptr, 0), 9) << reports_failure;
    EXPECT_EQ(FolderContents(dir).size(), 0u) << "no half picture stays behind";
  }
  PatchImport(host.module(), "KERNEL32.dll", "WriteFile", original);
  EXPECT_EQ(host.GetFileW(video.c_str(), 1, dir.data(), 0, nullptr, 0), 0);
  EXPECT_EQ(ReadWholeFile(out / L"len10s001.bmp").size(), 320u * 240 * 4 + 54);
}

// Allocations of the plug-in's that fail on purpose: the nth LocalAlloc, or malloc by a pattern.
HLOCAL(WINAPI* g_real_local_alloc)(UINT, SIZE_T) = nullptr;
void* (*g_real_malloc)(size_t) = nullptr;
int g_local_calls = 0;
int g_local_fail_at = 0;  // 0: none fails
int g_malloc_calls = 0;
int g_malloc_fail_every = 0;  // 0: none fails; 1: all; n: every nth

HLOCAL WINAPI FailingLocalAlloc(UINT flags, SIZE_T bytes) {
  if (++g_local_calls == g_local_fail_at) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return g_real_local_alloc(flags, bytes);
}

void* FailingMalloc(size_t bytes) {
  if (g_malloc_fail_every != 0 && ++g_malloc_calls % g_malloc_fail_every == 0) return nullptr;
  return g_real_malloc(bytes);
}

// A host's round: listing (wide and ANSI), an entry by name, a picture. Every code documented,
// every output either filled on success or left alone.
void HostRound(PluginHost& host, const std::wstring& video, const std::string& label) {
  const std::string ansi = Utf8(video);
  HLOCAL listing = kUntouched;
  int code = host.GetArchiveInfoW(video.c_str(), 0, 0, &listing);
  EXPECT_TRUE(IsDocumentedCode(code)) << label << " GetArchiveInfoW " << code;
  if (code == 0) {
    EXPECT_GE(LocalSize(listing), 3 * sizeof(EntryRecord)) << label;
    LocalFree(listing);
  } else {
    EXPECT_EQ(listing, nullptr) << label;
  }
  HLOCAL image = kUntouched;
  code = host.GetFileW(video.c_str(), 1, reinterpret_cast<wchar_t*>(&image), kOutputToMemory,
                       nullptr, 0);
  EXPECT_TRUE(IsDocumentedCode(code)) << label << " GetFileW " << code;
  if (code == 0) {
    EXPECT_EQ(LocalSize(image), 320u * 240 * 4 + 54) << label;
    LocalFree(image);
  } else {
    EXPECT_EQ(image, kUntouched) << label;
  }
  listing = kUntouched;
  code = host.GetArchiveInfo(ansi.c_str(), 0, 0, &listing);
  EXPECT_TRUE(IsDocumentedCode(code)) << label << " GetArchiveInfo " << code;
  if (code == 0) {
    EXPECT_STREQ(static_cast<const EntryRecordA*>(listing)[1].file_name, "len10s001.bmp") << label;
    LocalFree(listing);
  } else {
    EXPECT_EQ(listing, nullptr) << label;
  }
  EntryRecordA record{};
  code = host.GetFileInfo(ansi.c_str(), 0, "len10s001.bmp", 0, &record);
  EXPECT_TRUE(IsDocumentedCode(code)) << label << " GetFileInfo " << code;
  if (code == 0) {
    EXPECT_EQ(record.position, 1u) << label;
  }
}

TEST(RobustOutput, AllocationsThatFailGiveDocumentedCodesAndLeaveNoBrokenState) {
  PluginHost host(Settings("div=2").c_str());
  const std::wstring video = Media(L"len10s.mp4");
  void* original = nullptr;
  ASSERT_TRUE(PatchImport(host.module(), "KERNEL32.dll", "LocalAlloc",
                          reinterpret_cast<void*>(FailingLocalAlloc), &original));
  g_real_local_alloc = reinterpret_cast<decltype(g_real_local_alloc)>(original);
  ASSERT_TRUE(PatchImport(host.module(), "msvcrt.dll", "malloc",
                          reinterpret_cast<void*>(FailingMalloc), &original));
  g_real_malloc = reinterpret_cast<decltype(g_real_malloc)>(original);

  // Every LocalAlloc of a round fails once, in turn, until a round runs out before the failure.
  int rounds = 0;
  for (g_local_fail_at = 1; g_local_fail_at < 64; ++g_local_fail_at) {
    g_local_calls = 0;
    HostRound(host, video, "LocalAlloc #" + std::to_string(g_local_fail_at) + " fails");
    ++rounds;
    if (g_local_calls < g_local_fail_at) break;
  }
  EXPECT_GT(rounds, 3) << "a listing, its copies and a picture are allocated";
  g_local_fail_at = 0;

  // Afterwards the plug-in works as before: nothing half-built stayed in its cache.
  HostRound(host, video, "nothing fails");
  int result = -99;
  const auto entries = host.List(video, &result);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(entries.size(), 2u);
  EXPECT_EQ(ReadMoment(host.Fetch(video, 1)).second, 9);
}

// Heap allocations of the plug-in's C++ code (malloc under operator new) that fail: every
// export still returns a code, and the host lives on. Each case runs in a child process, since
// the failure this guards against is the host's death.
TEST(RobustOutput, FailingHeapAllocationsGiveResultsNotTheHostsDeath) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int every : {1, 2, 7}) {
    EXPECT_EXIT(
        {
          PluginHost host(Settings("div=2").c_str());
          void* original = nullptr;
          PatchImport(host.module(), "msvcrt.dll", "malloc", reinterpret_cast<void*>(FailingMalloc),
                      &original);
          g_real_malloc = reinterpret_cast<decltype(g_real_malloc)>(original);
          g_malloc_fail_every = every;
          HLOCAL listing = kUntouched;
          const int code = host.GetArchiveInfoW(Media(L"len10s.mp4").c_str(), 0, 0, &listing);
          HLOCAL image = kUntouched;
          const int fetched =
              host.GetFileW(Media(L"len10s.mp4").c_str(), 1, reinterpret_cast<wchar_t*>(&image),
                            kOutputToMemory, nullptr, 0);
          g_malloc_fail_every = 0;
          const bool listed = code == 0 || (code == 4 && listing == nullptr);
          const bool got = fetched == 0 || (fetched == 4 && image == kUntouched);
          if (!(listed && got)) std::fprintf(stderr, "listing %d, picture %d\n", code, fetched);
          // 42: wrong codes; 3 would be abort(), a crash anything else.
          std::exit(listed && got ? 0 : 42);
        },
        ::testing::ExitedWithCode(0), "")
        << "every " << every << "th malloc of the plug-in's fails (exit 3: the runtime aborted)";
  }
}

}  // namespace
}  // namespace stillreel::test
