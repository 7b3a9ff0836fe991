// Early-return macros for HRESULT and Win32 results; each evaluates its argument once and traces
// a failure (see trace.h) before passing it on.
#pragma once

#include <windows.h>

#include "win/trace.h"

#define SR_RETURN_IF_FAILED(expr)                                   \
  do {                                                              \
    const HRESULT sr_hr_ = (expr);                                  \
    if (FAILED(sr_hr_)) {                                           \
      ::stillreel::TraceFailure(#expr, sr_hr_, __FILE__, __LINE__); \
      return sr_hr_;                                                \
    }                                                               \
  } while (0)

#define SR_RETURN_HR_IF(hr, cond)                                   \
  do {                                                              \
    if (cond) {                                                     \
      const HRESULT sr_hr_ = (hr);                                  \
      ::stillreel::TraceFailure(#cond, sr_hr_, __FILE__, __LINE__); \
      return sr_hr_;                                                \
    }                                                               \
  } while (0)

// The HRESULT of `expr`, traced when it failed: `if (FAILED(SR_TRACED(call))) return ...;`.
#define SR_TRACED(expr) ::stillreel::TraceIfFailed((expr), #expr, __FILE__, __LINE__)

// A Win32 call's failure as a traced HRESULT from GetLastError; S_OK when it succeeded.
#define SR_TRACED_WIN32(ok_expr)                                                                  \
  ((ok_expr) ? S_OK                                                                               \
             : ::stillreel::TraceIfFailed(HRESULT_FROM_WIN32(GetLastError()), #ok_expr, __FILE__, \
                                          __LINE__))
