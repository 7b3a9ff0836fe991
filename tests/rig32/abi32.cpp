// The 32-bit plug-in as an older 32-bit host calls it: records declared the way such a host
// declares them, both export names of every function, and every call made through a thunk that
// leaves the stack only 4-byte aligned (all that the 32-bit Windows ABI promises; GCC's own code
// keeps 16). Prints one line per check and exits with the number of failures.
// Usage: abi32 PLUGIN VIDEO OUTDIR   (PLUGIN's settings file lists 4 entries of VIDEO)
// Leaves OUTDIR\memoryN.bmp, the entries fetched into memory, for a comparison with ffmpeg.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>

#include "plugin/host_interface.h"

namespace {

// The records as this 32-bit program lays them out from the one host interface header.
using HostEntryA = stillreel::EntryRecordA;
using HostEntryW = stillreel::EntryRecord;

constexpr int kEntries = 4;
constexpr uint32_t kBmpBytes = 320 * 240 * 4 + 54;
constexpr unsigned kToMemory = stillreel::kOutputToMemory;

int g_failures = 0;

void Check(bool ok, const char* what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAIL", what);
  if (!ok) ++g_failures;
}

}  // namespace

// Calls the stdcall function `fn` with `count` 4-byte arguments, with esp = `residue` mod 16 at
// the call instruction (GCC's convention has 0 there). Returns what `fn` returns in eax.
extern "C" uint32_t CallMisaligned(const void* fn, const uint32_t* args, int count, int residue);
// Returns esp as it is on entry, below the return address.
extern "C" uint32_t __stdcall ProbeStack();
asm(R"(
    .text
    .globl _CallMisaligned
_CallMisaligned:
    pushl %ebp
    movl %esp, %ebp
    pushl %esi
    pushl %edi
    movl 8(%ebp), %eax
    movl 12(%ebp), %esi
    movl 16(%ebp), %ecx
    leal -64(%esp), %edi
    andl $-16, %edi
    addl 20(%ebp), %edi
    leal (%edi,%ecx,4), %edi
    movl %edi, %esp
1:  testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%esi,%ecx,4)
    jmp 1b
2:  call *%eax
    leal -8(%ebp), %esp
    popl %edi
    popl %esi
    popl %ebp
    ret

    .globl _ProbeStack@0
_ProbeStack@0:
    movl %esp, %eax
    ret
)");

namespace {

int g_residue = 4;  // each call takes the next of 4, 8, 12

template <typename T>
uintptr_t Word(T value) {
  if constexpr (std::is_pointer_v<T>)
    return reinterpret_cast<uintptr_t>(value);
  else
    return static_cast<uintptr_t>(value);
}

// The argument list as the words the callee pops.
template <typename... Args>
int CallWords(FARPROC fn, Args... args) {
  const uint32_t words[] = {0, static_cast<uint32_t>(Word(args))...};
  const int residue = g_residue;
  g_residue = g_residue == 12 ? 4 : g_residue + 4;
  return static_cast<int>(
      CallMisaligned(reinterpret_cast<const void*>(fn), words + 1, sizeof...(args), residue));
}

std::string Narrow(const std::wstring& text) {
  std::string out(text.size() * 4 + 1, '\0');
  const int bytes = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, out.data(),
                                        static_cast<int>(out.size()), nullptr, nullptr);
  out.resize(bytes > 0 ? bytes - 1 : 0);
  return out;
}

bool SameBytes(const std::wstring& path, const char* expected, DWORD size) {
  char buffer[64] = {};
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD read = 0;
  ReadFile(file, buffer, sizeof(buffer), &read, nullptr);
  CloseHandle(file);
  return read == size && std::memcmp(buffer, expected, size) == 0;
}

bool WriteBlock(const std::wstring& path, const void* data, DWORD size) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, data, size, &written, nullptr);
  CloseHandle(file);
  return ok && written == size;
}

void CheckLayouts() {
  std::printf(
      "host records: ANSI %zu bytes (position %zu, compsize %zu, filesize %zu, "
      "timestamp %zu, path %zu, filename %zu, crc %zu), wide %zu bytes (path %zu, "
      "filename %zu, crc %zu)\n",
      sizeof(HostEntryA), offsetof(HostEntryA, position), offsetof(HostEntryA, compressed_size),
      offsetof(HostEntryA, file_size), offsetof(HostEntryA, timestamp), offsetof(HostEntryA, path),
      offsetof(HostEntryA, file_name), offsetof(HostEntryA, crc), sizeof(HostEntryW),
      offsetof(HostEntryW, path), offsetof(HostEntryW, file_name), offsetof(HostEntryW, crc));
  for (int residue : {4, 8, 12}) {
    const uint32_t esp =
        CallMisaligned(reinterpret_cast<const void*>(&ProbeStack), nullptr, 0, residue);
    char what[80];
    std::snprintf(what, sizeof(what), "the thunk calls with esp = %d mod 16", residue);
    Check((esp + 4) % 16 == static_cast<uint32_t>(residue), what);
  }
  std::printf("avx2: %s\n", __builtin_cpu_supports("avx2") ? "yes" : "no");
}

// Every function by its plain and its decorated name: the same code.
void CheckExportNames(HMODULE plugin) {
  const struct {
    const char* plain;
    const char* decorated;
  } names[] = {
      {"GetArchiveInfo", "_GetArchiveInfo@16"},
      {"GetArchiveInfoW", "_GetArchiveInfoW@16"},
      {"GetFile", "_GetFile@24"},
      {"GetFileInfo", "_GetFileInfo@20"},
      {"GetFileInfoW", "_GetFileInfoW@20"},
      {"GetFileW", "_GetFileW@24"},
      {"GetPluginInfo", "_GetPluginInfo@12"},
      {"GetPluginInfoW", "_GetPluginInfoW@12"},
      {"IsSupported", "_IsSupported@8"},
      {"IsSupportedW", "_IsSupportedW@8"},
  };
  for (const auto& n : names) {
    const FARPROC plain = GetProcAddress(plugin, n.plain);
    const FARPROC decorated = GetProcAddress(plugin, n.decorated);
    char what[96];
    std::snprintf(what, sizeof(what), "%s and %s resolve to one address (%p, %p)", n.plain,
                  n.decorated, reinterpret_cast<void*>(plain), reinterpret_cast<void*>(decorated));
    Check(plain != nullptr && plain == decorated, what);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);  // a crash must not swallow the lines before it
  if (argc != 4) {
    std::fprintf(stderr, "usage: abi32 PLUGIN VIDEO OUTDIR\n");
    return 100;
  }
  const std::wstring video = argv[2];
  const std::wstring out = argv[3];
  const std::string video_a = Narrow(video);
  const std::string out_a = Narrow(out);
  CreateDirectoryW(out.c_str(), nullptr);

  CheckLayouts();
  HMODULE plugin = LoadLibraryW(argv[1]);
  Check(plugin != nullptr, "LoadLibraryW of the plug-in");
  if (!plugin) return 100;
  CheckExportNames(plugin);
  auto fn = [&](const char* name) { return GetProcAddress(plugin, name); };

  // Information texts: text 0 names the interface, 2 and 3 the file kinds.
  wchar_t text_w[260] = {};
  char text_a[260] = {};
  Check(CallWords(fn("GetPluginInfoW"), 0, text_w, 260) == 4 && lstrcmpW(text_w, L"00AM") == 0,
        "GetPluginInfoW 0 gives 00AM");
  Check(CallWords(fn("GetPluginInfo"), 0, text_a, 260) == 4 && lstrcmpA(text_a, "00AM") == 0,
        "GetPluginInfo 0 gives 00AM");
  Check(CallWords(fn("GetPluginInfoW"), 2, text_w, 260) > 0 && text_w[0] == L'*',
        "GetPluginInfoW 2 gives a file pattern");
  Check(CallWords(fn("GetPluginInfo"), 3, text_a, 260) > 0, "GetPluginInfo 3 gives a description");

  char head[2048] = {};
  Check(CallWords(fn("IsSupportedW"), video.c_str(), head) == 1, "IsSupportedW");
  Check(CallWords(fn("IsSupported"), video_a.c_str(), head) == 1, "IsSupported");

  // Listings read through the host's declarations.
  HLOCAL listing_w = nullptr;
  HLOCAL listing_a = nullptr;
  Check(CallWords(fn("GetArchiveInfoW"), video.c_str(), 0, 0, &listing_w) == 0 && listing_w,
        "GetArchiveInfoW");
  Check(CallWords(fn("GetArchiveInfo"), video_a.c_str(), 0, 0, &listing_a) == 0 && listing_a,
        "GetArchiveInfo");
  if (!listing_w || !listing_a) return 100;
  const auto* w = static_cast<const HostEntryW*>(listing_w);
  const auto* a = static_cast<const HostEntryA*>(listing_a);
  Check(LocalSize(listing_w) >= (kEntries + 1) * sizeof(HostEntryW) &&
            LocalSize(listing_a) >= (kEntries + 1) * sizeof(HostEntryA),
        "listing blocks hold 4 records and the terminator");
  bool records_ok = w[kEntries].method[0] == 0 && a[kEntries].method[0] == 0;
  for (int i = 0; i < kEntries; ++i) {
    wchar_t name_w[32];
    char name_a[32];
    std::swprintf(name_w, 32, L"rich%03d.bmp", i);
    std::snprintf(name_a, sizeof(name_a), "rich%03d.bmp", i);
    std::printf("entry %d: position %u/%u, size %u/%u, time %d/%d, crc %u/%u, %s\n", i,
                w[i].position, a[i].position, w[i].file_size, a[i].file_size, w[i].timestamp,
                a[i].timestamp, w[i].crc, a[i].crc, Narrow(w[i].file_name).c_str());
    records_ok = records_ok && w[i].method[0] != 0 && a[i].method[0] != 0 &&
                 std::memcmp(w[i].method, a[i].method, 8) == 0 &&
                 w[i].position == static_cast<uint32_t>(i) && a[i].position == w[i].position &&
                 w[i].file_size == kBmpBytes && a[i].file_size == kBmpBytes &&
                 w[i].timestamp > 1'500'000'000 && a[i].timestamp == w[i].timestamp &&
                 lstrcmpW(w[i].file_name, name_w) == 0 && lstrcmpA(a[i].file_name, name_a) == 0 &&
                 w[i].path[0] == 0 && a[i].path[0] == 0;
  }
  Check(records_ok, "wide and ANSI records read through the host's layout");

  // Memory input as a host that maps the file gives it (flag 1): the path's entries under the
  // memory names, the first entry's picture; IsSupported with only ".mp4" and the mapped bytes.
  {
    HANDLE file = CreateFileW(video.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    HANDLE mapping = file != INVALID_HANDLE_VALUE
                         ? CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr)
                         : nullptr;
    const void* view =
        mapping != nullptr ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
    const DWORD size = file != INVALID_HANDLE_VALUE ? GetFileSize(file, nullptr) : 0;
    Check(view != nullptr, "the video mapped");
    if (view != nullptr) {
      Check(CallWords(fn("IsSupportedW"), L".mp4", view) == 1,
            "IsSupportedW of .mp4 and its bytes");
      Check(CallWords(fn("IsSupported"), ".mp4", view) == 1, "IsSupported of .mp4 and its bytes");
      HLOCAL from_memory = nullptr;
      Check(CallWords(fn("GetArchiveInfoW"), view, size, 1, &from_memory) == 0 && from_memory,
            "GetArchiveInfoW from memory");
      const auto* m = static_cast<const HostEntryW*>(from_memory);
      bool same = from_memory != nullptr && m[kEntries].method[0] == 0;
      for (int i = 0; same && i < kEntries; ++i) {
        wchar_t name[32];
        std::swprintf(name, 32, L"frame%03d.bmp", i);
        same = m[i].position == w[i].position && m[i].file_size == w[i].file_size &&
               lstrcmpW(m[i].file_name, name) == 0;
      }
      Check(same, "the memory listing has the path's entries, named frame000.bmp and on");
      if (from_memory) LocalFree(from_memory);
      HLOCAL image = nullptr;
      HLOCAL expected = nullptr;
      const int code = CallWords(fn("GetFile"), view, size, &image, kToMemory | 1, 0, 0);
      CallWords(fn("GetFileW"), video.c_str(), 0, &expected, kToMemory, 0, 0);
      Check(code == 0 && image && expected && LocalSize(image) == kBmpBytes &&
                std::memcmp(image, expected, kBmpBytes) == 0,
            "GetFile from memory gives the first entry's picture");
      if (image) LocalFree(image);
      if (expected) LocalFree(expected);
      UnmapViewOfFile(view);
    }
    if (mapping != nullptr) CloseHandle(mapping);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }

  // One entry looked up by name in each form.
  HostEntryW info_w = {};
  HostEntryA info_a = {};
  Check(CallWords(fn("GetFileInfoW"), video.c_str(), 0, L"rich002.bmp", 0, &info_w) == 0 &&
            info_w.position == 2 && info_w.file_size == kBmpBytes &&
            lstrcmpW(info_w.file_name, L"rich002.bmp") == 0,
        "GetFileInfoW finds rich002.bmp");
  Check(CallWords(fn("GetFileInfo"), video_a.c_str(), 0, "rich003.bmp", 0, &info_a) == 0 &&
            info_a.position == 3 && info_a.file_size == kBmpBytes &&
            lstrcmpA(info_a.file_name, "rich003.bmp") == 0,
        "GetFileInfo finds rich003.bmp");

  // Every entry into memory, through the conversion loop, alternating the two functions.
  for (int i = 0; i < kEntries; ++i) {
    HLOCAL image = nullptr;
    const bool wide = i % 2 == 0;
    const int code = wide ? CallWords(fn("GetFileW"), video.c_str(), i, &image, kToMemory, 0, 0)
                          : CallWords(fn("GetFile"), video_a.c_str(), i, &image, kToMemory, 0, 0);
    char what[64];
    std::snprintf(what, sizeof(what), "%s entry %d into memory: %d", wide ? "GetFileW" : "GetFile",
                  i, code);
    const bool ok =
        code == 0 && image && LocalSize(image) == kBmpBytes && std::memcmp(image, "BM", 2) == 0;
    Check(ok, what);
    if (ok) {
      wchar_t name[32];
      std::swprintf(name, 32, L"\\memory%d.bmp", i);
      Check(WriteBlock(out + name, image, kBmpBytes), "memory image saved");
    }
    if (image) LocalFree(image);
  }

  // Into a folder: a new file is written; an existing one is never replaced.
  const std::wstring fresh = out + L"\\rich001.bmp";
  DeleteFileW(fresh.c_str());
  std::wstring dir_w = out;
  Check(CallWords(fn("GetFileW"), video.c_str(), 1, dir_w.data(), 0, 0, 0) == 0 &&
            GetFileAttributesW(fresh.c_str()) != INVALID_FILE_ATTRIBUTES,
        "GetFileW writes rich001.bmp into the folder");
  const char kept[] = "not to be replaced";
  const std::wstring existing = out + L"\\rich000.bmp";
  Check(WriteBlock(existing, kept, sizeof(kept)), "an existing rich000.bmp is prepared");
  Check(CallWords(fn("GetFileW"), video.c_str(), 0, dir_w.data(), 0, 0, 0) == 9,
        "GetFileW onto an existing file gives 9");
  Check(CallWords(fn("GetFile"), video_a.c_str(), 0, out_a.data(), 0, 0, 0) == 9,
        "GetFile onto an existing file gives 9");
  Check(SameBytes(existing, kept, sizeof(kept)), "the existing file is unchanged");

  LocalFree(listing_w);
  LocalFree(listing_a);
  // As the other test hosts do: the process ends once the plug-in's workers have let it go (they
  // hold it for a few seconds); how a process exiting beside them fares is not this check's.
  FreeLibrary(plugin);
  for (int waited = 0; waited < 200 && GetModuleHandleW(argv[1]) != nullptr; ++waited) Sleep(50);
  std::printf("%d failed\n", g_failures);
  return g_failures;
}
