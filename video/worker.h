// Media Foundation work done on threads of our own, so that a host's call returns within its
// time limit even when the platform never does, so that a video's source reader can stay open
// between calls when the settings ask for it, and so that the next entry can be read while the
// host still shows this one.
#pragma once

#include <windows.h>

#include <cstdint>

#include "video/byte_stream.h"
#include "video/open_video.h"
#include "video/probe.h"
#include "win/event.h"
#include "win/file_stamp.h"
#include "win/lock.h"
#include "win/unique.h"

namespace stillreel {

// How long an unused reader stays open when readers are kept ([Debug] keep=1).
inline constexpr DWORD kDefaultIdleMs = 3000;
// At most this many readers kept open while unused; the least recently used goes first.
inline constexpr int kMaxIdleReaders = 4;
// How long a worker that read an entry ahead waits, its reader open, for the next one: a host
// stepping through a video asks again within that, one that stopped lets its readers go.
inline constexpr DWORD kAheadIdleMs = 1500;
// At most this many threads left behind in a platform call that did not return; beyond that new
// work is refused at once instead of piling up threads. A file whose worker is stuck is refused at
// once too, so one broken file costs one thread. Under Wine 8, once two or three calls are stuck
// every later reader creation in the process hangs as well (measured with the quick corpus), so
// waiting out more than a few limits gains nothing.
inline constexpr int kMaxStuckWorkers = 4;
// Threads of ours at most: busy, idle and stuck together.
inline constexpr int kMaxWorkers = 16;

// What limits one host call's Media Foundation work, fixed when the call starts.
struct MediaLimits {
  ULONGLONG deadline = 0;  // GetTickCount64 milliseconds at which the call gives up; 0: never
  // Off by default: a process may end right after any call, and under Wine a process that ends
  // while a reader is open dies by a signal (see Worker::Release).
  bool keep_reader = false;
  ReadOnMode read_on = ReadOnMode::kWhenFaster;  // for a kept reader (OpenVideo::Extract)
  bool serialise_creation = true;
  DWORD idle_ms = kDefaultIdleMs;

  // Limits for a call starting now and lasting at most `timeout_ms` (0: no limit).
  static MediaLimits Starting(DWORD timeout_ms);
  // Milliseconds left until the deadline; INFINITE without one.
  DWORD RemainingMs() const;
};

// One piece of work for a worker. A field that describes the video for this call only (instead
// of the worker's path) can join it.
struct WorkRequest {
  bool probe = false;  // else an extraction
  bool ahead = false;  // read ahead of the host: no caller waits, the image goes to an AheadSlot
  // Read from this memory the host lent for the call, not from the worker's path; its reader is
  // never kept.
  Microsoft::WRL::ComPtr<LentMemory> memory;
  int32_t index = 0;
  uint32_t image_bytes = 0;  // the image size the listing gives; 0 when not known
  FrameSettings settings;
  ReadOnMode read_on = ReadOnMode::kWhenFaster;
  bool serialise_creation = true;
};

struct WorkAnswer {
  HRESULT result = E_UNEXPECTED;  // the probe's or the extraction's; set by every answer
  VideoFacts facts;
  UniqueHlocal image;
  uint32_t image_bytes = 0;
};

class Worker;

// Where a worker reading an entry ahead of the host leaves its image. Guarded by WorkersLock();
// its holder keeps it in place until the worker has delivered or was cancelled (CancelAheadLocked).
struct AheadSlot {
  enum class State { kEmpty, kReading, kReady };
  State state = State::kEmpty;
  int32_t index = -1;
  Worker* worker = nullptr;  // while kReading: the worker and its run
  uint32_t generation = 0;
  UniqueHlocal image;  // when kReady
  uint32_t image_bytes = 0;
};

// One thread that does one video's Media Foundation work, with its reader, events and reference
// to this module. Workers live in a fixed pool (Claim below) and are used by one host call at a
// time: Claim, then any number of Submit and Await, then Release.
//
// Every state change happens in SetStateLocked, under WorkersLock():
//   from                 to          when
//   kFree                kBusy       Claim starts the thread for a video
//   kIdle                kBusy       Claim takes a kept reader for its video
//   kBusy                kAhead      ReadAheadLocked: the caller returns, the worker reads on its
//                                    own, below normal priority, and delivers to an AheadSlot
//   kBusy                kIdle       Release with readers kept
//   kBusy                kEnding     Release without: the call waits for the thread's end
//   kIdle                kEnding     the idle time passed (worker), or Retire
//   kAhead               kAhead      it delivered (worker) and waits for more, or it is handed
//                                    the next entry (ReadAheadLocked)
//   kAhead               kEnding     kAheadIdleMs without more, CancelAheadLocked or
//                                    EndAheadLocked
//   kBusy, kAhead        kAbandoned  Await or AwaitAheadLocked gave up: the thread may be stuck in
//   the platform;
//                                    or (worker) the caller left neither a request nor its
//                                    answer for 15 s: it is gone
//   kEnding, kAbandoned  kFree       the thread ends (worker), letting go of the module last
class Worker {
 public:
  enum class State { kFree, kBusy, kIdle, kAhead, kAbandoned, kEnding };
  // Whether ClaimLocked may wait for a worker to come free, within the limits' deadline.
  enum class Wait { kUntilDeadline, kNever };

  Worker() = default;
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // A worker owned by the caller for `path`: `kept` (an idle worker the caller's video holds,
  // may be null) when it is still idle, else a new one. A failure when the work must be refused:
  // too many workers stuck or this file's worker stuck (kStuckFileRefused), no thread (its
  // Win32 error), or none free before the deadline (kTimedOut); `claimed` is then null.
  // The caller holds WorkersLock() (it is left while waiting for a free one).
  static HRESULT ClaimLocked(const wchar_t* path, const FileStamp& stamp, const MediaLimits& limits,
                             Worker* kept, Worker*& claimed, Wait wait = Wait::kUntilDeadline);

  // Each of these takes the generation() the caller saw when it claimed the worker, and does
  // nothing (kTimedOut: the worker gave up waiting for the caller) when the worker is no longer
  // that caller's.
  // Hands `request` over; meanwhile the calling thread makes the image block ready.
  HRESULT Submit(uint32_t generation, const WorkRequest& request);
  // The answer to the last request, or kTimedOut when it did not come before the deadline: then
  // the worker is abandoned, no longer the caller's, and nothing of the request reaches the caller.
  HRESULT Await(uint32_t generation, const MediaLimits& limits, WorkAnswer& answer);
  // Gives the worker back after Await answered: kept idle with its reader when the limits say so,
  // else ended, and the call returns only once its thread (and so its reader) is gone.
  void Release(uint32_t generation, const MediaLimits& limits);
  // Tells an idle worker to end; the caller holds WorkersLock().
  void RetireLocked();

  // Hands a worker the caller holds (claimed, or done with its call's work), or one waiting after
  // reading ahead (AheadIdleLocked), an extraction to do on its own (`request.ahead`): its image
  // goes to `slot`, which reads kReading until then. Afterwards the worker waits kAheadIdleMs for
  // another, its reader open, then ends. The caller holds WorkersLock() and lets go of the worker
  // with this: no Await, no Release.
  void ReadAheadLocked(uint32_t generation, const WorkRequest& request, AheadSlot& slot);
  // Whether this run of the worker has read ahead and waits for more. The caller holds
  // WorkersLock().
  bool AheadIdleLocked(uint32_t generation) const;
  // Ends a worker waiting after reading ahead, and gives its thread to wait for (AwaitWorkerEnd);
  // empty when it was not waiting. The caller holds WorkersLock().
  UniqueHandle EndAheadLocked(uint32_t generation);
  // Empties `slot`: a worker still reading for it delivers nowhere and ends as soon as its
  // platform call returns; nobody waits for that. The caller holds WorkersLock().
  static void CancelAheadLocked(AheadSlot& slot);
  // Waits, holding WorkersLock(), while `slot` is being read; false when the limits' deadline
  // passed first: then its worker is abandoned (it may be stuck in the platform) and the slot
  // emptied.
  static bool AwaitAheadLocked(AheadSlot& slot, const MediaLimits& limits);

  State state() const { return m_state; }  // the caller holds WorkersLock()
  // Which run of the thread: a holder of a worker checks that it is still the one it had.
  uint32_t generation() const { return m_generation; }

 private:
  HRESULT StartLocked(const wchar_t* path, const FileStamp& stamp, const MediaLimits& limits);
  bool HeldLocked(uint32_t generation) const;
  void SetStateLocked(State state);
  void Run();
  WorkAnswer Serve(OpenVideo& video, HRESULT media_foundation, const WorkRequest& request);
  static DWORD WINAPI Main(void* parameter);
  class SpareBlock;

  State m_state = State::kFree;
  uint32_t m_generation = 0;
  wchar_t m_path[MAX_PATH] = {};
  FileStamp m_stamp;
  ULONGLONG m_idle_since = 0;
  DWORD m_idle_ms = kDefaultIdleMs;
  bool m_quit = false;
  UniqueModule m_module;  // the thread's reference to this DLL, let go as it exits
  UniqueHandle m_thread;
  Event m_request_ready;
  Event m_answer_ready;
  // Manual reset: signalled once the host is done making `m_spare` ready for the request.
  Event m_spare_ready;
  WorkRequest m_request;
  bool m_request_pending = false;  // m_request_ready may also just say the state changed
  WorkAnswer m_answer;
  bool m_answered = false;
  UniqueHlocal m_spare;          // request.image_bytes long, pages touched
  AheadSlot* m_ahead = nullptr;  // where a worker reading ahead delivers; null once cancelled
};

// Waits for a worker's thread to end, and so for its reader to be closed: until the limits'
// deadline, 2 s at least. Null: nothing to wait for.
void AwaitWorkerEnd(HANDLE thread, const MediaLimits& limits);

// Guards every worker's state, and what their holders keep about them.
CriticalSection& WorkersLock();
// Waits, holding WorkersLock(), until a worker changes state or the limits' deadline passes;
// false when it passed.
bool WaitForWorkersLocked(const MediaLimits& limits);

// ProbeReader on a worker that nothing keeps. Fails also when the limit passed or the work was
// refused (as ClaimLocked and Await say).
HRESULT ProbeVideoWithin(const wchar_t* path, const MediaLimits& limits, VideoFacts& facts);

}  // namespace stillreel
