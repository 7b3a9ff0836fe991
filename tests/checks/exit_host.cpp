// A console host that ends its process right after its last call, as every console tool does
// and viewers do on close (/work/shared/hosts.md: "The process exits right after its last
// call"). It loads the plug-in with a bare LoadLibraryW, makes the calls of one shape and returns
// from wmain, which ends the process at once: nothing waits for the plug-in to let go of
// anything. exit_shapes.sh runs it as its own process and reads how the process ended.
// Usage: exit_host SHAPE PLUGIN VIDEO [MS]  (MS: milliseconds to wait after the calls)
//   list             GetArchiveInfoW, then return (the DLL still loaded)
//   fetch            GetFileW of entry 1 to memory, then return
//   list-fetch-free  GetArchiveInfoW, GetFileW, FreeLibrary, then return
//   sta-list-free    in a single-threaded apartment: GetArchiveInfoW, FreeLibrary,
//                    CoUninitialize, then return
//   walk             GetArchiveInfoW, then GetFileW of every entry in order, then return: the
//                    entries after the second are read ahead, none past the last
//   walk-part        GetArchiveInfoW, GetFileW of entries 0 and 1, then return while entry 2 is
//                    being read ahead
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

// `entries` (when given) receives the listing's count.
bool List(HMODULE module, const wchar_t* video, int* entries = nullptr) {
  const auto list = Export<GetArchiveInfoWFn>(module, "GetArchiveInfoW");
  HLOCAL listing = nullptr;
  if (list == nullptr || list(video, 0, 0, &listing) != kResultOk) return false;
  int count = 0;
  for (auto* record = static_cast<const EntryRecord*>(listing); record->method[0]; ++record)
    ++count;
  if (entries != nullptr) *entries = count;
  LocalFree(listing);
  return true;
}

bool Fetch(HMODULE module, const wchar_t* video, LONG_PTR position = 1) {
  const auto fetch = Export<GetFileWFn>(module, "GetFileW");
  HLOCAL image = nullptr;
  if (fetch == nullptr || fetch(video, position, reinterpret_cast<wchar_t*>(&image),
                                kOutputToMemory, nullptr, 0) != kResultOk)
    return false;
  LocalFree(image);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr,
                 "usage: exit_host list|fetch|list-fetch-free|sta-list-free|walk|walk-part PLUGIN "
                 "VIDEO [MS]\n");
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
  } else if (std::wcscmp(shape, L"walk") == 0) {
    int entries = 0;
    ok = List(module, video, &entries);
    for (int i = 0; ok && i < entries; ++i) ok = Fetch(module, video, i);
  } else if (std::wcscmp(shape, L"walk-part") == 0) {
    ok = List(module, video) && Fetch(module, video, 0) && Fetch(module, video, 1);
  } else if (sta) {
    ok = List(module, video);
    FreeLibrary(module);
    CoUninitialize();
  } else {
    return 2;
  }
  // A host that lingers a moment before it ends (read-ahead under way by then).
  if (argc == 5) Sleep(static_cast<DWORD>(_wtoi(argv[4])));
  return ok ? 0 : 1;
}
