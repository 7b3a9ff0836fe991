// Our byte streams against Media Foundation opening the path itself: every test clip gives the
// same facts and pictures through the file's byte stream, through lent memory and through the
// path as a URL; the file stays free to rename, delete and save over while a stream holds it;
// lent memory is not read once revoked.
#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <shlwapi.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "import_hook.h"
#include "test_support.h"
#include "video/byte_stream.h"
#include "video/container.h"
#include "video/open_video.h"
#include "win/media.h"

namespace stillreel {
namespace {

using Microsoft::WRL::ComPtr;
using test::Media;
using test::ScratchDir;
using test::Utf8;

// The reader Media Foundation makes from the stream's origin (the path) as a URL, in place of
// the one from the stream: what the plug-in got before it opened files itself.
HRESULT WINAPI UrlReader(IMFByteStream* stream, IMFAttributes* attributes,
                         IMFSourceReader** reader) {
  ComPtr<IMFAttributes> named;
  wchar_t origin[MAX_PATH] = {};
  UINT32 length = 0;
  if (FAILED(stream->QueryInterface(IID_PPV_ARGS(&named))) ||
      FAILED(named->GetString(MF_BYTESTREAM_ORIGIN_NAME, origin, MAX_PATH, &length))) {
    return E_UNEXPECTED;
  }
  return MFCreateSourceReaderFromURL(origin, attributes, reader);
}

// UrlReader in place of this program's import of MFCreateSourceReaderFromByteStream while it
// lives.
class UrlInsteadOfByteStream {
 public:
  UrlInsteadOfByteStream() {
    test::PatchImport(GetModuleHandleW(nullptr), "mfreadwrite.dll",
                      "MFCreateSourceReaderFromByteStream", reinterpret_cast<void*>(UrlReader),
                      &m_original);
  }
  ~UrlInsteadOfByteStream() {
    if (m_original != nullptr) {
      test::PatchImport(GetModuleHandleW(nullptr), "mfreadwrite.dll",
                        "MFCreateSourceReaderFromByteStream", m_original);
    }
  }
  bool installed() const { return m_original != nullptr; }

 private:
  void* m_original = nullptr;
};

// A file's bytes at the very end of their pages, a page that cannot be read right after them:
// reading one byte too many faults.
class GuardedCopy {
 public:
  explicit GuardedCopy(const std::string& bytes) {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const size_t page = system.dwPageSize;
    const size_t pages = (bytes.size() + page - 1) / page + 1;
    m_base = static_cast<uint8_t*>(
        VirtualAlloc(nullptr, pages * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (m_base == nullptr) return;
    DWORD old = 0;
    VirtualProtect(m_base + (pages - 1) * page, page, PAGE_NOACCESS, &old);
    m_data = m_base + (pages - 1) * page - bytes.size();
    std::memcpy(m_data, bytes.data(), bytes.size());
    m_size = bytes.size();
  }
  ~GuardedCopy() { Free(); }
  GuardedCopy(const GuardedCopy&) = delete;
  GuardedCopy& operator=(const GuardedCopy&) = delete;

  // Gives the pages back: any later read of them faults.
  void Free() {
    if (m_base != nullptr) VirtualFree(m_base, 0, MEM_RELEASE);
    m_base = nullptr;
  }
  const uint8_t* data() const { return m_data; }
  size_t size() const { return m_size; }

 private:
  uint8_t* m_base = nullptr;
  uint8_t* m_data = nullptr;
  size_t m_size = 0;
};

// What one opening of a clip gives: the probe's facts and three entries' images (div=3).
struct Outcome {
  HRESULT opened = E_FAIL;
  bool probed = false;
  VideoFacts facts;
  std::vector<std::string> images;  // empty where there was no frame
};

Outcome Read(const wchar_t* path, LentMemory* memory) {
  MediaFoundationScope media_foundation;
  Outcome out;
  OpenVideo video;
  out.opened = video.Open(path, memory);
  if (FAILED(out.opened)) return out;
  out.probed = SUCCEEDED(video.Probe(out.facts));
  for (int32_t index = 0; index < 3; ++index) {
    UniqueHlocal image;
    uint32_t bytes = 0;
    const HRESULT status =
        video.Extract(index, {3, 0, 0}, ReadOnMode::kNever, nullptr, image, bytes);
    out.images.push_back(status == S_OK ? std::string(static_cast<const char*>(image.get()), bytes)
                                        : std::string());
  }
  return out;
}

TEST(ByteStream, EveryClipGivesTheSameAsItsPathAsAUrlAndAsLentMemory) {
  const std::vector<std::wstring> clips = test::MediaClips();
  ASSERT_GE(clips.size(), 30u) << "the generated media";
  int videos = 0;
  for (const std::wstring& name : clips) {
    const std::wstring path = Media(name);
    const Outcome ours = Read(path.c_str(), nullptr);
    Outcome url;
    {
      UrlInsteadOfByteStream hook;
      ASSERT_TRUE(hook.installed());
      url = Read(path.c_str(), nullptr);
    }
    const GuardedCopy copy(test::ReadWholeFile(path));
    ASSERT_EQ(copy.size(), test::ReadWholeFile(path).size()) << Utf8(name);
    Outcome memory;
    {
      const MemoryLoan loan(copy.data(), copy.size());
      memory = Read(nullptr, loan.get());
    }
    // A name without a known extension gives Media Foundation nothing to choose a source by; our
    // stream is named by its first bytes then, and may open what the URL does not.
    const bool url_blind =
        FAILED(url.opened) && ContentTypeOfExtension(PathFindExtensionW(name.c_str())).empty();
    if (name == L"Clip") {
      EXPECT_TRUE(url_blind && ours.probed) << "an MP4 file without an extension, by its bytes";
    }
    for (const Outcome* other : {&url, &memory}) {
      if (other == &url && url_blind) continue;
      const char* way = other == &url ? "the path as a URL" : "lent memory";
      EXPECT_EQ(SUCCEEDED(ours.opened), SUCCEEDED(other->opened)) << Utf8(name) << ", " << way;
      EXPECT_EQ(ours.probed, other->probed) << Utf8(name) << ", " << way;
      EXPECT_EQ(ours.facts.seconds, other->facts.seconds) << Utf8(name) << ", " << way;
      EXPECT_EQ(ours.facts.size.width, other->facts.size.width) << Utf8(name) << ", " << way;
      EXPECT_EQ(ours.facts.size.height, other->facts.size.height) << Utf8(name) << ", " << way;
      EXPECT_EQ(ours.images.size(), other->images.size()) << Utf8(name) << ", " << way;
      for (size_t i = 0; i < ours.images.size() && i < other->images.size(); ++i) {
        EXPECT_TRUE(ours.images[i] == other->images[i])
            << Utf8(name) << ", entry " << i << " differs through " << way;
      }
    }
    if (ours.probed && !ours.images.empty() && !ours.images[0].empty()) ++videos;
  }
  EXPECT_GE(videos, 20) << "clips that gave pictures";
}

// The user may rename, delete and save over a video while Media Foundation reads it.
TEST(ByteStream, FileStaysFreeToRenameDeleteAndSaveOver) {
  ScratchDir dir;
  const std::wstring first = dir / L"clip.mp4";
  const std::wstring renamed = dir / L"renamed.mp4";
  ASSERT_TRUE(CopyFileW(Media(L"len10s.mp4").c_str(), first.c_str(), FALSE));
  MediaFoundationScope media_foundation;
  ComPtr<IMFByteStream> stream;
  ASSERT_HRESULT_SUCCEEDED(OpenFileByteStream(first.c_str(), stream));
  BYTE head[8] = {};
  ULONG read = 0;
  ASSERT_HRESULT_SUCCEEDED(stream->Read(head, sizeof(head), &read));
  EXPECT_EQ(read, sizeof(head));
  EXPECT_EQ(std::memcmp(head + 4, "ftyp", 4), 0);
  // Saved over: another file's bytes written into the same file.
  EXPECT_TRUE(CopyFileW(Media(L"len59s.mp4").c_str(), first.c_str(), FALSE))
      << "saving over failed: " << GetLastError();
  EXPECT_TRUE(MoveFileW(first.c_str(), renamed.c_str())) << "renaming failed: " << GetLastError();
  EXPECT_TRUE(DeleteFileW(renamed.c_str())) << "deleting failed: " << GetLastError();
  // The stream reads on from its handle meanwhile.
  QWORD position = 0;
  EXPECT_HRESULT_SUCCEEDED(stream->Seek(msoBegin, 0, 0, &position));
  EXPECT_HRESULT_SUCCEEDED(stream->Read(head, sizeof(head), &read));

  ComPtr<IMFAttributes> attributes;
  ASSERT_HRESULT_SUCCEEDED(stream.As(&attributes));
  wchar_t text[MAX_PATH] = {};
  UINT32 length = 0;
  ASSERT_HRESULT_SUCCEEDED(
      attributes->GetString(MF_BYTESTREAM_CONTENT_TYPE, text, MAX_PATH, &length));
  EXPECT_STREQ(text, L"video/mp4");
  ASSERT_HRESULT_SUCCEEDED(
      attributes->GetString(MF_BYTESTREAM_ORIGIN_NAME, text, MAX_PATH, &length));
  EXPECT_EQ(text, first);
}

TEST(ByteStream, ContentTypeOfAFileWithoutAKnownExtensionComesFromItsBytes) {
  MediaFoundationScope media_foundation;
  for (const wchar_t* name : {L"Clip", L"notvideo.txt"}) {
    ComPtr<IMFByteStream> stream;
    ASSERT_HRESULT_SUCCEEDED(OpenFileByteStream(Media(name).c_str(), stream)) << Utf8(name);
    ComPtr<IMFAttributes> attributes;
    ASSERT_HRESULT_SUCCEEDED(stream.As(&attributes));
    wchar_t text[64] = {};
    UINT32 length = 0;
    const HRESULT typed = attributes->GetString(MF_BYTESTREAM_CONTENT_TYPE, text, 64, &length);
    if (std::wstring(name) == L"Clip") {
      EXPECT_HRESULT_SUCCEEDED(typed);
      EXPECT_STREQ(text, L"video/mp4") << "an MP4 file without an extension";
    } else {
      EXPECT_HRESULT_FAILED(typed) << "a text file has no video type";
    }
  }
}

TEST(ByteStream, LentMemoryIsNotReadOnceRevoked) {
  GuardedCopy copy(test::ReadWholeFile(Media(L"len10s.mp4")));
  ASSERT_GT(copy.size(), 1000u);
  MediaFoundationScope media_foundation;
  ComPtr<IMFByteStream> stream;
  {
    const MemoryLoan loan(copy.data(), copy.size());
    ASSERT_HRESULT_SUCCEEDED(OpenMemoryByteStream(loan.get(), stream));
    // The last bytes and no more: the guard page right after them stays untouched.
    QWORD position = 0;
    ASSERT_HRESULT_SUCCEEDED(stream->Seek(msoBegin, copy.size() - 4, 0, &position));
    BYTE tail[16] = {};
    ULONG read = 0;
    EXPECT_HRESULT_SUCCEEDED(stream->Read(tail, sizeof(tail), &read));
    EXPECT_EQ(read, 4u);
    EXPECT_EQ(std::memcmp(tail, copy.data() + copy.size() - 4, 4), 0);
  }
  // The call has returned: its memory may be gone, and the stream still held must not read it.
  copy.Free();
  QWORD position = 0;
  ASSERT_HRESULT_SUCCEEDED(stream->Seek(msoBegin, 0, 0, &position));
  BYTE head[8] = {};
  ULONG read = 0;
  EXPECT_HRESULT_FAILED(stream->Read(head, sizeof(head), &read));
  EXPECT_EQ(read, 0u);
  // A reader opened on revoked memory gets nothing either.
  const MemoryLoan gone(head, sizeof(head));
  LentMemory* revoked = gone.get();
  revoked->Revoke();
  ComPtr<IMFSourceReader> reader;
  EXPECT_HRESULT_FAILED(OpenNv12Reader(nullptr, reader, revoked));
}

}  // namespace
}  // namespace stillreel
