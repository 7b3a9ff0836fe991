// A console host that ends its process right after its last call, as every console tool does
// and viewers do on close (/work/shared/hosts.md: "The process exits right after its last
// call"). It loads the plug-in with a bare LoadLibraryW, makes the calls of one shape and returns
// from wmain, which ends the process at once: nothing waits for the plug-in to let go of
// anything. exit_shapes.sh runs it as its own process and reads how the process ended.
// Usage: exit_host SHAPE PLUGIN VIDEO
//   list             GetArchiveInfoW, then return (the DLL still loaded)
//   fetch            GetFileW of entry 1 to memory, then return
//   list-fetch-free  GetArchiveInfoW, GetFileW, FreeLibrary, then return
//   sta-list-free    in a single-threaded apartment: GetArchiveInfoW, FreeLibrary,
//                    CoUninitialize, then return
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cwchar>

#include "plugin/host_interface.h"

using namespace stillreel;

namespace {

template <typename Fn>
Fn Export(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

bool List(HMODULE module, const wchar_t* video) {
  const auto list = Export<GetArchiveInfoWFn>(module, "GetArchiveInfoW");
  HLOCAL listing = nullptr;
  if (list == nullptr || list(video, 0, 0, &listing) != kResultOk) return false;
  LocalFree(listing);
  return true;
}

bool Fetch(HMODULE module, const wchar_t* video) {
  const auto fetch = Export<GetFileWFn>(module, "GetFileW");
  HLOCAL image = nullptr;
  if (fetch == nullptr ||
      fetch(video, 1, reinterpret_cast<wchar_t*>(&image), kOutputToMemory, nullptr, 0) != kResultOk)
    return false;
  LocalFree(image);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    std::fprintf(stderr,
                 "usage: exit_host list|fetch|list-fetch-free|sta-list-free PLUGIN VIDEO\n");
    return 2;
  }
  const wchar_t* shape = argv[1];
  const wchar_t* video = argv[3];
  const bool sta = std::wcscmp(shape, L"sta-list-free") == 0;
  if (sta && FAILED(CoInitialize(nullptr))) return 3;
  HMODULE module = LoadLibraryW(argv[2]);
  if (module == nullptr) return 4;
  bool ok = false;
  if (std::wcscmp(shape, L"list") == 0) {
    ok = List(module, video);
  } else if (std::wcscmp(shape, L"fetch") == 0) {
    ok = Fetch(module, video);
  } else if (std::wcscmp(shape, L"list-fetch-free") == 0) {
    ok = List(module, video) && Fetch(module, video);
    FreeLibrary(module);
  } else if (sta) {
    ok = List(module, video);
    FreeLibrary(module);
    CoUninitialize();
  } else {
    return 2;
  }
  return ok ? 0 : 1;
}
