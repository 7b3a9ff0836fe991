// A source reader that behaves as Windows' does where Wine's differs; see windows_reader.h.
#include "windows_reader.h"

#include <mfapi.h>
#include <mferror.h>
#include <wrl/client.h>

#include <cstring>
#include <vector>

#include "import_hook.h"

namespace stillreel::test {

const DocumentedBehaviour kWindowsBehaviours[8] = {
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
};

namespace {

using Microsoft::WRL::ComPtr;
using CreateReaderFn = HRESULT(WINAPI*)(LPCWSTR, IMFAttributes*, IMFSourceReader**);

WindowsBehaviour g_behaviour;
WindowsReaderCounts g_counts;
CreateReaderFn g_create_reader = nullptr;
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

  std::atomic<ULONG> m_refs{1};
  std::vector<BYTE> m_bytes;
  LONG m_pitch;
  uint32_t m_height;
  bool m_bottom_up;
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
  return layout;
}

class WindowsReader final : public IMFSourceReader {
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
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IMFSourceReader)) {
      *object = static_cast<IMFSourceReader*>(this);
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
    if (SUCCEEDED(hr) && g_behaviour.native_interlace_mode != 0) {
      // Wine hands out its own type object: a copy carries the attribute.
      ComPtr<IMFMediaType> copy;
      if (SUCCEEDED(MFCreateMediaType(&copy)) && SUCCEEDED((*type)->CopyAllItems(copy.Get()))) {
        copy->SetUINT32(MF_MT_INTERLACE_MODE, g_behaviour.native_interlace_mode);
        (*type)->Release();
        *type = copy.Detach();
      }
    }
    return hr;
  }
  STDMETHODIMP SetCurrentMediaType(DWORD stream, DWORD* reserved, IMFMediaType* type) override {
    CountIfFailed();
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
    const Layout layout = LayoutFor(width, height);
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
    for (const auto& [key, value] : g_behaviour.uint32_attributes) shown->SetUINT32(key, value);
    for (const auto& [key, value] : g_behaviour.uint64_attributes) shown->SetUINT64(key, value);
    *type = shown.Detach();
    return S_OK;
  }
  STDMETHODIMP SetCurrentPosition(REFGUID format, REFPROPVARIANT position) override {
    CountIfFailed();
    ++g_counts.positions;
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
    if (FAILED(hr = Relayout(inner.Get(), shown))) return hr;
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
  STDMETHODIMP GetPresentationAttribute(DWORD stream, REFGUID key, PROPVARIANT* value) override {
    CountIfFailed();
    return m_inner->GetPresentationAttribute(stream, key, value);
  }

 private:
  void CountIfFailed() {
    if (m_failed) ++g_counts.calls_after_error;
  }

  // What a decoder offers before it has seen the stream's sequence header.
  static HRESULT Placeholder(IMFMediaType** type) {
    ComPtr<IMFMediaType> placeholder;
    HRESULT hr = MFCreateMediaType(&placeholder);
    if (FAILED(hr)) return hr;
    placeholder->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    placeholder->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
    placeholder->SetUINT64(MF_MT_FRAME_SIZE, (UINT64{1920} << 32) | 1088);
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
    std::vector<BYTE> bytes(planes + (two_d ? pitch * 8 : 0), kLoudY);
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
      if (FAILED(hr = MFCreateMemoryBuffer(static_cast<DWORD>(planes), &buffer)) ||
          FAILED(hr = buffer->Lock(&data, nullptr, nullptr))) {
        return hr;
      }
      std::memcpy(data, bytes.data(), planes);
      buffer->Unlock();
      buffer->SetCurrentLength(static_cast<DWORD>(planes));
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

  std::atomic<ULONG> m_refs{1};
  ComPtr<IMFSourceReader> m_inner;
  bool m_advanced;
  bool m_placeholder;
  int m_samples = 0;
  bool m_failed = false;
};

HRESULT WINAPI CreateWindowsReader(LPCWSTR url, IMFAttributes* attributes,
                                   IMFSourceReader** reader) {
  UINT32 advanced = FALSE;
  if (attributes != nullptr) {
    (void)attributes->GetUINT32(MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING, &advanced);
  }
  if (advanced && g_behaviour.refuse_advanced_processing) return E_INVALIDARG;
  ComPtr<IMFSourceReader> inner;
  const HRESULT hr = g_create_reader(url, attributes, &inner);
  if (FAILED(hr)) return hr;
  ++g_counts.readers;
  if (advanced) ++g_counts.advanced;
  *reader = new WindowsReader(std::move(inner), advanced != FALSE);
  return S_OK;
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
  return all;
}

WindowsReaderHook::WindowsReaderHook(HMODULE module, WindowsBehaviour behaviour)
    : m_module(module) {
  g_behaviour = std::move(behaviour);
  g_counts.readers = g_counts.advanced = g_counts.seeks = g_counts.positions = 0;
  g_counts.lock_2d = 0;
  g_counts.type_changes = g_counts.progressive_requests = 0;
  g_counts.errors = g_counts.calls_after_error = 0;
  if (PatchImport(module, "mfreadwrite.dll", "MFCreateSourceReaderFromURL",
                  reinterpret_cast<void*>(CreateWindowsReader), &m_original)) {
    g_create_reader = reinterpret_cast<CreateReaderFn>(m_original);
  }
}

WindowsReaderHook::~WindowsReaderHook() {
  if (m_original != nullptr) {
    PatchImport(m_module, "mfreadwrite.dll", "MFCreateSourceReaderFromURL", m_original);
  }
  // The readers it made behave by its settings and count into its counts: none may outlive it.
  // A plug-in that keeps readers lets them go after its idle time.
  for (int waited = 0; g_alive > 0 && waited < 10000; waited += 20) Sleep(20);
}

long WindowsReadersAlive() { return g_alive; }
long WindowsBuffersAlive() { return g_buffers; }

const WindowsReaderCounts& WindowsReaderHook::counts() const { return g_counts; }

}  // namespace stillreel::test
