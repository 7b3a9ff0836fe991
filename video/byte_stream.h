// The bytes Media Foundation reads a video from, through byte streams of our own: the file opened
// with every kind of sharing, so that the user may rename, delete or save over a video while its
// reader is kept, or a host's memory lent for the length of one call.
#pragma once

#include <windows.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <new>

#include "win/lock.h"

namespace stillreel {

// Objects of ours that Media Foundation may hold live on the process heap, not on the C++
// runtime's: the exports must not depend on the latter. Made with new (std::nothrow) only.
struct ProcessHeapAllocated {
  static void* operator new(size_t bytes, const std::nothrow_t&) noexcept {
    return HeapAlloc(GetProcessHeap(), 0, bytes);
  }
  static void operator delete(void* block) noexcept { HeapFree(GetProcessHeap(), 0, block); }
};

// A host's memory lent for one call. Streams made on it read it until Revoke, which waits for a
// read in progress and fails every later one: nothing touches the memory once the call that lent
// it has returned, whatever a worker abandoned at the time limit still does. Reference counted
// (ComPtr): a stream kept by such a worker keeps this object alive, never the memory.
class LentMemory : public ProcessHeapAllocated {
 public:
  // A new object holding one reference, the caller's; null when out of memory.
  static LentMemory* Create(const void* data, uint64_t size);
  ULONG AddRef() { return ++m_refs; }
  ULONG Release();

  // Copies up to `count` bytes from `offset` into `out`; false once revoked.
  bool Read(uint64_t offset, void* out, ULONG count, ULONG& read);
  void Revoke();
  uint64_t size() const { return m_size; }

 private:
  LentMemory(const void* data, uint64_t size)
      : m_data(static_cast<const uint8_t*>(data)), m_size(size) {}
  ~LentMemory() = default;

  std::atomic<ULONG> m_refs{1};
  CriticalSection m_lock;
  const uint8_t* m_data;
  uint64_t m_size;
  bool m_revoked = false;  // under m_lock
};

// Lends a host's memory for as long as it lives; revokes it when the call returns.
class MemoryLoan {
 public:
  MemoryLoan(const void* data, uint64_t size) : m_memory(LentMemory::Create(data, size)) {}
  ~MemoryLoan() {
    if (m_memory == nullptr) return;
    m_memory->Revoke();
    m_memory->Release();
  }
  MemoryLoan(const MemoryLoan&) = delete;
  MemoryLoan& operator=(const MemoryLoan&) = delete;

  // Null when it could not be made.
  LentMemory* get() const { return m_memory; }

 private:
  LentMemory* m_memory;
};

// A byte stream over the file at `path`, opened for reading with FILE_SHARE_READ, _WRITE and
// _DELETE, named for the source resolver: MF_BYTESTREAM_ORIGIN_NAME is the path and
// MF_BYTESTREAM_CONTENT_TYPE the MIME type of its extension (of its first bytes when the extension
// is unknown), so that the resolver picks the source it would pick for the path as a URL.
HRESULT OpenFileByteStream(const wchar_t* path, Microsoft::WRL::ComPtr<IMFByteStream>& stream);

// A byte stream over lent memory, named by its first bytes: MF_BYTESTREAM_CONTENT_TYPE is the MIME
// type of the container they show, MF_BYTESTREAM_ORIGIN_NAME "memory" with its usual extension.
HRESULT OpenMemoryByteStream(LentMemory* memory, Microsoft::WRL::ComPtr<IMFByteStream>& stream);

}  // namespace stillreel
