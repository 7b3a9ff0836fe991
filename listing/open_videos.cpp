// One owner per open video: its listing and the worker that serves it. An owner answers a call
// when its path, file stamp and listing settings are the call's; any other owner of the path is
// stale and is replaced, its worker let go. One host call at a time holds an owner; another call
// on the same video meanwhile works on an owner of its own that nothing keeps.
#include "listing/open_videos.h"

#include <windows.h>
#include <mferror.h>

#include <cstring>

#include "listing/ahead_rules.h"
#include "listing/entry_table.h"
#include "listing/synthesis.h"
#include "video/probe.h"
#include "win/errors.h"
#include "win/file_stamp.h"
#include "win/immortal.h"
#include "win/platform.h"
#include "win/result.h"

namespace stillreel {

namespace {

// Videos whose listings are kept; the least recently used goes first.
constexpr int kOwners = 16;

struct OpenVideoOwner {
  bool used = false;
  bool busy = false;  // a host call holds it
  wchar_t path[kPathChars] = {};
  FileStamp stamp;
  FrameSettings settings;  // those the listing was made with
  UniqueHlocal listing;    // null until made
  // The worker that serves the video, and which of its runs: an idle one keeps the reader.
  Worker* worker = nullptr;
  uint32_t generation = 0;
  ULONGLONG last_used = 0;
  BrowseOrder order;                  // how the host has been fetching the entries
  AheadSlot ahead[kMaxAheadReaders];  // entries read ahead of the host, or being read
  // The workers that read ahead for it, each keeping its reader for the next entry a while.
  struct AheadReader {
    Worker* worker = nullptr;
    uint32_t generation = 0;
  } readers[kMaxAheadReaders + 1];
};

// Guarded by WorkersLock(), the lock of the workers the owners hold. Never destroyed: see
// Immortal.
struct OwnerTable {
  OpenVideoOwner owners[kOwners];
};
Immortal<OwnerTable> g_table;

// The owner's worker when it is still the run the owner had; the caller holds the lock.
Worker* HeldWorkerLocked(const OpenVideoOwner& owner) {
  return owner.worker != nullptr && owner.worker->generation() == owner.generation ? owner.worker
                                                                                   : nullptr;
}

bool ReadsAheadLocked(const OpenVideoOwner& owner) {
  for (const AheadSlot& slot : owner.ahead) {
    if (slot.state != AheadSlot::State::kEmpty) return true;
  }
  return false;
}

using EndedReaders = UniqueHandle[kMaxAheadReaders + 1];

// Ends the owner's readers that wait for more; those still reading go with their slots. Their
// threads go to `ended` (when given) for the caller to wait for once it has left the lock.
void EndAheadReadersLocked(OpenVideoOwner& owner, EndedReaders* ended = nullptr) {
  for (size_t i = 0; i < std::size(owner.readers); ++i) {
    OpenVideoOwner::AheadReader& reader = owner.readers[i];
    if (reader.worker == nullptr) continue;
    UniqueHandle thread = reader.worker->EndAheadLocked(reader.generation);
    const bool reading = !thread && reader.worker->generation() == reader.generation &&
                         reader.worker->state() == Worker::State::kAhead;
    if (reading) continue;  // still the owner's: ended once it has delivered
    if (ended != nullptr && thread) (*ended)[i] = std::move(thread);
    reader = OpenVideoOwner::AheadReader{};
  }
}

void CancelAheadLocked(OpenVideoOwner& owner) {
  for (AheadSlot& slot : owner.ahead) Worker::CancelAheadLocked(slot);
  EndAheadReadersLocked(owner);
}

// A reader of the owner's that waits for the next entry, or null.
Worker* IdleAheadReaderLocked(OpenVideoOwner& owner) {
  for (const OpenVideoOwner::AheadReader& reader : owner.readers) {
    if (reader.worker != nullptr && reader.worker->AheadIdleLocked(reader.generation))
      return reader.worker;
  }
  return nullptr;
}

// Remembers `worker` among the owner's readers, in place of one that has ended.
void AddAheadReaderLocked(OpenVideoOwner& owner, Worker* worker) {
  for (OpenVideoOwner::AheadReader& reader : owner.readers) {
    if (reader.worker == worker && reader.generation == worker->generation()) return;
  }
  for (OpenVideoOwner::AheadReader& reader : owner.readers) {
    const bool gone = reader.worker == nullptr ||
                      reader.worker->generation() != reader.generation ||
                      reader.worker->state() != Worker::State::kAhead;
    if (!gone) continue;
    reader.worker = worker;
    reader.generation = worker->generation();
    return;
  }
}

// Lets go of the owner's listing, of its kept reader and of what it read ahead; the caller holds
// the lock.
void DropLocked(OpenVideoOwner& owner) {
  Worker* worker = HeldWorkerLocked(owner);
  if (worker != nullptr && worker->state() == Worker::State::kIdle) worker->RetireLocked();
  CancelAheadLocked(owner);
  owner.order.Forget();
  owner.worker = nullptr;
  owner.listing.reset();
  owner.used = false;
}

// The one rule of staleness.
bool IsCurrent(const OpenVideoOwner& owner, const FileStamp& stamp, const FrameSettings& settings) {
  return owner.stamp.Same(stamp) && owner.settings == settings;
}

// Seconds since 1970 of the file's last write; 0 when the time cannot be read.
int64_t LastWriteSeconds(HANDLE file) {
  FILETIME written{};
  if (FAILED(SR_TRACED_WIN32(GetFileTime(file, nullptr, nullptr, &written)))) return 0;
  return UnixSecondsFromFileTime(uint64_t{written.dwHighDateTime} << 32 | written.dwLowDateTime);
}

// Checks that the file can be read at `offset` and takes its time stamp. The 8 bytes read are
// not examined: the probe decides. A Win32 error here is a read failure (Family::kRead).
HRESULT CheckReadable(const wchar_t* path, uint32_t offset, int64_t& timestamp) {
  // Sharing everything, as the reader's byte stream does: listing never stands in the way of the
  // user renaming, deleting or saving over the video.
  UniqueFile file(CreateFileW(path, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr));
  SR_RETURN_HR_IF(Failure(Family::kRead, GetLastError()), !file);
  // The low 32 bits as a signed distance from the start: 2^31 and above cannot be reached.
  const LONG distance = static_cast<LONG>(offset);
  SR_RETURN_HR_IF(Failure(Family::kRead, ERROR_NEGATIVE_SEEK), distance < 0);
  SR_RETURN_HR_IF(
      Failure(Family::kRead, GetLastError()),
      SetFilePointer(file.get(), distance, nullptr, FILE_BEGIN) != static_cast<DWORD>(distance));
  char header[8];
  DWORD read = 0;
  SR_RETURN_HR_IF(Failure(Family::kRead, GetLastError()),
                  !ReadFile(file.get(), header, sizeof(header), &read, nullptr));
  // As for memory: fewer than 8 bytes is no video.
  SR_RETURN_HR_IF(MF_E_UNSUPPORTED_BYTESTREAM_TYPE, read < sizeof(header));
  timestamp = LastWriteSeconds(file.get());
  return S_OK;
}

int32_t AheadReadersHere() {
  return AheadReaders(ProcessCores(), sizeof(void*) == 4 ? kMaxAheadReaders32 : kMaxAheadReaders);
}

int32_t CountEntries(HLOCAL listing) {
  int32_t count = 0;
  for (const auto* entry = static_cast<const EntryRecord*>(listing); !IsTerminator(*entry); ++entry)
    ++count;
  return count;
}

// One host call's hold on the owner of its video, and on the owner's worker once it needs one.
class OwnerLease {
 public:
  // With `memory` the video is read from there (`path` only names its entries), for this call
  // only: it has no stamp and its owner is the call's own.
  OwnerLease(const wchar_t* path, const CallSettings& settings, LentMemory* memory = nullptr)
      : m_path(path),
        m_settings(settings),
        m_memory(memory),
        m_stamp(memory != nullptr ? FileStamp{} : StampOf(path)) {}
  OwnerLease(const OwnerLease&) = delete;
  OwnerLease& operator=(const OwnerLease&) = delete;
  ~OwnerLease();

  // Holds the video's owner: its current one, or (when there is none, or `fresh`) a new one
  // without a listing. When the owner is in use by another call, or every owner is, the call
  // works on an owner of its own that nothing keeps: a host thread that was ended in the middle
  // of a call (hosts may terminate theirs) leaves its owner in use for good.
  void Acquire(bool fresh);
  HLOCAL listing() const { return m_owner->listing.get(); }
  // Checks the file at `offset`, and probes and lists it unless the owner has its listing.
  HRESULT MakeListing(uint32_t offset, bool probe_again);
  // Runs one request on the owner's worker: the answer's result, or why there is none (refused,
  // or too late).
  HRESULT Run(WorkRequest request, WorkAnswer& answer);

  // Whether this call's entries may be read ahead: a file's video, in the table.
  bool MayReadAhead() const { return m_memory == nullptr && m_owner != &m_unkept && m_stamp.valid; }
  // Records a fetch of entry `index` among `entries` and returns the entries due after it;
  // cancels what was read ahead outside them, except entry `index` itself.
  AheadWindow NoteFetch(int32_t index, int32_t entries);
  // Entry `request.index` when it was read ahead (S_OK; S_FALSE when it was not), waiting while
  // it is being read, within the call's limit; then the window's entries start.
  HRESULT TakeAhead(const AheadWindow& window, const WorkRequest& request, UniqueHlocal& image,
                    uint32_t& image_bytes);
  // Starts workers on the window's entries that are neither read nor being read.
  void ReadAhead(const AheadWindow& window, const WorkRequest& request);

 private:
  HRESULT ClaimWorker();
  // Starts the window's entries that are neither read nor being read, on new workers too when
  // `new_readers`.
  void ReadAheadLocked(const AheadWindow& window, WorkRequest request, bool new_readers);
  // A worker to read an entry ahead: the call's own once its work is done, one of the owner's
  // readers waiting for more, or (when `new_readers`) a free one; null when there is none.
  Worker* AheadWorkerLocked(bool new_readers);

  const wchar_t* m_path;
  const CallSettings& m_settings;
  LentMemory* const m_memory;
  const FileStamp m_stamp;
  OpenVideoOwner m_unkept;  // the call's own owner, when it cannot have the table's
  OpenVideoOwner* m_owner = nullptr;
  Worker* m_worker = nullptr;  // claimed by this call, not yet released
  uint32_t m_generation = 0;   // m_worker's run when claimed
  // Threads of readers ended by this call, waited for before it returns.
  EndedReaders m_ended;
};

void OwnerLease::Acquire(bool fresh) {
  OwnerTable& table = g_table.get();
  ScopedLock lock(WorkersLock());
  OpenVideoOwner* owner = nullptr;
  // Lent memory is the host's again once the call returns: nothing of it is kept.
  if (m_memory != nullptr) {
    m_unkept.busy = true;
    m_owner = &m_unkept;
    return;
  }
  for (OpenVideoOwner& candidate : table.owners) {
    if (candidate.used && lstrcmpiW(candidate.path, m_path) == 0) owner = &candidate;
  }
  if (owner != nullptr && !owner->busy &&
      (fresh || !IsCurrent(*owner, m_stamp, m_settings.frame))) {
    DropLocked(*owner);
    owner = nullptr;
  }
  // A new listing starts afresh: the other videos' listings go too (those in use stay).
  if (fresh) {
    for (OpenVideoOwner& other : table.owners) {
      if (other.used && !other.busy) DropLocked(other);
    }
  }
  if (owner == nullptr) {
    OpenVideoOwner* oldest = nullptr;
    for (OpenVideoOwner& candidate : table.owners) {
      if (!candidate.used) {
        owner = &candidate;
        break;
      }
      if (!candidate.busy && (oldest == nullptr || candidate.last_used < oldest->last_used))
        oldest = &candidate;
    }
    if (owner == nullptr && oldest != nullptr) {
      DropLocked(*oldest);
      owner = oldest;
    }
    if (owner != nullptr) {
      owner->used = true;
      lstrcpynW(owner->path, m_path, kPathChars);
      owner->stamp = m_stamp;
      owner->settings = m_settings.frame;
    }
  }
  if (owner == nullptr || owner->busy) owner = &m_unkept;
  owner->busy = true;
  owner->last_used = GetTickCount64();
  m_owner = owner;
}

OwnerLease::~OwnerLease() {
  if (m_owner == nullptr) return;
  // Outside the lock: without kept readers this waits for the worker's end. Nothing keeps the
  // call's own owner, so nothing keeps its worker.
  MediaLimits limits = m_settings.limits;
  if (m_owner == &m_unkept) limits.keep_reader = false;
  if (m_worker != nullptr) m_worker->Release(m_generation, limits);
  for (UniqueHandle& thread : m_ended) AwaitWorkerEnd(thread.get(), limits);
  if (m_owner == &m_unkept) return;
  ScopedLock lock(WorkersLock());
  m_owner->busy = false;
  // A video that could not be listed leaves nothing behind.
  if (!m_owner->listing) DropLocked(*m_owner);
}

HRESULT OwnerLease::ClaimWorker() {
  if (m_worker != nullptr) return S_OK;
  ScopedLock lock(WorkersLock());
  Worker* worker = nullptr;
  SR_RETURN_IF_FAILED(
      Worker::ClaimLocked(m_path, m_stamp, m_settings.limits, HeldWorkerLocked(*m_owner), worker));
  m_owner->worker = worker;
  m_owner->generation = worker->generation();
  m_worker = worker;
  m_generation = worker->generation();
  return S_OK;
}

HRESULT OwnerLease::Run(WorkRequest request, WorkAnswer& answer) {
  SR_RETURN_IF_FAILED(ClaimWorker());
  request.memory = m_memory;
  HRESULT handed = m_worker->Submit(m_generation, request);
  if (SUCCEEDED(handed)) handed = m_worker->Await(m_generation, m_settings.limits, answer);
  if (FAILED(handed)) {
    // Abandoned, or it gave up waiting for us: no longer ours to release.
    m_worker = nullptr;
    return SR_TRACED(handed);
  }
  return SR_TRACED(answer.result);
}

AheadWindow OwnerLease::NoteFetch(int32_t index, int32_t entries) {
  ScopedLock lock(WorkersLock());
  const int32_t step = m_owner->order.Fetched(index);
  const AheadWindow window = WindowAfter(index, step, entries, AheadReadersHere());
  // A host that jumps keeps no reader busy or open for it.
  if (window.count == 0) EndAheadReadersLocked(*m_owner, &m_ended);
  for (AheadSlot& slot : m_owner->ahead) {
    if (slot.state != AheadSlot::State::kEmpty && slot.index != index &&
        !window.Contains(slot.index)) {
      Worker::CancelAheadLocked(slot);
    }
  }
  return window;
}

HRESULT OwnerLease::TakeAhead(const AheadWindow& window, const WorkRequest& request,
                              UniqueHlocal& image, uint32_t& image_bytes) {
  ScopedLock lock(WorkersLock());
  for (AheadSlot& slot : m_owner->ahead) {
    if (slot.state == AheadSlot::State::kEmpty || slot.index != request.index) continue;
    // Readers waiting for more start on the window meanwhile; no new one: a new reader's opening
    // would compete with the one the host waits for.
    ReadAheadLocked(window, request, false);
    if (!Worker::AwaitAheadLocked(slot, m_settings.limits)) return kTimedOut;
    // Emptied meanwhile: the reading failed, or the file changed under it.
    if (slot.state != AheadSlot::State::kReady || slot.index != request.index) break;
    image = std::move(slot.image);
    image_bytes = slot.image_bytes;
    slot = AheadSlot{};
    // The reader that delivered goes on with the window; or, at the last entry of the walk, it
    // goes before the call returns, as a call's own does.
    if (window.count == 0) {
      EndAheadReadersLocked(*m_owner, &m_ended);
    } else {
      ReadAheadLocked(window, request, true);
    }
    return S_OK;
  }
  return S_FALSE;
}

void OwnerLease::ReadAhead(const AheadWindow& window, const WorkRequest& request) {
  if (window.count == 0) return;
  ScopedLock lock(WorkersLock());
  ReadAheadLocked(window, request, true);
}

Worker* OwnerLease::AheadWorkerLocked(bool new_readers) {
  // The call's own worker first: its reader stands at the entry just read, nearest the next.
  if (m_worker != nullptr && m_worker->state() == Worker::State::kBusy &&
      m_worker->generation() == m_generation) {
    Worker* own = m_worker;
    m_worker = nullptr;  // handed over: not released by this call
    return own;
  }
  if (Worker* idle = IdleAheadReaderLocked(*m_owner)) return idle;
  if (!new_readers) return nullptr;
  // Never waits for a worker: read-ahead only takes what is free.
  Worker* claimed = nullptr;
  if (FAILED(Worker::ClaimLocked(m_path, m_stamp, m_settings.limits, nullptr, claimed,
                                 Worker::Wait::kNever)))
    return nullptr;
  return claimed;
}

void OwnerLease::ReadAheadLocked(const AheadWindow& window, WorkRequest request, bool new_readers) {
  // Videos read ahead at once are few: the least recently used other one gives way.
  OpenVideoOwner* oldest = nullptr;
  int32_t others = 0;
  for (OpenVideoOwner& other : g_table.get().owners) {
    if (&other == m_owner || other.busy || !ReadsAheadLocked(other)) continue;
    ++others;
    if (oldest == nullptr || other.last_used < oldest->last_used) oldest = &other;
  }
  if (others >= kMaxAheadVideos && oldest != nullptr) CancelAheadLocked(*oldest);
  for (int32_t k = 0; k < window.count; ++k) {
    request.index = window.at(k);
    AheadSlot* empty = nullptr;
    bool covered = false;
    for (AheadSlot& slot : m_owner->ahead) {
      if (slot.state == AheadSlot::State::kEmpty) {
        if (empty == nullptr) empty = &slot;
      } else if (slot.index == request.index) {
        covered = true;
      }
    }
    if (covered) continue;
    if (empty == nullptr) return;
    Worker* worker = AheadWorkerLocked(new_readers);
    if (worker == nullptr) return;
    worker->ReadAheadLocked(worker->generation(), request, *empty);
    AddAheadReaderLocked(*m_owner, worker);
  }
}

HRESULT OwnerLease::MakeListing(uint32_t offset, bool probe_again) {
  int64_t timestamp = 0;  // memory has no file time
  if (m_memory != nullptr) {
    // As for a file: fewer than 8 bytes is no video.
    SR_RETURN_HR_IF(MF_E_UNSUPPORTED_BYTESTREAM_TYPE, m_memory->size() < 8);
  } else {
    SR_RETURN_IF_FAILED(CheckReadable(m_path, offset, timestamp));
  }
  if (m_owner->listing && !probe_again) return S_OK;
  WorkRequest request;
  request.probe = true;
  request.serialise_creation = m_settings.limits.serialise_creation;
  WorkAnswer answer;
  SR_RETURN_IF_FAILED(Run(request, answer));
  UniqueHlocal listing;
  SR_RETURN_IF_FAILED(
      SynthesiseListing(m_path, answer.facts, timestamp, m_settings.frame, listing));
  ScopedLock lock(WorkersLock());
  m_owner->listing = std::move(listing);
  return S_OK;
}

}  // namespace

HRESULT CopyListing(HLOCAL listing, UniqueHlocal& copy) {
  const SIZE_T bytes = LocalSize(listing);
  UniqueHlocal block(LocalAlloc(LMEM_FIXED, bytes));
  SR_RETURN_HR_IF(E_OUTOFMEMORY, !block);
  std::memcpy(block.get(), listing, bytes);
  copy = std::move(block);
  return S_OK;
}

bool MatchEntry(HLOCAL listing, EntryRecord& request) {
  const auto* entry = static_cast<const EntryRecord*>(listing);
  const bool by_name = request.file_name[0] != L'\0';
  for (; !IsTerminator(*entry); ++entry) {
    const bool match = by_name ? lstrcmpiW(entry->file_name, request.file_name) == 0
                               : entry->position == request.position;
    if (match) {
      request = *entry;
      return true;
    }
  }
  return false;
}

HRESULT ListVideo(const wchar_t* path, uint32_t offset, const CallSettings& settings,
                  UniqueHlocal& copy, LentMemory* memory) {
  OwnerLease lease(memory != nullptr ? kMemoryVideoName : path, settings, memory);
  lease.Acquire(true);
  SR_RETURN_IF_FAILED(lease.MakeListing(offset, true));
  // The listing stays the owner's even when the copy fails.
  return CopyListing(lease.listing(), copy);
}

HRESULT DescribeVideoEntry(const wchar_t* path, uint32_t offset, const CallSettings& settings,
                           EntryRecord& request, LentMemory* memory) {
  OwnerLease lease(memory != nullptr ? kMemoryVideoName : path, settings, memory);
  lease.Acquire(false);
  SR_RETURN_IF_FAILED(lease.MakeListing(offset, false));
  SR_RETURN_HR_IF(kNoEntry, !MatchEntry(lease.listing(), request));
  return S_OK;
}

HRESULT FetchVideoEntry(const wchar_t* path, EntryWord position, const CallSettings& settings,
                        EntryRecord& entry, UniqueHlocal& image, uint32_t& image_bytes,
                        LentMemory* memory) {
  OwnerLease lease(memory != nullptr ? kMemoryVideoName : path, settings, memory);
  lease.Acquire(false);
  const bool listed_before = lease.listing() != nullptr;
  if (!listed_before) SR_RETURN_IF_FAILED(lease.MakeListing(0, false));
  entry = EntryRecord{};
  entry.position = position;
  // A position a new listing lacks is refused; one a kept listing lacks is no entry, as a frame
  // past the stream's end would be.
  SR_RETURN_HR_IF(listed_before ? MF_E_OUT_OF_RANGE : kNoEntry,
                  !MatchEntry(lease.listing(), entry));
  WorkRequest request;
  request.index = static_cast<int32_t>(entry.position);
  // The listing was made with these very settings: its size is the image's.
  request.image_bytes = entry.file_size <= UINT32_MAX ? static_cast<uint32_t>(entry.file_size) : 0;
  request.settings = settings.frame;
  request.read_on = settings.limits.read_on;
  request.serialise_creation = settings.limits.serialise_creation;
  const bool ahead = settings.read_ahead && lease.MayReadAhead();
  AheadWindow window;
  if (ahead) {
    window = lease.NoteFetch(request.index, CountEntries(lease.listing()));
    const HRESULT taken = lease.TakeAhead(window, request, image, image_bytes);
    SR_RETURN_IF_FAILED(taken);
    if (taken == S_OK) return S_OK;
  }
  WorkAnswer answer;
  SR_RETURN_IF_FAILED(lease.Run(request, answer));
  image = std::move(answer.image);
  image_bytes = answer.image_bytes;
  // After this entry's own work, which read-ahead never delays.
  if (ahead) lease.ReadAhead(window, request);
  return S_OK;
}

void ForgetOpenVideos() {
  ScopedLock lock(WorkersLock());
  for (OpenVideoOwner& owner : g_table.get().owners) DropLocked(owner);
}

}  // namespace stillreel
