// Media Foundation work done on threads of our own. A host thread hands its request to a worker
// and waits for the answer until its deadline; a worker whose answer comes too late is
// abandoned: it drops the answer, releases what it holds and ends. Every worker's thread holds a
// reference to this module, so the DLL stays loaded until the last one has let go of Media
// Foundation (it ends with FreeLibraryAndExitThread). A fixed pool, no heap.
#include "video/worker.h"

#include <utility>

#include "video/reader.h"
#include "win/caller_wait.h"
#include "win/errors.h"
#include "win/immortal.h"
#include "win/trace.h"
#include "win/media.h"
#include "win/result.h"

namespace stillreel {

namespace {

struct WorkerPool {
  CriticalSection lock;
  Condition changed;  // woken by every state change of a worker
  Worker workers[kMaxWorkers];
};

// Never destroyed: see Immortal. At FreeLibrary no worker is left (each holds the DLL).
Immortal<WorkerPool> g_pool;

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

}  // namespace

// The worker's side of the spare block: waits for the host to be done touching it.
class Worker::SpareBlock final : public ImageBlockSource {
 public:
  SpareBlock(Worker& worker, uint32_t expected_bytes)
      : m_worker(worker), m_expected(expected_bytes) {}

  UniqueHlocal Take(uint32_t bytes) override {
    // The host is touching it right now and is done within milliseconds; the limit is for safety.
    constexpr DWORD kWaitMs = 2000;
    if (m_expected == 0 || bytes != m_expected || !m_worker.m_spare_ready.Wait(kWaitMs)) {
      return UniqueHlocal();
    }
    ScopedLock lock(WorkersLock());
    return std::move(m_worker.m_spare);
  }

 private:
  Worker& m_worker;
  uint32_t m_expected;
};

CriticalSection& WorkersLock() { return g_pool.get().lock; }

bool WaitForWorkersLocked(const MediaLimits& limits) {
  const DWORD remaining = limits.RemainingMs();
  if (remaining == 0) return false;
  (void)g_pool.get().changed.Wait(WorkersLock(), remaining);
  return limits.RemainingMs() != 0;
}

MediaLimits MediaLimits::Starting(DWORD timeout_ms) {
  MediaLimits limits;
  if (timeout_ms != 0) limits.deadline = GetTickCount64() + timeout_ms;
  return limits;
}

DWORD MediaLimits::RemainingMs() const {
  if (deadline == 0) return INFINITE;
  const ULONGLONG now = GetTickCount64();
  return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

void Worker::SetStateLocked(State state) {
  m_state = state;
  if (state == State::kIdle) m_idle_since = GetTickCount64();
  g_pool.get().changed.WakeAll();
}

HRESULT Worker::ClaimLocked(const wchar_t* path, const FileStamp& stamp, const MediaLimits& limits,
                            Worker* kept, Worker*& claimed, Wait wait) {
  claimed = nullptr;
  for (;;) {
    if (kept != nullptr && kept->m_state == State::kIdle) {
      kept->SetStateLocked(State::kBusy);
      claimed = kept;
      return S_OK;
    }
    int stuck = 0;
    Worker* free_worker = nullptr;
    Worker* oldest_idle = nullptr;
    for (Worker& worker : g_pool.get().workers) {
      if (worker.m_state == State::kAbandoned) {
        // A file that hangs the platform once hangs it again: refused while its worker is stuck.
        if (stamp.Same(worker.m_stamp) && lstrcmpiW(worker.m_path, path) == 0) {
          TraceFailure("a worker for this file is stuck in the platform", kStuckFileRefused,
                       __FILE__, __LINE__);
          return kStuckFileRefused;
        }
        ++stuck;
      }
      if (worker.m_state == State::kFree && free_worker == nullptr) free_worker = &worker;
      if (worker.m_state == State::kIdle &&
          (oldest_idle == nullptr || worker.m_idle_since < oldest_idle->m_idle_since)) {
        oldest_idle = &worker;
      }
    }
    if (stuck >= kMaxStuckWorkers) {
      TraceFailure("too many workers stuck in the platform", kStuckFileRefused, __FILE__, __LINE__);
      return kStuckFileRefused;
    }
    if (free_worker != nullptr) {
      SR_RETURN_IF_FAILED(free_worker->StartLocked(path, stamp, limits));
      claimed = free_worker;
      return S_OK;
    }
    // Every worker busy or ending: one is soon free again, within the call's limit.
    if (wait == Wait::kNever) return E_PENDING;  // none free now, and the caller does not wait
    if (oldest_idle != nullptr) oldest_idle->RetireLocked();
    if (!WaitForWorkersLocked(limits)) {
      TraceFailure("no free worker within the time limit", kTimedOut, __FILE__, __LINE__);
      return kTimedOut;
    }
  }
}

HRESULT Worker::StartLocked(const wchar_t* path, const FileStamp& stamp,
                            const MediaLimits& limits) {
  SR_RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE), lstrlenW(path) >= MAX_PATH);
  HMODULE self = nullptr;
  SR_RETURN_IF_FAILED(
      SR_TRACED_WIN32(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                         reinterpret_cast<const wchar_t*>(&Worker::Main), &self)));
  UniqueModule module(self);
  Event request_ready, answer_ready, spare_ready;
  SR_RETURN_IF_FAILED(
      SR_TRACED_WIN32(request_ready.Create() && answer_ready.Create() && spare_ready.Create(true)));
  // Suspended until every member is in place; on failure the owners above let go of it all.
  UniqueHandle thread(CreateThread(nullptr, 0, &Worker::Main, this, CREATE_SUSPENDED, nullptr));
  SR_RETURN_IF_FAILED(SR_TRACED_WIN32(thread));
  lstrcpynW(m_path, path, MAX_PATH);
  m_stamp = stamp;
  m_idle_ms = limits.idle_ms;
  m_quit = false;
  m_request_pending = false;
  m_answered = false;
  m_answer = WorkAnswer{};
  m_spare.reset();
  m_module = std::move(module);
  m_request_ready = std::move(request_ready);
  m_answer_ready = std::move(answer_ready);
  m_spare_ready = std::move(spare_ready);
  ++m_generation;
  SetStateLocked(State::kBusy);
  // A thread made suspended by us resumes; there is no failure to handle short of a broken
  // process.
  (void)ResumeThread(thread.get());
  m_thread = std::move(thread);
  return S_OK;
}

bool Worker::HeldLocked(uint32_t generation) const {
  return m_generation == generation && m_state == State::kBusy;
}

HRESULT Worker::Submit(uint32_t generation, const WorkRequest& request) {
  {
    ScopedLock lock(WorkersLock());
    SR_RETURN_HR_IF(kTimedOut, !HeldLocked(generation));
    m_request = request;
    m_request_pending = true;
    m_answered = false;
    m_spare.reset();
    m_spare_ready.Reset();
  }
  m_request_ready.Set();
  // The worker opens, seeks and decodes meanwhile; it takes the block when it converts.
  if (request.image_bytes != 0) {
    UniqueHlocal block = TouchedBlock(request.image_bytes);
    ScopedLock lock(WorkersLock());
    m_spare = std::move(block);
  }
  // The worker has the request: until it answers, this run and its events stay.
  m_spare_ready.Set();
  return S_OK;
}

HRESULT Worker::Await(uint32_t generation, const MediaLimits& limits, WorkAnswer& answer) {
  // The host thread's one wait for the answer.
  const bool signalled = WaitLettingComCallsIn(m_answer_ready, limits.RemainingMs());
  ScopedLock lock(WorkersLock());
  // Given up on a caller that did not come back in time (see Run): nothing is ours any more.
  SR_RETURN_HR_IF(kTimedOut, !HeldLocked(generation));
  if (!m_answered) {
    // The worker may still be in a call that never returns; it ends on its own if it does.
    TraceFailure("the answer within the time limit", kTimedOut, __FILE__, __LINE__);
    SetStateLocked(State::kAbandoned);
    return kTimedOut;
  }
  // Set under the lock just after the wait gave up: take the signal back.
  if (!signalled) (void)m_answer_ready.Wait(0);
  answer = std::move(m_answer);
  m_answer = WorkAnswer{};
  m_answered = false;
  m_spare.reset();  // not taken: another size than listed, or no frame
  return S_OK;
}

void Worker::Release(uint32_t generation, const MediaLimits& limits) {
  UniqueHandle thread;
  {
    ScopedLock lock(WorkersLock());
    if (!HeldLocked(generation)) return;
    if (limits.keep_reader) {
      m_idle_ms = limits.idle_ms;
      SetStateLocked(State::kIdle);
      m_request_ready.Set();  // the worker waits as long as an idle one does from now on
      // The least recently used idle reader beyond kMaxIdleReaders is let go.
      int idle = 0;
      Worker* oldest = nullptr;
      for (Worker& other : g_pool.get().workers) {
        if (other.m_state != State::kIdle) continue;
        ++idle;
        if (oldest == nullptr || other.m_idle_since < oldest->m_idle_since) oldest = &other;
      }
      if (idle > kMaxIdleReaders) oldest->RetireLocked();
      return;
    }
    m_quit = true;
    SetStateLocked(State::kEnding);
    m_request_ready.Set();
    thread = std::move(m_thread);
  }
  AwaitWorkerEnd(thread.get(), limits);
}

void AwaitWorkerEnd(HANDLE thread, const MediaLimits& limits) {
  if (thread == nullptr) return;
  // Nothing of the video may outlive the call: the host may end its process right after it, and
  // Wine's process exit faults in a media pipeline still alive (Windows ends our threads first,
  // so nothing of ours runs then either). Closing a reader takes milliseconds; the bound is for a
  // platform that hangs in it, and then the thread ends on its own.
  constexpr DWORD kMinEndWaitMs = 2000;
  const DWORD remaining = limits.RemainingMs();
  // Closing the reader may call into a decoder that lives in the caller's apartment.
  (void)WaitLettingComCallsIn(thread, remaining < kMinEndWaitMs ? kMinEndWaitMs : remaining);
}

void Worker::RetireLocked() {
  m_quit = true;
  SetStateLocked(State::kEnding);
  m_request_ready.Set();
}

bool Worker::AheadIdleLocked(uint32_t generation) const {
  return m_generation == generation && m_state == State::kAhead && m_ahead == nullptr &&
         !m_request_pending && !m_quit;
}

void Worker::ReadAheadLocked(uint32_t generation, const WorkRequest& request, AheadSlot& slot) {
  if (!HeldLocked(generation) && !AheadIdleLocked(generation)) return;
  m_request = request;
  m_request.ahead = true;
  m_request.image_bytes = 0;  // no spare block: the host's thread does not wait to touch one
  m_request_pending = true;
  m_answered = false;
  m_ahead = &slot;
  slot = AheadSlot{};
  slot.state = AheadSlot::State::kReading;
  slot.index = request.index;
  slot.worker = this;
  slot.generation = m_generation;
  // The host's own calls come first.
  (void)SetThreadPriority(m_thread.get(), THREAD_PRIORITY_BELOW_NORMAL);
  SetStateLocked(State::kAhead);
  m_spare_ready.Set();
  m_request_ready.Set();
}

void Worker::CancelAheadLocked(AheadSlot& slot) {
  Worker* worker = slot.worker;
  if (slot.state == AheadSlot::State::kReading && worker != nullptr &&
      worker->m_generation == slot.generation && worker->m_state == State::kAhead) {
    worker->m_ahead = nullptr;
    worker->m_quit = true;
    worker->SetStateLocked(State::kEnding);
    worker->m_request_ready.Set();
  }
  slot = AheadSlot{};
}

UniqueHandle Worker::EndAheadLocked(uint32_t generation) {
  if (!AheadIdleLocked(generation)) return UniqueHandle();
  RetireLocked();
  return std::move(m_thread);  // nobody else waits for this run's end
}

bool Worker::AwaitAheadLocked(AheadSlot& slot, const MediaLimits& limits) {
  const int32_t index = slot.index;
  while (slot.state == AheadSlot::State::kReading && slot.index == index) {
    // The worker's own event, signalled as it delivers: the host's thread waits letting COM calls
    // in, as in Await, since the reader may call into a decoder living in the host's apartment.
    // A copy of the handle: the worker may end and close its own meanwhile.
    const UniqueHandle delivered = slot.worker->m_answer_ready.Duplicate();
    if (delivered) {
      WorkersLock().Leave();
      (void)WaitLettingComCallsIn(delivered.get(), limits.RemainingMs());
      WorkersLock().Enter();
      if (limits.RemainingMs() != 0) continue;
    } else if (WaitForWorkersLocked(limits)) {
      continue;
    }
    if (slot.state != AheadSlot::State::kReading) break;
    TraceFailure("the entry read ahead within the time limit", kTimedOut, __FILE__, __LINE__);
    Worker* worker = slot.worker;
    if (worker != nullptr && worker->m_generation == slot.generation &&
        worker->m_state == State::kAhead) {
      worker->m_ahead = nullptr;
      worker->SetStateLocked(State::kAbandoned);
    }
    slot = AheadSlot{};
    return false;
  }
  return true;
}

WorkAnswer Worker::Serve(OpenVideo& video, HRESULT media_foundation, const WorkRequest& request) {
  WorkAnswer answer;
  answer.result = media_foundation;
  if (FAILED(answer.result)) return answer;
  SetReaderCreationSerialised(request.serialise_creation);
  if (!video.is_open()) {
    answer.result = video.Open(m_path, request.memory.Get());
    if (FAILED(answer.result)) return answer;
  }
  if (request.probe) {
    answer.result = video.Probe(answer.facts);
  } else {
    SpareBlock spare(*this, request.image_bytes);
    answer.result = video.Extract(request.index, request.settings, request.read_on, &spare,
                                  answer.image, answer.image_bytes);
  }
  // A reader that failed once may be in an error state: the next call opens a fresh one.
  if (FAILED(answer.result)) video.Close();
  return answer;
}

void Worker::Run() {
  // Declared before the reader so that it shuts Media Foundation and COM down last.
  MediaFoundationScope media_foundation(MediaFoundationScope::Apartment::kMulti);
  OpenVideo video;
  for (;;) {
    // A caller hands each request over and takes each answer within milliseconds; one that does
    // neither for this long is gone (hosts may end a thread in the middle of a call), and the
    // reader must not stay open for it.
    constexpr DWORD kCallerGoneMs = 15000;
    DWORD wait_ms = 0;
    {
      ScopedLock lock(WorkersLock());
      wait_ms = m_state == State::kBusy    ? kCallerGoneMs
                : m_state == State::kAhead ? kAheadIdleMs
                                           : m_idle_ms;
    }
    const bool woken = m_request_ready.Wait(wait_ms);
    WorkRequest request;
    {
      ScopedLock lock(WorkersLock());
      if (m_quit) {
        if (m_state != State::kAbandoned) SetStateLocked(State::kEnding);
        return;
      }
      if (!m_request_pending) {
        if (woken) continue;  // the state changed: wait again, as long as the new one says
        SetStateLocked(m_state == State::kBusy ? State::kAbandoned : State::kEnding);
        return;
      }
      m_request_pending = false;
      request = m_request;
    }
    WorkAnswer answer = Serve(video, media_foundation.status(), request);
    if (request.ahead) {
      // Read while the file may have been replaced: an image of another file than the one the
      // host listed is never delivered, and its reader goes.
      const bool same_file = StampOf(m_path).Same(m_stamp);
      if (!same_file) video.Close();
      ScopedLock lock(WorkersLock());
      // Cancelled meanwhile (kEnding) or given up on (kAbandoned): nothing is delivered.
      if (m_state != State::kAhead || m_ahead == nullptr) return;
      if (same_file && SUCCEEDED(answer.result)) {
        m_ahead->image = std::move(answer.image);
        m_ahead->image_bytes = answer.image_bytes;
        m_ahead->state = AheadSlot::State::kReady;
      } else {
        *m_ahead = AheadSlot{};
      }
      m_ahead->worker = nullptr;
      m_ahead = nullptr;
      m_answer_ready.Set();  // for a call waiting for the slot (AwaitAheadLocked)
      // Waits for the video's next entry with its reader open, kAheadIdleMs at most.
      SetStateLocked(State::kAhead);  // wakes a call waiting for the slot
      continue;
    }
    ScopedLock lock(WorkersLock());
    // Too late: the caller has returned, and what was made for it goes with `answer`.
    if (m_state == State::kAbandoned) return;
    m_answer = std::move(answer);
    m_answered = true;
    // Set under the lock, so that a caller who finds the answer after its wait timed out knows
    // the event is set and takes the signal back.
    m_answer_ready.Set();
  }
}

DWORD WINAPI Worker::Main(void* parameter) {
  Worker& worker = *static_cast<Worker*>(parameter);
  worker.Run();
  UniqueModule module;
  {
    ScopedLock lock(WorkersLock());
    module = std::move(worker.m_module);
    worker.m_thread.reset();  // nobody waits for this run's end
    worker.m_request_ready.Close();
    worker.m_answer_ready.Close();
    worker.m_spare_ready.Close();
    worker.m_spare.reset();
    worker.m_request = WorkRequest{};  // a lent memory goes with it
    worker.m_answer = WorkAnswer{};
    worker.m_answered = false;
    worker.m_ahead = nullptr;
    worker.SetStateLocked(State::kFree);
  }
  // The DLL may be unloaded right here, once the last reference goes: nothing of ours runs after.
  FreeLibraryAndExitThread(module.release(), 0);
}

HRESULT ProbeVideoWithin(const wchar_t* path, const MediaLimits& limits, VideoFacts& facts) {
  SR_RETURN_HR_IF(E_POINTER, path == nullptr);
  const FileStamp stamp = StampOf(path);
  Worker* worker = nullptr;
  uint32_t generation = 0;
  {
    ScopedLock lock(WorkersLock());
    SR_RETURN_IF_FAILED(Worker::ClaimLocked(path, stamp, limits, nullptr, worker));
    generation = worker->generation();
  }
  WorkRequest request;
  request.probe = true;
  request.serialise_creation = limits.serialise_creation;
  WorkAnswer answer;
  SR_RETURN_IF_FAILED(worker->Submit(generation, request));
  SR_RETURN_IF_FAILED(worker->Await(generation, limits, answer));
  // Nothing holds this worker for later: its reader goes now.
  MediaLimits once = limits;
  once.keep_reader = false;
  worker->Release(generation, once);
  SR_RETURN_IF_FAILED(answer.result);
  facts = answer.facts;
  return S_OK;
}

}  // namespace stillreel
