// A source reader that behaves as Windows' does where Wine's differs; see windows_reader.h.
#include "windows_reader.h"

#include <mfapi.h>
#include <mferror.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <memory>
#include <mutex>
#include <vector>

#include "import_hook.h"

namespace stillreel::test {

const DocumentedBehaviour kWindowsBehaviours[19] = {
    {"a seek lands on the key frame at or before the position; the caller reads on",
     "IMFSourceReader::SetCurrentPosition (Remarks)"},
    {"frame size aligned to 16, the picture in MF_MT_MINIMUM_DISPLAY_APERTURE",
     "H.264 Video Decoder; Video Media Types: Picture Aspect Ratio (apertures)"},
    {"a placeholder output type until the first frame, then CURRENTMEDIATYPECHANGED",
     "H.264 Video Decoder; MF_SOURCE_READER_FLAG"},
    {"samples in IMF2DBuffer/IMF2DBuffer2, pitch beyond the width, length not the 2D layout",
     "IMF2DBuffer::Lock2D; IMF2DBuffer2::Lock2DSize; Uncompressed Video Buffers"},
    {"NV12 chroma plane at pitch x coded height",
     "Recommended 8-Bit YUV Formats for Video Rendering (NV12)"},
    {"stride, rotation, matrix, range, pixel aspect and interlacing from the container",
     "MF_MT_DEFAULT_STRIDE; MF_MT_VIDEO_ROTATION; MF_MT_YUV_MATRIX; MF_MT_VIDEO_NOMINAL_RANGE; "
     "MF_MT_PIXEL_ASPECT_RATIO; MF_MT_INTERLACE_MODE"},
    {"conversion to NV12 only with the advanced video processor",
     "MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING; DV Video Decoder"},
    {"after MF_SOURCE_READERF_ERROR the reader must not be called again", "MF_SOURCE_READER_FLAG"},
    {"a byte stream's handler is chosen by its MIME type or its origin name's extension",
     "MFCreateSourceReaderFromByteStream; Source Resolver; Byte Stream Attributes"},
    {"10-bit decoders give P010: 16-bit words, the value in the top 10 bits, chroma at pitch x "
     "coded height",
     "10-bit and 16-bit YUV Video Formats (P010); H.265 / HEVC Video Decoder"},
    {"HDR streams state their transfer, primaries and mastering or content light levels",
     "MF_MT_TRANSFER_FUNCTION (MFVideoTransFunc_2084, MFVideoTransFunc_HLG); "
     "MF_MT_VIDEO_PRIMARIES; "
     "MF_MT_MAX_MASTERING_LUMINANCE; MF_MT_MAX_LUMINANCE_LEVEL; MF_MT_VIDEO_PROFILE"},
    {"2D interfaces as tear-offs, gone at their own last Release: references count per interface",
     "Rules for Managing Reference Counts; Implementing Reference Counting"},
    {"rotation a property of the stream, stated on the native type; not said to reach the decoded "
     "type",
     "MF_MT_VIDEO_ROTATION; IMFSourceReader::GetNativeMediaType"},
    {"MF_PD_DURATION is the presentation's, audio included: the video may end before it",
     "MF_PD_DURATION; Using the Source Reader to Process Media Data (Getting the File Duration)"},
    {"a source that cannot seek: no MFMEDIASOURCE_CAN_SEEK, SetCurrentPosition fails",
     "Using the Source Reader to Process Media Data (Seeking); MFMEDIASOURCE_CHARACTERISTICS; "
     "IMFSourceReader::SetCurrentPosition"},
    {"a plain buffer laid out by stride and coded height, its length larger than the planes",
     "Uncompressed Video Buffers; MF_MT_DEFAULT_STRIDE"},
    {"the type change on the first frame brings a pixel aspect ratio with the size unchanged",
     "H.264 Video Decoder; H.265 / HEVC Video Decoder; MF_SOURCE_READER_FLAG"},
    {"a decoder registered without a ThreadingModel lives in the main STA; calls into it wait for "
     "that thread",
     "InprocServer32; Processes, Threads, and Apartments; CoWaitForMultipleHandles"},
    {"the advanced video processor converts frame rates unless MF_XVP_DISABLE_FRC",
     "MF_XVP_DISABLE_FRC; IMFSourceReaderEx::GetTransformForStream; "
     "MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING"},
};

namespace {

using Microsoft::WRL::ComPtr;
using CreateReaderFn = HRESULT(WINAPI*)(LPCWSTR, IMFAttributes*, IMFSourceReader**);
using CreateStreamReaderFn = HRESULT(WINAPI*)(IMFByteStream*, IMFAttributes*, IMFSourceReader**);

WindowsBehaviour g_behaviour;
WindowsReaderCounts g_counts;
CreateReaderFn g_create_reader = nullptr;
CreateStreamReaderFn g_create_stream_reader = nullptr;
std::atomic<long> g_alive{0};    // WindowsReader objects not yet destroyed
std::atomic<long> g_buffers{0};  // Nv12Buffer2D objects not yet destroyed

uint32_t AlignUp(uint32_t value, uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

// An NV12 frame in memory the double owns, offered as IMF2DBuffer2 (and IMF2DBuffer) as well as
// IMFMediaBuffer. `bytes` holds the planes (luma rows, then chroma rows, each `pitch` apart,
// top-down or bottom-up) and some slack; its whole size is the current length.
class Nv12Buffer2D final : public IMFMediaBuffer, public IMF2DBuffer2 {
 public:
  Nv12Buffer2D(std::vector<BYTE> bytes, LONG pitch, uint32_t coded_height, bool bottom_up)
      : m_bytes(std::move(bytes)), m_pitch(pitch), m_height(coded_height), m_bottom_up(bottom_up) {
    ++g_buffers;
  }
  ~Nv12Buffer2D() { --g_buffers; }

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IMFMediaBuffer)) {
      *object = static_cast<IMFMediaBuffer*>(this);
    } else if (iid == __uuidof(IMF2DBuffer) || iid == __uuidof(IMF2DBuffer2)) {
      if (g_behaviour.tear_off_2d) return NewTearOff(object);
      *object = static_cast<IMF2DBuffer2*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG refs = --m_refs;
    if (refs == 0) delete this;
    return refs;
  }

  // IMFMediaBuffer: the whole memory, contiguous.
  STDMETHODIMP Lock(BYTE** data, DWORD* max_length, DWORD* current_length) override {
    *data = m_bytes.data();
    if (max_length) *max_length = Length();
    if (current_length) *current_length = Length();
    return S_OK;
  }
  STDMETHODIMP Unlock() override { return S_OK; }
  STDMETHODIMP GetCurrentLength(DWORD* length) override { return *length = Length(), S_OK; }
  STDMETHODIMP SetCurrentLength(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP GetMaxLength(DWORD* length) override { return *length = Length(), S_OK; }

  // IMF2DBuffer: the first picture row and the signed pitch.
  STDMETHODIMP Lock2D(BYTE** first_row, LONG* pitch) override {
    ++g_counts.lock_2d;
    return GetScanline0AndPitch(first_row, pitch);
  }
  STDMETHODIMP Unlock2D() override { return S_OK; }
  STDMETHODIMP GetScanline0AndPitch(BYTE** first_row, LONG* pitch) override {
    *first_row = m_bytes.data() + (m_bottom_up ? (m_height - 1) * size_t(m_pitch) : 0);
    *pitch = m_bottom_up ? -m_pitch : m_pitch;
    return S_OK;
  }
  STDMETHODIMP IsContiguousFormat(BOOL* contiguous) override { return *contiguous = FALSE, S_OK; }
  STDMETHODIMP GetContiguousLength(DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP ContiguousCopyTo(BYTE*, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP ContiguousCopyFrom(const BYTE*, DWORD) override { return E_NOTIMPL; }
  // IMF2DBuffer2
  STDMETHODIMP Lock2DSize(MF2DBuffer_LockFlags, BYTE** first_row, LONG* pitch, BYTE** start,
                          DWORD* length) override {
    ++g_counts.lock_2d;
    *start = m_bytes.data();
    *length = Length();
    return GetScanline0AndPitch(first_row, pitch);
  }
  STDMETHODIMP Copy2DTo(IMF2DBuffer2*) override { return E_NOTIMPL; }

 private:
  DWORD Length() const { return static_cast<DWORD>(m_bytes.size()); }
  HRESULT NewTearOff(void** object);

  std::atomic<ULONG> m_refs{1};
  std::vector<BYTE> m_bytes;
  LONG m_pitch;
  uint32_t m_height;
  bool m_bottom_up;
};

// One 2D interface of an Nv12Buffer2D as a tear-off: an object of its own with its own count,
// holding the buffer while it lives. At its last Release it lets the buffer go and is gone: it
// stays in memory (the graveyard, emptied when a hook is installed or removed) only so that a
// later call is counted rather than crashing the test program.
class TearOff2D final : public IMF2DBuffer2 {
 public:
  explicit TearOff2D(IMF2DBuffer2* buffer) : m_buffer(buffer) {}

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (Gone()) return E_UNEXPECTED;
    if (object == nullptr) return E_POINTER;
    if (iid == __uuidof(IMF2DBuffer) || iid == __uuidof(IMF2DBuffer2)) {
      *object = static_cast<IMF2DBuffer2*>(this);
      AddRef();
      return S_OK;
    }
    return m_buffer->QueryInterface(iid, object);
  }
  STDMETHODIMP_(ULONG) AddRef() override {
    if (Gone()) return 0;
    return ++m_refs;
  }
  STDMETHODIMP_(ULONG) Release() override;

  STDMETHODIMP Lock2D(BYTE** first_row, LONG* pitch) override {
    return Gone() ? E_UNEXPECTED : m_buffer->Lock2D(first_row, pitch);
  }
  STDMETHODIMP Unlock2D() override { return Gone() ? E_UNEXPECTED : m_buffer->Unlock2D(); }
  STDMETHODIMP GetScanline0AndPitch(BYTE** first_row, LONG* pitch) override {
    return Gone() ? E_UNEXPECTED : m_buffer->GetScanline0AndPitch(first_row, pitch);
  }
  STDMETHODIMP IsContiguousFormat(BOOL* contiguous) override {
    return Gone() ? E_UNEXPECTED : m_buffer->IsContiguousFormat(contiguous);
  }
  STDMETHODIMP GetContiguousLength(DWORD* length) override {
    return Gone() ? E_UNEXPECTED : m_buffer->GetContiguousLength(length);
  }
  STDMETHODIMP ContiguousCopyTo(BYTE* to, DWORD length) override {
    return Gone() ? E_UNEXPECTED : m_buffer->ContiguousCopyTo(to, length);
  }
  STDMETHODIMP ContiguousCopyFrom(const BYTE* from, DWORD length) override {
    return Gone() ? E_UNEXPECTED : m_buffer->ContiguousCopyFrom(from, length);
  }
  STDMETHODIMP Lock2DSize(MF2DBuffer_LockFlags flags, BYTE** first_row, LONG* pitch, BYTE** start,
                          DWORD* length) override {
    return Gone() ? E_UNEXPECTED : m_buffer->Lock2DSize(flags, first_row, pitch, start, length);
  }
  STDMETHODIMP Copy2DTo(IMF2DBuffer2* to) override {
    return Gone() ? E_UNEXPECTED : m_buffer->Copy2DTo(to);
  }

 private:
  bool Gone() {
    if (!m_gone) return false;
    ++g_counts.calls_after_release;
    return true;
  }

  std::atomic<ULONG> m_refs{1};
  std::atomic<bool> m_gone{false};
  IMF2DBuffer2* m_buffer;  // one reference, let go with the tear-off's last
};

std::mutex g_graveyard_lock;
std::vector<std::unique_ptr<TearOff2D>> g_graveyard;

void EmptyGraveyard() {
  std::lock_guard<std::mutex> lock(g_graveyard_lock);
  g_graveyard.clear();
}

STDMETHODIMP_(ULONG) TearOff2D::Release() {
  if (Gone()) return 0;
  const ULONG refs = --m_refs;
  if (refs == 0) {
    m_gone = true;
    m_buffer->Release();
    std::lock_guard<std::mutex> lock(g_graveyard_lock);
    g_graveyard.emplace_back(this);
  }
  return refs;
}

HRESULT Nv12Buffer2D::NewTearOff(void** object) {
  AddRef();
  *object = static_cast<IMF2DBuffer2*>(new TearOff2D(static_cast<IMF2DBuffer2*>(this)));
  return S_OK;
}

// MF_XVP_DISABLE_FRC, which these headers lack.
constexpr GUID kXvpDisableFrc = {
    0x2c0afa19, 0x7a97, 0x4d5a, {0x9e, 0xe8, 0x16, 0xd4, 0xfc, 0x51, 0x8d, 0x8c}};

// The video processor a reader with advanced video processing inserts, as far as its attributes:
// nothing passes through it here.
class FakeProcessor final : public IMFTransform {
 public:
  FakeProcessor() { (void)MFCreateAttributes(&m_attributes, 1); }

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (iid != __uuidof(IUnknown) && iid != __uuidof(IMFTransform)) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    *object = static_cast<IMFTransform*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG refs = --m_refs;
    if (refs == 0) delete this;
    return refs;
  }
  bool ConvertsRates() {
    UINT32 disabled = FALSE;
    return !m_attributes || FAILED(m_attributes->GetUINT32(kXvpDisableFrc, &disabled)) || !disabled;
  }

  STDMETHODIMP GetAttributes(IMFAttributes** attributes) override {
    if (!m_attributes) return E_OUTOFMEMORY;
    *attributes = m_attributes.Get();
    (*attributes)->AddRef();
    return S_OK;
  }
  STDMETHODIMP GetStreamLimits(DWORD*, DWORD*, DWORD*, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP GetStreamCount(DWORD*, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP GetStreamIDs(DWORD, DWORD*, DWORD, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP GetInputStreamInfo(DWORD, MFT_INPUT_STREAM_INFO*) override { return E_NOTIMPL; }
  STDMETHODIMP GetOutputStreamInfo(DWORD, MFT_OUTPUT_STREAM_INFO*) override { return E_NOTIMPL; }
  STDMETHODIMP GetInputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
  STDMETHODIMP GetOutputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
  STDMETHODIMP DeleteInputStream(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP AddInputStreams(DWORD, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP GetInputAvailableType(DWORD, DWORD, IMFMediaType**) override { return E_NOTIMPL; }
  STDMETHODIMP GetOutputAvailableType(DWORD, DWORD, IMFMediaType**) override { return E_NOTIMPL; }
  STDMETHODIMP SetInputType(DWORD, IMFMediaType*, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP SetOutputType(DWORD, IMFMediaType*, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP GetInputCurrentType(DWORD, IMFMediaType**) override { return E_NOTIMPL; }
  STDMETHODIMP GetOutputCurrentType(DWORD, IMFMediaType**) override { return E_NOTIMPL; }
  STDMETHODIMP GetInputStatus(DWORD, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP GetOutputStatus(DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP SetOutputBounds(LONGLONG, LONGLONG) override { return E_NOTIMPL; }
  STDMETHODIMP ProcessEvent(DWORD, IMFMediaEvent*) override { return E_NOTIMPL; }
  STDMETHODIMP ProcessMessage(MFT_MESSAGE_TYPE, ULONG_PTR) override { return E_NOTIMPL; }
  STDMETHODIMP ProcessInput(DWORD, IMFSample*, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP ProcessOutput(DWORD, DWORD, MFT_OUTPUT_DATA_BUFFER*, DWORD*) override {
    return E_NOTIMPL;
  }

 private:
  std::atomic<ULONG> m_refs{1};
  ComPtr<IMFAttributes> m_attributes;
};

// Frame size of a type, {0, 0} when absent.
std::pair<uint32_t, uint32_t> SizeOf(IMFMediaType* type) {
  UINT64 packed = 0;
  if (FAILED(type->GetUINT64(MF_MT_FRAME_SIZE, &packed))) return {0, 0};
  return {static_cast<uint32_t>(packed >> 32), static_cast<uint32_t>(packed)};
}

// How the double lays out a frame of the inner reader's `width` x `height`.
struct Layout {
  uint32_t coded_width, coded_height, pitch;
  bool changed;  // anything differs from the inner reader's frames
};
Layout LayoutFor(uint32_t width, uint32_t height) {
  Layout layout{width, height, width, false};
  if (g_behaviour.aligned_frames) {
    layout.coded_width = AlignUp(width, 16);
    layout.coded_height = AlignUp(height, 16);
    layout.changed = true;
  }
  layout.pitch = layout.coded_width;
  if (g_behaviour.pitch_alignment != 0) {
    layout.pitch = AlignUp(layout.coded_width, g_behaviour.pitch_alignment);
    layout.changed = true;
  }
  if (g_behaviour.plain_slack_rows != 0) layout.changed = true;
  return layout;
}

class WindowsReader final : public IMFSourceReaderEx {
 public:
  WindowsReader(ComPtr<IMFSourceReader> inner, bool advanced)
      : m_inner(std::move(inner)),
        m_advanced(advanced),
        m_placeholder(g_behaviour.placeholder_type) {
    ++g_alive;
  }
  ~WindowsReader() { --g_alive; }

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IMFSourceReader) ||
        (iid == __uuidof(IMFSourceReaderEx) && g_behaviour.video_processor)) {
      *object = static_cast<IMFSourceReaderEx*>(this);
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

  STDMETHODIMP GetStreamSelection(DWORD stream, BOOL* selected) override {
    CountIfFailed();
    return m_inner->GetStreamSelection(stream, selected);
  }
  STDMETHODIMP SetStreamSelection(DWORD stream, BOOL selected) override {
    CountIfFailed();
    return m_inner->SetStreamSelection(stream, selected);
  }
  STDMETHODIMP GetNativeMediaType(DWORD stream, DWORD index, IMFMediaType** type) override {
    CountIfFailed();
    const HRESULT hr = m_inner->GetNativeMediaType(stream, index, type);
    if (SUCCEEDED(hr) &&
        (g_behaviour.native_interlace_mode != 0 || g_behaviour.native_subtype != GUID_NULL ||
         !g_behaviour.native_uint32_attributes.empty())) {
      // Wine hands out its own type object: a copy carries the attributes.
      ComPtr<IMFMediaType> copy;
      if (SUCCEEDED(MFCreateMediaType(&copy)) && SUCCEEDED((*type)->CopyAllItems(copy.Get()))) {
        if (g_behaviour.native_interlace_mode != 0) {
          copy->SetUINT32(MF_MT_INTERLACE_MODE, g_behaviour.native_interlace_mode);
        }
        if (g_behaviour.native_subtype != GUID_NULL) {
          copy->SetGUID(MF_MT_SUBTYPE, g_behaviour.native_subtype);
        }
        for (const auto& [key, value] : g_behaviour.native_uint32_attributes) {
          copy->SetUINT32(key, value);
        }
        (*type)->Release();
        *type = copy.Detach();
      }
    }
    return hr;
  }
  STDMETHODIMP SetCurrentMediaType(DWORD stream, DWORD* reserved, IMFMediaType* type) override {
    CountIfFailed();
    GUID asked{};
    if (type != nullptr && SUCCEEDED(type->GetGUID(MF_MT_SUBTYPE, &asked)) &&
        stream == DWORD(MF_SOURCE_READER_FIRST_VIDEO_STREAM)) {
      if (asked == MFVideoFormat_P010) return AskP010(stream, reserved, type);
      m_p010 = false;
    }
    GUID subtype{};
    if (g_behaviour.nv12_needs_advanced_processing && !m_advanced && type != nullptr &&
        SUCCEEDED(type->GetGUID(MF_MT_SUBTYPE, &subtype)) && subtype == MFVideoFormat_NV12) {
      return MF_E_INVALIDMEDIATYPE;
    }
    UINT32 mode = 0;
    if (type != nullptr && SUCCEEDED(type->GetUINT32(MF_MT_INTERLACE_MODE, &mode))) {
      ++g_counts.progressive_requests;
    }
    return m_inner->SetCurrentMediaType(stream, reserved, type);
  }
  STDMETHODIMP GetCurrentMediaType(DWORD stream, IMFMediaType** type) override {
    CountIfFailed();
    if (stream != DWORD(MF_SOURCE_READER_FIRST_VIDEO_STREAM)) {
      return m_inner->GetCurrentMediaType(stream, type);
    }
    if (m_placeholder) return Placeholder(type);
    ComPtr<IMFMediaType> inner;
    HRESULT hr = m_inner->GetCurrentMediaType(stream, &inner);
    if (FAILED(hr)) return hr;
    ComPtr<IMFMediaType> shown;
    if (FAILED(hr = MFCreateMediaType(&shown)) || FAILED(hr = inner->CopyAllItems(shown.Get()))) {
      return hr;
    }
    const auto [width, height] = SizeOf(inner.Get());
    const Layout layout = m_p010 ? P010LayoutFor(width, height) : LayoutFor(width, height);
    if (m_p010) shown->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_P010);
    if (layout.changed) {
      shown->SetUINT64(MF_MT_FRAME_SIZE,
                       (UINT64{layout.coded_width} << 32) | UINT64{layout.coded_height});
      shown->SetUINT32(MF_MT_DEFAULT_STRIDE, layout.pitch);
    }
    if (g_behaviour.aligned_frames) {
      MFVideoArea area{};
      area.Area.cx = static_cast<LONG>(width);
      area.Area.cy = static_cast<LONG>(height);
      shown->SetBlob(MF_MT_MINIMUM_DISPLAY_APERTURE, reinterpret_cast<const UINT8*>(&area),
                     sizeof area);
    }
    // The stream's own attributes stay on the native type unless named for this one.
    for (const auto& [key, value] : g_behaviour.native_uint32_attributes) shown->DeleteItem(key);
    for (const auto& [key, value] : g_behaviour.uint32_attributes) shown->SetUINT32(key, value);
    for (const auto& [key, value] : g_behaviour.uint64_attributes) shown->SetUINT64(key, value);
    *type = shown.Detach();
    return S_OK;
  }
  STDMETHODIMP SetCurrentPosition(REFGUID format, REFPROPVARIANT position) override {
    CountIfFailed();
    ++g_counts.positions;
    if (g_behaviour.refuse_seeks) {
      ++g_counts.refused_seeks;
      return MF_E_INVALIDREQUEST;
    }
    const int64_t interval = g_behaviour.key_interval;
    if (interval <= 0 || format != GUID_NULL || position.vt != VT_I8) {
      return m_inner->SetCurrentPosition(format, position);
    }
    PROPVARIANT key_frame = position;
    key_frame.hVal.QuadPart = position.hVal.QuadPart / interval * interval;
    if (key_frame.hVal.QuadPart != position.hVal.QuadPart) ++g_counts.seeks;
    return m_inner->SetCurrentPosition(format, key_frame);
  }
  STDMETHODIMP ReadSample(DWORD stream, DWORD control, DWORD* actual, DWORD* flags, LONGLONG* stamp,
                          IMFSample** sample) override {
    CountIfFailed();
    if (g_behaviour.sta_object_cookie != 0) CallIntoTheSta();
    if (g_behaviour.hold_background_reads != nullptr &&
        GetThreadPriority(GetCurrentThread()) < THREAD_PRIORITY_NORMAL) {
      ++g_counts.held_reads;
      WaitForSingleObject(g_behaviour.hold_background_reads, INFINITE);
      --g_counts.held_reads;
    }
    if (m_processor && m_processor->ConvertsRates()) ++g_counts.reads_converting_rates;
    if (g_behaviour.error_after_samples != 0 && m_samples >= g_behaviour.error_after_samples) {
      m_failed = true;
      ++g_counts.errors;
      *flags = MF_SOURCE_READERF_ERROR;
      *sample = nullptr;
      return S_OK;
    }
    ComPtr<IMFSample> inner;
    HRESULT hr = m_inner->ReadSample(stream, control, actual, flags, stamp, &inner);
    if (FAILED(hr) || !inner) {
      *sample = inner.Detach();
      return hr;
    }
    if (m_placeholder) {
      m_placeholder = false;
      *flags |= MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED;
      ++g_counts.type_changes;
    }
    ++m_samples;
    ComPtr<IMFSample> shown;
    if (m_p010) {
      if (FAILED(hr = ServeP010(inner.Get(), shown))) return hr;
      ++g_counts.p010_samples;
    } else if (FAILED(hr = Relayout(inner.Get(), shown))) {
      return hr;
    }
    *sample = shown.Detach();
    return S_OK;
  }
  STDMETHODIMP Flush(DWORD stream) override {
    CountIfFailed();
    return m_inner->Flush(stream);
  }
  STDMETHODIMP GetServiceForStream(DWORD stream, REFGUID service, REFIID iid,
                                   void** object) override {
    CountIfFailed();
    return m_inner->GetServiceForStream(stream, service, iid, object);
  }
  // IMFSourceReaderEx: the video processor first, then whatever the inner reader lists.
  STDMETHODIMP SetNativeMediaType(DWORD stream, IMFMediaType* type, DWORD* flags) override {
    ComPtr<IMFSourceReaderEx> inner;
    if (FAILED(m_inner.As(&inner))) return E_NOTIMPL;
    return inner->SetNativeMediaType(stream, type, flags);
  }
  STDMETHODIMP AddTransformForStream(DWORD stream, IUnknown* transform) override {
    ComPtr<IMFSourceReaderEx> inner;
    if (FAILED(m_inner.As(&inner))) return E_NOTIMPL;
    return inner->AddTransformForStream(stream, transform);
  }
  STDMETHODIMP RemoveAllTransformsForStream(DWORD stream) override {
    ComPtr<IMFSourceReaderEx> inner;
    if (FAILED(m_inner.As(&inner))) return E_NOTIMPL;
    return inner->RemoveAllTransformsForStream(stream);
  }
  STDMETHODIMP GetTransformForStream(DWORD stream, DWORD index, GUID* category,
                                     IMFTransform** transform) override {
    CountIfFailed();
    if (stream != DWORD(MF_SOURCE_READER_FIRST_VIDEO_STREAM) || index != 0) {
      return MF_E_INVALIDINDEX;
    }
    if (!m_processor) m_processor.Attach(new FakeProcessor());
    ++g_counts.processor_queries;
    if (category != nullptr) *category = MFT_CATEGORY_VIDEO_PROCESSOR;
    *transform = m_processor.Get();
    (*transform)->AddRef();
    return S_OK;
  }

  STDMETHODIMP GetPresentationAttribute(DWORD stream, REFGUID key, PROPVARIANT* value) override {
    CountIfFailed();
    const HRESULT hr = m_inner->GetPresentationAttribute(stream, key, value);
    if (FAILED(hr) || stream != DWORD(MF_SOURCE_READER_MEDIASOURCE)) return hr;
    if (key == MF_PD_DURATION && value->vt == VT_UI8) {
      value->uhVal.QuadPart += g_behaviour.extra_duration;
    }
    if (key == MF_SOURCE_READER_MEDIASOURCE_CHARACTERISTICS && value->vt == VT_UI4 &&
        g_behaviour.refuse_seeks) {
      value->ulVal &= ~ULONG{MFMEDIASOURCE_CAN_SEEK};
    }
    return hr;
  }

 private:
  void CountIfFailed() {
    if (m_failed) ++g_counts.calls_after_error;
  }

  // A call into the object in the host's STA, from this (the worker's) thread.
  static void CallIntoTheSta() {
    ComPtr<IGlobalInterfaceTable> table;
    ComPtr<IPersist> object;
    HRESULT hr = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_PPV_ARGS(&table));
    if (SUCCEEDED(hr)) {
      hr = table->GetInterfaceFromGlobal(g_behaviour.sta_object_cookie, IID_PPV_ARGS(&object));
    }
    CLSID clsid{};
    if (SUCCEEDED(hr)) hr = object->GetClassID(&clsid);
    if (SUCCEEDED(hr)) {
      ++g_counts.sta_calls;
    } else {
      g_counts.sta_failure = hr;
    }
  }

  // What a decoder offers before it has seen the stream's sequence header.
  HRESULT Placeholder(IMFMediaType** type) {
    ComPtr<IMFMediaType> placeholder;
    HRESULT hr = MFCreateMediaType(&placeholder);
    if (FAILED(hr)) return hr;
    placeholder->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    placeholder->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
    UINT64 size = (UINT64{1920} << 32) | 1088;
    ComPtr<IMFMediaType> native;
    if (g_behaviour.placeholder_native_size &&
        SUCCEEDED(m_inner->GetNativeMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, &native))) {
      (void)native->GetUINT64(MF_MT_FRAME_SIZE, &size);
    }
    placeholder->SetUINT64(MF_MT_FRAME_SIZE, size);
    *type = placeholder.Detach();
    return S_OK;
  }

  // The inner reader's frame (a plain buffer, chroma at two thirds of its length) in the
  // double's layout: loud padding around the picture, a 2D buffer when asked for.
  HRESULT Relayout(IMFSample* inner, ComPtr<IMFSample>& shown) {
    ComPtr<IMFMediaType> type;
    HRESULT hr = m_inner->GetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, &type);
    if (FAILED(hr)) return hr;
    const auto [width, height] = SizeOf(type.Get());
    const Layout layout = LayoutFor(width, height);
    if (!layout.changed) {
      shown = inner;
      return S_OK;
    }
    ComPtr<IMFMediaBuffer> source;
    if (FAILED(hr = inner->ConvertToContiguousBuffer(&source))) return hr;
    BYTE* src = nullptr;
    DWORD src_length = 0;
    if (FAILED(hr = source->Lock(&src, nullptr, &src_length))) return hr;
    const uint32_t even_height = height + (height & 1);
    const uint32_t src_pitch = src_length / (even_height / 2 * 3);
    const BYTE* src_chroma = src + src_length / 3 * 2;

    const size_t pitch = layout.pitch;
    const size_t chroma_rows = (layout.coded_height + 1) / 2;
    const size_t planes = pitch * (layout.coded_height + chroma_rows);
    const bool two_d = g_behaviour.pitch_alignment != 0;
    const size_t slack_rows = two_d ? 8 : g_behaviour.plain_slack_rows;
    std::vector<BYTE> bytes(planes + pitch * slack_rows, kLoudY);
    for (size_t i = pitch * layout.coded_height; i + 1 < bytes.size(); i += 2) {
      bytes[i] = kLoudCb;
      bytes[i + 1] = kLoudCr;
    }
    const bool flip = two_d && g_behaviour.bottom_up;
    const auto luma_row = [&](size_t row) {
      return bytes.data() + (flip ? layout.coded_height - 1 - row : row) * pitch;
    };
    const auto chroma_row = [&](size_t row) {
      return bytes.data() + pitch * layout.coded_height +
             (flip ? chroma_rows - 1 - row : row) * pitch;
    };
    for (size_t row = 0; row < height; ++row) {
      std::memcpy(luma_row(row), src + row * src_pitch, width);
    }
    for (size_t row = 0; row < (height + 1) / 2; ++row) {
      std::memcpy(chroma_row(row), src_chroma + row * src_pitch, (width + 1) / 2 * 2);
    }
    source->Unlock();

    ComPtr<IMFMediaBuffer> buffer;
    if (two_d) {
      // The new object's own reference goes to `buffer`: mingw-w64's ComPtr::Attach adds one
      // (Microsoft's does not), which left every frame's buffer alive for ever.
      *buffer.GetAddressOf() = static_cast<IMFMediaBuffer*>(
          new Nv12Buffer2D(std::move(bytes), static_cast<LONG>(pitch), layout.coded_height, flip));
    } else {
      BYTE* data = nullptr;
      const auto length = static_cast<DWORD>(bytes.size());
      if (FAILED(hr = MFCreateMemoryBuffer(length, &buffer)) ||
          FAILED(hr = buffer->Lock(&data, nullptr, nullptr))) {
        return hr;
      }
      std::memcpy(data, bytes.data(), length);
      buffer->Unlock();
      buffer->SetCurrentLength(length);
    }
    ComPtr<IMFSample> out;
    LONGLONG time = 0, duration = 0;
    if (FAILED(hr = MFCreateSample(&out)) || FAILED(hr = inner->CopyAllItems(out.Get())) ||
        FAILED(hr = out->AddBuffer(buffer.Get()))) {
      return hr;
    }
    if (SUCCEEDED(inner->GetSampleTime(&time))) out->SetSampleTime(time);
    if (SUCCEEDED(inner->GetSampleDuration(&duration))) out->SetSampleDuration(duration);
    shown = out;
    return S_OK;
  }

  // The native type with the 10-bit source's subtype and attributes, on a copy.
  // P010 granted when the double has frames for it: the inner reader decodes NV12, whose
  // samples give the times; their pictures are replaced.
  HRESULT AskP010(DWORD stream, DWORD* reserved, IMFMediaType* type) {
    ++g_counts.p010_requests;
    if (g_behaviour.p010_frames.empty() || g_behaviour.refuse_p010) return MF_E_INVALIDMEDIATYPE;
    ComPtr<IMFMediaType> nv12;
    HRESULT hr = MFCreateMediaType(&nv12);
    if (FAILED(hr) || FAILED(hr = type->CopyAllItems(nv12.Get())) ||
        FAILED(hr = nv12->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12)) ||
        FAILED(hr = m_inner->SetCurrentMediaType(stream, reserved, nv12.Get()))) {
      return hr;
    }
    m_p010 = true;
    return S_OK;
  }

  // A P010 frame's layout: as LayoutFor, the pitch in bytes (2 per sample), always rebuilt.
  static Layout P010LayoutFor(uint32_t width, uint32_t height) {
    Layout layout = LayoutFor(width, height);
    layout.pitch = layout.coded_width * 2;
    if (g_behaviour.pitch_alignment != 0) {
      layout.pitch = AlignUp(layout.pitch, g_behaviour.pitch_alignment);
    }
    layout.changed = true;
    return layout;
  }

  // The P010 frame standing for `inner` (by its time and the frame rate) in the double's layout:
  // loud padding, a 2D buffer when asked for, else a plain buffer with chroma at two thirds.
  HRESULT ServeP010(IMFSample* inner, ComPtr<IMFSample>& shown) {
    ComPtr<IMFMediaType> type;
    HRESULT hr = m_inner->GetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, &type);
    if (FAILED(hr)) return hr;
    const auto [width, height] = SizeOf(type.Get());
    UINT32 rate_num = 0, rate_den = 0;
    LONGLONG time = 0, duration = 0;
    (void)MFGetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, &rate_num, &rate_den);
    (void)inner->GetSampleTime(&time);
    const size_t frame_bytes = size_t{width} * height * 3;  // 2 bytes, 1.5 samples per pixel
    const size_t frames = frame_bytes == 0 ? 0 : g_behaviour.p010_frames.size() / frame_bytes;
    if (frames == 0 || (width | height) & 1) return MF_E_INVALIDMEDIATYPE;
    const int64_t index =
        rate_den == 0 ? 0 : (time * rate_num + 5'000'000LL * rate_den) / (10'000'000LL * rate_den);
    const BYTE* src = reinterpret_cast<const BYTE*>(g_behaviour.p010_frames.data()) +
                      std::min<size_t>(std::max<int64_t>(index, 0), frames - 1) * frame_bytes;
    const BYTE* src_chroma = src + size_t{width} * height * 2;

    const Layout layout = P010LayoutFor(width, height);
    const size_t pitch = layout.pitch;
    const size_t chroma_rows = (layout.coded_height + 1) / 2;
    const size_t planes = pitch * (layout.coded_height + chroma_rows);
    const bool two_d = g_behaviour.pitch_alignment != 0;
    std::vector<BYTE> bytes(planes + (two_d ? pitch * 8 : 0));
    const auto put = [&bytes](size_t at, uint32_t value) {
      const uint16_t word = static_cast<uint16_t>(value << 8);  // 8-bit loud value, 10-bit word
      std::memcpy(bytes.data() + at, &word, 2);
    };
    for (size_t i = 0; i + 1 < pitch * layout.coded_height; i += 2) put(i, kLoudY);
    for (size_t i = pitch * layout.coded_height; i + 3 < bytes.size(); i += 4) {
      put(i, kLoudCb);
      put(i + 2, kLoudCr);
    }
    const bool flip = two_d && g_behaviour.bottom_up;
    const auto luma_row = [&](size_t row) {
      return bytes.data() + (flip ? layout.coded_height - 1 - row : row) * pitch;
    };
    const auto chroma_row = [&](size_t row) {
      return bytes.data() + pitch * layout.coded_height +
             (flip ? chroma_rows - 1 - row : row) * pitch;
    };
    for (size_t row = 0; row < height; ++row) {
      std::memcpy(luma_row(row), src + row * width * 2, size_t{width} * 2);
    }
    for (size_t row = 0; row < height / 2; ++row) {
      std::memcpy(chroma_row(row), src_chroma + row * width * 2, size_t{width} * 2);
    }
    ComPtr<IMFMediaBuffer> buffer;
    if (two_d) {
      buffer.Attach(static_cast<IMFMediaBuffer*>(
          new Nv12Buffer2D(std::move(bytes), static_cast<LONG>(pitch), layout.coded_height, flip)));
    } else {
      BYTE* data = nullptr;
      if (FAILED(hr = MFCreateMemoryBuffer(static_cast<DWORD>(planes), &buffer)) ||
          FAILED(hr = buffer->Lock(&data, nullptr, nullptr))) {
        return hr;
      }
      std::memcpy(data, bytes.data(), planes);
      buffer->Unlock();
      buffer->SetCurrentLength(static_cast<DWORD>(planes));
    }
    ComPtr<IMFSample> out;
    if (FAILED(hr = MFCreateSample(&out)) || FAILED(hr = inner->CopyAllItems(out.Get())) ||
        FAILED(hr = out->AddBuffer(buffer.Get()))) {
      return hr;
    }
    out->SetSampleTime(time);
    if (SUCCEEDED(inner->GetSampleDuration(&duration))) out->SetSampleDuration(duration);
    shown = out;
    return S_OK;
  }

  std::atomic<ULONG> m_refs{1};
  ComPtr<IMFSourceReader> m_inner;
  ComPtr<FakeProcessor> m_processor;  // with video_processor, made when first asked for
  bool m_advanced;
  bool m_placeholder;
  bool m_p010 = false;
  int m_samples = 0;
  bool m_failed = false;
};

// Whether a reader is asked for with the advanced video processor; false when the double refuses
// it as a platform before Windows 8 does.
bool AdvancedAsked(IMFAttributes* attributes, bool& refused) {
  UINT32 advanced = FALSE;
  if (attributes != nullptr) {
    (void)attributes->GetUINT32(MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING, &advanced);
  }
  refused = advanced && g_behaviour.refuse_advanced_processing;
  return advanced != FALSE;
}

HRESULT Handed(ComPtr<IMFSourceReader> inner, bool advanced, IMFSourceReader** reader) {
  ++g_counts.readers;
  if (advanced) ++g_counts.advanced;
  *reader = new WindowsReader(std::move(inner), advanced);
  return S_OK;
}

HRESULT WINAPI CreateWindowsReader(LPCWSTR url, IMFAttributes* attributes,
                                   IMFSourceReader** reader) {
  bool refused = false;
  const bool advanced = AdvancedAsked(attributes, refused);
  if (refused) return E_INVALIDARG;
  ComPtr<IMFSourceReader> inner;
  const HRESULT hr = g_create_reader(url, attributes, &inner);
  if (FAILED(hr)) return hr;
  return Handed(std::move(inner), advanced, reader);
}

// The string attribute `key` of a byte stream, empty when it has none.
std::wstring StreamText(IMFByteStream* stream, const GUID& key) {
  ComPtr<IMFAttributes> attributes;
  wchar_t text[MAX_PATH] = {};
  UINT32 length = 0;
  if (FAILED(stream->QueryInterface(IID_PPV_ARGS(&attributes))) ||
      FAILED(attributes->GetString(key, text, MAX_PATH, &length))) {
    return {};
  }
  return text;
}

HRESULT WINAPI CreateWindowsReaderFromByteStream(IMFByteStream* stream, IMFAttributes* attributes,
                                                 IMFSourceReader** reader) {
  bool refused = false;
  const bool advanced = AdvancedAsked(attributes, refused);
  if (refused) return E_INVALIDARG;
  const bool typed = !StreamText(stream, MF_BYTESTREAM_CONTENT_TYPE).empty();
  const std::wstring origin = StreamText(stream, MF_BYTESTREAM_ORIGIN_NAME);
  const size_t dot = origin.find_last_of(L".\\/");
  const bool extension =
      dot != std::wstring::npos && origin[dot] == L'.' && dot + 1 < origin.size();
  if (g_behaviour.handler_by_name && !typed && !extension) return MF_E_UNSUPPORTED_BYTESTREAM_TYPE;
  ComPtr<IMFSourceReader> inner;
  const HRESULT hr = g_create_stream_reader(stream, attributes, &inner);
  if (FAILED(hr)) return hr;
  ++g_counts.from_byte_streams;
  if (typed) ++g_counts.typed_byte_streams;
  return Handed(std::move(inner), advanced, reader);
}

}  // namespace

WindowsBehaviour AllWindowsBehaviours(int64_t key_interval) {
  WindowsBehaviour all;
  all.key_interval = key_interval;
  all.aligned_frames = true;
  all.placeholder_type = true;
  all.pitch_alignment = 64;
  all.uint32_attributes = {{MF_MT_VIDEO_ROTATION, 0},
                           {MF_MT_YUV_MATRIX, MFVideoTransferMatrix_BT601},
                           {MF_MT_VIDEO_NOMINAL_RANGE, MFNominalRange_16_235},
                           {MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive}};
  all.uint64_attributes = {{MF_MT_PIXEL_ASPECT_RATIO, (UINT64{1} << 32) | 1}};
  all.native_interlace_mode = MFVideoInterlace_MixedInterlaceOrProgressive;
  all.nv12_needs_advanced_processing = true;
  all.handler_by_name = true;
  return all;
}

WindowsReaderHook::WindowsReaderHook(HMODULE module, WindowsBehaviour behaviour)
    : m_module(module) {
  g_behaviour = std::move(behaviour);
  g_counts.readers = g_counts.advanced = g_counts.seeks = g_counts.positions = 0;
  g_counts.from_byte_streams = g_counts.typed_byte_streams = 0;
  g_counts.lock_2d = 0;
  g_counts.type_changes = g_counts.progressive_requests = 0;
  g_counts.errors = g_counts.calls_after_error = 0;
  g_counts.p010_requests = g_counts.p010_samples = 0;
  g_counts.calls_after_release = g_counts.refused_seeks = 0;
  g_counts.sta_calls = g_counts.sta_failure = 0;
  g_counts.processor_queries = g_counts.reads_converting_rates = 0;
  EmptyGraveyard();
  if (PatchImport(module, "mfreadwrite.dll", "MFCreateSourceReaderFromURL",
                  reinterpret_cast<void*>(CreateWindowsReader), &m_original_url)) {
    g_create_reader = reinterpret_cast<CreateReaderFn>(m_original_url);
  }
  if (PatchImport(module, "mfreadwrite.dll", "MFCreateSourceReaderFromByteStream",
                  reinterpret_cast<void*>(CreateWindowsReaderFromByteStream), &m_original_stream)) {
    g_create_stream_reader = reinterpret_cast<CreateStreamReaderFn>(m_original_stream);
  }
}

WindowsReaderHook::~WindowsReaderHook() {
  if (m_original_url != nullptr) {
    PatchImport(m_module, "mfreadwrite.dll", "MFCreateSourceReaderFromURL", m_original_url);
  }
  if (m_original_stream != nullptr) {
    PatchImport(m_module, "mfreadwrite.dll", "MFCreateSourceReaderFromByteStream",
                m_original_stream);
  }
  // The readers it made behave by its settings and count into its counts: none may outlive it.
  // A plug-in that keeps readers lets them go after its idle time.
  for (int waited = 0; g_alive > 0 && waited < 10000; waited += 20) Sleep(20);
  EmptyGraveyard();
}

long WindowsReadersAlive() { return g_alive; }
long WindowsBuffersAlive() { return g_buffers; }

const WindowsReaderCounts& WindowsReaderHook::counts() const { return g_counts; }

}  // namespace stillreel::test
