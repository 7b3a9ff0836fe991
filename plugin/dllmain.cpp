// DLL entry: keeps the module handle, and lets go of the kept listings when the host unloads us.
#include <windows.h>

#include "listing/open_videos.h"
#include "plugin/module.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    stillreel::SetPluginModule(instance);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    // FreeLibrary: no worker is left (each holds the DLL), so only listings remain to give back.
    // At process termination (`reserved` set) the other threads are already gone, perhaps
    // holding our lock, and the heap goes with the process: nothing is touched, nothing waited
    // for, no COM or Media Foundation call made (our globals have no destructors to run either).
    stillreel::ForgetOpenVideos();
  }
  return TRUE;
}
