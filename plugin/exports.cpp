// The ten functions the host calls. Each converts (ANSI twins only), checks, forwards to the
// wide logic and maps the outcome to a result code; nothing is thrown across the boundary.
#include <windows.h>

#include <cstring>
#include <utility>
#include <type_traits>

#include "plugin/archive.h"
#include "plugin/host_interface.h"
#include "plugin/settings.h"
#include "plugin/text.h"
#include "win/result.h"

using namespace stillreel;

namespace {

// The wide logic takes a null path for one that was refused on the way in.
const wchar_t* AcceptedPath(const wchar_t* path) { return WidePathFits(path) ? path : nullptr; }

// Runs an export body with the settings read once for the call; anything unexpected becomes
// `failure` instead of crossing into the host.
template <typename Result, typename Body>
Result Guarded(Result failure, Body body) noexcept {
  try {
    const CallSettings settings = ReadCallSettings();
    return body(settings);
  } catch (...) {
    // Only an allocation throws in our code.
    TraceFailure("the call without an exception", E_OUTOFMEMORY, __FILE__, __LINE__);
    return failure;
  }
}

// The same for the exports that give a result code: the body's HRESULT, mapped in one place.
template <typename Body>
int GuardedResult(Body body) noexcept {
  return ResultCode(Guarded(E_OUTOFMEMORY, body));
}

bool IsMemoryInput(unsigned flag) { return (flag & kInputKindMask) == kInputMemory; }

// Hands a wide listing to the host, in ANSI when asked.
HRESULT DeliverListing(UniqueHlocal wide, HLOCAL* listing, bool ansi) {
  if (!ansi) {
    *listing = wide.release();
    return S_OK;
  }
  UniqueHlocal narrow;
  SR_RETURN_IF_FAILED(NarrowListing(wide.get(), narrow));
  *listing = narrow.release();
  return S_OK;
}

// A null `path` was refused on the way in (too long, or not convertible).
HRESULT ArchiveInfo(const wchar_t* path, LONG_PTR len, unsigned flag, const CallSettings& settings,
                    HLOCAL* listing, bool ansi) {
  SR_RETURN_HR_IF(kNoPlaceForResult, listing == nullptr);
  *listing = nullptr;  // hosts read the handle after any result
  SR_RETURN_HR_IF(kNotPathInput, flag & kInputKindMask);
  SR_RETURN_HR_IF(kPathRefused, path == nullptr);
  UniqueHlocal wide;
  SR_RETURN_IF_FAILED(ListArchive(path, static_cast<uint32_t>(len), settings, wide));
  return DeliverListing(std::move(wide), listing, ansi);
}

// `data` is the whole file and `len` its size in bytes.
HRESULT MemoryArchiveInfo(const void* data, LONG_PTR len, const CallSettings& settings,
                          HLOCAL* listing, bool ansi) {
  SR_RETURN_HR_IF(kNoPlaceForResult, listing == nullptr);
  *listing = nullptr;
  SR_RETURN_HR_IF(kNoInput, data == nullptr || len <= 0);
  UniqueHlocal wide;
  SR_RETURN_IF_FAILED(ListMemoryArchive(data, static_cast<uint64_t>(len), settings, wide));
  return DeliverListing(std::move(wide), listing, ansi);
}

// The input refused before any work: a kind neither path nor memory, or no input (a path that
// was refused on the way in is null).
HRESULT CheckInput(const void* source, LONG_PTR len, unsigned flag) {
  const bool memory = IsMemoryInput(flag);
  SR_RETURN_HR_IF(kNotPathInput, (flag & kInputKindMask) && !memory);
  SR_RETURN_HR_IF(memory ? kNoInput : kPathRefused, source == nullptr || (memory && len <= 0));
  return S_OK;
}

// `name` is null when it was refused on the way in: it then matches no entry.
// With memory input `source` points at the whole file and `len` is its size.
HRESULT FileInfo(const void* source, LONG_PTR len, const wchar_t* name, bool name_refused,
                 unsigned flag, const CallSettings& settings, EntryRecord& request) {
  SR_RETURN_IF_FAILED(CheckInput(source, len, flag));
  if (name != nullptr && lstrlenW(name) >= kRecordTextChars) name_refused = true;
  if (name != nullptr) CopyWideBounded(name, request.file_name, kRecordTextChars);
  SR_RETURN_IF_FAILED(
      IsMemoryInput(flag)
          ? DescribeMemoryEntry(source, static_cast<uint64_t>(len), settings, request)
          : DescribeEntry(static_cast<const wchar_t*>(source), static_cast<uint32_t>(len), settings,
                          request));
  // A name no entry can carry must not match one by its truncated form.
  SR_RETURN_HR_IF(kNameRefused, name_refused);
  return S_OK;
}

// With memory input `source` points at the whole file and `len` is its size.
HRESULT File(const void* source, LONG_PTR len, void* dest, const wchar_t* directory, unsigned flag,
             const CallSettings& settings) {
  const bool memory = IsMemoryInput(flag);
  SR_RETURN_HR_IF(kNotPathInput, (flag & kInputKindMask) && !memory);
  SR_RETURN_HR_IF(kNoPlaceForResult, dest == nullptr);
  SR_RETURN_IF_FAILED(CheckInput(source, len, flag));
  const bool to_memory = (flag & kOutputToMemory) != 0;
  SR_RETURN_HR_IF(kNoOutputFolder, !to_memory && directory == nullptr);
  if (memory) {
    const auto size = static_cast<uint64_t>(len);
    if (to_memory) return FetchMemoryToMemory(source, size, settings, *static_cast<HLOCAL*>(dest));
    return FetchMemoryToDirectory(source, size, settings, directory);
  }
  const auto* path = static_cast<const wchar_t*>(source);
  const auto position = static_cast<EntryWord>(len);
  if (to_memory) return FetchToMemory(path, position, settings, *static_cast<HLOCAL*>(dest));
  return FetchToDirectory(path, position, settings, directory);
}

int PluginInfo(int infono, void* buf, int buflen, bool ansi) {
  wchar_t text[kPathChars];
  if (!PluginInfoText(infono, text)) return 0;
  if (buf == nullptr) return kResultRefused;
  if (buflen <= 0) return 0;
  if (ansi) {
    const int bytes = NarrowBounded(text, static_cast<char*>(buf), buflen);
    const int whole = WideCharToMultiByte(CP_THREAD_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    // The length in wide characters when the whole text fitted, else what was written.
    return bytes + 1 == whole || text[0] == L'\0' ? lstrlenW(text) : bytes;
  }
  return CopyWideBounded(text, static_cast<wchar_t*>(buf), buflen);
}

}  // namespace

extern "C" {

int WINAPI GetPluginInfoW(int infono, wchar_t* buf, int buflen) {
  return Guarded(0, [&](const CallSettings&) { return PluginInfo(infono, buf, buflen, false); });
}

int WINAPI GetPluginInfo(int infono, char* buf, int buflen) {
  return Guarded(0, [&](const CallSettings&) { return PluginInfo(infono, buf, buflen, true); });
}

int WINAPI IsSupportedW(const wchar_t* filename, LONG_PTR dw) {
  return Guarded(0, [&](const CallSettings& settings) {
    const wchar_t* path = AcceptedPath(filename);
    return path != nullptr && SupportsFile(path, dw, settings) ? 1 : 0;
  });
}

int WINAPI IsSupported(const char* filename, LONG_PTR dw) {
  return Guarded(0, [&](const CallSettings& settings) {
    wchar_t path[kPathChars];
    return WidenPath(filename, path) && SupportsFile(path, dw, settings) ? 1 : 0;
  });
}

int WINAPI GetArchiveInfoW(const wchar_t* buf, LONG_PTR len, unsigned flag, HLOCAL* lphInf) {
  return GuardedResult([&](const CallSettings& settings) -> HRESULT {
    if (IsMemoryInput(flag)) return MemoryArchiveInfo(buf, len, settings, lphInf, false);
    return ArchiveInfo(AcceptedPath(buf), len, flag, settings, lphInf, false);
  });
}

int WINAPI GetArchiveInfo(const char* buf, LONG_PTR len, unsigned flag, HLOCAL* lphInf) {
  return GuardedResult([&](const CallSettings& settings) -> HRESULT {
    if (IsMemoryInput(flag)) return MemoryArchiveInfo(buf, len, settings, lphInf, true);
    wchar_t path[kPathChars];
    const bool ok = WidenPath(buf, path);
    return ArchiveInfo(ok ? path : nullptr, len, flag, settings, lphInf, true);
  });
}

int WINAPI GetFileInfoW(const wchar_t* buf, LONG_PTR len, const wchar_t* filename, unsigned flag,
                        EntryRecord* lpInfo) {
  return GuardedResult([&](const CallSettings& settings) -> HRESULT {
    SR_RETURN_HR_IF(kNoPlaceForResult, lpInfo == nullptr || filename == nullptr);
    EntryRecord request{};
    request.position = lpInfo->position;
    const void* source = IsMemoryInput(flag) ? buf : AcceptedPath(buf);
    SR_RETURN_IF_FAILED(FileInfo(source, len, filename, false, flag, settings, request));
    *lpInfo = request;
    return S_OK;
  });
}

int WINAPI GetFileInfo(const char* buf, LONG_PTR len, const char* filename, unsigned flag,
                       EntryRecordA* lpInfo) {
  return GuardedResult([&](const CallSettings& settings) -> HRESULT {
    SR_RETURN_HR_IF(kNoPlaceForResult, lpInfo == nullptr || filename == nullptr);
    wchar_t path[kPathChars];
    wchar_t name[kPathChars];
    const bool memory = IsMemoryInput(flag);
    const bool path_ok = !memory && WidenPath(buf, path);
    const bool name_ok = WidenPath(filename, name);
    EntryRecord request{};
    request.position = lpInfo->position;
    const void* source = memory ? static_cast<const void*>(buf) : path_ok ? path : nullptr;
    SR_RETURN_IF_FAILED(
        FileInfo(source, len, name_ok ? name : L"", !name_ok, flag, settings, request));
    std::memset(lpInfo, 0, sizeof(*lpInfo));
    NarrowRecord(request, *lpInfo);
    return S_OK;
  });
}

int WINAPI GetFileW(const wchar_t* src, LONG_PTR len, wchar_t* dest, unsigned flag,
                    ProgressCallback /*progress*/, LONG_PTR /*lData*/) {
  return GuardedResult([&](const CallSettings& settings) -> HRESULT {
    const void* source = IsMemoryInput(flag) ? src : AcceptedPath(src);
    return File(source, len, dest, dest, flag, settings);
  });
}

int WINAPI GetFile(const char* src, LONG_PTR len, char* dest, unsigned flag,
                   ProgressCallback /*progress*/, LONG_PTR /*lData*/) {
  return GuardedResult([&](const CallSettings& settings) -> HRESULT {
    wchar_t path[kPathChars];
    wchar_t directory[kPathChars];
    const bool memory = IsMemoryInput(flag);
    const bool path_ok = !memory && WidenPath(src, path);
    // Only a directory is text; with bit 8 set `dest` is the address of the host's handle.
    const bool directory_ok = !(flag & kOutputToMemory) && WidenPath(dest, directory);
    const void* source = memory ? static_cast<const void*>(src) : path_ok ? path : nullptr;
    return File(source, len, dest, directory_ok ? directory : nullptr, flag, settings);
  });
}

}  // extern "C"

// Each export has exactly the type the host interface declares.
static_assert(std::is_same_v<decltype(&GetPluginInfo), GetPluginInfoFn>);
static_assert(std::is_same_v<decltype(&GetPluginInfoW), GetPluginInfoWFn>);
static_assert(std::is_same_v<decltype(&IsSupported), IsSupportedFn>);
static_assert(std::is_same_v<decltype(&IsSupportedW), IsSupportedWFn>);
static_assert(std::is_same_v<decltype(&GetArchiveInfo), GetArchiveInfoFn>);
static_assert(std::is_same_v<decltype(&GetArchiveInfoW), GetArchiveInfoWFn>);
static_assert(std::is_same_v<decltype(&GetFileInfo), GetFileInfoFn>);
static_assert(std::is_same_v<decltype(&GetFileInfoW), GetFileInfoWFn>);
static_assert(std::is_same_v<decltype(&GetFile), GetFileFn>);
static_assert(std::is_same_v<decltype(&GetFileW), GetFileWFn>);
