// The watchdog and crash handler of test drivers; see watchdog.h. Stacks are walked without a
// debugger (winedbg is disabled in the test prefix).
#include "watchdog.h"

#include <tlhelp32.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

namespace stillreel::test {
namespace {

// Ready before main runs: a line may be said before anything else is set up.
struct PrintLock {
  PrintLock() { InitializeCriticalSection(&section); }
  CRITICAL_SECTION section;
} g_print_lock;

}  // namespace

void Say(const char* format, ...) {
  char line[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  EnterCriticalSection(&g_print_lock.section);
  fputs(line, stdout);
  fputc('\n', stdout);
  fflush(stdout);
  LeaveCriticalSection(&g_print_lock.section);
}

namespace {

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
char g_exe_name[64] = "the program";

Activity& Me() {
  if (t_activity == nullptr) {
    const int slot = g_activity_count.fetch_add(1);
    if (slot >= kMaxActivities) TerminateProcess(GetCurrentProcess(), kExitSetup);
    t_activity = &g_activity[slot];
    t_activity->thread_id = GetCurrentThreadId();
  }
  return *t_activity;
}

}  // namespace

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

ULONGLONG SubjectStart() { return Me().span_start; }

void AddSubject(const std::string& name) { g_subjects.push_back(name); }

void EnterCall(const char* name) {
  Activity& me = Me();
  me.call_start = GetTickCount64();
  me.call = name;
  if (g_deadline_per_call) me.span_start = me.call_start.load();
}

void LeaveCall() {
  Activity& me = Me();
  me.call = nullptr;
  if (g_deadline_per_call) me.span_start = 0;
}

namespace {

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
    snprintf(place.module, sizeof(place.module), "%s", g_exe_name);
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

}  // namespace

void WatchPlugin(HMODULE module) { g_plugin_base = reinterpret_cast<const BYTE*>(module); }

void StartGuards(ULONGLONG deadline_ms, bool per_call) {
  g_deadline_ms = deadline_ms;
  g_deadline_per_call = per_call;
  g_exe_base = GetModuleHandleW(nullptr);
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  const char* slash = strrchr(path, '\\');
  snprintf(g_exe_name, sizeof(g_exe_name), "%s", slash ? slash + 1 : path);
  SetUnhandledExceptionFilter(OnUnhandledException);
  // No error boxes: a stuck dialog would look like a hang of ours.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  CloseHandle(CreateThread(nullptr, 0, WatchdogMain, nullptr, 0, nullptr));
}

}  // namespace stillreel::test
