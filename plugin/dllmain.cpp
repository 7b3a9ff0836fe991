// DLL entry: keeps the module handle and empties the listing cache when the host unloads us.
#include <windows.h>

#include "listing/cache.h"
#include "plugin/module.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    stillreel::SetPluginModule(instance);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    // FreeLibrary: give the listings back now. At process termination the heap goes anyway.
    stillreel::TheListingCache().Clear();
  }
  return TRUE;
}
