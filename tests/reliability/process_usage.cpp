// What the process holds as a whole, measured from inside it; see holdings.h.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "holdings.h"
#include "process_counts.h"
#include "test_support.h"
#include "watchdog.h"

namespace stillreel::test {

namespace {


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
    for (int i = 1; i < argc; ++i) mine.append(" ").append(Utf8(argv[i]));
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
      std::string tail(" ");
      tail.append(command, std::min(program.size() + 1, command.size()));
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

}  // namespace

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

}  // namespace stillreel::test
