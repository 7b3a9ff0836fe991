// Opening a video through the Media Foundation source reader, shared by the probe and the
// extraction.
#include "video/reader.h"

#include <mfapi.h>

#include <atomic>

#include "win/event.h"
#include "win/lock.h"
#include "win/media.h"
#include "win/result.h"

namespace stillreel {

using Microsoft::WRL::ComPtr;

namespace {

std::atomic<bool> g_serialise_creation{true};

// Wine 8 deadlocks when several threads create source readers at once (4 threads: 2 to 4 runs in
// 10 hang; one at a time: none), so creation goes through this gate one thread at a time. A
// creation that never returns (some broken files) must not shut every later one out: its claim
// lapses after kClaimMs and the next thread goes ahead.
class CreationGate {
 public:
  static constexpr ULONGLONG kClaimMs = 2000;

  // The claim to hand back to Leave.
  unsigned Enter() {
    for (;;) {
      DWORD wait = 0;
      {
        ScopedLock lock(m_lock);
        const ULONGLONG now = GetTickCount64();
        if (!m_held || now - m_claimed_at >= kClaimMs) {
          m_held = true;
          m_claimed_at = now;
          return ++m_claim;
        }
        // Without an event the waiters poll: slower, never stuck.
        if (!m_freed_ready) m_freed_ready = m_freed.Create();
        wait = m_freed_ready ? static_cast<DWORD>(kClaimMs - (now - m_claimed_at)) : 10;
      }
      if (m_freed_ready) {
        (void)m_freed.Wait(wait);  // freed or lapsed: either way look again
      } else {
        Sleep(wait);
      }
    }
  }

  void Leave(unsigned claim) {
    ScopedLock lock(m_lock);
    if (claim != m_claim) return;  // lapsed: another thread holds the gate now
    m_held = false;
    if (m_freed_ready) m_freed.Set();
  }

 private:
  CriticalSection m_lock;
  Event m_freed;
  bool m_freed_ready = false;
  bool m_held = false;
  ULONGLONG m_claimed_at = 0;  // GetTickCount64 milliseconds
  unsigned m_claim = 0;
};

CreationGate g_creation_gate;

// Holds the gate for one creation, unless creation is not serialised.
class CreationTurn {
 public:
  CreationTurn() : m_held(g_serialise_creation.load()) {
    if (m_held) m_claim = g_creation_gate.Enter();
  }
  ~CreationTurn() {
    if (m_held) g_creation_gate.Leave(m_claim);
  }
  CreationTurn(const CreationTurn&) = delete;
  CreationTurn& operator=(const CreationTurn&) = delete;

 private:
  bool m_held;
  unsigned m_claim = 0;
};

}  // namespace

void SetReaderCreationSerialised(bool serialised) { g_serialise_creation.store(serialised); }

HRESULT OpenNv12Reader(const wchar_t* path, ComPtr<IMFSourceReader>& reader) {
  SR_RETURN_HR_IF(E_POINTER, path == nullptr);
  {
    CreationTurn turn;
    SR_RETURN_IF_FAILED(MFCreateSourceReaderFromURL(path, nullptr, &reader));
  }
  SR_RETURN_IF_FAILED(reader->SetStreamSelection(MF_SOURCE_READER_ALL_STREAMS, FALSE));
  // Fails when there is no video stream at all (an audio-only file).
  SR_RETURN_IF_FAILED(reader->SetStreamSelection(MF_SOURCE_READER_FIRST_VIDEO_STREAM, TRUE));
  ComPtr<IMFMediaType> requested;
  SR_RETURN_IF_FAILED(MFCreateMediaType(&requested));
  SR_RETURN_IF_FAILED(requested->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video));
  SR_RETURN_IF_FAILED(requested->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12));
  // The reader inserts whatever decoder turns the stream into NV12, or fails.
  SR_RETURN_IF_FAILED(
      reader->SetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, nullptr, requested.Get()));
  return S_OK;
}

HRESULT ReadDuration(IMFSourceReader* reader, int64_t& ticks) {
  ticks = 0;
  PropVariant duration;
  SR_RETURN_IF_FAILED(reader->GetPresentationAttribute(MF_SOURCE_READER_MEDIASOURCE, MF_PD_DURATION,
                                                       duration.get()));
  // Sources report VT_UI8; the bits are the same read as signed.
  ticks = duration.value().hVal.QuadPart;
  return S_OK;
}

HRESULT ReadFrameSize(IMFSourceReader* reader, ComPtr<IMFMediaType>& current, FrameSize& size) {
  SR_RETURN_IF_FAILED(reader->GetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, &current));
  UINT64 packed = 0;
  SR_RETURN_IF_FAILED(current->GetUINT64(MF_MT_FRAME_SIZE, &packed));
  size.width = static_cast<uint32_t>(packed >> 32);
  size.height = static_cast<uint32_t>(packed);
  return S_OK;
}

}  // namespace stillreel
