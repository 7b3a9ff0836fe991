// Media Foundation work done on threads of our own, one per open video. A host thread hands its
// request to the video's worker and waits for the answer until its deadline; a worker whose
// answer comes too late is abandoned: it drops the answer, releases what it holds and ends.
// Every worker holds a reference to this module, so the DLL stays loaded until the last one has
// let go of Media Foundation (it ends with FreeLibraryAndExitThread). Fixed slots, no heap.
#include "video/session.h"

#include <utility>

#include "video/reader.h"
#include "win/caller_wait.h"
#include "win/event.h"
#include "win/lock.h"
#include "win/media.h"

namespace stillreel {

namespace {

// The file a reader was opened on: another size, write time or file index means another file;
// one that cannot be opened, or waits to be deleted, matches none.
struct FileStamp {
  bool valid = false;
  BY_HANDLE_FILE_INFORMATION info{};

  bool Same(const FileStamp& other) const {
    return valid && other.valid && info.nFileSizeHigh == other.info.nFileSizeHigh &&
           info.nFileSizeLow == other.info.nFileSizeLow &&
           info.nFileIndexHigh == other.info.nFileIndexHigh &&
           info.nFileIndexLow == other.info.nFileIndexLow &&
           info.dwVolumeSerialNumber == other.info.dwVolumeSerialNumber &&
           CompareFileTime(&info.ftLastWriteTime, &other.info.ftLastWriteTime) == 0;
  }
};

FileStamp StampOf(const wchar_t* path) {
  FileStamp stamp;
  // Attributes only, sharing everything: the kept reader's own handle must not stand in the way.
  UniqueFile file(CreateFileW(path, FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr));
  if (!file) return stamp;
  FILE_STANDARD_INFO standard{};
  if (GetFileInformationByHandleEx(file.get(), FileStandardInfo, &standard, sizeof(standard)) &&
      standard.DeletePending) {
    return stamp;
  }
  stamp.valid = GetFileInformationByHandle(file.get(), &stamp.info) != FALSE;
  return stamp;
}

struct Request {
  bool probe = false;                         // else an extraction
  Microsoft::WRL::ComPtr<LentMemory> memory;  // read from there, not from the path
  int32_t index = 0;
  uint32_t image_bytes = 0;  // the image size the listing gives; 0 when not known
  FrameSettings settings;
  bool serialise_creation = true;
  ReadOnMode read_on = ReadOnMode::kWhenFaster;
  DWORD idle_ms = kDefaultIdleMs;
};

struct Response {
  bool ready = false;
  bool probed = false;
  VideoFacts facts;
  ExtractStatus status = ExtractStatus::kNoFrame;
  UniqueHlocal image;
  uint32_t image_bytes = 0;
};

// kFree: no thread. kBusy: one host call owns the worker. kIdle: its reader waits for the next
// call. kAbandoned: its call returned before the answer came. kEnding: the thread is on its way
// out and takes no more work.
enum class State { kFree, kBusy, kIdle, kAbandoned, kEnding };

struct Slot {
  State state = State::kFree;
  wchar_t path[MAX_PATH] = {};
  FileStamp stamp;
  ULONGLONG idle_since = 0;
  DWORD idle_ms = kDefaultIdleMs;
  bool quit = false;
  HMODULE module = nullptr;  // the worker's reference to this DLL
  Event request_ready;
  Event response_ready;
  Request request;
  Response response;
  // An image block the host thread touches while the worker decodes (TouchedBlock); manual
  // reset, signalled once the host is done with it for the request.
  Event spare_ready;
  UniqueHlocal spare;  // request.image_bytes long
};

// Guards every slot's fields; the events are waited on without it.
CriticalSection g_lock;
Slot g_slots[kMaxWorkers];

// An image block whose every page has been written once. The first write to a fresh page costs
// a fault (about 11 microseconds in a virtual machine: 8 MB of them for a 1080p image, 23 ms);
// done on the host's thread while the worker decodes, they cost no time of their own.
UniqueHlocal TouchedBlock(uint32_t bytes) {
  UniqueHlocal block(LocalAlloc(LMEM_FIXED, bytes));
  if (!block) return block;
  constexpr uint32_t kPage = 4096;
  auto* data = static_cast<volatile uint8_t*>(block.get());
  for (uint32_t offset = 0; offset < bytes; offset += kPage) data[offset] = 0;
  return block;
}

// The worker's side of the spare block: waits for the host to be done touching it.
class SpareBlock final : public ImageBlockSource {
 public:
  SpareBlock(Slot& slot, uint32_t expected_bytes) : m_slot(slot), m_expected(expected_bytes) {}

  UniqueHlocal Take(uint32_t bytes) override {
    // The host is touching it right now and is done within milliseconds; the limit is for safety.
    constexpr DWORD kWaitMs = 2000;
    if (m_expected == 0 || bytes != m_expected || !m_slot.spare_ready.Wait(kWaitMs)) {
      return UniqueHlocal();
    }
    ScopedLock lock(g_lock);
    return std::move(m_slot.spare);
  }

 private:
  Slot& m_slot;
  uint32_t m_expected;
};

// What the worker does for one request, on its own thread.
Response Serve(OpenVideo& video, const MediaFoundationScope& media_foundation, const wchar_t* path,
               Slot& slot, const Request& request) {
  Response response;
  if (FAILED(media_foundation.status())) return response;
  SetReaderCreationSerialised(request.serialise_creation);
  if (!video.is_open() && FAILED(video.Open(path, request.memory.Get()))) return response;
  if (request.probe) {
    response.probed = video.Probe(response.facts);
  } else {
    SpareBlock spare(slot, request.image_bytes);
    response.status = video.Extract(request.index, request.settings, request.read_on, &spare,
                                    response.image, response.image_bytes);
  }
  // A reader that failed once may be in an error state: the next call opens a fresh one.
  if (request.probe ? !response.probed : response.status != ExtractStatus::kOk) video.Close();
  return response;
}

void RunWorker(Slot& slot) {
  wchar_t path[MAX_PATH];
  DWORD idle_ms = 0;
  {
    ScopedLock lock(g_lock);
    lstrcpynW(path, slot.path, MAX_PATH);
    idle_ms = slot.idle_ms;
  }
  // Declared before the reader so that it shuts Media Foundation and COM down last.
  MediaFoundationScope media_foundation(MediaFoundationScope::Apartment::kMulti);
  OpenVideo video;
  for (;;) {
    const bool asked = slot.request_ready.Wait(idle_ms);
    Request request;
    {
      ScopedLock lock(g_lock);
      if (slot.quit || (!asked && slot.state == State::kIdle)) {
        slot.state = State::kEnding;
        return;
      }
      if (!asked) continue;  // claimed just now: the request follows
      request = slot.request;
    }
    idle_ms = request.idle_ms;
    Response response = Serve(video, media_foundation, path, slot, request);
    ScopedLock lock(g_lock);
    // Too late: the caller has returned, and what was made for it goes with `response`.
    if (slot.state == State::kAbandoned) return;
    slot.response = std::move(response);
    slot.response.ready = true;
    // Set under the lock, so that a caller who finds the answer after its wait timed out knows
    // the event is set and takes the signal back.
    slot.response_ready.Set();
  }
}

DWORD WINAPI WorkerMain(void* parameter) {
  Slot& slot = *static_cast<Slot*>(parameter);
  RunWorker(slot);
  HMODULE module = nullptr;
  {
    ScopedLock lock(g_lock);
    module = std::exchange(slot.module, nullptr);
    slot.request_ready.Close();
    slot.response_ready.Close();
    slot.spare_ready.Close();
    slot.spare.reset();
    slot.request = Request{};
    slot.response = Response{};
    slot.state = State::kFree;
  }
  // The DLL may be unloaded right here, once the last reference goes: nothing of ours runs after.
  FreeLibraryAndExitThread(module, 0);
}

// Tells an idle worker to end; the caller holds the lock.
void RetireLocked(Slot& slot) {
  slot.state = State::kEnding;
  slot.quit = true;
  slot.request_ready.Set();
}

// Starts a worker in `slot` for `path`; false when no thread can be made. The caller holds the
// lock.
bool StartLocked(Slot& slot, const wchar_t* path, const FileStamp& stamp,
                 const MediaLimits& limits) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<const wchar_t*>(&WorkerMain), &module)) {
    return false;
  }
  if (!slot.request_ready.Create() || !slot.response_ready.Create() ||
      !slot.spare_ready.Create(true)) {
    slot.request_ready.Close();
    slot.response_ready.Close();
    slot.spare_ready.Close();
    FreeLibrary(module);
    return false;
  }
  lstrcpynW(slot.path, path, MAX_PATH);
  slot.stamp = stamp;
  slot.idle_ms = limits.idle_ms;
  slot.quit = false;
  slot.module = module;
  slot.response = Response{};
  slot.state = State::kBusy;
  UniqueHandle thread(CreateThread(nullptr, 0, WorkerMain, &slot, 0, nullptr));
  if (!thread) {
    slot.request_ready.Close();
    slot.response_ready.Close();
    slot.spare_ready.Close();
    slot.module = nullptr;
    slot.state = State::kFree;
    FreeLibrary(module);
    return false;
  }
  return true;
}

// A worker for `path` owned by the caller: the video's idle one when its file is unchanged, else
// a new one. Null when the work must be refused, or, with `full` set, when every slot is taken
// for now (an idle worker is then told to end, to make room).
Slot* Claim(const wchar_t* path, const FileStamp& stamp, const MediaLimits& limits, bool& full) {
  full = false;
  ScopedLock lock(g_lock);
  int stuck = 0;
  Slot* free_slot = nullptr;
  Slot* oldest_idle = nullptr;
  for (Slot& slot : g_slots) {
    if (slot.state == State::kIdle && limits.keep_reader && stamp.Same(slot.stamp) &&
        lstrcmpiW(slot.path, path) == 0) {
      slot.state = State::kBusy;
      return &slot;
    }
    if (slot.state == State::kAbandoned) {
      // A file that hangs the platform once hangs it again: refused while its worker is stuck.
      if (stamp.Same(slot.stamp) && lstrcmpiW(slot.path, path) == 0) return nullptr;
      ++stuck;
    }
    if (slot.state == State::kFree && free_slot == nullptr) free_slot = &slot;
    if (slot.state == State::kIdle &&
        (oldest_idle == nullptr || slot.idle_since < oldest_idle->idle_since)) {
      oldest_idle = &slot;
    }
  }
  if (stuck >= kMaxStuckWorkers) return nullptr;
  if (free_slot == nullptr) {
    if (oldest_idle != nullptr) RetireLocked(*oldest_idle);
    full = true;
    return nullptr;
  }
  return StartLocked(*free_slot, path, stamp, limits) ? free_slot : nullptr;
}

// Back to idle after an answer, or ending when readers are not kept; the least recently used
// idle reader beyond kMaxIdleReaders is let go. The caller holds the lock.
void ReleaseLocked(Slot& slot, const MediaLimits& limits) {
  if (!limits.keep_reader) {
    RetireLocked(slot);
    return;
  }
  slot.state = State::kIdle;
  slot.idle_since = GetTickCount64();
  slot.idle_ms = limits.idle_ms;
  int idle = 0;
  Slot* oldest = nullptr;
  for (Slot& other : g_slots) {
    if (other.state != State::kIdle) continue;
    ++idle;
    if (oldest == nullptr || other.idle_since < oldest->idle_since) oldest = &other;
  }
  if (idle > kMaxIdleReaders) RetireLocked(*oldest);
}

DWORD RemainingMs(const MediaLimits& limits) {
  if (limits.deadline == 0) return INFINITE;
  const ULONGLONG now = GetTickCount64();
  return now >= limits.deadline ? 0 : static_cast<DWORD>(limits.deadline - now);
}

// Runs `request` on a worker for `path`; false when it was refused or its answer did not come in
// time, and then nothing of it reaches the caller.
bool RunOnWorker(const wchar_t* path, const MediaLimits& limits, const Request& request,
                 Response& response) {
  if (path == nullptr || lstrlenW(path) >= MAX_PATH) return false;
  // Lent memory has no stamp: it matches no other worker, idle or stuck.
  const FileStamp stamp = request.memory ? FileStamp{} : StampOf(path);
  bool full = false;
  Slot* slot = Claim(path, stamp, limits, full);
  // Every slot busy or ending: one is soon free again, within the call's limit.
  while (slot == nullptr && full && RemainingMs(limits) != 0) {
    Sleep(10);
    slot = Claim(path, stamp, limits, full);
  }
  if (slot == nullptr) return false;
  {
    ScopedLock lock(g_lock);
    slot->request = request;
    slot->spare.reset();
    slot->spare_ready.Reset();
  }
  slot->request_ready.Set();
  // The worker opens, seeks and decodes meanwhile; it takes the block when it converts.
  if (request.image_bytes != 0) {
    UniqueHlocal block = TouchedBlock(request.image_bytes);
    ScopedLock lock(g_lock);
    slot->spare = std::move(block);
  }
  slot->spare_ready.Set();
  const bool answered = WaitLettingComCallsIn(slot->response_ready, RemainingMs(limits));
  ScopedLock lock(g_lock);
  if (!slot->response.ready) {
    // The worker may still be in a call that never returns; it ends on its own if it does.
    slot->state = State::kAbandoned;
    return false;
  }
  if (!answered) (void)slot->response_ready.Wait(0);  // set just after the wait gave up
  response = std::move(slot->response);
  slot->response = Response{};
  slot->spare.reset();  // not taken: another size than listed, or no frame
  ReleaseLocked(*slot, limits);
  return true;
}

// A lent memory's reader ends with its call: the memory is the host's only until then.
MediaLimits ForInput(const MediaLimits& limits, LentMemory* memory) {
  MediaLimits call = limits;
  if (memory != nullptr) call.keep_reader = false;
  return call;
}

}  // namespace

MediaLimits MediaLimits::Starting(DWORD timeout_ms) {
  MediaLimits limits;
  if (timeout_ms != 0) limits.deadline = GetTickCount64() + timeout_ms;
  return limits;
}

bool ProbeVideoWithin(const wchar_t* path, const MediaLimits& limits, VideoFacts& facts,
                      LentMemory* memory) {
  Request request;
  request.probe = true;
  request.memory = memory;
  request.serialise_creation = limits.serialise_creation;
  request.idle_ms = limits.idle_ms;
  Response response;
  if (!RunOnWorker(path, ForInput(limits, memory), request, response) || !response.probed) {
    return false;
  }
  facts = response.facts;
  return true;
}

ExtractStatus ExtractFrameWithin(const wchar_t* path, int32_t index, const FrameSettings& settings,
                                 const MediaLimits& limits, uint32_t expected_bytes,
                                 UniqueHlocal& image, uint32_t& image_bytes, LentMemory* memory) {
  Request request;
  request.memory = memory;
  request.index = index;
  request.image_bytes = expected_bytes;
  request.settings = settings;
  request.read_on = limits.read_on;
  request.serialise_creation = limits.serialise_creation;
  request.idle_ms = limits.idle_ms;
  Response response;
  if (!RunOnWorker(path, ForInput(limits, memory), request, response)) {
    return ExtractStatus::kNoFrame;
  }
  if (response.status != ExtractStatus::kOk) return response.status;
  image = std::move(response.image);
  image_bytes = response.image_bytes;
  return ExtractStatus::kOk;
}

WorkerCounts CountWorkers() {
  WorkerCounts counts;
  ScopedLock lock(g_lock);
  for (const Slot& slot : g_slots) {
    if (slot.state != State::kFree) ++counts.alive;
    if (slot.state == State::kAbandoned) ++counts.stuck;
  }
  return counts;
}

}  // namespace stillreel
