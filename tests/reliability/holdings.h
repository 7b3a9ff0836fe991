// What the plug-in holds of its own (blocks, start-ups, Media Foundation objects), counted by hooks
// on its imports, and what the process holds as a whole: the measures of torture's leak mode.
#pragma once

#include <windows.h>
#include <mfidl.h>
#include <mfreadwrite.h>

#include <set>

namespace stillreel::test {

// The plug-in's own holdings, counted by hooks on its imports. Blocks it hands over leave the
// count when the host frees them (HostFree).
struct Holdings {
  Holdings() { InitializeCriticalSection(&lock); }
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
extern Holdings g_held;

struct HeldLock {
  HeldLock() { EnterCriticalSection(&g_held.lock); }
  ~HeldLock() { LeaveCriticalSection(&g_held.lock); }
};

// Hooks the plug-in's imports (again after each load). Only the start-ups and local memory are
// required; with `inject_leak` one sample a session is kept, to show the check catches a leak.
bool HookPlugin(HMODULE module, bool inject_leak);
// LocalFree as a host calls it on a block the plug-in handed over, leaving the count.
void HostFree(HLOCAL block);

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

// The plug-in's holdings and the process's measures; the thread counts wait a little to fall to
// the settled ones, since Media Foundation's threads end a little after MFShutdown.
Usage MeasureUsage(DWORD settled_threads, long settled_unix_threads);
void PrintUsage(const char* label, const Usage& u);

}  // namespace stillreel::test
