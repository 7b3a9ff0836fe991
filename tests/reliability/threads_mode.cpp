// torture threads: host threads list and fetch different videos and the same video at once, while
// clearer threads empty the cache between their lookups. Every picture must be the right one.
#include <mfidl.h>
#include <mfreadwrite.h>

#include <atomic>
#include <cstdio>

#include "import_hook.h"
#include "torture.h"

namespace stillreel::test {
namespace {

struct Worker {
  PluginHost* plugin;
  int index;
  int rounds;
  std::vector<std::string> failures;
  int calls = 0;
};

std::atomic<bool> g_workers_done{false};
std::atomic<long> g_clears{0};

void Fail(Worker& w, const std::string& text) {
  if (w.failures.size() < 8) w.failures.push_back(text);
}

DWORD WINAPI WorkerMain(void* arg) {
  Worker& w = *static_cast<Worker*>(arg);
  PluginHost& plugin = *w.plugin;
  const int video_index = w.index % static_cast<int>(std::size(kVideos));
  const KnownVideo& video = kVideos[video_index];
  const std::wstring path = Media(video.name);
  const size_t entries = EntriesOf(video);
  ScratchDir out;
  for (int round = 0; round < w.rounds; ++round) {
    BeginSubject(video_index);
    const size_t entry = static_cast<size_t>(round * 7 + w.index) % entries;
    std::string why;
    std::string image;
    char text[200];
    switch ((round + w.index) % 4) {
      case 0: {  // the whole listing; this clears the cache under the other threads
        HLOCAL listing = kUntouched;
        const int code = Call("GetArchiveInfoW", plugin.GetArchiveInfoW, path.c_str(), LONG_PTR{0},
                              0u, &listing);
        std::vector<EntryRecord> records;
        if (code != 0 || !ReadListing(listing, records, why) || records.size() != entries ||
            records[0].file_size != 54 + video.width * video.height * 4) {
          snprintf(text, sizeof(text), "round %d: listing code %d, %zu entries %s", round, code,
                   records.size(), why.c_str());
          Fail(w, text);
        }
        if (code == 0) LocalFree(listing);
        break;
      }
      case 1:  // one picture from the cache, or from a listing built again after a clear
      case 2: {
        if ((round + w.index) % 4 == 2) {
          EntryRecord record{};
          const std::wstring name = EntryFileName(video, entry);
          const int code = Call("GetFileInfoW", plugin.GetFileInfoW, path.c_str(), LONG_PTR{0},
                                name.c_str(), 0u, &record);
          if (code != 0 || record.position != entry) {
            snprintf(text, sizeof(text), "round %d: entry info code %d, position %llu", round, code,
                     static_cast<unsigned long long>(record.position));
            Fail(w, text);
          }
        }
        const int code = FetchToMemory(plugin, path, entry, image, why);
        const std::string wrong = code == 0 ? CheckPicture(image, video, entry) : std::string();
        if (code != 0 || !wrong.empty() || !why.empty()) {
          snprintf(text, sizeof(text), "round %d: fetch code %d %s %s", round, code, wrong.c_str(),
                   why.c_str());
          Fail(w, text);
        }
        break;
      }
      case 3: {  // as a file
        std::wstring dir = out.path();
        const int code = Call("GetFileW(file)", plugin.GetFileW, path.c_str(),
                              static_cast<LONG_PTR>(entry), dir.data(), 0u, nullptr, LONG_PTR{0});
        const std::wstring written = out / EntryFileName(video, entry);
        const std::string wrong =
            code == 0 ? CheckPicture(ReadWholeFile(written), video, entry) : std::string();
        if (code != 0 || !wrong.empty()) {
          snprintf(text, sizeof(text), "round %d: file code %d %s", round, code, wrong.c_str());
          Fail(w, text);
        }
        DeleteFileW(written.c_str());
        break;
      }
    }
    ++w.calls;
    EndSubject();
  }
  return 0;
}

DWORD WINAPI ClearerMain(void* arg) {
  Worker& w = *static_cast<Worker*>(arg);
  // A video that is not there: the cache is cleared, the open fails, no Media Foundation runs.
  const std::wstring missing = Media(L"no such video.mp4");
  while (!g_workers_done) {
    HLOCAL listing = kUntouched;
    const int code = Call("GetArchiveInfoW", w.plugin->GetArchiveInfoW, missing.c_str(),
                          LONG_PTR{0}, 0u, &listing);
    if (code != 6 || listing != nullptr) Fail(w, "clear: code " + std::to_string(code));
    ++g_clears;
    Sleep(w.index % 2);  // some clears back to back, some a little apart
  }
  return 0;
}

// With --serialize-opens the plug-in's source readers are created one at a time (a lock around
// its import of MFCreateSourceReaderFromByteStream): a way to tell whether concurrent creation is
// what hangs the platform.
CRITICAL_SECTION g_open_lock;
HRESULT(WINAPI* g_real_create_reader)(IMFByteStream*, IMFAttributes*, IMFSourceReader**) = nullptr;
HRESULT WINAPI SerializedCreateReader(IMFByteStream* stream, IMFAttributes* attributes,
                                      IMFSourceReader** reader) {
  EnterCriticalSection(&g_open_lock);
  const HRESULT hr = g_real_create_reader(stream, attributes, reader);
  LeaveCriticalSection(&g_open_lock);
  return hr;
}

// With --inject-hang another thread takes the plug-in's lock (the first critical section the
// plug-in enters) and never gives it back: shows that the watchdog puts such a hang on the plug-in.
void(WINAPI* g_real_enter)(LPCRITICAL_SECTION) = nullptr;
std::atomic<LPCRITICAL_SECTION> g_plugin_lock{nullptr};
void WINAPI RecordingEnter(LPCRITICAL_SECTION section) {
  LPCRITICAL_SECTION none = nullptr;
  g_plugin_lock.compare_exchange_strong(none, section);
  g_real_enter(section);
}
DWORD WINAPI LockHolderMain(void*) {
  while (g_plugin_lock == nullptr) Sleep(10);
  EnterCriticalSection(g_plugin_lock);
  Sleep(INFINITE);
  return 0;
}

}  // namespace

int RunThreads(int threads, int clearers, int rounds, bool serialize_opens, bool inject_hang) {
  // Reading ahead as on Windows, whose default it is: its workers join the host's threads.
  PluginHost plugin(SettingsFrom("divsec=" + std::to_string(kDivsec) + ";readahead=1").c_str());
  if (!LoadWatched(plugin)) return kExitSetup;
  if (serialize_opens) {
    InitializeCriticalSection(&g_open_lock);
    void* original = nullptr;
    if (!PatchImport(plugin.module(), "MFReadWrite.dll", "MFCreateSourceReaderFromByteStream",
                     reinterpret_cast<void*>(SerializedCreateReader), &original))
      return kExitSetup;
    g_real_create_reader = reinterpret_cast<decltype(g_real_create_reader)>(original);
  }
  if (inject_hang) {
    void* original = nullptr;
    if (!PatchImport(plugin.module(), "KERNEL32.dll", "EnterCriticalSection",
                     reinterpret_cast<void*>(RecordingEnter), &original))
      return kExitSetup;
    g_real_enter = reinterpret_cast<decltype(g_real_enter)>(original);
    CloseHandle(CreateThread(nullptr, 0, LockHolderMain, nullptr, 0, nullptr));
  }
  for (const KnownVideo& video : kVideos) AddSubject(Utf8(video.name));
  std::vector<Worker> workers(threads + clearers);
  std::vector<HANDLE> handles;
  for (int i = 0; i < threads + clearers; ++i) {
    workers[i] = Worker{&plugin, i, rounds, {}, 0};
    handles.push_back(
        CreateThread(nullptr, 0, i < threads ? WorkerMain : ClearerMain, &workers[i], 0, nullptr));
  }
  const ULONGLONG start = GetTickCount64();
  WaitForMultipleObjects(threads, handles.data(), TRUE, INFINITE);
  g_workers_done = true;
  WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, INFINITE);
  for (HANDLE h : handles) CloseHandle(h);
  int failures = 0;
  for (const Worker& w : workers) {
    for (const std::string& f : w.failures) Say("FAIL thread %d: %s", w.index, f.c_str());
    failures += static_cast<int>(w.failures.size());
  }
  Say("THREADS %d workers x %d rounds, %d clearers (%ld clears)%s in %.1f s: %s", threads, rounds,
      clearers, g_clears.load(), serialize_opens ? ", readers created one at a time" : "",
      (GetTickCount64() - start) / 1000.0, failures ? "FAILED" : "all pictures right");
  return failures ? kExitBroken : 0;
}

}  // namespace stillreel::test
