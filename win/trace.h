// Opt-in trace of the failing calls behind a result code, for users and maintainers: off unless
// the settings file asks for it, written with OutputDebugStringW (DebugView, a debugger, or
// WINEDEBUG=+debugstr under Wine).
#pragma once

#include <windows.h>

#include <atomic>
#include <cwchar>

namespace stillreel {

// Process-wide: the plug-in sets it from the settings file at the start of each call.
inline std::atomic<bool> g_trace_enabled{false};

inline void SetTraceEnabled(bool enabled) { g_trace_enabled.store(enabled); }

// Writes "Stillreel: <call> failed 0x........ (<file>:<line>)". Fixed buffers only: the trace
// runs on paths where the C++ heap may be what failed.
inline void TraceFailure(const char* call, HRESULT hr, const char* file, int line) {
  if (!g_trace_enabled.load(std::memory_order_relaxed)) return;
  wchar_t text[512];
  const int written = _snwprintf(text, 511, L"Stillreel: %hs failed 0x%08lX (%hs:%d)\n", call,
                                 static_cast<unsigned long>(hr), file, line);
  text[written < 0 ? 511 : written] = L'\0';
  OutputDebugStringW(text);
}

// `hr`, traced when it is a failure; for calls whose failure is handled without returning it.
inline HRESULT TraceIfFailed(HRESULT hr, const char* call, const char* file, int line) {
  if (FAILED(hr)) TraceFailure(call, hr, file, line);
  return hr;
}

}  // namespace stillreel
