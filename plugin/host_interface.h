// Everything a host sees of the plug-in: the exported functions' types, the flag bits, the
// result codes (and the one mapping of our HRESULTs to them) and both entry records, for each
// width. The DLL, host/sphost, the tests and the benchmarks include this header and declare none
// of it again. The wide record is defined by the listing, which builds it, and comes in with it.
#pragma once

#include <windows.h>

#include "listing/entry_record.h"
#include "win/errors.h"

namespace stillreel {

// The result codes of the listing and extraction functions.
inline constexpr int kResultOk = 0;
inline constexpr int kResultRefused = -1;     // input kind not a path, or no entry in a new listing
inline constexpr int kResultUnsupported = 2;  // not a video, too short to read, or no frame
inline constexpr int kResultNoMemory = 4;     // a block for the host could not be allocated
inline constexpr int kResultReadError = 6;    // the file cannot be opened, positioned or read
inline constexpr int kResultWriteError = 9;   // the output file cannot be created or written

// The host's result code for the outcome of a call. Ours say their family (win/errors.h); any
// other failure, Media Foundation's own, a time limit passed or a stuck file, means the video
// cannot be served.
inline int ResultCode(HRESULT hr) {
  if (SUCCEEDED(hr)) return kResultOk;
  if (hr == E_OUTOFMEMORY) return kResultNoMemory;
  if (IsFamily(hr, Family::kRefused)) return kResultRefused;
  if (IsFamily(hr, Family::kRead)) return kResultReadError;
  if (IsFamily(hr, Family::kWrite)) return kResultWriteError;
  return kResultUnsupported;
}

// Bits of the `flag` argument.
inline constexpr unsigned kInputKindMask = 7;       // the input kind: one of the two below
inline constexpr unsigned kInputFile = 0;           // the first argument is a file path
inline constexpr unsigned kInputMemory = 1;         // it points at the whole file, `len` bytes
inline constexpr unsigned kOutputToMemory = 0x100;  // GetFile: a LocalAlloc block, not a file

// What each result code means, for hosts and test output.
inline const char* ResultMeaning(int code) {
  switch (code) {
    case kResultOk:
      return "success";
    case kResultRefused:
      return "refused: neither a path nor memory input, or no such entry";
    case kResultUnsupported:
      return "not a supported video, or no frame";
    case kResultNoMemory:
      return "out of memory";
    case kResultReadError:
      return "the file cannot be read";
    case kResultWriteError:
      return "the output file cannot be written";
  }
  return "unknown result";
}

// The ANSI twin of the entry record, laid out as the host expects in each build.
struct EntryRecordA {
  char method[8];
  EntryWord position;
  EntryWord compressed_size;
  EntryWord file_size;
  EntryTime timestamp;
  char path[kRecordTextChars];
  char file_name[kRecordTextChars];
  uint32_t crc;
};

static_assert(offsetof(EntryRecordA, method) == 0);
static_assert(offsetof(EntryRecordA, position) == 8);
#if defined(_WIN64)
static_assert(sizeof(EntryRecordA) == 448);
static_assert(offsetof(EntryRecordA, compressed_size) == 16);
static_assert(offsetof(EntryRecordA, file_size) == 24);
static_assert(offsetof(EntryRecordA, timestamp) == 32);
static_assert(offsetof(EntryRecordA, path) == 40);
static_assert(offsetof(EntryRecordA, file_name) == 240);
static_assert(offsetof(EntryRecordA, crc) == 440);
#else
static_assert(sizeof(EntryRecordA) == 428);
static_assert(offsetof(EntryRecordA, compressed_size) == 12);
static_assert(offsetof(EntryRecordA, file_size) == 16);
static_assert(offsetof(EntryRecordA, timestamp) == 20);
static_assert(offsetof(EntryRecordA, path) == 24);
static_assert(offsetof(EntryRecordA, file_name) == 224);
static_assert(offsetof(EntryRecordA, crc) == 424);
#endif

// The exported functions, resolved by these plain names in both builds.
using ProgressCallback = int(WINAPI*)(int num, int denom, LONG_PTR data);
using GetPluginInfoFn = int(WINAPI*)(int infono, char* buf, int buflen);
using GetPluginInfoWFn = int(WINAPI*)(int infono, wchar_t* buf, int buflen);
using IsSupportedFn = int(WINAPI*)(const char* filename, LONG_PTR dw);
using IsSupportedWFn = int(WINAPI*)(const wchar_t* filename, LONG_PTR dw);
using GetArchiveInfoFn = int(WINAPI*)(const char* buf, LONG_PTR len, unsigned flag, HLOCAL* lphInf);
using GetArchiveInfoWFn = int(WINAPI*)(const wchar_t* buf, LONG_PTR len, unsigned flag,
                                       HLOCAL* lphInf);
using GetFileInfoFn = int(WINAPI*)(const char* buf, LONG_PTR len, const char* filename,
                                   unsigned flag, EntryRecordA* lpInfo);
using GetFileInfoWFn = int(WINAPI*)(const wchar_t* buf, LONG_PTR len, const wchar_t* filename,
                                    unsigned flag, EntryRecord* lpInfo);
using GetFileFn = int(WINAPI*)(const char* src, LONG_PTR len, char* dest, unsigned flag,
                               ProgressCallback progress, LONG_PTR lData);
using GetFileWFn = int(WINAPI*)(const wchar_t* src, LONG_PTR len, wchar_t* dest, unsigned flag,
                                ProgressCallback progress, LONG_PTR lData);

}  // namespace stillreel
