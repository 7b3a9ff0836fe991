// Hostile input through the loaded plug-in: settings that are huge, negative, junk, missing or
// unreadable, edited between listing and fetch; paths at and past the buffer's length; names
// outside the code page; null outputs; offsets and positions at and beyond 2^31.
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

double SecondsSince(ULONGLONG start) { return (GetTickCount64() - start) / 1000.0; }

TEST(RobustSettings, HostileNumbersGiveClearResultsWithoutGiantAllocations) {
  PluginHost host(nullptr);
  const std::wstring video = Media(L"len10s.mp4");
  struct Case {
    const char* lines;
    int result;             // of GetArchiveInfoW
    size_t count;           // entries when it succeeds
    double within_seconds;  // a giant allocation or a loop over it would take far longer
  } cases[] = {
      {"div=2147483647", 4, 0, 10},  // 2^31 records do not fit: refused, not attempted
      {"div=100000", 0, 100000, 30},
      {"div=-5", 0, 1, 10},
      {"div=abc", 0, 1, 10},
      {"div=", 0, 1, 10},
      {"divsec=2147483647", 0, 1, 10},
      {"divsec=-1", 0, 1, 10},
      {"divsec=1", 0, 11, 10},
      {"sec=2147483647", 0, 1, 10},
      {"sec=-7\r\ndiv=-7\r\ndivsec=-7", 0, 1, 10},
      {"div=4294967299", 0, 0, 10},  // beyond 32 bits: whatever it reads as, a clear result
  };
  for (const Case& c : cases) {
    host.WriteSettings(Settings(c.lines));
    const ULONGLONG start = GetTickCount64();
    int result = -99;
    const auto entries = host.List(video, &result);
    const double took = SecondsSince(start);
    EXPECT_LT(took, c.within_seconds) << c.lines;
    if (c.count == 0 && c.result == 0) {
      EXPECT_TRUE(result == 0 || result == 4) << c.lines << " gave " << result;
      continue;
    }
    ASSERT_EQ(result, c.result) << c.lines;
    EXPECT_EQ(entries.size(), c.count) << c.lines;
    if (c.count == 100000) {
      EXPECT_STREQ(entries.back().file_name, L"len10s99999.bmp");
      // The ANSI listing of the same size, and a fetch from the far end of it.
      HLOCAL narrow = nullptr;
      ASSERT_EQ(host.GetArchiveInfo(Utf8(video).c_str(), 0, 0, &narrow), 0);
      EXPECT_EQ(LocalSize(narrow), 100001 * sizeof(EntryRecordA));
      EXPECT_STREQ(static_cast<const EntryRecordA*>(narrow)[99999].file_name, "len10s99999.bmp");
      LocalFree(narrow);
      EXPECT_EQ(ReadMoment(host.Fetch(video, 99999)).second, 9) << "the last of 100000 is the end";
    }
  }
  // A listing that could not be made leaves nothing to fetch from, quickly.
  host.WriteSettings(Settings("div=2147483647"));
  const ULONGLONG start = GetTickCount64();
  int fetched = -99;
  host.List(video, &fetched);
  ASSERT_EQ(fetched, 4) << "and the cache is empty";
  host.Fetch(video, 0, &fetched);
  EXPECT_EQ(fetched, 4);
  // Two probes, each a few seconds on a busy machine; a loop over 2^31 entries takes minutes.
  EXPECT_LT(SecondsSince(start), 30);
}

TEST(RobustSettings, FilterOfAnyLengthAndSettingsFilesThatCannotBeRead) {
  PluginHost host(nullptr);
  wchar_t text[300];
  host.WriteSettings(Settings("ext="));
  EXPECT_EQ(host.GetPluginInfoW(2, text, 300), 0);
  EXPECT_STREQ(text, L"");

  const std::string longest(259, 'e');
  host.WriteSettings(Settings("ext=" + longest));
  EXPECT_EQ(host.GetPluginInfoW(2, text, 300), 259);
  EXPECT_EQ(Utf8(text), longest);
  host.WriteSettings(Settings("ext=" + std::string(400, 'x') + ",*.mp4"));
  EXPECT_EQ(host.GetPluginInfoW(2, text, 300), 259) << "cut to the 260-character buffer";
  char narrow[300];
  EXPECT_EQ(host.GetPluginInfo(2, narrow, 300), 259);
  EXPECT_EQ(std::string(narrow), std::string(259, 'x'));

  const std::wstring ini = host.dir() / L"Stillreel.ini";
  const std::wstring video = Media(L"len10s.mp4");
  // Missing, a folder in its place, locked by another program, or binary junk: the defaults.
  host.RemoveSettings();
  EXPECT_EQ(host.GetPluginInfoW(2, text, 300), 17);
  EXPECT_EQ(host.List(video).size(), 1u);
  ASSERT_TRUE(CreateDirectoryW(ini.c_str(), nullptr));
  EXPECT_EQ(host.GetPluginInfoW(2, text, 300), 17);
  EXPECT_EQ(host.List(video).size(), 1u);
  ASSERT_TRUE(RemoveDirectoryW(ini.c_str()));

  host.WriteSettings(Settings("div=3\r\next=*.avi"));
  HANDLE locked = CreateFileW(ini.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(locked, INVALID_HANDLE_VALUE);
  const ULONGLONG start = GetTickCount64();
  const int filter = host.GetPluginInfoW(2, text, 300);
  EXPECT_TRUE(filter == 17 || filter == 5) << "the defaults, or the file if the platform shares it";
  int result = -99;
  const size_t count = host.List(video, &result).size();
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(count == 1 || count == 3) << count;
  EXPECT_LT(SecondsSince(start), 10) << "no waiting for the lock";
  CloseHandle(locked);

  std::string junk(1 << 20, '\0');
  for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>(i * 2654435761u >> 13);
  host.WriteSettings(junk + Settings("div=2"));
  EXPECT_EQ(host.List(video, &result).size() > 0, true);
  EXPECT_EQ(result, 0);
}

TEST(RobustSettings, EditsBetweenListingAndFetchGiveTheListingOfTheNewSettings) {
  PluginHost host(Settings("div=4").c_str());
  const std::wstring video = Media(L"len60s.mp4");
  ASSERT_EQ(host.List(video).size(), 4u);
  struct Edit {
    const char* lines;  // nullptr: the settings file is removed
    EntryWord entry;
    int result;  // of fetching it
    int second;  // what it then shows
  } edits[] = {
      {"div=2147483647", 3, 4, 0},     // 2^31 records do not fit: no listing, nothing to fetch
      {"divsec=2147483647", 0, 0, 0},  // one entry, at 0 s
      {"divsec=2147483647", 1, 2, 0},  // beyond the listing just made
      {"sec=2147483647", 0, 0, 59},    // saturates past the end: the last frame
      {"div=2", 1, 0, 59},             // the end: the last frame
      {"div=2", 3, 2, 0},              // beyond the listing just made for div=2
      {"div=-9\r\ndivsec=-9\r\nsec=-9", 0, 0, 0},
      {"div=abc", 0, 0, 0},
      {nullptr, 0, 0, 0},
      {nullptr, 3, 2, 0},
  };
  for (const Edit& e : edits) {
    if (e.lines) {
      host.WriteSettings(Settings(e.lines));
    } else {
      host.RemoveSettings();
    }
    int result = -99;
    const ULONGLONG start = GetTickCount64();
    const Moment moment = ReadMoment(host.Fetch(video, e.entry, &result));
    const std::string label =
        std::string(e.lines ? e.lines : "no settings file") + ", entry " + std::to_string(e.entry);
    EXPECT_LT(SecondsSince(start), 20) << label;
    ASSERT_EQ(result, e.result) << label;
    if (result != 0) continue;
    EXPECT_EQ(moment.second, e.second) << label;
    EXPECT_TRUE(moment.upright) << label;
  }
}

// A copy of a video at a path of exactly `length` characters: a folder padded to fill all but
// the file name, which is padded to the rest. Made through the long-path prefix, which the
// plug-in itself never sees.
std::wstring VideoAtPathOfLength(const ScratchDir& base, size_t length) {
  std::wstring folder = base / std::wstring(150 - base.path().size() - 1, L'f');
  CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr);
  const size_t name = length - folder.size() - 1 - 4;
  const std::wstring path = folder + L"\\" + std::wstring(name, L'v') + L".mp4";
  CopyFileW(Media(L"len10s.mp4").c_str(), (L"\\\\?\\" + path).c_str(), FALSE);
  return path;
}

TEST(RobustPaths, PathsThatFillTheBufferAndOnesThatDoNot) {
  PluginHost host(Settings("div=2").c_str());
  ScratchDir base;
  ASSERT_LT(base.path().size(), 140u);
  ScratchDir out;

  const std::wstring fits = VideoAtPathOfLength(base, 259);
  ASSERT_EQ(fits.size(), 259u);
  ASSERT_TRUE(FileExists(L"\\\\?\\" + fits));
  EXPECT_EQ(host.IsSupportedW(fits.c_str(), kNoHandle), 1);
  EXPECT_EQ(host.IsSupported(Utf8(fits).c_str(), kNoHandle), 1);
  int result = -99;
  const auto entries = host.List(fits, &result);
  ASSERT_EQ(result, 0);
  ASSERT_EQ(entries.size(), 2u);
  const std::wstring stem(fits.size() - 150 - 1 - 4, L'v');
  EXPECT_EQ(std::wstring(entries[1].file_name), stem + L"001.bmp");
  EXPECT_EQ(ReadMoment(host.Fetch(fits, 1)).second, 9);
  std::wstring dir = out.path();
  EXPECT_EQ(host.GetFileW(fits.c_str(), 0, dir.data(), 0, nullptr, 0), 0);
  EXPECT_TRUE(FileExists(out / entries[0].file_name));
  HLOCAL narrow = nullptr;
  EXPECT_EQ(host.GetArchiveInfo(Utf8(fits).c_str(), 0, 0, &narrow), 0);
  LocalFree(narrow);

  for (size_t length : {260u, 261u}) {
    const std::wstring path = VideoAtPathOfLength(base, length);
    ASSERT_EQ(path.size(), length);
    ASSERT_TRUE(FileExists(L"\\\\?\\" + path)) << "the file is there; only its name is too long";
    const std::string ansi = Utf8(path);
    EXPECT_EQ(host.IsSupportedW(path.c_str(), kNoHandle), 0) << length;
    EXPECT_EQ(host.IsSupported(ansi.c_str(), kNoHandle), 0) << length;
    HLOCAL listing = nullptr;
    EXPECT_EQ(host.GetArchiveInfoW(path.c_str(), 0, 0, &listing), 6) << length;
    EXPECT_EQ(host.GetArchiveInfo(ansi.c_str(), 0, 0, &listing), 6) << length;
    EntryRecord record{};
    EXPECT_EQ(host.GetFileInfoW(path.c_str(), 0, L"", 0, &record), 6) << length;
    EntryRecordA narrow_record{};
    EXPECT_EQ(host.GetFileInfo(ansi.c_str(), 0, "", 0, &narrow_record), 6) << length;
    HLOCAL image = kUntouched;
    EXPECT_EQ(host.GetFileW(path.c_str(), 0, reinterpret_cast<wchar_t*>(&image), kOutputToMemory,
                            nullptr, 0),
              6)
        << length;
    EXPECT_EQ(image, kUntouched);
    EXPECT_EQ(
        host.GetFile(ansi.c_str(), 0, reinterpret_cast<char*>(&image), kOutputToMemory, nullptr, 0),
        6)
        << length;
  }

  // An output folder whose joined path just fits, and one a character longer.
  const std::wstring video = Media(L"len10s.mp4");
  const std::wstring name = L"len10s000.bmp";
  for (size_t total : {259u, 260u}) {
    std::wstring folder = out / std::wstring(total - name.size() - 1 - out.path().size() - 1,
                                             total == 259 ? L'a' : L'b');
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr));
    EXPECT_EQ(host.GetFileW(video.c_str(), 0, folder.data(), 0, nullptr, 0), total == 259 ? 0 : 9)
        << total;
    EXPECT_EQ(FileExists(L"\\\\?\\" + folder + L"\\" + name), total == 259) << total;
  }
}

TEST(RobustPaths, NamesOutsideAndInsideTheCodePage) {
  PluginHost host(Settings("div=2").c_str());
  ScratchDir videos;
  ScratchDir out;
  // Hangul and an emoji (a surrogate pair): no form in any single-byte code page.
  const std::wstring stem = L"\xD55C\xAE00 \xD83D\xDE00";
  const std::wstring wide = videos / (stem + L".mp4");
  ASSERT_TRUE(CopyFileW(Media(L"len10s.mp4").c_str(), wide.c_str(), FALSE));
  EXPECT_EQ(host.IsSupportedW(wide.c_str(), kNoHandle), 1);
  const auto entries = host.List(wide);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(std::wstring(entries[1].file_name), stem + L"001.bmp");
  EntryRecord record{};
  ASSERT_EQ(host.GetFileInfoW(wide.c_str(), 0, entries[1].file_name, 0, &record), 0);
  EXPECT_EQ(record.position, 1u);
  const std::string image = host.Fetch(wide, 1);
  std::wstring dir = out.path();
  ASSERT_EQ(host.GetFileW(wide.c_str(), 1, dir.data(), 0, nullptr, 0), 0);
  EXPECT_EQ(ReadWholeFile(out / (stem + L"001.bmp")), image);

  const LCID before = GetThreadLocale();
  // In code page 1252 the same name has no form: its ANSI form names no file.
  ASSERT_TRUE(
      SetThreadLocale(MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT)));
  char lost[MAX_PATH];
  WideCharToMultiByte(1252, 0, wide.c_str(), -1, lost, MAX_PATH, nullptr, nullptr);
  HLOCAL listing = kUntouched;
  EXPECT_EQ(host.GetArchiveInfo(lost, 0, 0, &listing), 6);
  EXPECT_EQ(listing, nullptr);
  EXPECT_EQ(host.IsSupported(lost, kNoHandle), 0);

  // A name that has one: "café" in 1252 through the ANSI twins, out as a file of the wide name.
  const std::wstring cafe = videos / L"caf\xE9.mp4";
  ASSERT_TRUE(CopyFileW(Media(L"len10s.mp4").c_str(), cafe.c_str(), FALSE));
  char ansi[MAX_PATH];
  WideCharToMultiByte(1252, 0, cafe.c_str(), -1, ansi, MAX_PATH, nullptr, nullptr);
  listing = nullptr;
  ASSERT_EQ(host.GetArchiveInfo(ansi, 0, 0, &listing), 0);
  EXPECT_STREQ(static_cast<const EntryRecordA*>(listing)[1].file_name,
               "caf\xE9"
               "001.bmp");
  LocalFree(listing);
  char ansi_dir[MAX_PATH];
  WideCharToMultiByte(1252, 0, out.path().c_str(), -1, ansi_dir, MAX_PATH, nullptr, nullptr);
  ASSERT_EQ(host.GetFile(ansi, 0, ansi_dir, 0, nullptr, 0), 0);
  EXPECT_TRUE(FileExists(out / L"caf\xE9"
                               L"000.bmp"));

  // Japanese in code page 932: a double-byte name in and out.
  ASSERT_TRUE(
      SetThreadLocale(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT)));
  WideCharToMultiByte(932, 0, Media(L"\x52D5\x753B.mp4").c_str(), -1, ansi, MAX_PATH, nullptr,
                      nullptr);
  listing = nullptr;
  ASSERT_EQ(host.GetArchiveInfo(ansi, 0, 0, &listing), 0);
  EXPECT_STREQ(static_cast<const EntryRecordA*>(listing)[0].file_name,
               "\x93\xae\x89\xe6"
               "000.bmp");
  LocalFree(listing);
  EntryRecordA narrow{};
  ASSERT_EQ(host.GetFileInfo(ansi, 0,
                             "\x93\xae\x89\xe6"
                             "001.BMP",
                             0, &narrow),
            0);
  EXPECT_EQ(narrow.position, 1u);
  SetThreadLocale(before);
}

TEST(RobustArguments, NullsOffsetsAndPositionsGiveDocumentedCodes) {
  PluginHost host(Settings("div=2").c_str());
  const std::wstring video = Media(L"len10s.mp4");
  const std::string ansi = Utf8(video);

  EXPECT_EQ(host.IsSupportedW(nullptr, kNoHandle), 0);
  EXPECT_EQ(host.IsSupported(nullptr, kNoHandle), 0);
  for (LONG_PTR handle : {LONG_PTR{0}, LONG_PTR{1}, LONG_PTR{0xFFFF}})
    EXPECT_EQ(host.IsSupportedW(video.c_str(), handle), 0) << "an unreadable handle " << handle;
  HLOCAL listing = kUntouched;
  const int no_path = host.GetArchiveInfoW(nullptr, 0, 0, &listing);
  EXPECT_TRUE(no_path == 6 || no_path == -1) << no_path;
  EXPECT_EQ(listing, nullptr);
  EntryRecord record{};
  EXPECT_EQ(host.GetArchiveInfoW(video.c_str(), 0, 0, nullptr), -1);
  EXPECT_EQ(host.GetArchiveInfo(ansi.c_str(), 0, 0, nullptr), -1);
  EXPECT_EQ(host.GetFileInfoW(video.c_str(), 0, nullptr, 0, &record), -1);
  EXPECT_EQ(host.GetFileInfoW(video.c_str(), 0, L"x", 0, nullptr), -1);
  EXPECT_EQ(host.GetFileInfo(ansi.c_str(), 0, nullptr, 0, nullptr), -1);
  EXPECT_EQ(host.GetFileW(video.c_str(), 0, nullptr, 0, nullptr, 0), -1);
  EXPECT_EQ(host.GetFileW(video.c_str(), 0, nullptr, kOutputToMemory, nullptr, 0), -1);
  EXPECT_EQ(host.GetFile(ansi.c_str(), 0, nullptr, 0, nullptr, 0), -1);
  EXPECT_EQ(host.GetPluginInfoW(1, nullptr, 100), -1);
  wchar_t text[8] = L"#";
  EXPECT_EQ(host.GetPluginInfoW(1, text, -5), 0);
  EXPECT_EQ(text[0], L'#');
  // Names far longer than a record can hold match nothing.
  const std::wstring long_name(5000, L'n');
  EXPECT_EQ(host.GetFileInfoW(video.c_str(), 0, long_name.c_str(), 0, &record), -1);
  EntryRecordA narrow{};
  EXPECT_EQ(host.GetFileInfo(ansi.c_str(), 0, Utf8(long_name).c_str(), 0, &narrow), -1);

  // Offsets: only the low 32 bits count, as a signed distance; within them, one beyond the end
  // reads nothing.
  listing = nullptr;
  EXPECT_EQ(host.GetArchiveInfoW(video.c_str(), 0x7FFFFFF0, 0, &listing), 2);
  EXPECT_EQ(listing, nullptr);
  for (LONG_PTR offset : {LONG_PTR{0x80000000LL}, LONG_PTR{0x80000001LL}, LONG_PTR{0xFFFFFFFFLL},
                          LONG_PTR{0x180000000LL}}) {
    listing = kUntouched;
    EXPECT_EQ(host.GetArchiveInfoW(video.c_str(), offset, 0, &listing), 6) << offset;
    EXPECT_EQ(listing, nullptr);
    listing = kUntouched;
    EXPECT_EQ(host.GetArchiveInfo(ansi.c_str(), offset, 0, &listing), 6) << offset;
    EXPECT_EQ(host.GetFileInfoW(video.c_str(), offset, L"", 0, &record), 6) << offset;
    EXPECT_EQ(host.GetFileInfo(ansi.c_str(), offset, "", 0, &narrow), 6) << offset;
  }
  listing = nullptr;
  EXPECT_EQ(host.GetArchiveInfoW(video.c_str(), LONG_PTR{0x100000000LL}, 0, &listing), 0)
      << "2^32 is offset 0";
  LocalFree(listing);

  // Positions are compared in full: 2^32 is not entry 0, and none of these is an entry.
  for (LONG_PTR position :
       {LONG_PTR{2}, LONG_PTR{0x80000000LL}, LONG_PTR{0x100000000LL}, LONG_PTR{-1}}) {
    int result = -99;
    host.Fetch(video, static_cast<EntryWord>(position), &result);
    EXPECT_EQ(result, 2) << "cached listing, position " << position;
  }
  ASSERT_EQ(host.List(Media(L"missing.mp4")).size(), 0u);  // clears the cache
  int result = -99;
  host.Fetch(video, static_cast<EntryWord>(0x100000000LL), &result);
  EXPECT_EQ(result, -1) << "a fresh listing without the entry";
}

}  // namespace
}  // namespace stillreel::test
