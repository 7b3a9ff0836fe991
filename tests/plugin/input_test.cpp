// What a host may give instead of a plain path, and what the user may do to a video while the
// plug-in keeps it open: memory input (the whole file mapped, flag 1), IsSupported with only an
// extension and the first bytes, and a video renamed, deleted or saved over between calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "plugin_host.h"
#include "process_counts.h"
#include "windows_reader.h"

namespace stillreel::test {
namespace {

// A file mapped read-only as a whole, as milligram maps what it shows (hosts.md).
class MappedFile {
 public:
  explicit MappedFile(const std::wstring& path) {
    m_file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                         nullptr);
    if (m_file == INVALID_HANDLE_VALUE) return;
    LARGE_INTEGER size{};
    GetFileSizeEx(m_file, &size);
    m_size = static_cast<size_t>(size.QuadPart);
    if (m_size == 0) return;
    m_mapping = CreateFileMappingW(m_file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (m_mapping != nullptr) m_view = MapViewOfFile(m_mapping, FILE_MAP_READ, 0, 0, 0);
  }
  ~MappedFile() {
    if (m_view != nullptr) UnmapViewOfFile(m_view);
    if (m_mapping != nullptr) CloseHandle(m_mapping);
    if (m_file != INVALID_HANDLE_VALUE) CloseHandle(m_file);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  const wchar_t* wide() const { return static_cast<const wchar_t*>(m_view); }
  const char* ansi() const { return static_cast<const char*>(m_view); }
  LONG_PTR size() const { return static_cast<LONG_PTR>(m_size); }
  bool mapped() const { return m_view != nullptr; }

 private:
  HANDLE m_file = INVALID_HANDLE_VALUE;
  HANDLE m_mapping = nullptr;
  void* m_view = nullptr;
  size_t m_size = 0;
};

std::vector<EntryRecord> Records(HLOCAL listing) {
  std::vector<EntryRecord> entries;
  if (listing == nullptr) return entries;
  for (auto* r = static_cast<const EntryRecord*>(listing); !IsTerminator(*r); ++r)
    entries.push_back(*r);
  return entries;
}

std::string Block(HLOCAL block) {
  std::string bytes;
  if (block != nullptr) bytes.assign(static_cast<const char*>(block), LocalSize(block));
  return bytes;
}

// milligram: GetArchiveInfo(W) with the mapped file (flag 1); a member of an archive comes the
// same way. Every clip lists as from its path, entries named frameNNN.bmp; GetFileInfo(W) finds
// them by those names; GetFile(W) from memory gives the first entry's picture, as from the path.
TEST(PluginMemoryInput, EveryClipListsAndFetchesAsFromItsFile) {
  PluginHost host(SettingsText("3", "0", "0").c_str());
  const std::vector<std::wstring> clips = MediaClips();
  ASSERT_GE(clips.size(), 30u);
  int videos = 0;
  for (const std::wstring& name : clips) {
    const std::wstring path = Media(name);
    const MappedFile file(path);
    if (!file.mapped()) {
      EXPECT_LT(file.size(), 8) << Utf8(name) << " could not be mapped";
      continue;
    }
    int from_path = -99;
    const std::vector<EntryRecord> expected = host.List(path, &from_path);
    HLOCAL listing = kUntouched;
    const int code = host.GetArchiveInfoW(file.wide(), file.size(), kInputMemory, &listing);
    ASSERT_EQ(code, from_path) << Utf8(name);
    if (code != kResultOk) {
      EXPECT_EQ(listing, nullptr) << Utf8(name);
      continue;
    }
    ++videos;
    const std::vector<EntryRecord> entries = Records(listing);
    LocalFree(listing);
    ASSERT_EQ(entries.size(), expected.size()) << Utf8(name);
    for (size_t i = 0; i < entries.size(); ++i) {
      wchar_t want[16];
      swprintf(want, 16, L"frame%03zu.bmp", i);
      EXPECT_STREQ(entries[i].file_name, want) << Utf8(name);
      EXPECT_EQ(entries[i].position, expected[i].position) << Utf8(name);
      EXPECT_EQ(entries[i].file_size, expected[i].file_size) << Utf8(name);
      EXPECT_EQ(entries[i].timestamp, 0) << Utf8(name) << ": memory has no file time";
    }
    EntryRecord found{};
    EXPECT_EQ(host.GetFileInfoW(file.wide(), file.size(), L"FRAME002.BMP", kInputMemory, &found), 0)
        << Utf8(name);
    EXPECT_EQ(found.position, 2u) << Utf8(name);
    EXPECT_EQ(found.file_size, expected[2].file_size) << Utf8(name);
    EntryRecordA found_a{};
    EXPECT_EQ(host.GetFileInfo(file.ansi(), file.size(), "frame001.bmp", kInputMemory, &found_a), 0)
        << Utf8(name);
    EXPECT_EQ(found_a.position, 1u) << Utf8(name);
    EXPECT_EQ(host.GetFileInfoW(file.wide(), file.size(), L"frame003.bmp", kInputMemory, &found),
              kResultRefused)
        << Utf8(name) << ": no fourth entry";

    const std::string picture = host.Fetch(path, 0);
    ASSERT_FALSE(picture.empty()) << Utf8(name);
    HLOCAL image = nullptr;
    EXPECT_EQ(host.GetFileW(file.wide(), file.size(), reinterpret_cast<wchar_t*>(&image),
                            kInputMemory | kOutputToMemory, nullptr, 0),
              0)
        << Utf8(name);
    EXPECT_TRUE(Block(image) == picture) << Utf8(name) << ": GetFileW from memory";
    if (image != nullptr) LocalFree(image);
    image = nullptr;
    EXPECT_EQ(host.GetFile(file.ansi(), file.size(), reinterpret_cast<char*>(&image),
                           kInputMemory | kOutputToMemory, nullptr, 0),
              0)
        << Utf8(name);
    EXPECT_TRUE(Block(image) == picture) << Utf8(name) << ": GetFile from memory";
    if (image != nullptr) LocalFree(image);
  }
  EXPECT_GE(videos, 20);
}

TEST(PluginMemoryInput, AnsiListingFolderOutputAndWhatIsRefused) {
  PluginHost host(SettingsText("2", "0", "0").c_str());
  const MappedFile file(Media(L"len10s.mp4"));
  ASSERT_TRUE(file.mapped());
  HLOCAL listing = kUntouched;
  ASSERT_EQ(host.GetArchiveInfo(file.ansi(), file.size(), kInputMemory, &listing), 0);
  const auto* records = static_cast<const EntryRecordA*>(listing);
  EXPECT_STREQ(records[0].file_name, "frame000.bmp");
  EXPECT_STREQ(records[1].file_name, "frame001.bmp");
  EXPECT_EQ(records[2].method[0], 0);
  LocalFree(listing);

  // Into a folder: the first entry under its memory name.
  ScratchDir out;
  std::wstring folder = out.path();
  EXPECT_EQ(host.GetFileW(file.wide(), file.size(), folder.data(), kInputMemory, nullptr, 0), 0);
  EXPECT_TRUE(ReadWholeFile(out / L"frame000.bmp") == host.Fetch(Media(L"len10s.mp4"), 0));

  // Memory listings are not cached: the path's listing keeps the file's names.
  EXPECT_STREQ(host.List(Media(L"len10s.mp4")).at(0).file_name, L"len10s000.bmp");
  // Other input kinds, an empty size and a null pointer.
  listing = kUntouched;
  EXPECT_EQ(host.GetArchiveInfoW(file.wide(), file.size(), 2, &listing), kResultRefused);
  EXPECT_EQ(listing, nullptr);
  EXPECT_EQ(host.GetArchiveInfoW(file.wide(), 0, kInputMemory, &listing), kResultReadError);
  EXPECT_EQ(host.GetArchiveInfoW(nullptr, file.size(), kInputMemory, &listing), kResultReadError);
  EXPECT_EQ(host.GetArchiveInfoW(file.wide(), 7, kInputMemory, &listing), kResultUnsupported)
      << "seven bytes are no video";
  HLOCAL image = kUntouched;
  EXPECT_EQ(host.GetFileW(file.wide(), file.size(), reinterpret_cast<wchar_t*>(&image),
                          3 | kOutputToMemory, nullptr, 0),
            kResultRefused);
  EXPECT_EQ(image, kUntouched);
}

// The host's memory is its own again the moment a call returns: freed right after each call,
// later calls still work and nothing reads the freed pages (a read would crash the process).
TEST(PluginMemoryInput, MemoryIsLetGoWhenTheCallReturns) {
  PluginHost host(SettingsText("3", "0", "0").c_str());
  const std::string bytes = ReadWholeFile(Media(L"len10s.mp4"));
  for (int round = 0; round < 3; ++round) {
    auto* copy = static_cast<char*>(
        VirtualAlloc(nullptr, bytes.size(), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(copy, nullptr);
    std::memcpy(copy, bytes.data(), bytes.size());
    HLOCAL listing = nullptr;
    const int code =
        host.GetArchiveInfoW(reinterpret_cast<const wchar_t*>(copy),
                             static_cast<LONG_PTR>(bytes.size()), kInputMemory, &listing);
    VirtualFree(copy, 0, MEM_RELEASE);
    ASSERT_EQ(code, 0);
    EXPECT_EQ(Records(listing).size(), 3u);
    LocalFree(listing);
  }
  Sleep(300);
  EXPECT_EQ(host.List(Media(L"len10s.mp4")).size(), 3u);
}

// milligram passes only the extension and the whole mapped file; NeeView and PPx pass 2,048
// bytes zero-padded in a 4,096-byte buffer. Either way the answer is exactly 1 (tapetums).
TEST(PluginSupport, NameWithoutAFileIsDecidedByTheExtensionFilterAndTheFirstBytes) {
  PluginHost host(Settings("ext=*.mp4;*.avi;*.wmv,*.mkv").c_str());
  const struct {
    const wchar_t* clip;
    const wchar_t* name;
    int expected;
  } cases[] = {
      {L"len10s.mp4", L".mp4", 1},      {L"len10s.avi", L".avi", 1},
      {L"len10s.wmv", L".wmv", 1},      {L"len10s.mkv", L".mkv", 1},
      {L"len10s.mp4", L".MP4", 1},      {L"len10s.mp4", L"in.zip\\clip.mp4", 1},
      {L"len10s.mp4", L".mov", 0},      {L"len10s.mkv", L".webm", 0},
      {L"notvideo.mp4", L".mp4", 0},    {L"audio_only.m4a", L".mp4", 0},
      {L"seven_bytes.mp4", L".mp4", 0}, {L"Clip", L"", 0},
  };
  for (const auto& c : cases) {
    const std::string file = ReadWholeFile(Media(c.clip));
    std::vector<char> padded(4096, 0);
    std::memcpy(padded.data(), file.data(), std::min<size_t>(file.size(), 2048));
    const MappedFile whole(Media(c.clip));
    const auto header = reinterpret_cast<LONG_PTR>(padded.data());
    EXPECT_EQ(host.IsSupportedW(c.name, header), c.expected)
        << Utf8(c.clip) << " as " << Utf8(c.name);
    EXPECT_EQ(host.IsSupported(Utf8(c.name).c_str(), header), c.expected)
        << Utf8(c.clip) << " as " << Utf8(c.name) << " (ANSI)";
    if (whole.mapped() && whole.size() >= 2048) {
      EXPECT_EQ(host.IsSupportedW(c.name, reinterpret_cast<LONG_PTR>(whole.ansi())), c.expected)
          << Utf8(c.clip) << " mapped, as " << Utf8(c.name);
    }
  }
  // A file that exists is still probed: its bytes, not the header given, decide.
  std::vector<char> zeros(4096, 0);
  EXPECT_EQ(
      host.IsSupportedW(Media(L"len10s.mp4").c_str(), reinterpret_cast<LONG_PTR>(zeros.data())), 1);
}

std::string KeptSettings() {
  return SettingsText("5", "0", "0") + "[Debug]\r\nidle=400\r\nkeep=1\r\n";
}

// The user renames, deletes, saves over and replaces a video while its reader is kept; each
// succeeds at once, and the next calls see the new state or fail, never the old picture for a
// new file. Under the Windows-behaviour reader too.
TEST(PluginKeep, VideoBeingBrowsedCanBeRenamedDeletedAndSavedOver) {
  for (const bool windows : {false, true}) {
    const char* reader = windows ? "Windows-behaviour reader" : "Wine's reader";
    PluginHost host(KeptSettings().c_str());
    WindowsReaderHook hook(host.module(),
                           windows ? AllWindowsBehaviours(10'000'000) : WindowsBehaviour{});
    ASSERT_TRUE(hook.installed());
    ScratchDir dir;
    const std::wstring video = dir / L"clip.mp4";
    const std::wstring renamed = dir / L"renamed.mp4";
    ASSERT_TRUE(CopyFileW(Media(L"len10s.mp4").c_str(), video.c_str(), FALSE));
    ASSERT_EQ(host.List(video).size(), 5u) << reader;
    const std::string first = host.Fetch(video, 1);
    ASSERT_EQ(ReadMoment(first).width, 320u) << reader;

    // Renamed: the old name is gone, the new one shows the same video.
    ASSERT_TRUE(MoveFileW(video.c_str(), renamed.c_str()))
        << reader << ": renaming a video being browsed failed: " << GetLastError();
    int result = -99;
    EXPECT_TRUE(host.Fetch(video, 1, &result).empty()) << reader << ": the old name gave a picture";
    EXPECT_NE(result, 0) << reader;
    EXPECT_TRUE(host.Fetch(renamed, 1) == first) << reader << ": the renamed file";

    // Saved over with another video (160x120) under the same name: the new one or nothing.
    ASSERT_TRUE(CopyFileW(Media(L"len59s.mp4").c_str(), renamed.c_str(), FALSE))
        << reader << ": saving over a video being browsed failed: " << GetLastError();
    const Moment saved = ReadMoment(host.Fetch(renamed, 2, &result));
    EXPECT_TRUE(result != 0 || saved.width == 160u)
        << reader << ": the old video after saving over";

    // Replaced by another file moved onto its name.
    const std::wstring other = dir / L"other.mp4";
    ASSERT_TRUE(CopyFileW(Media(L"len10s.mp4").c_str(), other.c_str(), FALSE));
    ASSERT_EQ(host.List(renamed).size(), 5u) << reader;
    // Moving a file onto the name of one that is open needs POSIX rename semantics (newer
    // Windows on NTFS); Wine, like older Windows, refuses until the last handle goes.
    const auto replace = [&] {
      return MoveFileExW(other.c_str(), renamed.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
    };
    ASSERT_TRUE(replace() || WaitFor(replace, 3000)) << reader << ": " << GetLastError();
    const Moment replaced = ReadMoment(host.Fetch(renamed, 2, &result));
    EXPECT_TRUE(result != 0 || replaced.width == 320u)
        << reader << ": the old video after replacing";

    // Deleted: at once; while the name still shows (Windows keeps a deleted file's name until
    // its last handle closes) only its own content, and nothing once the name is gone.
    ASSERT_TRUE(DeleteFileW(renamed.c_str()))
        << reader << ": deleting a video being browsed failed: " << GetLastError();
    const Moment still = ReadMoment(host.Fetch(renamed, 3, &result));
    EXPECT_TRUE(result != 0 || still.width == 320u) << reader;
    ASSERT_TRUE(WaitFor([&] { return !FileExists(renamed); }, 3000)) << reader;
    host.Fetch(renamed, 3, &result);
    EXPECT_NE(result, 0) << reader << ": a deleted video gave a picture";
    if (windows) {
      EXPECT_GT(hook.counts().from_byte_streams, 0);
    }
  }
}

}  // namespace
}  // namespace stillreel::test
