// A watchdog for test drivers that call the plug-in: each host thread shows which export it is
// in and on what; a call stuck past its deadline or a crash becomes one attributed line plus a
// stack dump of every thread, so that a hang can be told apart as ours or the platform's.
#pragma once

#include <windows.h>

#include <string>

namespace stillreel::test {

// Exit codes of a guarded program.
inline constexpr int kExitBroken = 1;
inline constexpr int kExitSetup = 2;
inline constexpr int kExitHang = 3;  // a call of ours stuck
inline constexpr int kExitCrash = 4;
inline constexpr int kExitPlatformHang = 5;  // stuck inside the platform: no verdict on us

// Prints one whole line and flushes it, so a dying process still leaves its last words.
void Say(const char* format, ...);

// Names what subject numbers stand for in reports (files, videos), in order.
void AddSubject(const std::string& name);
// The calling host thread works on subject `subject` from now on; with a per-subject deadline
// the deadline runs from here.
void BeginSubject(int subject);
void EndSubject();
// When the current subject began (ms of GetTickCount64).
ULONGLONG SubjectStart();

void EnterCall(const char* name);
void LeaveCall();

// Runs one export with the thread's activity showing it.
template <typename Fn, typename... Args>
int Call(const char* name, Fn fn, Args... args) {
  EnterCall(name);
  const int result = fn(args...);
  LeaveCall();
  return result;
}

// Code inside `module` counts as ours in the verdicts; call again after each reload.
void WatchPlugin(HMODULE module);

// Installs the crash handler and starts the watchdog: a span longer than `deadline_ms` (a whole
// subject, or each call when `per_call`) ends the process with kExitHang or kExitPlatformHang.
void StartGuards(ULONGLONG deadline_ms, bool per_call);

}  // namespace stillreel::test
