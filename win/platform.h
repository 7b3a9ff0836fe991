// Which platform the plug-in runs on, where a defect of one decides a default.
#pragma once

#include <windows.h>

namespace stillreel {

// True under Wine, whose ntdll exports wine_get_version; Windows' never does.
inline bool RunsUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace stillreel
