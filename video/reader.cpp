// Opening a video through the Media Foundation source reader (from our byte stream) and setting
// its output type, shared by the probe and the extraction.
#include "video/reader.h"

#include <mfapi.h>
#include <codecapi.h>

#include <atomic>

#include "video/byte_stream.h"
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

// The reader over our own byte stream of the video (the file shared fully, or lent memory), with
// the advanced video processor when the platform grants it (Windows 8 and later): without it
// Windows refuses NV12 for streams whose decoder offers only YUY2 (DV) or P010 (10-bit). An older
// platform refuses the attribute, and then the plain reader serves. A failed creation may have
// closed its byte stream (the source resolver does unless told otherwise): each try has its own.
HRESULT CreateReader(const wchar_t* path, LentMemory* memory, ComPtr<IMFSourceReader>& reader) {
  const auto open_stream = [&](ComPtr<IMFByteStream>& stream) {
    return memory != nullptr ? OpenMemoryByteStream(memory, stream)
                             : OpenFileByteStream(path, stream);
  };
  ComPtr<IMFAttributes> attributes;
  ComPtr<IMFByteStream> stream;
  SR_RETURN_IF_FAILED(open_stream(stream));
  if (SUCCEEDED(SR_TRACED(MFCreateAttributes(&attributes, 1))) &&
      SUCCEEDED(SR_TRACED(
          attributes->SetUINT32(MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING, TRUE)))) {
    // Each creation takes its own turn: a first one that comes back late (its claim lapsed) must
    // not make its retry run beside another thread's creation.
    CreationTurn turn;
    if (SUCCEEDED(SR_TRACED(
            MFCreateSourceReaderFromByteStream(stream.Get(), attributes.Get(), &reader)))) {
      return S_OK;
    }
  }
  reader.Reset();
  stream.Reset();
  SR_RETURN_IF_FAILED(open_stream(stream));
  CreationTurn turn;
  return MFCreateSourceReaderFromByteStream(stream.Get(), nullptr, &reader);
}

// MF_XVP_DISABLE_FRC (mfidl.h of Windows' SDK; these headers lack it).
constexpr GUID kXvpDisableFrc = {
    0x2c0afa19, 0x7a97, 0x4d5a, {0x9e, 0xe8, 0x16, 0xd4, 0xfc, 0x51, 0x8d, 0x8c}};

// The advanced video processor "attempts to match" the output type and converts the frame rate
// by default (MF_XVP_DISABLE_FRC): a variable-frame-rate clip (phones) could come with repeated
// or re-stamped frames. The exact-moment reading goes by the stream's own stamps, so the
// processor's frame-rate conversion is turned off. A reader without IMFSourceReaderEx (before
// Windows 8) has no such processor; one it cannot reach is left as it is.
void KeepTheStreamsStamps(IMFSourceReader* reader) {
  ComPtr<IMFSourceReaderEx> reader_ex;
  if (FAILED(reader->QueryInterface(IID_PPV_ARGS(&reader_ex)))) return;
  for (DWORD index = 0;; ++index) {
    GUID category = GUID_NULL;
    ComPtr<IMFTransform> transform;
    if (FAILED(reader_ex->GetTransformForStream(MF_SOURCE_READER_FIRST_VIDEO_STREAM, index,
                                                &category, &transform))) {
      return;  // MF_E_INVALIDINDEX past the last one
    }
    ComPtr<IMFAttributes> attributes;
    if (category == MFT_CATEGORY_VIDEO_PROCESSOR &&
        SUCCEEDED(SR_TRACED(transform->GetAttributes(&attributes)))) {
      (void)SR_TRACED(attributes->SetUINT32(kXvpDisableFrc, TRUE));
    }
  }
}

// Whether the first video stream's native type names an interlace mode other than progressive.
bool MayBeInterlaced(IMFSourceReader* reader) {
  ComPtr<IMFMediaType> native;
  UINT32 mode = MFVideoInterlace_Progressive;
  return SUCCEEDED(reader->GetNativeMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, &native)) &&
         SUCCEEDED(native->GetUINT32(MF_MT_INTERLACE_MODE, &mode)) &&
         mode != MFVideoInterlace_Progressive;
}

// Whether the stream is 10-bit or HDR, so that P010 is worth asking for: the native type is P010
// or P016 already, HEVC Main 10 or H.264 High 10 (MF_MT_VIDEO_PROFILE), or names a PQ or HLG
// transfer. BT.2020 primaries alone do not count: 8-bit BT.2020 video gains nothing by 10-bit
// output, and 10-bit BT.2020 video is found by its profile.
bool WantsTenBits(IMFSourceReader* reader) {
  ComPtr<IMFMediaType> native;
  if (FAILED(reader->GetNativeMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, &native))) {
    return false;
  }
  GUID subtype{};
  UINT32 value = 0;
  if (SUCCEEDED(native->GetGUID(MF_MT_SUBTYPE, &subtype)) &&
      (subtype == MFVideoFormat_P010 || subtype == MFVideoFormat_P016)) {
    return true;
  }
  // MF_MT_VIDEO_PROFILE is another name of MF_MT_MPEG2_PROFILE.
  if (SUCCEEDED(native->GetUINT32(MF_MT_MPEG2_PROFILE, &value)) &&
      ((subtype == MFVideoFormat_HEVC && value == eAVEncH265VProfile_Main_420_10) ||
       (subtype == MFVideoFormat_H264 && value == eAVEncH264VProfile_High10))) {
    return true;
  }
  return SUCCEEDED(native->GetUINT32(MF_MT_TRANSFER_FUNCTION, &value)) &&
         (value == MFVideoTransFunc_2084 || value == MFVideoTransFunc_HLG);
}

// Sets the first video stream to decode to `subtype`, progressive where the source says it may
// be interlaced.
HRESULT SetOutputType(IMFSourceReader* reader, const GUID& subtype) {
  ComPtr<IMFMediaType> requested;
  SR_RETURN_IF_FAILED(MFCreateMediaType(&requested));
  SR_RETURN_IF_FAILED(requested->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video));
  SR_RETURN_IF_FAILED(requested->SetGUID(MF_MT_SUBTYPE, subtype));
  // Whole frames: with the video processor an interlaced stream is deinterlaced. Asked only of
  // a stream whose source states that it may be interlaced: a reader that cannot promise
  // progressive output refuses the request (Wine 8 answers MF_E_TOPO_CODEC_NOT_FOUND and keeps
  // a handle or so each time), and then gets the plain request.
  if (MayBeInterlaced(reader)) {
    SR_RETURN_IF_FAILED(requested->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive));
    if (SUCCEEDED(reader->SetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, nullptr,
                                              requested.Get()))) {
      return S_OK;
    }
  }
  SR_RETURN_IF_FAILED(requested->DeleteItem(MF_MT_INTERLACE_MODE));
  // The reader inserts whatever decoder turns the stream into `subtype`, or fails.
  return reader->SetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, nullptr, requested.Get());
}

}  // namespace

void SetReaderCreationSerialised(bool serialised) { g_serialise_creation.store(serialised); }

HRESULT OpenNv12Reader(const wchar_t* path, ComPtr<IMFSourceReader>& reader, LentMemory* memory) {
  SR_RETURN_HR_IF(E_POINTER, path == nullptr && memory == nullptr);
  SR_RETURN_IF_FAILED(CreateReader(path, memory, reader));
  SR_RETURN_IF_FAILED(reader->SetStreamSelection(MF_SOURCE_READER_ALL_STREAMS, FALSE));
  // Fails when there is no video stream at all (an audio-only file).
  SR_RETURN_IF_FAILED(reader->SetStreamSelection(MF_SOURCE_READER_FIRST_VIDEO_STREAM, TRUE));
  // A 10-bit or HDR stream is asked for P010 first, to keep its precision until the last step;
  // a reader that refuses gives NV12.
  if (!WantsTenBits(reader.Get()) ||
      FAILED(SR_TRACED(SetOutputType(reader.Get(), MFVideoFormat_P010)))) {
    SR_RETURN_IF_FAILED(SetOutputType(reader.Get(), MFVideoFormat_NV12));
  }
  KeepTheStreamsStamps(reader.Get());
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

}  // namespace stillreel
