// The plug-in's own holdings, counted by hooks on its imports and on the source reader's vtable;
// see holdings.h.
#include "holdings.h"

#include <mfapi.h>

#include <algorithm>
#include <type_traits>
#include <vector>

#include "import_hook.h"
#include "watchdog.h"

namespace stillreel::test {

Holdings g_held;

namespace {

// Objects of one Media Foundation session that must all be gone when the plug-in shuts it down,
// in the order they are let go: the reader first, since it may hold the others.
enum ObjectKind { kReader, kSample, kCurrentType, kRequestedType };
constexpr const char* kObjectNames[] = {"reader", "sample", "current media type",
                                        "requested media type"};
thread_local std::vector<std::pair<int, IUnknown*>> t_session_objects;
bool g_inject_leak = false;  // keeps one sample a session: shows the check catches a leak

// The reference taken here is let go at MFShutdown; it must then be the last one.
void Track(ObjectKind kind, IUnknown* object) {
  object->AddRef();
  t_session_objects.emplace_back(kind, object);
}

struct Originals {
  HLOCAL(WINAPI* LocalAlloc)(UINT, SIZE_T);
  HLOCAL(WINAPI* LocalFree)(HLOCAL);
  void* (*malloc)(size_t);
  void* (*calloc)(size_t, size_t);
  void* (*realloc)(void*, size_t);
  void (*free)(void*);
  HRESULT(WINAPI* CoInitialize)(LPVOID);
  HRESULT(WINAPI* CoInitializeEx)(LPVOID, DWORD);
  void(WINAPI* CoUninitialize)();
  HRESULT(WINAPI* MFStartup)(ULONG, DWORD);
  HRESULT(WINAPI* MFShutdown)();
  HRESULT(WINAPI* MFCreateSourceReaderFromByteStream)
  (IMFByteStream*, IMFAttributes*, IMFSourceReader**);
  HRESULT(WINAPI* MFCreateMediaType)(IMFMediaType**);
} g_real;

HLOCAL WINAPI HookLocalAlloc(UINT flags, SIZE_T bytes) {
  HLOCAL block = g_real.LocalAlloc(flags, bytes);
  HeldLock lock;
  if (block) g_held.local_blocks.insert(block), ++g_held.allocations;
  return block;
}
HLOCAL WINAPI HookLocalFree(HLOCAL block) {
  {
    HeldLock lock;
    g_held.local_blocks.erase(block);
  }
  return g_real.LocalFree(block);
}
void* HookMalloc(size_t bytes) {
  void* p = g_real.malloc(bytes);
  HeldLock lock;
  if (p) g_held.crt_blocks.insert(p), ++g_held.allocations;
  return p;
}
void* HookCalloc(size_t count, size_t bytes) {
  void* p = g_real.calloc(count, bytes);
  HeldLock lock;
  if (p) g_held.crt_blocks.insert(p);
  return p;
}
void* HookRealloc(void* old, size_t bytes) {
  void* p = g_real.realloc(old, bytes);
  HeldLock lock;
  if (p || bytes == 0) g_held.crt_blocks.erase(old);
  if (p) g_held.crt_blocks.insert(p);
  return p;
}
void HookFree(void* p) {
  {
    HeldLock lock;
    g_held.crt_blocks.erase(p);
  }
  g_real.free(p);
}
HRESULT WINAPI HookCoInitialize(LPVOID reserved) {
  const HRESULT hr = g_real.CoInitialize(reserved);
  HeldLock lock;
  if (SUCCEEDED(hr)) ++g_held.com_starts;  // S_FALSE must be undone too
  return hr;
}
HRESULT WINAPI HookCoInitializeEx(LPVOID reserved, DWORD apartment) {
  const HRESULT hr = g_real.CoInitializeEx(reserved, apartment);
  HeldLock lock;
  if (SUCCEEDED(hr)) ++g_held.com_starts;
  return hr;
}
void WINAPI HookCoUninitialize() {
  {
    HeldLock lock;
    --g_held.com_starts;
  }
  g_real.CoUninitialize();
}
HRESULT WINAPI HookMFStartup(ULONG version, DWORD flags) {
  const HRESULT hr = g_real.MFStartup(version, flags);
  HeldLock lock;
  if (SUCCEEDED(hr)) ++g_held.mf_starts, ++g_held.mf_sessions;
  return hr;
}
// Every reader and media type the plug-in created must be released by now: the reference taken
// here is the last one, so Release returns 0.
HRESULT WINAPI HookMFShutdown() {
  long leaked = 0;
  std::stable_sort(t_session_objects.begin(), t_session_objects.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [kind, object] : t_session_objects) {
    if (object->Release() != 0) {
      if (g_held.leaked_objects + leaked < 3) Say("LEFT a %s still referenced", kObjectNames[kind]);
      ++leaked;
    }
  }
  t_session_objects.clear();
  {
    HeldLock lock;
    --g_held.mf_starts;
    g_held.leaked_objects += leaked;
  }
  return g_real.MFShutdown();
}
// The reader's methods that hand out objects, hooked in the platform's shared vtable.
using ReadSampleFn = HRESULT(STDMETHODCALLTYPE*)(IMFSourceReader*, DWORD, DWORD, DWORD*, DWORD*,
                                                 LONGLONG*, IMFSample**);
using CurrentTypeFn = HRESULT(STDMETHODCALLTYPE*)(IMFSourceReader*, DWORD, IMFMediaType**);
ReadSampleFn g_real_read_sample = nullptr;
CurrentTypeFn g_real_current_type = nullptr;
constexpr int kCurrentTypeSlot = 6;  // IMFSourceReader::GetCurrentMediaType
constexpr int kReadSampleSlot = 9;   // IMFSourceReader::ReadSample

HRESULT STDMETHODCALLTYPE HookReadSample(IMFSourceReader* reader, DWORD stream, DWORD control,
                                         DWORD* actual, DWORD* flags, LONGLONG* time,
                                         IMFSample** sample) {
  const HRESULT hr = g_real_read_sample(reader, stream, control, actual, flags, time, sample);
  if (SUCCEEDED(hr) && sample && *sample) {
    InterlockedIncrement64(&g_held.samples);
    Track(kSample, *sample);
    if (g_inject_leak) (*sample)->AddRef();
  }
  return hr;
}
HRESULT STDMETHODCALLTYPE HookCurrentType(IMFSourceReader* reader, DWORD stream,
                                          IMFMediaType** type) {
  const HRESULT hr = g_real_current_type(reader, stream, type);
  if (SUCCEEDED(hr) && type && *type) Track(kCurrentType, *type);
  return hr;
}

template <typename Fn>
void PatchVtable(void* object, int slot, void* hook, Fn& original) {
  void** vtable = *static_cast<void***>(object);
  if (vtable[slot] == hook) return;
  DWORD protection = 0;
  VirtualProtect(&vtable[slot], sizeof(void*), PAGE_READWRITE, &protection);
  original = reinterpret_cast<Fn>(vtable[slot]);
  vtable[slot] = hook;
  VirtualProtect(&vtable[slot], sizeof(void*), protection, &protection);
}

HRESULT WINAPI HookCreateReader(IMFByteStream* stream, IMFAttributes* attributes,
                                IMFSourceReader** reader) {
  const HRESULT hr = g_real.MFCreateSourceReaderFromByteStream(stream, attributes, reader);
  if (SUCCEEDED(hr) && *reader) {
    PatchVtable(*reader, kReadSampleSlot, reinterpret_cast<void*>(HookReadSample),
                g_real_read_sample);
    PatchVtable(*reader, kCurrentTypeSlot, reinterpret_cast<void*>(HookCurrentType),
                g_real_current_type);
    Track(kReader, *reader);
  }
  return hr;
}
HRESULT WINAPI HookCreateMediaType(IMFMediaType** type) {
  const HRESULT hr = g_real.MFCreateMediaType(type);
  if (SUCCEEDED(hr) && *type) Track(kRequestedType, *type);
  return hr;
}

}  // namespace

void HostFree(HLOCAL block) { HookLocalFree(block); }

// Hooks whatever of these the plug-in imports; the counts it cannot see stay 0. Only the
// start-ups and local memory are required.
bool HookPlugin(HMODULE module, bool inject_leak) {
  g_inject_leak = inject_leak;
  std::string missing;
  auto hook = [&](const char* dll, const char* name, void* replacement, auto& original) {
    void* was = nullptr;
    if (PatchImport(module, dll, name, replacement, &was)) {
      // Loaded again while a worker of its own still held it: the module, hooks and all, stayed.
      if (was != replacement)
        original = reinterpret_cast<std::remove_reference_t<decltype(original)>>(was);
      return true;
    }
    missing += std::string(" ") + name;
    return false;
  };
  bool ok = hook("KERNEL32.dll", "LocalAlloc", reinterpret_cast<void*>(HookLocalAlloc),
                 g_real.LocalAlloc);
  ok =
      hook("KERNEL32.dll", "LocalFree", reinterpret_cast<void*>(HookLocalFree), g_real.LocalFree) &&
      ok;
  ok = hook("MFPlat.DLL", "MFStartup", reinterpret_cast<void*>(HookMFStartup), g_real.MFStartup) &&
       ok;
  ok = hook("MFPlat.DLL", "MFShutdown", reinterpret_cast<void*>(HookMFShutdown),
            g_real.MFShutdown) &&
       ok;
  hook("msvcrt.dll", "malloc", reinterpret_cast<void*>(HookMalloc), g_real.malloc);
  hook("msvcrt.dll", "calloc", reinterpret_cast<void*>(HookCalloc), g_real.calloc);
  hook("msvcrt.dll", "realloc", reinterpret_cast<void*>(HookRealloc), g_real.realloc);
  hook("msvcrt.dll", "free", reinterpret_cast<void*>(HookFree), g_real.free);
  hook("ole32.dll", "CoInitialize", reinterpret_cast<void*>(HookCoInitialize), g_real.CoInitialize);
  hook("ole32.dll", "CoInitializeEx", reinterpret_cast<void*>(HookCoInitializeEx),
       g_real.CoInitializeEx);
  hook("ole32.dll", "CoUninitialize", reinterpret_cast<void*>(HookCoUninitialize),
       g_real.CoUninitialize);
  hook("MFPlat.DLL", "MFCreateMediaType", reinterpret_cast<void*>(HookCreateMediaType),
       g_real.MFCreateMediaType);
  hook("MFReadWrite.dll", "MFCreateSourceReaderFromByteStream",
       reinterpret_cast<void*>(HookCreateReader), g_real.MFCreateSourceReaderFromByteStream);
  static bool told = false;
  if (!missing.empty() && !told)
    Say("NOTE not imported by the plug-in, not counted:%s", missing.c_str());
  told = true;
  return ok;
}

}  // namespace stillreel::test
