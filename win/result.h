// Early-return macros for HRESULT and Win32 results; each evaluates its argument once.
#pragma once

#include <windows.h>

#define SR_RETURN_IF_FAILED(expr)      \
  do {                                 \
    const HRESULT sr_hr_ = (expr);     \
    if (FAILED(sr_hr_)) return sr_hr_; \
  } while (0)

#define SR_RETURN_HR_IF(hr, cond) \
  do {                            \
    if (cond) return (hr);        \
  } while (0)
