// Which platform the plug-in runs on, where a defect of one decides a default, and what of the
// machine the process may use.
#pragma once

#include <windows.h>

#include <bit>
#include <cstdint>

namespace stillreel {

// True under Wine, whose ntdll exports wine_get_version; Windows' never does.
inline bool RunsUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Processors the process may run on; at least 1.
inline int32_t ProcessCores() {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || process == 0) return 1;
  return std::popcount(static_cast<uintptr_t>(process));
}

}  // namespace stillreel
