// Extraction of one entry's frame as a complete BMP image in local memory.
#include "video/extract.h"

#include <mfapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <utility>

#include "video/nv12.h"
#include "video/probe.h"
#include "video/reader.h"
#include "win/media.h"
#include "win/result.h"

namespace stillreel {

namespace {

using Microsoft::WRL::ComPtr;

// Stream ticks mark gaps in a stream; a few in a row are plausible, an endless run is not.
constexpr int kMaxStreamTicks = 64;

// Seeks the reader to `ticks` (100-ns units).
void SeekTo(IMFSourceReader* reader, int64_t ticks) {
  PropVariant position;
  position.get()->vt = VT_I8;
  position.get()->hVal.QuadPart = ticks;
  // Not examined: a source that cannot seek still delivers frames from where it stands, and
  // the read that follows tells whether one comes.
  (void)reader->SetCurrentPosition(GUID_NULL, position.value());
}

// The next sample of the first video stream; none at the end of the stream. A stream tick
// without a sample is a gap, not the end, so the read goes on past it.
HRESULT ReadNextSample(IMFSourceReader* reader, ComPtr<IMFSample>& sample, bool& end_of_stream) {
  for (int tick = 0; tick < kMaxStreamTicks; ++tick) {
    DWORD flags = 0;
    LONGLONG timestamp = 0;
    sample.Reset();
    SR_RETURN_IF_FAILED(reader->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, nullptr, &flags,
                                           &timestamp, &sample));
    end_of_stream = (flags & MF_SOURCE_READERF_ENDOFSTREAM) != 0;
    if (sample || end_of_stream || (flags & MF_SOURCE_READERF_STREAMTICK) == 0) return S_OK;
  }
  return S_OK;
}

// The first sample after the seek to t. A seek at or past the last frame (t = D is a normal
// result of the seek rules) ends the stream instead; then the stream's last frame stands in,
// found by reading from one second before min(t, D) to the end and keeping only the latest.
HRESULT ReadFrame(IMFSourceReader* reader, int64_t t, int64_t duration, ComPtr<IMFSample>& frame) {
  bool end_of_stream = false;
  SR_RETURN_IF_FAILED(ReadNextSample(reader, frame, end_of_stream));
  if (frame && !end_of_stream) return S_OK;

  SeekTo(reader, std::max<int64_t>(0, std::min(t, duration) - kTicksPerSecond));
  ComPtr<IMFSample> next;
  end_of_stream = false;
  while (!end_of_stream) {
    // A failing read ends the search like the end of the stream: what arrived so far counts.
    if (FAILED(ReadNextSample(reader, next, end_of_stream)) || !next) break;
    frame = std::move(next);
  }
  return S_OK;
}

// Holds one lock on a media buffer, Lock2D or plain Lock, and undoes it when it goes out of
// scope. The buffers are not owned: their ComPtrs are declared before the lock and outlive it.
class FrameLock {
 public:
  FrameLock() = default;
  FrameLock(const FrameLock&) = delete;
  FrameLock& operator=(const FrameLock&) = delete;
  ~FrameLock() {
    // A failed unlock cannot be mended; the buffer is released right after.
    if (m_buffer_2d != nullptr) (void)m_buffer_2d->Unlock2D();
    if (m_buffer != nullptr) (void)m_buffer->Unlock();
  }

  HRESULT Lock2D(IMF2DBuffer* buffer, BYTE** first_row, LONG* pitch) {
    SR_RETURN_IF_FAILED(buffer->Lock2D(first_row, pitch));
    m_buffer_2d = buffer;
    return S_OK;
  }
  HRESULT Lock(IMFMediaBuffer* buffer, BYTE** data, DWORD* length) {
    SR_RETURN_IF_FAILED(buffer->Lock(data, nullptr, length));
    m_buffer = buffer;
    return S_OK;
  }

 private:
  IMF2DBuffer* m_buffer_2d = nullptr;
  IMFMediaBuffer* m_buffer = nullptr;
};

// Pitch in bytes of an NV12 frame in a plain buffer, which does not state one: the type's
// default stride when it has one (its sign only says top-down or bottom-up), else the pitch at
// which `length` bytes hold exactly the luma rows and half as many chroma rows (Wine pads rows
// to 4 bytes: 322 px wide, 240 rows, length 116640 gives 324), else the width. 0 when no pitch
// fits 32 bits, which the bounds check refuses.
int32_t PlainBufferPitch(IMFMediaType* current, uint32_t length, FrameSize size) {
  constexpr int64_t kMaxPitch = INT32_MAX;
  UINT32 stride = 0;
  if (SUCCEEDED(current->GetUINT32(MF_MT_DEFAULT_STRIDE, &stride))) {
    const int64_t magnitude = std::abs(int64_t{static_cast<int32_t>(stride)});
    return magnitude <= kMaxPitch ? static_cast<int32_t>(magnitude) : 0;
  }
  const uint64_t even_height = uint64_t{size.height} + (size.height & 1);
  const uint64_t rows = even_height * 3 / 2;  // luma rows plus chroma rows
  if (rows != 0 && length % rows == 0 && length / rows >= size.width) {
    return static_cast<int32_t>(length / rows);  // at most length, which is below 2^32 / 1.5
  }
  return size.width <= kMaxPitch ? static_cast<int32_t>(size.width) : 0;
}

ExtractStatus ConvertSample(IMFSample* sample, IMFMediaType* current, FrameSize size,
                            UniqueHlocal& image, uint32_t& image_bytes) {
  const std::optional<uint32_t> bytes = BmpImageSize(size.width, size.height);
  if (!bytes) return ExtractStatus::kNoFrame;
  DWORD length = 0;
  if (FAILED(SR_TRACED(sample->GetTotalLength(&length)))) return ExtractStatus::kNoFrame;
  ComPtr<IMFMediaBuffer> buffer;
  if (FAILED(SR_TRACED(sample->ConvertToContiguousBuffer(&buffer)))) return ExtractStatus::kNoFrame;

  ComPtr<IMF2DBuffer> buffer_2d;
  FrameLock lock;
  BYTE* first_row = nullptr;
  LONG pitch = 0;
  // Wine's decoders hand out buffers without IMF2DBuffer (E_NOINTERFACE).
  if (SUCCEEDED(buffer.As(&buffer_2d))) {
    if (FAILED(lock.Lock2D(buffer_2d.Get(), &first_row, &pitch))) return ExtractStatus::kNoFrame;
  } else {
    DWORD locked_length = 0;
    if (FAILED(lock.Lock(buffer.Get(), &first_row, &locked_length))) {
      return ExtractStatus::kNoFrame;
    }
    // The planes are placed by the sample's length: the buffer must hold all of it.
    if (locked_length < length) return ExtractStatus::kNoFrame;
    pitch = PlainBufferPitch(current, length, size);
  }
  if (!Nv12FrameFits(pitch, length, size.width, size.height)) return ExtractStatus::kNoFrame;

  // The image block is the conversion target: its pixel area is already the bottom-up 32-bit
  // layout, and every fresh page of an image-sized buffer costs a fault, so no second one.
  UniqueHlocal block(LocalAlloc(LMEM_FIXED, *bytes));
  if (!block) return ExtractStatus::kNoMemory;
  auto* image_data = static_cast<uint8_t*>(block.get());
  if (!ConvertNv12ToBgra(first_row, pitch, length, size.width, size.height,
                         image_data + kBmpHeaderSize)) {
    return ExtractStatus::kNoFrame;
  }
  AssembleBmp(size.width, size.height, image_data + kBmpHeaderSize, image_data);
  image = std::move(block);
  image_bytes = *bytes;
  return ExtractStatus::kOk;
}

}  // namespace

HRESULT OpenVideo::Open(const wchar_t* path) {
  Close();
  const HRESULT opened = OpenNv12Reader(path, m_reader);
  if (FAILED(opened)) {
    // A reader made before a later step failed is no open video (an audio-only file is one).
    Close();
    return opened;
  }
  // Not examined: a failure leaves the duration 0, and the seek rules give a time all the same.
  (void)ReadDuration(m_reader.Get(), m_duration);
  return S_OK;
}

void OpenVideo::Close() {
  m_reader.Reset();
  m_duration = 0;
  m_read_end = -1;
  m_stamp_offset = 0;
  m_offset_known = false;
  m_frame_ticks = 0;
  m_seek_ms = 0;
  m_frame_ms = 0;
}

bool OpenVideo::Probe(VideoFacts& facts) { return ProbeReader(m_reader.Get(), facts); }

namespace {

// Milliseconds since some fixed moment, finer than the tick count.
double NowMs() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

}  // namespace

// A seek lands on the frame whose span holds t, but the demultiplexer first rounds t up to the
// container's time unit (MP4 at 10 fps: 1/10240 s; seeking 9999040 ticks gives the frame at 1 s,
// not the one ending there). Units are not known here, so a frame ending this close after t is
// left to a seek. Covers units up to 1/600 s (QuickTime) and milliseconds (Matroska, ASF).
constexpr int64_t kBoundaryTicks = 40000;

// Reads on from where the reader stands to the sample whose span holds t, the one a seek to t
// gives: Wine decodes up to the target itself and stamps that sample t plus the offset its reader
// adds to every time stamp (the reorder delay of a stream with B-frames, learnt from the seeks).
// Gives up, with no sample, when the stream ends first, the frame's end lies too close to t, or
// the reading takes longer than `budget_ms`: the caller then seeks.
HRESULT OpenVideo::ReadOn(int64_t t, double budget_ms, ComPtr<IMFSample>& frame) {
  const int64_t target = t + m_stamp_offset;
  const double start = NowMs();
  for (int frames = 1;; ++frames) {
    bool end_of_stream = false;
    SR_RETURN_IF_FAILED(ReadNextSample(m_reader.Get(), frame, end_of_stream));
    if (!frame || end_of_stream) break;
    LONGLONG time = 0;
    LONGLONG duration = 0;
    SR_RETURN_IF_FAILED(frame->GetSampleTime(&time));
    if (SUCCEEDED(frame->GetSampleDuration(&duration)) && duration > 0) m_frame_ticks = duration;
    m_read_end = time + m_frame_ticks;
    const double spent = NowMs() - start;
    m_frame_ms = spent / frames;
    if (m_read_end > target) {
      if (m_read_end - target >= kBoundaryTicks) return S_OK;
      break;
    }
    if (spent > budget_ms) break;
  }
  frame.Reset();
  m_read_end = -1;
  return S_OK;
}

ExtractStatus OpenVideo::Extract(int32_t index, const FrameSettings& settings, bool read_on,
                                 UniqueHlocal& image, uint32_t& image_bytes) {
  const int64_t seek_time = SeekTime(settings, index, m_duration);
  ComPtr<IMFSample> sample;
  // A seek costs the decoding from the key frame before t, reading on every frame from here to
  // t. Neither is known beforehand, so both are timed as they happen: reading on is tried when
  // the frames on the way cost less than the last seek did (or their cost is not known yet), and
  // given up for a seek once it has taken as long as a seek.
  const int64_t target = seek_time + m_stamp_offset;
  if (read_on && m_read_end >= 0 && target >= m_read_end && m_seek_ms > 0) {
    const double frames =
        m_frame_ticks > 0 ? static_cast<double>(target - m_read_end) / m_frame_ticks + 1 : 1;
    if (m_frame_ms == 0 || frames * m_frame_ms < m_seek_ms) {
      if (FAILED(ReadOn(seek_time, m_seek_ms, sample))) return ExtractStatus::kNoFrame;
    }
  }
  if (!sample) {
    m_read_end = -1;
    const double start = NowMs();
    SeekTo(m_reader.Get(), seek_time);
    if (FAILED(ReadFrame(m_reader.Get(), seek_time, m_duration, sample)) || !sample) {
      return ExtractStatus::kNoFrame;
    }
    m_seek_ms = NowMs() - start;
    LONGLONG time = 0;
    LONGLONG duration = 0;
    // A sample stamped before t is the stream's last frame, read to the end: nothing to read on.
    if (SUCCEEDED(sample->GetSampleTime(&time)) && time >= seek_time &&
        SUCCEEDED(sample->GetSampleDuration(&duration))) {
      // Stamped t plus the offset, or the next frame's start when t was rounded past a frame's
      // end: the least seen is the offset.
      const int64_t offset = time - seek_time;
      if (!m_offset_known || offset < m_stamp_offset) m_stamp_offset = offset;
      m_offset_known = true;
      m_read_end = time + duration;
    }
  }
  ComPtr<IMFMediaType> current;
  FrameSize size;
  if (FAILED(ReadFrameSize(m_reader.Get(), current, size))) return ExtractStatus::kNoFrame;
  return ConvertSample(sample.Get(), current.Get(), size, image, image_bytes);
}

ExtractStatus ExtractFrame(const wchar_t* path, int32_t index, const FrameSettings& settings,
                           UniqueHlocal& image, uint32_t& image_bytes) {
  // Declared before every COM pointer so that it shuts Media Foundation and COM down last.
  MediaFoundationScope media_foundation;
  if (FAILED(media_foundation.status())) return ExtractStatus::kNoFrame;
  OpenVideo video;
  if (FAILED(video.Open(path))) return ExtractStatus::kNoFrame;
  return video.Extract(index, settings, false, image, image_bytes);
}

}  // namespace stillreel
