// Reliability driver run under Wine. It loads the plug-in as a host does and runs its exports
// over broken files (corpus), from many threads at once (threads) or for many cycles (leak).
// A watchdog turns a stuck or crashing call into one attributed line plus a stack dump, so that
// a hang can be told apart as ours or the platform's.
//
//   torture corpus [--settings "div=3"] [--deadline S] FILE...
//   torture threads [--threads N] [--clearers N] [--rounds N] [--deadline S] [--serialize-opens 1]
//                   [--inject-hang 1]
//   torture leak [--cycles N] [--warmup N] [--margin-kb N] [--inject-leak 1]
//
// Exit codes: 0 sound, 1 a rule was broken, 2 set-up failed, 3 a call hung in the plug-in, 4 a call
// crashed, 5 a call hung inside the platform.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <objbase.h>
#include <mfapi.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "import_hook.h"
#include "listing/entry_record.h"
#include "plugin/host_interface.h"
#include "test_support.h"

using stillreel::EntryRecord;
using stillreel::EntryRecordA;
using stillreel::EntryWord;
using stillreel::IsTerminator;
using namespace stillreel::test;

namespace {

constexpr int kExitBroken = 1;
constexpr int kExitSetup = 2;
constexpr int kExitHang = 3;  // a call of ours stuck
constexpr int kExitCrash = 4;
constexpr int kExitPlatformHang = 5;  // stuck inside the platform: no verdict on the plug-in

constexpr unsigned kToMemory = 0x100;
// A value no export may leave in a handle it did not fill.
const HLOCAL kUntouched = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0x5A5A5A5A));

// ---------------------------------------------------------------------------------------------
// Output: whole lines, flushed at once, so a dying process still leaves its last words.

CRITICAL_SECTION g_print_lock;

void Say(const char* format, ...) {
  char line[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  EnterCriticalSection(&g_print_lock);
  fputs(line, stdout);
  fputc('\n', stdout);
  fflush(stdout);
  LeaveCriticalSection(&g_print_lock);
}

// ---------------------------------------------------------------------------------------------
// Activity of each host thread, read by the watchdog and the crash handler.

struct Activity {
  std::atomic<DWORD> thread_id{0};
  std::atomic<const char*> call{nullptr};  // export being run; null between calls
  std::atomic<int> subject{-1};            // index of the file or video being worked on
  std::atomic<ULONGLONG> span_start{0};    // start of the span the deadline applies to
  std::atomic<ULONGLONG> call_start{0};    // start of the current export call
};

constexpr int kMaxActivities = 64;
Activity g_activity[kMaxActivities];
std::atomic<int> g_activity_count{0};
thread_local Activity* t_activity = nullptr;
ULONGLONG g_deadline_ms = 30000;
bool g_deadline_per_call = false;     // corpus: per file; threads: per call
std::vector<std::string> g_subjects;  // printable names of the subjects
HMODULE g_exe_base = nullptr;

Activity& Me() {
  if (t_activity == nullptr) {
    const int slot = g_activity_count.fetch_add(1);
    if (slot >= kMaxActivities) TerminateProcess(GetCurrentProcess(), kExitSetup);
    t_activity = &g_activity[slot];
    t_activity->thread_id = GetCurrentThreadId();
  }
  return *t_activity;
}

void BeginSubject(int subject) {
  Activity& me = Me();
  me.subject = subject;
  me.span_start = GetTickCount64();
}

void EndSubject() {
  Activity& me = Me();
  me.subject = -1;
  me.span_start = 0;
}

// Runs one export with the thread's activity showing it.
template <typename Fn, typename... Args>
int Call(const char* name, Fn fn, Args... args) {
  Activity& me = Me();
  me.call_start = GetTickCount64();
  me.call = name;
  if (g_deadline_per_call) me.span_start = me.call_start.load();
  const int result = fn(args...);
  me.call = nullptr;
  if (g_deadline_per_call) me.span_start = 0;
  return result;
}

const char* SubjectName(int subject) {
  return subject >= 0 && subject < static_cast<int>(g_subjects.size()) ? g_subjects[subject].c_str()
                                                                       : "-";
}

// ---------------------------------------------------------------------------------------------
// Stack dumps without a debugger (winedbg is disabled in the test prefix). Addresses are named
// by their module's export table, read straight from memory: no loader lock is taken, so a
// thread that hangs holding it cannot stop the dump.

bool ReadOwn(const void* address, void* out, size_t bytes) {
  SIZE_T read = 0;
  return ReadProcessMemory(GetCurrentProcess(), address, out, bytes, &read) && read == bytes;
}

// Where an address lies: its module (by the name in its export table) and the nearest export
// below it. Internal functions show as that export plus a large offset.
struct Place {
  const BYTE* base = nullptr;  // null: not in a loaded image
  char module[64] = "?";
  const char* nearest = nullptr;
  DWORD64 rva = 0;
  DWORD64 offset = 0;  // from the nearest export
};

Place Locate(DWORD64 address) {
  Place place;
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(reinterpret_cast<void*>(address), &info, sizeof(info)) == 0 ||
      info.Type != MEM_IMAGE)
    return place;
  const auto* base = static_cast<const BYTE*>(info.AllocationBase);
  place.base = base;
  place.rva = address - reinterpret_cast<DWORD64>(base);
  IMAGE_DOS_HEADER dos;
  IMAGE_NT_HEADERS64 nt;
  if (!ReadOwn(base, &dos, sizeof(dos)) || !ReadOwn(base + dos.e_lfanew, &nt, sizeof(nt)))
    return place;
  const IMAGE_DATA_DIRECTORY& dir = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  IMAGE_EXPORT_DIRECTORY exports{};
  if (base == reinterpret_cast<const BYTE*>(g_exe_base)) {
    snprintf(place.module, sizeof(place.module), "torture.exe");
    return place;
  }
  if (dir.VirtualAddress == 0 || !ReadOwn(base + dir.VirtualAddress, &exports, sizeof(exports)))
    return place;
  ReadOwn(base + exports.Name, place.module, sizeof(place.module) - 1);
  place.module[sizeof(place.module) - 1] = '\0';
  const auto* names = reinterpret_cast<const DWORD*>(base + exports.AddressOfNames);
  const auto* ordinals = reinterpret_cast<const WORD*>(base + exports.AddressOfNameOrdinals);
  const auto* functions = reinterpret_cast<const DWORD*>(base + exports.AddressOfFunctions);
  DWORD nearest_rva = 0;
  for (DWORD i = 0; i < exports.NumberOfNames && i < 20000; ++i) {
    const DWORD function = functions[ordinals[i]];
    const bool forwarder =
        function >= dir.VirtualAddress && function < dir.VirtualAddress + dir.Size;
    if (!forwarder && function <= place.rva && function > nearest_rva) {
      nearest_rva = function;
      place.nearest = reinterpret_cast<const char*>(base + names[i]);
    }
  }
  place.offset = place.rva - nearest_rva;
  return place;
}

void DescribeAddress(DWORD64 address, char* out, size_t size) {
  const Place place = Locate(address);
  if (place.base == nullptr) {
    snprintf(out, size, "0x%llx", static_cast<unsigned long long>(address));
  } else if (place.nearest != nullptr) {
    snprintf(out, size, "%s+0x%llx (%s+0x%llx)", place.module,
             static_cast<unsigned long long>(place.rva), place.nearest,
             static_cast<unsigned long long>(place.offset));
  } else {
    snprintf(out, size, "%s+0x%llx", place.module, static_cast<unsigned long long>(place.rva));
  }
}

// Return addresses from the innermost frame out, by the images' unwind tables.
int WalkStack(CONTEXT context, DWORD64* frames, int max) {
  int count = 0;
  while (count < max && context.Rip != 0) {
    frames[count++] = context.Rip;
    DWORD64 image_base = 0;
    PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &image_base, nullptr);
    if (function == nullptr) {
      // A leaf function: the return address is on top of the stack.
      DWORD64 return_address = 0;
      if (!ReadOwn(reinterpret_cast<void*>(context.Rsp), &return_address, 8)) break;
      context.Rip = return_address;
      context.Rsp += 8;
    } else {
      void* handler_data = nullptr;
      DWORD64 establisher = 0;
      RtlVirtualUnwind(UNW_FLAG_NHANDLER, image_base, context.Rip, function, &context,
                       &handler_data, &establisher, nullptr);
    }
  }
  return count;
}

void PrintStack(const char* title, const DWORD64* frames, int count) {
  Say("  %s", title);
  for (int i = 0; i < count; ++i) {
    char where[256];
    DescribeAddress(frames[i], where, sizeof(where));
    Say("    #%-2d %s", i, where);
  }
}

const BYTE* g_plugin_base = nullptr;

// Whose code a stuck host thread is in. Ours: the plug-in's own code is running, or it waits on
// a lock or a wait of its own. The platform's: the plug-in called into Media Foundation (or
// anything else of the system's beyond a plain wait) and that call does not come back.
bool IsOursStuck(const DWORD64* frames, int count, char* why, size_t size) {
  int k = 0;
  while (k < count && Locate(frames[k]).base != g_plugin_base) ++k;
  if (k == count) {
    snprintf(why, size, "not inside the plug-in");
    return false;
  }
  if (k == 0) {
    snprintf(why, size, "running the plug-in's own code");
    return true;
  }
  const Place callee = Locate(frames[k - 1]);
  const char* name = callee.nearest ? callee.nearest : "?";
  const bool system = _stricmp(callee.module, "ntdll.dll") == 0 ||
                      _stricmp(callee.module, "KERNEL32.dll") == 0 ||
                      _stricmp(callee.module, "kernelbase.dll") == 0;
  const bool waits = strstr(name, "CriticalSection") || strstr(name, "Wait") ||
                     strstr(name, "Sleep") || strstr(name, "Lock");
  snprintf(why, size, "the plug-in called %s!%s (+0x%llx), which does not return", callee.module,
           name, static_cast<unsigned long long>(callee.offset));
  return system && waits;
}

// Dumps every thread; returns true when a host thread is stuck in the plug-in's own code.
bool DumpAllThreads() {
  bool ours = false;
  const DWORD self = GetCurrentThreadId();
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != GetCurrentProcessId() || entry.th32ThreadID == self) continue;
    HANDLE thread =
        OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION, FALSE,
                   entry.th32ThreadID);
    if (thread == nullptr) continue;
    CONTEXT context{};
    context.ContextFlags = CONTEXT_FULL;
    // Suspended only while its registers are taken: the walk must not wait on a lock that a
    // suspended thread holds.
    const bool got =
        SuspendThread(thread) != static_cast<DWORD>(-1) && GetThreadContext(thread, &context);
    ResumeThread(thread);
    CloseHandle(thread);
    char title[512];
    snprintf(title, sizeof(title), "thread %04lx (platform or runtime thread)", entry.th32ThreadID);
    int host = -1;
    for (int i = 0; i < g_activity_count; ++i)
      if (g_activity[i].thread_id == entry.th32ThreadID) host = i;
    if (host >= 0) {
      const char* call = g_activity[host].call;
      snprintf(title, sizeof(title), "thread %04lx (host thread %d, in %s, on %s)",
               entry.th32ThreadID, host, call ? call : "no export",
               SubjectName(g_activity[host].subject));
    }
    if (!got) {
      Say("  %s: registers not available", title);
      continue;
    }
    DWORD64 frames[64];
    const int count = WalkStack(context, frames, 64);
    // A call that began only a moment ago is not stuck; its thread merely passed by.
    const bool stuck = host >= 0 && g_activity[host].call.load() != nullptr &&
                       GetTickCount64() - g_activity[host].call_start > 5000;
    if (stuck) {
      char why[300];
      const bool mine = IsOursStuck(frames, count, why, sizeof(why));
      Say("VERDICT %s: host thread %d: %s", mine ? "ours" : "platform", host, why);
      ours = ours || mine;
    }
    PrintStack(title, frames, count);
  }
  CloseHandle(snapshot);
  return ours;
}

DWORD WINAPI WatchdogMain(void*) {
  for (;;) {
    Sleep(200);
    const ULONGLONG now = GetTickCount64();
    for (int i = 0; i < g_activity_count; ++i) {
      const ULONGLONG start = g_activity[i].span_start;
      if (start == 0 || now - start <= g_deadline_ms) continue;
      const char* call = g_activity[i].call;
      Say("HANG host thread %d in %s on %s after %llu s", i, call ? call : "no export",
          SubjectName(g_activity[i].subject), (now - start) / 1000);
      for (int j = 0; j < g_activity_count; ++j) {
        const char* other = g_activity[j].call;
        Say("  host thread %d: %s on %s", j, other ? other : "between calls",
            SubjectName(g_activity[j].subject));
      }
      const bool ours = DumpAllThreads();
      Say("END HANG %s", ours ? "ours" : "platform");
      TerminateProcess(GetCurrentProcess(), ours ? kExitHang : kExitPlatformHang);
    }
  }
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* exception) {
  char where[256];
  DescribeAddress(reinterpret_cast<DWORD64>(exception->ExceptionRecord->ExceptionAddress), where,
                  sizeof(where));
  const Activity* me = t_activity;
  const char* call = me ? me->call.load() : nullptr;
  Say("CRASH code 0x%08lx at %s, %s in %s on %s", exception->ExceptionRecord->ExceptionCode, where,
      me ? "host thread" : "platform thread", call ? call : "no export",
      SubjectName(me ? me->subject.load() : -1));
  DWORD64 frames[64];
  const int count = WalkStack(*exception->ContextRecord, frames, 64);
  int ours = 0;
  while (ours < count && Locate(frames[ours]).base != g_plugin_base) ++ours;
  Say("VERDICT %s", ours == 0      ? "ours: the fault is in the plug-in's code"
                    : ours < count ? "platform: the fault is in code the plug-in called"
                                   : "platform: the plug-in is not on the faulting stack");
  PrintStack("crashing thread", frames, count);
  Say("END CRASH %s", ours == 0 ? "ours" : "platform");
  TerminateProcess(GetCurrentProcess(), kExitCrash);
  return EXCEPTION_EXECUTE_HANDLER;
}

void StartGuards(ULONGLONG deadline_ms, bool per_call) {
  g_deadline_ms = deadline_ms;
  g_deadline_per_call = per_call;
  g_exe_base = GetModuleHandleW(nullptr);
  SetUnhandledExceptionFilter(OnUnhandledException);
  // No error boxes: a stuck dialog would look like a hang of ours.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  CloseHandle(CreateThread(nullptr, 0, WatchdogMain, nullptr, 0, nullptr));
}

// ---------------------------------------------------------------------------------------------
// The plug-in, loaded as a host loads it: a copy beside its settings file in a scratch folder.

using Progress = int(WINAPI*)(int, int, LONG_PTR);

struct Plugin {
  ScratchDir dir;
  HMODULE module = nullptr;
  int(WINAPI* IsSupported)(const char*, LONG_PTR) = nullptr;
  int(WINAPI* IsSupportedW)(const wchar_t*, LONG_PTR) = nullptr;
  int(WINAPI* GetArchiveInfo)(const char*, LONG_PTR, unsigned, HLOCAL*) = nullptr;
  int(WINAPI* GetArchiveInfoW)(const wchar_t*, LONG_PTR, unsigned, HLOCAL*) = nullptr;
  int(WINAPI* GetFileInfoW)(const wchar_t*, LONG_PTR, const wchar_t*, unsigned,
                            EntryRecord*) = nullptr;
  int(WINAPI* GetFileW)(const wchar_t*, LONG_PTR, wchar_t*, unsigned, Progress, LONG_PTR) = nullptr;

  bool Prepare(const std::string& settings) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring built = self;
    built = built.substr(0, built.find_last_of(L'\\') + 1) + L"Stillreel.sph";
    if (!CopyFileW(built.c_str(), (dir / L"Stillreel.sph").c_str(), FALSE)) {
      Say("SETUP cannot copy %s", Utf8(built).c_str());
      return false;
    }
    WriteTextFile(dir / L"Stillreel.ini", settings);
    return Load();
  }

  bool Load() {
    module = LoadLibraryW((dir / L"Stillreel.sph").c_str());
    if (module == nullptr) {
      Say("SETUP LoadLibraryW failed: %lu", GetLastError());
      return false;
    }
    g_plugin_base = reinterpret_cast<const BYTE*>(module);
    return Resolve(IsSupported, "IsSupported") && Resolve(IsSupportedW, "IsSupportedW") &&
           Resolve(GetArchiveInfo, "GetArchiveInfo") &&
           Resolve(GetArchiveInfoW, "GetArchiveInfoW") && Resolve(GetFileInfoW, "GetFileInfoW") &&
           Resolve(GetFileW, "GetFileW");
  }

  // Waits until the plug-in's kept readers have let the DLL go (at most 10 s): Wine may crash on
  // its way out of a process whose Media Foundation pipelines are still alive.
  void Unload() {
    if (module) FreeLibrary(module);
    module = nullptr;
    const std::wstring path = dir / L"Stillreel.sph";
    for (int waited = 0; GetModuleHandleW(path.c_str()) != nullptr && waited < 200; ++waited)
      Sleep(50);
  }

  template <typename Fn>
  bool Resolve(Fn& fn, const char* name) {
    fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (fn == nullptr) Say("SETUP no export %s", name);
    return fn != nullptr;
  }
};

std::string SettingsFrom(const std::string& assignments) {
  std::string text = "[SystemSetting]\r\n";
  for (char c : assignments) text += c == ';' ? std::string("\r\n") : std::string(1, c);
  return text + "\r\n";
}

bool IsDocumentedCode(int code) {
  return code == 0 || code == -1 || code == 2 || code == 4 || code == 6 || code == 9;
}

// Checks a listing block as a host would read it, never past its LocalSize.
bool ReadListing(HLOCAL block, std::vector<EntryRecord>& entries, std::string& why) {
  const SIZE_T bytes = LocalSize(block);
  const auto* records = static_cast<const EntryRecord*>(block);
  const SIZE_T capacity = bytes / sizeof(EntryRecord);
  for (SIZE_T i = 0;; ++i) {
    if (i >= capacity) {
      why += "listing-without-terminator;";
      return false;
    }
    const EntryRecord& r = records[i];
    if (IsTerminator(r)) break;
    const bool name_ended = wmemchr(r.file_name, L'\0', stillreel::kRecordTextChars) != nullptr;
    const size_t length = name_ended ? wcslen(r.file_name) : 0;
    if (std::strcmp(r.method, "MF") != 0 || r.position != i || !name_ended || length < 5 ||
        _wcsicmp(r.file_name + length - 4, L".bmp") != 0 || r.file_size != r.compressed_size ||
        r.file_size < 54 || (r.file_size - 54) % 4 != 0 || r.path[0] != L'\0') {
      why += "malformed-entry;";
      return false;
    }
    entries.push_back(r);
  }
  if (entries.empty()) why += "empty-listing;";
  return !entries.empty();
}

uint32_t Le32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// A complete 32-bit BMP whose headers agree with each other and with the block's size.
bool IsCompleteBmp(const std::string& image) {
  if (image.size() < 54 || image[0] != 'B' || image[1] != 'M') return false;
  const uint64_t width = Le32(&image[18]);
  const uint64_t height = Le32(&image[22]);
  const uint32_t bytes = Le32(&image[2]);
  return bytes <= image.size() && Le32(&image[10]) == 54 && Le32(&image[14]) == 40 &&
         image[28] == 32 && width * height * 4 + 54 == bytes;
}

// The image of an entry into memory; returns the code, `image` filled on success.
int FetchToMemory(Plugin& plugin, const std::wstring& path, EntryWord position, std::string& image,
                  std::string& why) {
  HLOCAL handle = kUntouched;
  const int code =
      Call("GetFileW(memory)", plugin.GetFileW, path.c_str(), static_cast<LONG_PTR>(position),
           reinterpret_cast<wchar_t*>(&handle), kToMemory, nullptr, LONG_PTR{0});
  image.clear();
  if (code == 0) {
    if (handle == kUntouched || handle == nullptr) {
      why += "no-image-handle;";
      return code;
    }
    image.assign(static_cast<const char*>(handle), LocalSize(handle));
    LocalFree(handle);
  } else if (handle != kUntouched) {
    why += "failed-fetch-touched-handle;";
  }
  return code;
}

// Names of the files in a folder.
std::vector<std::wstring> FolderContents(const std::wstring& dir) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0)
      names.push_back(found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

// ---------------------------------------------------------------------------------------------
// corpus: every export over each file, one line of result codes per file.

std::string Codes(const std::vector<int>& codes) {
  if (codes.empty()) return "none";
  std::string text;
  for (int c : codes) {
    if (!text.empty()) text += ',';
    text += std::to_string(c);
  }
  return text;
}

// Two kinds of findings. Broken: a rule of the interface does not hold (a code outside the
// documented set, a handle filled on failure, a malformed listing or picture, a file left behind
// or changed). Unsteady: two calls that rest on the same answers of the platform disagree, which
// only the platform answering differently from one call to the next explains.
struct Findings {
  std::string broken;
  std::string unsteady;
};

bool RunCorpusFile(Plugin& plugin, int index, const std::wstring& path, int max_entries) {
  BeginSubject(index);
  Findings f;
  std::vector<int> all_codes;

  // A viewer hands over the first bytes of the file it asks about.
  char head[2048] = {};
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  const bool readable = file != INVALID_HANDLE_VALUE;
  LARGE_INTEGER file_bytes{};
  if (readable) {
    DWORD read = 0;
    ReadFile(file, head, sizeof(head), &read, nullptr);
    GetFileSizeEx(file, &file_bytes);
    CloseHandle(file);
  }
  const int supported =
      Call("IsSupportedW", plugin.IsSupportedW, path.c_str(), reinterpret_cast<LONG_PTR>(head));
  if (supported != 0 && supported != 1) f.broken += "support-not-0-or-1;";

  HLOCAL listing = kUntouched;
  const int listed =
      Call("GetArchiveInfoW", plugin.GetArchiveInfoW, path.c_str(), LONG_PTR{0}, 0u, &listing);
  all_codes.push_back(listed);
  std::vector<EntryRecord> entries;
  if (listed == 0) {
    if (listing == nullptr || listing == kUntouched) {
      f.broken += "no-listing-handle;";
    } else {
      ReadListing(listing, entries, f.broken);
      LocalFree(listing);
    }
  } else if (listing != nullptr) {
    f.broken += "failed-listing-left-handle;";
  }
  // The listing and the support test rest on the same probe.
  if ((supported == 1) != (listed == 0)) f.unsteady += "support-and-listing-disagree;";

  // By the first entry's name (or a name no video has when there is no listing).
  EntryRecord record{};
  const std::wstring name = entries.empty() ? L"none000.bmp" : entries[0].file_name;
  const int described = Call("GetFileInfoW", plugin.GetFileInfoW, path.c_str(), LONG_PTR{0},
                             name.c_str(), 0u, &record);
  all_codes.push_back(described);
  if (!entries.empty() && described == 0) {
    if (std::memcmp(&record, &entries[0], sizeof(record)) != 0) f.unsteady += "entry-differs;";
  } else if (described != listed) {
    f.unsteady += "entry-info-code-differs;";
  }

  // Up to a few entries into memory: the first, the last and those before it.
  std::vector<int> fetched;
  std::string first_image;
  std::vector<size_t> picks;
  for (size_t i = 0; i < entries.size() && static_cast<int>(picks.size()) < max_entries; ++i)
    picks.push_back(i == 0 ? 0 : entries.size() - i);
  if (entries.empty()) picks.push_back(0);
  for (size_t pick : picks) {
    std::string image;
    const int code = FetchToMemory(plugin, path, pick, image, f.broken);
    fetched.push_back(code);
    all_codes.push_back(code);
    if (entries.empty()) {
      if (code != listed) f.unsteady += "fetch-code-differs;";
    } else if (code == 0) {
      if (!IsCompleteBmp(image))
        f.broken += "image-malformed;";
      else if (Le32(&image[2]) != entries[pick].file_size)
        f.unsteady += "image-size-not-as-listed;";
      if (pick == 0) first_image = image;
    } else if (code != 2 && code != 4) {
      // From a cached listing only the extraction can fail.
      f.broken += "fetch-code-unexpected;";
    }
  }

  // Entry 0 as a file, then again into the same folder: the first file must stay as it was.
  ScratchDir out;
  std::wstring dir = out.path();
  const int exported = Call("GetFileW(file)", plugin.GetFileW, path.c_str(), LONG_PTR{0},
                            dir.data(), 0u, nullptr, LONG_PTR{0});
  all_codes.push_back(exported);
  int again = 0;
  const std::vector<std::wstring> names = FolderContents(dir);
  if (exported == 0) {
    const std::string bytes = names.size() == 1 ? ReadWholeFile(out / names[0]) : std::string();
    if (names.size() != 1 || !IsCompleteBmp(bytes)) {
      f.broken += "exported-file-malformed;";
    } else if (entries.empty() || names[0] != entries[0].file_name) {
      f.unsteady += "exported-file-name-not-as-listed;";
    } else if (!first_image.empty() && bytes != first_image) {
      f.unsteady += "file-and-memory-differ;";
    }
    again = Call("GetFileW(file again)", plugin.GetFileW, path.c_str(), LONG_PTR{0}, dir.data(), 0u,
                 nullptr, LONG_PTR{0});
    all_codes.push_back(again);
    if (again == 0) f.broken += "existing-file-overwritten;";
    if (names.size() == 1 && ReadWholeFile(out / names[0]) != bytes)
      f.broken += "existing-file-changed;";
    if (FolderContents(dir).size() != names.size()) f.broken += "second-export-left-a-file;";
  } else if (!names.empty()) {
    f.broken += "failed-export-left-a-file;";
  }

  // Offsets far into the file reach only the header read (and the probe for files that long).
  HLOCAL far_listing = kUntouched;
  const int far_low = Call("GetArchiveInfoW(offset 2^31-1)", plugin.GetArchiveInfoW, path.c_str(),
                           LONG_PTR{0x7FFFFFFF}, 0u, &far_listing);
  if (far_low == 0 && far_listing != nullptr && far_listing != kUntouched) LocalFree(far_listing);
  HLOCAL high_listing = kUntouched;
  const int far_high = Call("GetArchiveInfoW(offset 2^31)", plugin.GetArchiveInfoW, path.c_str(),
                            LONG_PTR{0x80000000LL}, 0u, &high_listing);
  all_codes.push_back(far_low);
  all_codes.push_back(far_high);
  if (far_high != 6 || high_listing != nullptr) f.broken += "offset-2^31-not-6;";
  if (file_bytes.QuadPart <= 0x7FFFFFFF + 8LL && far_low != (readable ? 2 : 6))
    f.broken += "offset-beyond-end-not-2;";

  for (int code : all_codes)
    if (!IsDocumentedCode(code)) f.broken += "undocumented-code-" + std::to_string(code) + ";";

  const ULONGLONG took = GetTickCount64() - Me().span_start;
  EndSubject();
  const char* verdict = !f.broken.empty() ? "BAD" : !f.unsteady.empty() ? "FLAKY" : "OK";
  const std::string why = f.broken + f.unsteady;
  Say("RESULT %d %s sup=%d list=%d n=%zu info=%d get=%s file=%d again=%d far=%d,%d ms=%llu%s%s",
      index, verdict, supported, listed, entries.size(), described, Codes(fetched).c_str(),
      exported, again, far_low, far_high, took, why.empty() ? "" : " why=", why.c_str());
  return f.broken.empty();
}

int RunCorpus(const std::vector<std::wstring>& files, const std::string& settings,
              int max_entries) {
  Plugin plugin;
  if (!plugin.Prepare(SettingsFrom(settings))) return kExitSetup;
  bool sound = true;
  for (size_t i = 0; i < files.size(); ++i) {
    Say("BEGIN %zu", i);
    sound = RunCorpusFile(plugin, static_cast<int>(i), files[i], max_entries) && sound;
  }
  plugin.Unload();
  Say("DONE %zu", files.size());
  return sound ? 0 : kExitBroken;
}

// ---------------------------------------------------------------------------------------------
// Videos with known content (tests/make_media.sh): every picture shows the second it was taken.

struct KnownVideo {
  const wchar_t* name;
  uint32_t width;
  uint32_t height;
  int seconds;
};

// Different sizes, containers and decoders, so a picture of the wrong video cannot pass.
constexpr KnownVideo kVideos[] = {
    {L"len10s.mp4", 320, 240, 10},
    {L"len59s.mp4", 160, 120, 59},
    {L"len10s.avi", 320, 240, 10},
    {L"wide322.mp4", 322, 240, 3},
};
constexpr int kDivsec = 3;  // the settings of threads and leak: a frame every 3 s

size_t EntriesOf(const KnownVideo& video) { return video.seconds / kDivsec + 1; }

// The second entry `i` shows: its moment, or the last frame's second when that lies at or past
// the end.
int MomentOf(const KnownVideo& video, size_t i) {
  const int t = static_cast<int>(i) * kDivsec;
  return t < video.seconds ? t : video.seconds - 1;
}

// The name the plug-in gives an entry of a known video: stem, three digits, ".bmp".
std::wstring EntryFileName(const KnownVideo& video, size_t entry) {
  std::wstring stem = video.name;
  stem = stem.substr(0, stem.find_last_of(L'.'));
  wchar_t number[16];
  swprintf(number, 16, L"%03zu.bmp", entry);
  return stem + number;
}

std::string CheckPicture(const std::string& image, const KnownVideo& video, size_t entry) {
  const Moment moment = ReadMoment(image);
  char text[160];
  if (!moment.valid || moment.width != video.width || moment.height != video.height) {
    snprintf(text, sizeof(text), "entry %zu: %zu bytes, %ux%u instead of %ux%u", entry,
             image.size(), moment.width, moment.height, video.width, video.height);
    return text;
  }
  if (moment.second != MomentOf(video, entry) || !moment.upright) {
    snprintf(text, sizeof(text), "entry %zu shows second %d%s instead of %d", entry, moment.second,
             moment.upright ? "" : " upside down", MomentOf(video, entry));
    return text;
  }
  return {};
}

// ---------------------------------------------------------------------------------------------
// threads: host threads list and fetch different videos and the same video at once, while
// clearer threads empty the cache between their lookups.

struct Worker {
  Plugin* plugin;
  int index;
  int rounds;
  std::vector<std::string> failures;
  int calls = 0;
};

std::atomic<bool> g_workers_done{false};
std::atomic<long> g_clears{0};

void Fail(Worker& w, const std::string& text) {
  if (w.failures.size() < 8) w.failures.push_back(text);
}

DWORD WINAPI WorkerMain(void* arg) {
  Worker& w = *static_cast<Worker*>(arg);
  Plugin& plugin = *w.plugin;
  const int video_index = w.index % static_cast<int>(std::size(kVideos));
  const KnownVideo& video = kVideos[video_index];
  const std::wstring path = Media(video.name);
  const size_t entries = EntriesOf(video);
  ScratchDir out;
  for (int round = 0; round < w.rounds; ++round) {
    BeginSubject(video_index);
    const size_t entry = static_cast<size_t>(round * 7 + w.index) % entries;
    std::string why;
    std::string image;
    char text[200];
    switch ((round + w.index) % 4) {
      case 0: {  // the whole listing; this clears the cache under the other threads
        HLOCAL listing = kUntouched;
        const int code = Call("GetArchiveInfoW", plugin.GetArchiveInfoW, path.c_str(), LONG_PTR{0},
                              0u, &listing);
        std::vector<EntryRecord> records;
        if (code != 0 || !ReadListing(listing, records, why) || records.size() != entries ||
            records[0].file_size != 54 + video.width * video.height * 4) {
          snprintf(text, sizeof(text), "round %d: listing code %d, %zu entries %s", round, code,
                   records.size(), why.c_str());
          Fail(w, text);
        }
        if (code == 0) LocalFree(listing);
        break;
      }
      case 1:  // one picture from the cache, or from a listing built again after a clear
      case 2: {
        if ((round + w.index) % 4 == 2) {
          EntryRecord record{};
          const std::wstring name = EntryFileName(video, entry);
          const int code = Call("GetFileInfoW", plugin.GetFileInfoW, path.c_str(), LONG_PTR{0},
                                name.c_str(), 0u, &record);
          if (code != 0 || record.position != entry) {
            snprintf(text, sizeof(text), "round %d: entry info code %d, position %llu", round, code,
                     static_cast<unsigned long long>(record.position));
            Fail(w, text);
          }
        }
        const int code = FetchToMemory(plugin, path, entry, image, why);
        const std::string wrong = code == 0 ? CheckPicture(image, video, entry) : std::string();
        if (code != 0 || !wrong.empty() || !why.empty()) {
          snprintf(text, sizeof(text), "round %d: fetch code %d %s %s", round, code, wrong.c_str(),
                   why.c_str());
          Fail(w, text);
        }
        break;
      }
      case 3: {  // as a file
        std::wstring dir = out.path();
        const int code = Call("GetFileW(file)", plugin.GetFileW, path.c_str(),
                              static_cast<LONG_PTR>(entry), dir.data(), 0u, nullptr, LONG_PTR{0});
        const std::wstring written = out / EntryFileName(video, entry);
        const std::string wrong =
            code == 0 ? CheckPicture(ReadWholeFile(written), video, entry) : std::string();
        if (code != 0 || !wrong.empty()) {
          snprintf(text, sizeof(text), "round %d: file code %d %s", round, code, wrong.c_str());
          Fail(w, text);
        }
        DeleteFileW(written.c_str());
        break;
      }
    }
    ++w.calls;
    EndSubject();
  }
  return 0;
}

DWORD WINAPI ClearerMain(void* arg) {
  Worker& w = *static_cast<Worker*>(arg);
  // A video that is not there: the cache is cleared, the open fails, no Media Foundation runs.
  const std::wstring missing = Media(L"no such video.mp4");
  while (!g_workers_done) {
    HLOCAL listing = kUntouched;
    const int code = Call("GetArchiveInfoW", w.plugin->GetArchiveInfoW, missing.c_str(),
                          LONG_PTR{0}, 0u, &listing);
    if (code != 6 || listing != nullptr) Fail(w, "clear: code " + std::to_string(code));
    ++g_clears;
    Sleep(w.index % 2);  // some clears back to back, some a little apart
  }
  return 0;
}

// With --serialize-opens the plug-in's source readers are created one at a time (a lock around
// its import of MFCreateSourceReaderFromURL): a way to tell whether concurrent creation is what
// hangs the platform.
CRITICAL_SECTION g_open_lock;
HRESULT(WINAPI* g_real_create_reader)(LPCWSTR, IMFAttributes*, IMFSourceReader**) = nullptr;
HRESULT WINAPI SerializedCreateReader(LPCWSTR url, IMFAttributes* attributes,
                                      IMFSourceReader** reader) {
  EnterCriticalSection(&g_open_lock);
  const HRESULT hr = g_real_create_reader(url, attributes, reader);
  LeaveCriticalSection(&g_open_lock);
  return hr;
}

// With --inject-hang another thread takes the plug-in's lock (the first critical section the
// plug-in enters) and never gives it back: shows that the watchdog puts such a hang on the plug-in.
void(WINAPI* g_real_enter)(LPCRITICAL_SECTION) = nullptr;
std::atomic<LPCRITICAL_SECTION> g_plugin_lock{nullptr};
void WINAPI RecordingEnter(LPCRITICAL_SECTION section) {
  LPCRITICAL_SECTION none = nullptr;
  g_plugin_lock.compare_exchange_strong(none, section);
  g_real_enter(section);
}
DWORD WINAPI LockHolderMain(void*) {
  while (g_plugin_lock == nullptr) Sleep(10);
  EnterCriticalSection(g_plugin_lock);
  Sleep(INFINITE);
  return 0;
}

int RunThreads(int threads, int clearers, int rounds, bool serialize_opens, bool inject_hang) {
  Plugin plugin;
  if (!plugin.Prepare(SettingsFrom("divsec=" + std::to_string(kDivsec)))) return kExitSetup;
  if (serialize_opens) {
    InitializeCriticalSection(&g_open_lock);
    void* original = nullptr;
    if (!PatchImport(plugin.module, "MFReadWrite.dll", "MFCreateSourceReaderFromURL",
                     reinterpret_cast<void*>(SerializedCreateReader), &original))
      return kExitSetup;
    g_real_create_reader = reinterpret_cast<decltype(g_real_create_reader)>(original);
  }
  if (inject_hang) {
    void* original = nullptr;
    if (!PatchImport(plugin.module, "KERNEL32.dll", "EnterCriticalSection",
                     reinterpret_cast<void*>(RecordingEnter), &original))
      return kExitSetup;
    g_real_enter = reinterpret_cast<decltype(g_real_enter)>(original);
    CloseHandle(CreateThread(nullptr, 0, LockHolderMain, nullptr, 0, nullptr));
  }
  for (const KnownVideo& video : kVideos) g_subjects.push_back(Utf8(video.name));
  std::vector<Worker> workers(threads + clearers);
  std::vector<HANDLE> handles;
  for (int i = 0; i < threads + clearers; ++i) {
    workers[i] = Worker{&plugin, i, rounds, {}, 0};
    handles.push_back(
        CreateThread(nullptr, 0, i < threads ? WorkerMain : ClearerMain, &workers[i], 0, nullptr));
  }
  const ULONGLONG start = GetTickCount64();
  WaitForMultipleObjects(threads, handles.data(), TRUE, INFINITE);
  g_workers_done = true;
  WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, INFINITE);
  for (HANDLE h : handles) CloseHandle(h);
  int failures = 0;
  for (const Worker& w : workers) {
    for (const std::string& f : w.failures) Say("FAIL thread %d: %s", w.index, f.c_str());
    failures += static_cast<int>(w.failures.size());
  }
  Say("THREADS %d workers x %d rounds, %d clearers (%ld clears)%s in %.1f s: %s", threads, rounds,
      clearers, g_clears.load(), serialize_opens ? ", readers created one at a time" : "",
      (GetTickCount64() - start) / 1000.0, failures ? "FAILED" : "all pictures right");
  plugin.Unload();
  return failures ? kExitBroken : 0;
}

// ---------------------------------------------------------------------------------------------
// leak: hundreds of listing and extraction cycles, every block freed as a host frees it. What
// the plug-in holds of its own is counted exactly at its imports; the process as a whole must
// end where it settled after the first cycles.

// The plug-in's own holdings, counted by hooks on its imports. Blocks it hands over leave the
// count when the host frees them (HostFree).
struct Holdings {
  CRITICAL_SECTION lock;
  std::set<void*> local_blocks;
  std::set<void*> crt_blocks;
  long com_starts = 0;
  long mf_starts = 0;
  long mf_sessions = 0;       // every MFStartup that worked, over the whole run
  long leaked_objects = 0;    // readers, samples, media types still referenced at MFShutdown
  long long allocations = 0;  // every block seen, to show the hooks are in place
  long long samples = 0;      // samples the plug-in read
};
Holdings g_held;

// Objects of one Media Foundation session that must all be gone when the plug-in shuts it down,
// in the order they are let go: the reader first, since it may hold the others.
enum ObjectKind { kReader, kSample, kCurrentType, kRequestedType };
constexpr const char* kObjectNames[] = {"reader", "sample", "current media type",
                                        "requested media type"};
thread_local std::vector<std::pair<int, IUnknown*>> t_session_objects;
bool g_inject_leak = false;  // keeps one sample a session: shows the check catches a leak

// The reference taken here is let go at MFShutdown; it must then be the last one.
void Track(ObjectKind kind, IUnknown* object) {
  object->AddRef();
  t_session_objects.emplace_back(kind, object);
}

struct Originals {
  HLOCAL(WINAPI* LocalAlloc)(UINT, SIZE_T);
  HLOCAL(WINAPI* LocalFree)(HLOCAL);
  void* (*malloc)(size_t);
  void* (*calloc)(size_t, size_t);
  void* (*realloc)(void*, size_t);
  void (*free)(void*);
  HRESULT(WINAPI* CoInitialize)(LPVOID);
  HRESULT(WINAPI* CoInitializeEx)(LPVOID, DWORD);
  void(WINAPI* CoUninitialize)();
  HRESULT(WINAPI* MFStartup)(ULONG, DWORD);
  HRESULT(WINAPI* MFShutdown)();
  HRESULT(WINAPI* MFCreateSourceReaderFromURL)(LPCWSTR, IMFAttributes*, IMFSourceReader**);
  HRESULT(WINAPI* MFCreateMediaType)(IMFMediaType**);
} g_real;

struct HeldLock {
  HeldLock() { EnterCriticalSection(&g_held.lock); }
  ~HeldLock() { LeaveCriticalSection(&g_held.lock); }
};

HLOCAL WINAPI HookLocalAlloc(UINT flags, SIZE_T bytes) {
  HLOCAL block = g_real.LocalAlloc(flags, bytes);
  HeldLock lock;
  if (block) g_held.local_blocks.insert(block), ++g_held.allocations;
  return block;
}
HLOCAL WINAPI HookLocalFree(HLOCAL block) {
  {
    HeldLock lock;
    g_held.local_blocks.erase(block);
  }
  return g_real.LocalFree(block);
}
void HostFree(HLOCAL block) { HookLocalFree(block); }
void* HookMalloc(size_t bytes) {
  void* p = g_real.malloc(bytes);
  HeldLock lock;
  if (p) g_held.crt_blocks.insert(p), ++g_held.allocations;
  return p;
}
void* HookCalloc(size_t count, size_t bytes) {
  void* p = g_real.calloc(count, bytes);
  HeldLock lock;
  if (p) g_held.crt_blocks.insert(p);
  return p;
}
void* HookRealloc(void* old, size_t bytes) {
  void* p = g_real.realloc(old, bytes);
  HeldLock lock;
  if (p || bytes == 0) g_held.crt_blocks.erase(old);
  if (p) g_held.crt_blocks.insert(p);
  return p;
}
void HookFree(void* p) {
  {
    HeldLock lock;
    g_held.crt_blocks.erase(p);
  }
  g_real.free(p);
}
HRESULT WINAPI HookCoInitialize(LPVOID reserved) {
  const HRESULT hr = g_real.CoInitialize(reserved);
  HeldLock lock;
  if (SUCCEEDED(hr)) ++g_held.com_starts;  // S_FALSE must be undone too
  return hr;
}
HRESULT WINAPI HookCoInitializeEx(LPVOID reserved, DWORD apartment) {
  const HRESULT hr = g_real.CoInitializeEx(reserved, apartment);
  HeldLock lock;
  if (SUCCEEDED(hr)) ++g_held.com_starts;
  return hr;
}
void WINAPI HookCoUninitialize() {
  {
    HeldLock lock;
    --g_held.com_starts;
  }
  g_real.CoUninitialize();
}
HRESULT WINAPI HookMFStartup(ULONG version, DWORD flags) {
  const HRESULT hr = g_real.MFStartup(version, flags);
  HeldLock lock;
  if (SUCCEEDED(hr)) ++g_held.mf_starts, ++g_held.mf_sessions;
  return hr;
}
// Every reader and media type the plug-in created must be released by now: the reference taken
// here is the last one, so Release returns 0.
HRESULT WINAPI HookMFShutdown() {
  long leaked = 0;
  std::stable_sort(t_session_objects.begin(), t_session_objects.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [kind, object] : t_session_objects) {
    if (object->Release() != 0) {
      if (g_held.leaked_objects + leaked < 3) Say("LEFT a %s still referenced", kObjectNames[kind]);
      ++leaked;
    }
  }
  t_session_objects.clear();
  {
    HeldLock lock;
    --g_held.mf_starts;
    g_held.leaked_objects += leaked;
  }
  return g_real.MFShutdown();
}
// The reader's methods that hand out objects, hooked in the platform's shared vtable.
using ReadSampleFn = HRESULT(STDMETHODCALLTYPE*)(IMFSourceReader*, DWORD, DWORD, DWORD*, DWORD*,
                                                 LONGLONG*, IMFSample**);
using CurrentTypeFn = HRESULT(STDMETHODCALLTYPE*)(IMFSourceReader*, DWORD, IMFMediaType**);
ReadSampleFn g_real_read_sample = nullptr;
CurrentTypeFn g_real_current_type = nullptr;
constexpr int kCurrentTypeSlot = 6;  // IMFSourceReader::GetCurrentMediaType
constexpr int kReadSampleSlot = 9;   // IMFSourceReader::ReadSample

HRESULT STDMETHODCALLTYPE HookReadSample(IMFSourceReader* reader, DWORD stream, DWORD control,
                                         DWORD* actual, DWORD* flags, LONGLONG* time,
                                         IMFSample** sample) {
  const HRESULT hr = g_real_read_sample(reader, stream, control, actual, flags, time, sample);
  if (SUCCEEDED(hr) && sample && *sample) {
    InterlockedIncrement64(&g_held.samples);
    Track(kSample, *sample);
    if (g_inject_leak) (*sample)->AddRef();
  }
  return hr;
}
HRESULT STDMETHODCALLTYPE HookCurrentType(IMFSourceReader* reader, DWORD stream,
                                          IMFMediaType** type) {
  const HRESULT hr = g_real_current_type(reader, stream, type);
  if (SUCCEEDED(hr) && type && *type) Track(kCurrentType, *type);
  return hr;
}

template <typename Fn>
void PatchVtable(void* object, int slot, void* hook, Fn& original) {
  void** vtable = *static_cast<void***>(object);
  if (vtable[slot] == hook) return;
  DWORD protection = 0;
  VirtualProtect(&vtable[slot], sizeof(void*), PAGE_READWRITE, &protection);
  original = reinterpret_cast<Fn>(vtable[slot]);
  vtable[slot] = hook;
  VirtualProtect(&vtable[slot], sizeof(void*), protection, &protection);
}

HRESULT WINAPI HookCreateReader(LPCWSTR url, IMFAttributes* attributes, IMFSourceReader** reader) {
  const HRESULT hr = g_real.MFCreateSourceReaderFromURL(url, attributes, reader);
  if (SUCCEEDED(hr) && *reader) {
    PatchVtable(*reader, kReadSampleSlot, reinterpret_cast<void*>(HookReadSample),
                g_real_read_sample);
    PatchVtable(*reader, kCurrentTypeSlot, reinterpret_cast<void*>(HookCurrentType),
                g_real_current_type);
    Track(kReader, *reader);
  }
  return hr;
}
HRESULT WINAPI HookCreateMediaType(IMFMediaType** type) {
  const HRESULT hr = g_real.MFCreateMediaType(type);
  if (SUCCEEDED(hr) && *type) Track(kRequestedType, *type);
  return hr;
}

// Hooks whatever of these the plug-in imports; the counts it cannot see stay 0. Only the
// start-ups and local memory are required.
bool HookPlugin(HMODULE module) {
  std::string missing;
  auto hook = [&](const char* dll, const char* name, void* replacement, auto& original) {
    void* was = nullptr;
    if (PatchImport(module, dll, name, replacement, &was)) {
      // Loaded again while a worker of its own still held it: the module, hooks and all, stayed.
      if (was != replacement)
        original = reinterpret_cast<std::remove_reference_t<decltype(original)>>(was);
      return true;
    }
    missing += std::string(" ") + name;
    return false;
  };
  bool ok = hook("KERNEL32.dll", "LocalAlloc", reinterpret_cast<void*>(HookLocalAlloc),
                 g_real.LocalAlloc);
  ok =
      hook("KERNEL32.dll", "LocalFree", reinterpret_cast<void*>(HookLocalFree), g_real.LocalFree) &&
      ok;
  ok = hook("MFPlat.DLL", "MFStartup", reinterpret_cast<void*>(HookMFStartup), g_real.MFStartup) &&
       ok;
  ok = hook("MFPlat.DLL", "MFShutdown", reinterpret_cast<void*>(HookMFShutdown),
            g_real.MFShutdown) &&
       ok;
  hook("msvcrt.dll", "malloc", reinterpret_cast<void*>(HookMalloc), g_real.malloc);
  hook("msvcrt.dll", "calloc", reinterpret_cast<void*>(HookCalloc), g_real.calloc);
  hook("msvcrt.dll", "realloc", reinterpret_cast<void*>(HookRealloc), g_real.realloc);
  hook("msvcrt.dll", "free", reinterpret_cast<void*>(HookFree), g_real.free);
  hook("ole32.dll", "CoInitialize", reinterpret_cast<void*>(HookCoInitialize), g_real.CoInitialize);
  hook("ole32.dll", "CoInitializeEx", reinterpret_cast<void*>(HookCoInitializeEx),
       g_real.CoInitializeEx);
  hook("ole32.dll", "CoUninitialize", reinterpret_cast<void*>(HookCoUninitialize),
       g_real.CoUninitialize);
  hook("MFPlat.DLL", "MFCreateMediaType", reinterpret_cast<void*>(HookCreateMediaType),
       g_real.MFCreateMediaType);
  hook("MFReadWrite.dll", "MFCreateSourceReaderFromURL", reinterpret_cast<void*>(HookCreateReader),
       g_real.MFCreateSourceReaderFromURL);
  static bool told = false;
  if (!missing.empty() && !told)
    Say("NOTE not imported by the plug-in, not counted:%s", missing.c_str());
  told = true;
  return ok;
}

struct Usage {
  // The plug-in's own, from the hooks.
  size_t local_blocks = 0, crt_blocks = 0;
  long com_starts = 0, mf_starts = 0, leaked_objects = 0;
  // The process's, as Windows reports them. Wine 8 answers 0 for PrivateUsage and the handle
  // count; its PagefileUsage (the same commit charge on Windows) is the anonymous resident
  // memory of the whole process, unix side included.
  SIZE_T private_usage = 0;
  SIZE_T pagefile_usage = 0;
  DWORD handle_count = 0;
  // The process's, measured directly.
  SIZE_T committed = 0;  // committed private memory of the Windows side
  SIZE_T heap = 0;       // busy bytes of the process heap, where LocalAlloc takes memory
  DWORD handles = 0;     // open handle values
  DWORD threads = 0;
  long unix_threads = -1;  // threads of the Linux process under Wine, the platform's included
};

DWORD CountThreads() {
  DWORD threads = 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++threads;
  CloseHandle(snapshot);
  return threads;
}

// A field of /proc/PID/status of the Linux process Wine runs us in. Wine opens files through its
// server, so /proc/self is the server: the process is found by its command line instead.
long UnixStatusField(const char* field) {
  static std::wstring status_path;
  auto read_all = [](const std::wstring& path) {
    std::string text;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return text;
    char chunk[4096];
    DWORD read = 0;  // /proc files report size 0: read until the end
    while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0)
      text.append(chunk, read);
    CloseHandle(file);
    return text;
  };
  if (status_path.empty()) {
    // The arguments as the Linux side holds them: separated by NULs, here by spaces.
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::string mine;
    for (int i = 1; i < argc; ++i) mine += " " + Utf8(argv[i]);
    LocalFree(argv);
    int found = 0;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(L"Z:\\proc\\*", &entry);
    if (search == INVALID_HANDLE_VALUE) return -1;
    do {
      if (entry.cFileName[0] < L'0' || entry.cFileName[0] > L'9') continue;
      const std::wstring dir = std::wstring(L"Z:\\proc\\") + entry.cFileName;
      // The program itself, not a launcher (timeout, a shell) that names it among its arguments.
      std::string command = read_all(dir + L"\\cmdline");
      const std::string program = command.substr(0, command.find('\0'));
      std::replace(command.begin(), command.end(), '\0', ' ');
      std::string tail = " " + command.substr(std::min(program.size() + 1, command.size()));
      while (!tail.empty() && tail.back() == ' ') tail.pop_back();
      if (program.size() >= 11 && program.compare(program.size() - 11, 11, "torture.exe") == 0 &&
          tail == mine) {
        status_path = dir + L"\\status";
        ++found;
      }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    if (found != 1) status_path = L"-";  // not under Wine, or not told apart: not measured
  }
  if (status_path == L"-") return -1;
  const std::string status = read_all(status_path);
  const size_t at = status.find(std::string("\n") + field + ":");
  return at == std::string::npos
             ? -1
             : std::strtol(status.c_str() + at + strlen(field) + 2, nullptr, 10);
}

Usage MeasureUsage(DWORD settled_threads, long settled_unix_threads) {
  Usage u;
  {
    HeldLock lock;
    u.local_blocks = g_held.local_blocks.size();
    u.crt_blocks = g_held.crt_blocks.size();
    u.com_starts = g_held.com_starts;
    u.mf_starts = g_held.mf_starts;
    u.leaked_objects = g_held.leaked_objects;
  }
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof(counters);
  if (GetProcessMemoryInfo(GetCurrentProcess(),
                           reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters)))
    u.private_usage = counters.PrivateUsage, u.pagefile_usage = counters.PagefileUsage;
  GetProcessHandleCount(GetCurrentProcess(), &u.handle_count);
  MEMORY_BASIC_INFORMATION region;
  for (const BYTE* at = nullptr; VirtualQuery(at, &region, sizeof(region)) != 0;
       at = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) u.committed += region.RegionSize;
  }
  HANDLE heap = GetProcessHeap();
  if (HeapLock(heap)) {
    PROCESS_HEAP_ENTRY walk{};
    while (HeapWalk(heap, &walk))
      if (walk.wFlags & PROCESS_HEAP_ENTRY_BUSY) u.heap += walk.cbData;
    HeapUnlock(heap);
  }
  // Handle values are handed out lowest first: a long run of free values ends the table.
  DWORD flags = 0;
  for (ULONG_PTR value = 4, free_run = 0; free_run < 1024; value += 4) {
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
      ++u.handles;
      free_run = 0;
    } else {
      ++free_run;
    }
  }
  // Media Foundation's work-queue threads end a little after MFShutdown.
  u.threads = CountThreads();
  u.unix_threads = UnixStatusField("Threads");
  for (int wait = 0;
       wait < 30 && (u.threads > settled_threads || u.unix_threads > settled_unix_threads);
       ++wait) {
    Sleep(100);
    u.threads = CountThreads();
    u.unix_threads = UnixStatusField("Threads");
  }
  return u;
}

void PrintUsage(const char* label, const Usage& u) {
  Say("USAGE %-9s plug-in: local=%zu crt=%zu com=%ld mf=%ld leaked=%ld | "
      "process: committed=%zu KiB heap=%zu KiB handles=%lu threads=%lu unix-threads=%ld | "
      "reported: "
      "private=%zu KiB pagefile=%zu KiB handles=%lu",
      label, u.local_blocks, u.crt_blocks, u.com_starts, u.mf_starts, u.leaked_objects,
      u.committed / 1024, u.heap / 1024, u.handles, u.threads, u.unix_threads,
      u.private_usage / 1024, u.pagefile_usage / 1024, u.handle_count);
}

struct LeakCycle {
  Plugin& plugin;
  std::wstring truncated;  // a video cut in half: the decoder's failure paths
  ScratchDir out;
  std::vector<std::string> failures;

  void Expect(bool ok, const char* what, int cycle, int code) {
    if (!ok && failures.size() < 10)
      failures.push_back("cycle " + std::to_string(cycle) + ": " + what + " gave " +
                         std::to_string(code));
  }

  int List(const std::wstring& path, bool ansi = false) {
    HLOCAL listing = kUntouched;
    const int code = ansi ? Call("GetArchiveInfo", plugin.GetArchiveInfo, Utf8(path).c_str(),
                                 LONG_PTR{0}, 0u, &listing)
                          : Call("GetArchiveInfoW", plugin.GetArchiveInfoW, path.c_str(),
                                 LONG_PTR{0}, 0u, &listing);
    if (code == 0) HostFree(listing);
    return code;
  }

  int Fetch(const std::wstring& path, size_t entry, std::string& image) {
    HLOCAL handle = kUntouched;
    const int code =
        Call("GetFileW(memory)", plugin.GetFileW, path.c_str(), static_cast<LONG_PTR>(entry),
             reinterpret_cast<wchar_t*>(&handle), kToMemory, nullptr, LONG_PTR{0});
    image.clear();
    if (code == 0) {
      image.assign(static_cast<const char*>(handle), LocalSize(handle));
      HostFree(handle);
    }
    return code;
  }

  // A host's basic use (a listing and a picture) plus one of the other paths in turn.
  void Run(int cycle) {
    const KnownVideo& video = kVideos[0];
    const std::wstring path = Media(video.name);
    const size_t entry = static_cast<size_t>(cycle) % EntriesOf(video);
    std::string image;
    int code = List(path);
    Expect(code == 0, "GetArchiveInfoW", cycle, code);
    code = Fetch(path, entry, image);
    Expect(code == 0 && CheckPicture(image, video, entry).empty(), "GetFileW(memory)", cycle, code);

    char head[64] = {};
    std::wstring dir = out.path();
    switch (cycle % 5) {
      case 0:
        code = Call("IsSupportedW", plugin.IsSupportedW, path.c_str(),
                    reinterpret_cast<LONG_PTR>(head));
        Expect(code == 1, "IsSupportedW", cycle, code);
        code = List(path, true);
        Expect(code == 0, "GetArchiveInfo", cycle, code);
        break;
      case 1: {
        EntryRecord record{};
        code = Call("GetFileInfoW", plugin.GetFileInfoW, path.c_str(), LONG_PTR{0},
                    EntryFileName(video, entry).c_str(), 0u, &record);
        Expect(code == 0 && record.position == entry, "GetFileInfoW", cycle, code);
        code = Call("GetFileW(file)", plugin.GetFileW, path.c_str(), static_cast<LONG_PTR>(entry),
                    dir.data(), 0u, nullptr, LONG_PTR{0});
        Expect(code == 0, "GetFileW(file)", cycle, code);
        // Decoded, then refused: the picture must not stay behind.
        code = Call("GetFileW(file exists)", plugin.GetFileW, path.c_str(),
                    static_cast<LONG_PTR>(entry), dir.data(), 0u, nullptr, LONG_PTR{0});
        Expect(code == 9, "GetFileW(existing file)", cycle, code);
        DeleteFileW((out / EntryFileName(video, entry)).c_str());
        break;
      }
      case 2:
        code = List(Media(L"notvideo.mp4"));
        Expect(code == 2, "GetArchiveInfoW(not a video)", cycle, code);
        code = Call("IsSupportedW", plugin.IsSupportedW, Media(L"audio_only.m4a").c_str(),
                    reinterpret_cast<LONG_PTR>(head));
        Expect(code == 0, "IsSupportedW(audio only)", cycle, code);
        break;
      case 3:
        code = Fetch(truncated, static_cast<size_t>(cycle / 5) % 3, image);
        Expect(IsDocumentedCode(code), "GetFileW(truncated)", cycle, code);
        break;
      case 4:
        code = Fetch(path, 1000, image);
        Expect(code == 2, "GetFileW(no such entry)", cycle, code);
        code = List(Media(L"no such video.mp4"));
        Expect(code == 6, "GetArchiveInfoW(missing)", cycle, code);
        break;
    }
  }
};

// How CoInitializeEx answers on a fresh thread after the plug-in ran there: S_OK means nothing
// of the plug-in's start-ups is left on it.
enum class Apartment { kNone, kSingle, kMulti };
struct ApartmentCheck {
  LeakCycle* cycle;
  Apartment apartment;
  HRESULT after = E_FAIL;
};

DWORD WINAPI ApartmentMain(void* arg) {
  auto& check = *static_cast<ApartmentCheck*>(arg);
  if (check.apartment == Apartment::kSingle) CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (check.apartment == Apartment::kMulti) CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  for (int c = 0; c < 5; ++c) check.cycle->Run(c);
  if (check.apartment != Apartment::kNone) CoUninitialize();
  check.after = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (SUCCEEDED(check.after)) CoUninitialize();
  return 0;
}

int RunLeak(int cycles, int warmup, size_t margin_bytes) {
  InitializeCriticalSection(&g_held.lock);
  Plugin plugin;
  if (!plugin.Prepare(SettingsFrom("divsec=" + std::to_string(kDivsec))) ||
      !HookPlugin(plugin.module))
    return kExitSetup;
  g_subjects.push_back(Utf8(kVideos[0].name));
  LeakCycle cycle{plugin, {}, {}, {}};
  cycle.truncated = cycle.out / L"half.mkv";
  const std::string whole = ReadWholeFile(Media(L"len10s.mkv"));
  WriteTextFile(cycle.truncated, whole.substr(0, whole.size() / 2));

  bool sound = true;
  std::vector<Usage> checkpoints;
  long sessions_at_settle = 0;
  const int every = std::max(1, (cycles - warmup) / 12);
  const ULONGLONG start = GetTickCount64();
  for (int c = 1; c <= cycles; ++c) {
    BeginSubject(0);
    cycle.Run(c);
    EndSubject();
    // Unloading and loading again belongs to a long session too.
    if (c % 50 == 0 && c != cycles) {
      plugin.Unload();
      if (!plugin.Load() || !HookPlugin(plugin.module)) return kExitSetup;
    }
    if (c >= warmup && ((c - warmup) % every == 0 || c == cycles)) {
      // An empty cache: then every block of the plug-in's is a leak.
      cycle.List(Media(L"no such video.mp4"));
      // Once its kept readers' idle time has passed the plug-in holds nothing of COM or Media
      // Foundation.
      for (int waited = 0; (g_held.mf_starts || g_held.com_starts) && waited < 100; ++waited)
        Sleep(100);
      if (g_held.com_starts != 0 || g_held.mf_starts != 0) {
        Say("FAIL cycle %d: start-ups left: com=%ld mf=%ld", c, g_held.com_starts,
            g_held.mf_starts);
        sound = false;
      }
      if (c == warmup) sessions_at_settle = g_held.mf_sessions;
      checkpoints.push_back(
          checkpoints.empty() ? MeasureUsage(0, 0)
                              : MeasureUsage(checkpoints[0].threads, checkpoints[0].unix_threads));
      PrintUsage(c == warmup ? "settled" : ("cycle " + std::to_string(c)).c_str(),
                 checkpoints.back());
    }
  }
  const Usage& settled = checkpoints.front();
  const Usage& end = checkpoints.back();
  const long sessions = g_held.mf_sessions - sessions_at_settle;
  Say("LEAK %d cycles (%ld Media Foundation sessions after settling; %lld allocations and %lld "
      "samples of the plug-in's seen) in %.1f s",
      cycles, sessions, g_held.allocations, g_held.samples, (GetTickCount64() - start) / 1000.0);

  auto check = [&](const char* what, long long settled_value, long long end_value,
                   long long allowed) {
    const long long delta = end_value - settled_value;
    Say("GROWTH %-24s %+lld (allowed %+lld)%s", what, delta, allowed,
        delta > allowed ? "  <-- too much" : "");
    if (delta > allowed) sound = false;
  };
  // Ours, exactly: with the cache empty the plug-in holds nothing at all.
  check("plug-in local blocks", 0, end.local_blocks, 0);
  check("plug-in crt blocks", settled.crt_blocks, end.crt_blocks, 0);
  check("plug-in objects left", 0, end.leaked_objects, 0);
  // The process's memory swings with what the platform keeps for a while, so the floors are
  // compared: the least of the first third of the checkpoints against the least of the last.
  const size_t third = std::max<size_t>(1, checkpoints.size() / 3);
  auto floor_of = [&](size_t from, size_t to, SIZE_T Usage::*field) {
    SIZE_T least = SIZE_MAX;
    for (size_t i = from; i < to; ++i) least = std::min(least, checkpoints[i].*field);
    return static_cast<long long>(least);
  };
  const size_t last = checkpoints.size() - third;
  // Wine's Media Foundation keeps about 0.7 KiB of heap per start-up whoever calls it (measured
  // without the plug-in): 1 KiB a session is allowed on top of the margin.
  check("process heap floor", floor_of(0, third, &Usage::heap),
        floor_of(last, checkpoints.size(), &Usage::heap),
        static_cast<long long>(sessions) * 1024 + static_cast<long long>(margin_bytes));
  // Committed memory grows with that heap, and with nothing else of ours.
  check("process committed floor", floor_of(0, third, &Usage::committed),
        floor_of(last, checkpoints.size(), &Usage::committed),
        static_cast<long long>(sessions) * 1024 + static_cast<long long>(margin_bytes));
  check("process private floor", floor_of(0, third, &Usage::private_usage),
        floor_of(last, checkpoints.size(), &Usage::private_usage), margin_bytes);
  // Wine's GStreamer side keeps 40 to 300 KiB a session whoever calls it, the more the longer a
  // reader lives after its first read (measured without the plug-in); a leaked pipeline keeps
  // megabytes and its threads.
  check("process pagefile floor", floor_of(0, third, &Usage::pagefile_usage),
        floor_of(last, checkpoints.size(), &Usage::pagefile_usage),
        static_cast<long long>(sessions) * 512 * 1024 + static_cast<long long>(margin_bytes));
  check("process handles", settled.handles, end.handles, 0);
  check("process threads", settled.threads, end.threads, 0);
  if (end.unix_threads >= 0)
    check("process unix threads", settled.unix_threads, end.unix_threads, 0);

  // Every start-up of COM is undone: on this thread, which never initialised COM, and on threads
  // whose host had set up a single- or multithreaded apartment before calling.
  const HRESULT here = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (SUCCEEDED(here)) CoUninitialize();
  Say("COM on this thread after the cycles: CoInitializeEx gives 0x%08lx%s", here,
      here == S_OK ? "" : "  <-- left initialised");
  if (here != S_OK) sound = false;
  for (Apartment apartment : {Apartment::kNone, Apartment::kSingle, Apartment::kMulti}) {
    ApartmentCheck check{&cycle, apartment};
    HANDLE thread = CreateThread(nullptr, 0, ApartmentMain, &check, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    const char* name = apartment == Apartment::kNone     ? "no apartment"
                       : apartment == Apartment::kSingle ? "a single-threaded apartment"
                                                         : "a multithreaded apartment";
    Say("COM on a thread that called from %s: CoInitializeEx gives 0x%08lx afterwards%s", name,
        check.after, check.after == S_OK ? "" : "  <-- left initialised");
    if (check.after != S_OK) sound = false;
  }
  for (int waited = 0; (g_held.mf_starts || g_held.com_starts) && waited < 100; ++waited)
    Sleep(100);
  if (g_held.com_starts != 0 || g_held.mf_starts != 0 || g_held.leaked_objects != 0) sound = false;
  for (const std::string& f : cycle.failures) Say("FAIL %s", f.c_str());
  if (!cycle.failures.empty()) sound = false;
  plugin.Unload();
  Say("LEAK %s", sound ? "sound" : "FAILED");
  return sound ? 0 : kExitBroken;
}
// ---------------------------------------------------------------------------------------------

int IntOption(std::vector<std::wstring>& args, const wchar_t* name, int fallback) {
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == name) {
      const int value = _wtoi(args[i + 1].c_str());
      args.erase(args.begin() + i, args.begin() + i + 2);
      return value;
    }
  }
  return fallback;
}

std::string TextOption(std::vector<std::wstring>& args, const wchar_t* name,
                       const std::string& fallback) {
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == name) {
      const std::string value = Utf8(args[i + 1]);
      args.erase(args.begin() + i, args.begin() + i + 2);
      return value;
    }
  }
  return fallback;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  InitializeCriticalSection(&g_print_lock);
  _setmode(_fileno(stdout), _O_BINARY);  // plain \n line ends for the scripts that read us
  setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
  std::vector<std::wstring> args(argv + 1, argv + argc);
  if (args.empty()) {
    Say("usage: torture corpus|threads|leak [options] ...");
    return kExitSetup;
  }
  const std::wstring mode = args[0];
  args.erase(args.begin());
  const int deadline = IntOption(args, L"--deadline", 60);
  if (mode == L"corpus") {
    const std::string settings = TextOption(args, L"--settings", "div=3");
    const int entries = IntOption(args, L"--entries", 3);
    for (const std::wstring& file : args) g_subjects.push_back(Utf8(file));
    StartGuards(deadline * 1000ULL, false);
    return RunCorpus(args, settings, entries);
  }
  if (mode == L"threads") {
    const int threads = IntOption(args, L"--threads", 2);
    const int clearers = IntOption(args, L"--clearers", 1);
    const int rounds = IntOption(args, L"--rounds", 8);
    const bool serialize = IntOption(args, L"--serialize-opens", 0) != 0;
    const bool inject_hang = IntOption(args, L"--inject-hang", 0) != 0;
    StartGuards(deadline * 1000ULL, true);
    return RunThreads(threads, clearers, rounds, serialize, inject_hang);
  }
  if (mode == L"leak") {
    const int cycles = IntOption(args, L"--cycles", 100);
    const int warmup = IntOption(args, L"--warmup", std::max(10, cycles / 5));
    const int margin_kb = IntOption(args, L"--margin-kb", 1024);
    g_inject_leak = IntOption(args, L"--inject-leak", 0) != 0;
    StartGuards(deadline * 1000ULL, true);
    return RunLeak(cycles, warmup, static_cast<size_t>(margin_kb) * 1024);
  }
  Say("unknown mode");
  return kExitSetup;
}
