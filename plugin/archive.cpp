// The wide logic behind the exports; the ANSI exports convert their arguments and call it too.
#include "plugin/archive.h"

#include <mferror.h>
#include <shlwapi.h>

#include <cstring>

#include "listing/open_videos.h"
#include "plugin/settings.h"
#include "plugin/text.h"
#include "video/byte_stream.h"
#include "video/container.h"
#include "video/probe.h"
#include "video/worker.h"
#include "win/result.h"

namespace stillreel {

namespace {

HRESULT Fetch(const wchar_t* path, LentMemory* memory, EntryWord position,
              const CallSettings& settings, HLOCAL& image) {
  EntryRecord entry;
  UniqueHlocal block;
  uint32_t bytes = 0;
  SR_RETURN_IF_FAILED(FetchVideoEntry(path, position, settings, entry, block, bytes, memory));
  image = block.release();
  return S_OK;
}

// A Win32 error here is a write failure (Family::kWrite): the same error on the input is not.
HRESULT FetchInto(const wchar_t* path, LentMemory* memory, EntryWord position,
                  const CallSettings& settings, const wchar_t* directory) {
  EntryRecord entry;
  UniqueHlocal block;
  uint32_t bytes = 0;
  SR_RETURN_IF_FAILED(FetchVideoEntry(path, position, settings, entry, block, bytes, memory));
  wchar_t target[kPathChars];
  SR_RETURN_HR_IF(Failure(Family::kWrite, ERROR_FILENAME_EXCED_RANGE),
                  PathCombineW(target, directory, entry.file_name) == nullptr);
  UniqueFile file(
      CreateFileW(target, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  SR_RETURN_HR_IF(Failure(Family::kWrite, GetLastError()), !file);
  DWORD written = 0;
  const BOOL ok = WriteFile(file.get(), block.get(), bytes, &written, nullptr);
  // A short count without an error is a full disk.
  const DWORD error = !ok ? GetLastError() : ERROR_HANDLE_DISK_FULL;
  file.reset();
  const bool whole = ok && written == bytes;
  // Leave no partial picture behind: the file is ours, created just now.
  if (!whole) DeleteFileW(target);
  SR_RETURN_HR_IF(Failure(Family::kWrite, error), !whole);
  return S_OK;
}

// Whether `path` names a file that can be opened (a folder cannot be).
bool IsOpenableFile(const wchar_t* path) {
  const UniqueFile file(CreateFileW(path, FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
  return static_cast<bool>(file);
}

// The name passes the "ext" filter and the first kHeaderBytes bytes show a video container.
bool SupportsHeader(const wchar_t* name, const uint8_t* header) {
  wchar_t filter[kPathChars];
  ReadFilter(filter);
  if (!PathMatchSpecW(PathFindFileNameW(name), filter)) {
    TraceFailure("the name passes the \"ext\" filter", HRESULT_FROM_WIN32(ERROR_INVALID_NAME),
                 __FILE__, __LINE__);
    return false;
  }
  if (SniffContainer(header, kHeaderBytes) == Container::kUnknown) {
    TraceFailure("the first bytes show a video container", MF_E_UNSUPPORTED_BYTESTREAM_TYPE,
                 __FILE__, __LINE__);
    return false;
  }
  return true;
}

}  // namespace

bool PluginInfoText(int infono, wchar_t (&text)[kPathChars]) {
  const wchar_t* fixed = nullptr;
  switch (infono) {
    case 0:
      fixed = L"00AM";
      break;
    case 1:
      fixed = L"Stillreel by Plorx";
      break;
    case 2:
      ReadFilter(text);
      return true;
    case 3:
      fixed = L"MediaFoundation\x30D5\x30A1\x30A4\x30EB";
      break;
    default:
      return false;
  }
  lstrcpynW(text, fixed, kPathChars);
  return true;
}

bool SupportsFile(const wchar_t* path, intptr_t dw, const CallSettings& settings) {
  if ((static_cast<uintptr_t>(dw) & ~uintptr_t{0xFFFF}) == 0) {
    char header[8];
    DWORD read = 0;
    if (FAILED(SR_TRACED_WIN32(
            ReadFile(reinterpret_cast<HANDLE>(dw), header, sizeof(header), &read, nullptr))))
      return false;
  } else if (!IsOpenableFile(path)) {
    // Only a name (".mp4") and the file's first bytes, as hosts that map the file give them.
    return SupportsHeader(path, reinterpret_cast<const uint8_t*>(dw));
  }
  // The first bytes of a file that can be opened are not examined: Media Foundation decides.
  VideoFacts facts;
  // The failing calls behind it are traced where they fail; this line gives the outcome (a time
  // limit, a stuck file, or the platform's own failure).
  return SUCCEEDED(SR_TRACED(ProbeVideoWithin(path, settings.limits, facts)));
}

HRESULT ListArchive(const wchar_t* path, uint32_t offset, const CallSettings& settings,
                    UniqueHlocal& listing) {
  return ListVideo(path, offset, settings, listing);
}

void NarrowRecord(const EntryRecord& wide, EntryRecordA& ansi) {
  std::memcpy(ansi.method, wide.method, sizeof(ansi.method) - 1);
  ansi.method[sizeof(ansi.method) - 1] = '\0';
  ansi.position = wide.position;
  ansi.compressed_size = wide.compressed_size;
  ansi.file_size = wide.file_size;
  ansi.timestamp = wide.timestamp;
  NarrowBounded(wide.path, ansi.path, kRecordTextChars);
  NarrowBounded(wide.file_name, ansi.file_name, kRecordTextChars);
  ansi.crc = wide.crc;
}

HRESULT NarrowListing(HLOCAL wide, UniqueHlocal& ansi) {
  const auto* entries = static_cast<const EntryRecord*>(wide);
  size_t count = 0;
  while (!IsTerminator(entries[count])) ++count;
  UniqueHlocal block(LocalAlloc(LMEM_ZEROINIT, (count + 1) * sizeof(EntryRecordA)));
  SR_RETURN_HR_IF(E_OUTOFMEMORY, !block);
  auto* records = static_cast<EntryRecordA*>(block.get());
  for (size_t i = 0; i < count; ++i) NarrowRecord(entries[i], records[i]);
  ansi = std::move(block);
  return S_OK;
}

HRESULT DescribeEntry(const wchar_t* path, uint32_t offset, const CallSettings& settings,
                      EntryRecord& request) {
  return DescribeVideoEntry(path, offset, settings, request);
}

HRESULT FetchToMemory(const wchar_t* path, EntryWord position, const CallSettings& settings,
                      HLOCAL& image) {
  return Fetch(path, nullptr, position, settings, image);
}

HRESULT FetchToDirectory(const wchar_t* path, EntryWord position, const CallSettings& settings,
                         const wchar_t* directory) {
  return FetchInto(path, nullptr, position, settings, directory);
}

HRESULT ListMemoryArchive(const void* data, uint64_t size, const CallSettings& settings,
                          UniqueHlocal& listing) {
  const MemoryLoan loan(data, size);
  SR_RETURN_HR_IF(E_OUTOFMEMORY, loan.get() == nullptr);
  return ListVideo(nullptr, 0, settings, listing, loan.get());
}

HRESULT DescribeMemoryEntry(const void* data, uint64_t size, const CallSettings& settings,
                            EntryRecord& request) {
  const MemoryLoan loan(data, size);
  SR_RETURN_HR_IF(E_OUTOFMEMORY, loan.get() == nullptr);
  return DescribeVideoEntry(nullptr, 0, settings, request, loan.get());
}

HRESULT FetchMemoryToMemory(const void* data, uint64_t size, const CallSettings& settings,
                            HLOCAL& image) {
  const MemoryLoan loan(data, size);
  SR_RETURN_HR_IF(E_OUTOFMEMORY, loan.get() == nullptr);
  return Fetch(nullptr, loan.get(), kMemoryEntry, settings, image);
}

HRESULT FetchMemoryToDirectory(const void* data, uint64_t size, const CallSettings& settings,
                               const wchar_t* directory) {
  const MemoryLoan loan(data, size);
  SR_RETURN_HR_IF(E_OUTOFMEMORY, loan.get() == nullptr);
  return FetchInto(nullptr, loan.get(), kMemoryEntry, settings, directory);
}

}  // namespace stillreel
