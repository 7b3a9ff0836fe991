// The bytes Media Foundation reads a video from, through byte streams of our own; see the header.
#include "video/byte_stream.h"

#include <mfapi.h>
#include <shlwapi.h>

#include <new>
#include <string_view>
#include <utility>

#include "video/container.h"
#include "win/result.h"
#include "win/unique.h"

// mfidl.h of the Windows SDK declares it; mingw-w64's lacks it, though its mfplat import library
// has it.
extern "C" HRESULT WINAPI MFCreateMFByteStreamOnStream(IStream* stream,
                                                       IMFByteStream** byte_stream);

namespace stillreel {

using Microsoft::WRL::ComPtr;

namespace {

// A read-only IStream over our file handle or lent memory, wrapped for Media Foundation by
// MFCreateMFByteStreamOnStream (which serialises its callers and supplies the asynchronous
// reads). Stat states no write sharing: a byte stream reporting MFBYTESTREAM_SHARE_WRITE is passed
// only to handlers that accept a length changing under them, and a changed file gets a fresh
// reader anyway (the worker's file stamp).
class SourceStream final : public IStream, public ProcessHeapAllocated {
 public:
  // The file's size is taken once: Media Foundation asks for it often, each time a system call
  // (slow under Wine), and a reader is for the file as it was opened (a file changed since gets
  // a fresh reader by its stamp).
  explicit SourceStream(UniqueFile file) : m_file(std::move(file)) {
    LARGE_INTEGER bytes{};
    m_size = GetFileSizeEx(m_file.get(), &bytes) ? static_cast<uint64_t>(bytes.QuadPart) : 0;
  }
  explicit SourceStream(LentMemory* memory) : m_memory(memory), m_size(memory->size()) {}

  // Reads at `offset` without moving the stream's position; false on a failed read.
  bool ReadAt(uint64_t offset, void* out, ULONG count, ULONG& read) {
    read = 0;
    if (m_memory) return m_memory->Read(offset, out, count, read);
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD done = 0;
    if (!ReadFile(m_file.get(), out, count, &done, &at)) {
      return GetLastError() == ERROR_HANDLE_EOF;  // at or past the end: nothing read
    }
    read = done;
    return true;
  }

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(ISequentialStream) ||
        iid == __uuidof(IStream)) {
      *object = static_cast<IStream*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG refs = --m_refs;
    if (refs == 0) delete this;
    return refs;
  }

  STDMETHODIMP Read(void* out, ULONG count, ULONG* read) override {
    if (out == nullptr && count != 0) return STG_E_INVALIDPOINTER;
    ScopedLock lock(m_lock);
    ULONG done = 0;
    const bool ok = ReadAt(m_position, out, count, done);
    m_position += done;
    if (read != nullptr) *read = done;
    if (!ok) return STG_E_READFAULT;
    return done == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Write(const void*, ULONG, ULONG* written) override {
    if (written != nullptr) *written = 0;
    return STG_E_ACCESSDENIED;
  }
  STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override {
    ScopedLock lock(m_lock);
    int64_t base = 0;
    switch (origin) {
      case STREAM_SEEK_SET:
        break;
      case STREAM_SEEK_CUR:
        base = static_cast<int64_t>(m_position);
        break;
      case STREAM_SEEK_END: {
        base = static_cast<int64_t>(m_size);
        break;
      }
      default:
        return STG_E_INVALIDFUNCTION;
    }
    const int64_t target = base + move.QuadPart;
    if (target < 0) return STG_E_INVALIDFUNCTION;
    m_position = static_cast<uint64_t>(target);
    if (position != nullptr) position->QuadPart = m_position;
    return S_OK;
  }
  STDMETHODIMP SetSize(ULARGE_INTEGER) override { return STG_E_ACCESSDENIED; }
  STDMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP Commit(DWORD) override { return S_OK; }
  STDMETHODIMP Revert() override { return S_OK; }
  STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  STDMETHODIMP Stat(STATSTG* stat, DWORD) override {
    if (stat == nullptr) return STG_E_INVALIDPOINTER;
    *stat = STATSTG{};
    stat->type = STGTY_STREAM;
    stat->cbSize.QuadPart = m_size;
    stat->grfMode = STGM_READ | STGM_SHARE_DENY_NONE;
    return S_OK;
  }
  STDMETHODIMP Clone(IStream** clone) override {
    if (clone != nullptr) *clone = nullptr;
    return E_NOTIMPL;
  }

 private:
  ~SourceStream() = default;

  std::atomic<ULONG> m_refs{1};
  UniqueFile m_file;
  ComPtr<LentMemory> m_memory;
  uint64_t m_size = 0;  // bytes
  CriticalSection m_lock;
  uint64_t m_position = 0;  // bytes from the start; under m_lock
};

// An owner of a new stream that takes over the reference it is born with. Not ComPtr::Attach:
// mingw-w64's adds a reference of its own, and the stream (and the file) would never go.
ComPtr<SourceStream> Adopt(SourceStream* created) {
  ComPtr<SourceStream> owner(created);
  if (created != nullptr) created->Release();
  return owner;
}

// The container the source's first bytes show.
Container SniffSource(SourceStream& source) {
  uint8_t header[kHeaderBytes];
  ULONG read = 0;
  if (!source.ReadAt(0, header, sizeof(header), read)) return Container::kUnknown;
  return SniffContainer(header, read);
}

// Wraps `source` for Media Foundation and names it: the origin name and, when known, the MIME type.
HRESULT WrapAndName(SourceStream* source, const wchar_t* origin, std::wstring_view type,
                    ComPtr<IMFByteStream>& stream) {
  ComPtr<IMFByteStream> wrapped;
  SR_RETURN_IF_FAILED(MFCreateMFByteStreamOnStream(source, &wrapped));
  ComPtr<IMFAttributes> attributes;
  SR_RETURN_IF_FAILED(wrapped.As(&attributes));
  SR_RETURN_IF_FAILED(attributes->SetString(MF_BYTESTREAM_ORIGIN_NAME, origin));
  if (!type.empty()) {
    wchar_t text[64];
    SR_RETURN_HR_IF(E_UNEXPECTED, type.size() >= std::size(text));
    type.copy(text, type.size());
    text[type.size()] = L'\0';
    SR_RETURN_IF_FAILED(attributes->SetString(MF_BYTESTREAM_CONTENT_TYPE, text));
  }
  stream = std::move(wrapped);
  return S_OK;
}

}  // namespace

LentMemory* LentMemory::Create(const void* data, uint64_t size) {
  return new (std::nothrow) LentMemory(data, size);
}

ULONG LentMemory::Release() {
  const ULONG refs = --m_refs;
  if (refs == 0) delete this;
  return refs;
}

bool LentMemory::Read(uint64_t offset, void* out, ULONG count, ULONG& read) {
  read = 0;
  ScopedLock lock(m_lock);
  if (m_revoked) return false;
  if (offset >= m_size) return true;
  const uint64_t left = m_size - offset;
  read = static_cast<ULONG>(left < count ? left : count);
  CopyMemory(out, m_data + offset, read);
  return true;
}

void LentMemory::Revoke() {
  // Waits for a read in progress: it holds the lock while it copies.
  ScopedLock lock(m_lock);
  m_revoked = true;
  m_data = nullptr;
}

HRESULT OpenFileByteStream(const wchar_t* path, ComPtr<IMFByteStream>& stream) {
  SR_RETURN_HR_IF(E_POINTER, path == nullptr);
  UniqueFile file(CreateFileW(path, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return SR_TRACED(HRESULT_FROM_WIN32(GetLastError()));
  const ComPtr<SourceStream> source = Adopt(new (std::nothrow) SourceStream(std::move(file)));
  SR_RETURN_HR_IF(E_OUTOFMEMORY, !source);
  std::wstring_view type = ContentTypeOfExtension(PathFindExtensionW(path));
  if (type.empty()) type = ContentTypeOf(SniffSource(*source.Get()));
  return WrapAndName(source.Get(), path, type, stream);
}

HRESULT OpenMemoryByteStream(LentMemory* memory, ComPtr<IMFByteStream>& stream) {
  SR_RETURN_HR_IF(E_POINTER, memory == nullptr);
  const ComPtr<SourceStream> source = Adopt(new (std::nothrow) SourceStream(memory));
  SR_RETURN_HR_IF(E_OUTOFMEMORY, !source);
  const Container container = SniffSource(*source.Get());
  wchar_t origin[16] = L"memory";
  const std::wstring_view extension = ExtensionOf(container);
  extension.copy(origin + 6, extension.size());  // at most ".m2ts"
  return WrapAndName(source.Get(), origin, ContentTypeOf(container), stream);
}

}  // namespace stillreel
