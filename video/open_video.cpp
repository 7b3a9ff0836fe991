// One video's source reader kept open between extractions, and the extraction of one entry's
// frame as a complete BMP image in local memory.
#include "video/open_video.h"

#include <mfapi.h>
#include <mferror.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <utility>

#include "video/bands.h"
#include "video/frame_read.h"
#include "picture/bmp.h"
#include "picture/convert.h"
#include "video/probe.h"
#include "video/reader.h"
#include "win/clock.h"
#include "win/media.h"
#include "win/result.h"

namespace stillreel {

namespace {

using Microsoft::WRL::ComPtr;

// Seeks the reader to `ticks` (100-ns units). A failure leaves the reader where it stood.
HRESULT SeekTo(IMFSourceReader* reader, int64_t ticks) {
  PropVariant position;
  position.get()->vt = VT_I8;
  position.get()->hVal.QuadPart = ticks;
  return SR_TRACED(reader->SetCurrentPosition(GUID_NULL, position.value()));
}

// Whether the source says it can seek; a source that does not answer is taken at its word when
// a seek is tried (its result is checked).
bool CanSeek(IMFSourceReader* reader) {
  PropVariant characteristics;
  if (FAILED(reader->GetPresentationAttribute(MF_SOURCE_READER_MEDIASOURCE,
                                              MF_SOURCE_READER_MEDIASOURCE_CHARACTERISTICS,
                                              characteristics.get())) ||
      characteristics.value().vt != VT_UI4) {
    return true;
  }
  return (characteristics.value().ulVal & MFMEDIASOURCE_CAN_SEEK) != 0;
}

// A frame's duration by the current type's frame rate; 0 when it states none.
int64_t FrameSpan(IMFSourceReader* reader) {
  ComPtr<IMFMediaType> type;
  UINT32 numerator = 0, denominator = 0;
  if (FAILED(reader->GetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, &type)) ||
      FAILED(MFGetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, &numerator, &denominator)) ||
      numerator == 0 || denominator == 0) {
    return 0;
  }
  return kTicksPerSecond * denominator / numerator;
}

// The moment ReadFrameAt is to read to for t: at or past the stream's duration D (t = D is a
// normal result of the seek rules) the last frame, found by reading to the end of the stream.
// Reading to t instead would stop a frame short where the stamps run late (Wine's, with B-frames,
// by the reorder delay) or the last frame is stamped at D.
int64_t DueMoment(int64_t t, int64_t duration, bool exact) {
  return exact && duration > 0 && t >= duration ? std::numeric_limits<int64_t>::max() : t;
}

// Where to seek for the frame due at t. At or past D a seek to t ends the stream at once, so the
// read starts two frames before D and goes on to the end. Reading from the key frame before D,
// as a seek to t would on Windows, gives the same frame.
int64_t SeekPosition(IMFSourceReader* reader, int64_t t, int64_t duration, bool exact) {
  if (!exact || duration <= 0 || t < duration) return t;
  const int64_t span = FrameSpan(reader);
  if (span <= 0 || span >= kTicksPerSecond / 2) return t;
  return std::max<int64_t>(0, duration - 2 * span);
}

// The frame due at t (see ReadFrameAt) after the seek to SeekPosition. A seek at or past the
// video's last frame ends the stream instead; then the video's last frame stands in, found by
// reading to the end from 1, 2, 4, ... s before min(t, D) until a frame comes: MF_PD_DURATION is
// the presentation's, audio included, and the video may end well before it.
HRESULT ReadFrame(IMFSourceReader* reader, int64_t t, int64_t duration, bool exact,
                  FrameRead& read) {
  SR_RETURN_IF_FAILED(ReadFrameAt(reader, t, exact, read));
  if (read.sample || read.reader_failed || !read.end_of_stream) return S_OK;
  const int64_t end = std::max<int64_t>(0, std::min(t, duration));
  for (int64_t back = kTicksPerSecond;; back *= 2) {
    const int64_t from = std::max<int64_t>(0, end - back);
    SR_RETURN_IF_FAILED(SeekTo(reader, from));
    // A failing read ends the search like the end of the stream: what arrived so far counts.
    (void)ReadFrameAt(reader, std::numeric_limits<int64_t>::max(), true, read);
    if (read.sample || read.reader_failed || from == 0) return S_OK;
  }
}

// Holds one lock on a media buffer, Lock2D or plain Lock, and undoes it when it goes out of
// scope. It holds a reference to the interface it locked through: COM counts references per
// interface, and a buffer may free a 2D interface (a tear-off) at that interface's last Release,
// so the unlock must go through a reference still held.
class FrameLock {
 public:
  FrameLock() = default;
  FrameLock(const FrameLock&) = delete;
  FrameLock& operator=(const FrameLock&) = delete;
  ~FrameLock() {
    // A failed unlock cannot be mended; the buffer is released right after.
    if (m_buffer_2d) (void)m_buffer_2d->Unlock2D();
    if (m_buffer) (void)m_buffer->Unlock();
  }

  HRESULT Lock2D(IMF2DBuffer* buffer, BYTE** first_row, LONG* pitch) {
    SR_RETURN_IF_FAILED(buffer->Lock2D(first_row, pitch));
    m_buffer_2d = buffer;
    return S_OK;
  }
  HRESULT Lock2DSize(IMF2DBuffer2* buffer, BYTE** first_row, LONG* pitch, BYTE** start,
                     DWORD* length) {
    SR_RETURN_IF_FAILED(
        buffer->Lock2DSize(MF2DBuffer_LockFlags_Read, first_row, pitch, start, length));
    m_buffer_2d = buffer;
    return S_OK;
  }
  HRESULT Lock(IMFMediaBuffer* buffer, BYTE** data, DWORD* length) {
    SR_RETURN_IF_FAILED(buffer->Lock(data, nullptr, length));
    m_buffer = buffer;
    return S_OK;
  }

 private:
  ComPtr<IMF2DBuffer> m_buffer_2d;
  ComPtr<IMFMediaBuffer> m_buffer;
};

// Pitch in bytes of an NV12 (or P010, `sample_bytes` 2) frame in a plain buffer, which does not
// state one: the type's default stride when it has one (its sign only says top-down or
// bottom-up), else the pitch at which `length` bytes hold exactly the luma rows and half as many
// chroma rows (Wine pads rows to 4 bytes: 322 px wide, 240 rows, length 116640 gives 324), else
// the row's bytes. 0 when no pitch fits 32 bits, which the bounds check refuses.
int32_t PlainBufferPitch(IMFMediaType* current, uint32_t length, FrameSize size,
                         uint32_t sample_bytes) {
  constexpr int64_t kMaxPitch = INT32_MAX;
  UINT32 stride = 0;
  if (SUCCEEDED(current->GetUINT32(MF_MT_DEFAULT_STRIDE, &stride))) {
    const int64_t magnitude = std::abs(int64_t{static_cast<int32_t>(stride)});
    return magnitude <= kMaxPitch ? static_cast<int32_t>(magnitude) : 0;
  }
  const uint64_t even_height = uint64_t{size.height} + (size.height & 1);
  const uint64_t rows = even_height * 3 / 2;  // luma rows plus chroma rows
  const uint64_t row_bytes = uint64_t{size.width} * sample_bytes;
  if (rows != 0 && length % rows == 0 && length / rows >= row_bytes) {
    return static_cast<int32_t>(length / rows);  // at most length, which is below 2^32 / 1.5
  }
  return row_bytes <= kMaxPitch ? static_cast<int32_t>(row_bytes) : 0;
}

// A locked frame: the planes of its shown picture and the memory that may be read.
struct LockedFrame {
  Nv12Planes planes{};
  const uint8_t* start = nullptr;
  uint64_t length = 0;
};

// Locks the sample's single buffer and finds the planes of the shown picture. A 2D buffer states
// its first row and pitch, a plain one its pitch through the type (PlainBufferPitch); in both the
// chroma plane starts at pitch x coded height ("Uncompressed Video Buffers": the layout follows
// the stride and the height, not the buffer's length, which may hold spare rows after the
// planes). A plain buffer's odd coded height is rounded up, as Wine lays such frames out. What
// may be read is what Lock2DSize states (else the buffer's maximum length from the first row),
// or the plain buffer's length. A bottom-up 2D buffer (negative pitch) is refused: where its
// chroma plane lies is not stated. The conversion checks that the planes lie within the readable
// memory.
HRESULT LockPlanes(IMFMediaBuffer* buffer, IMFMediaType* type, const FrameLayout& layout,
                   FrameLock& lock, LockedFrame& frame) {
  const FrameSize picture = layout.picture;
  const uint32_t sample_bytes = SampleBytes(type);
  BYTE* first_row = nullptr;
  LONG pitch = 0;
  BYTE* start = nullptr;
  DWORD length = 0;
  uint32_t coded_height = layout.coded.height;
  ComPtr<IMF2DBuffer> buffer_2d;
  if (SUCCEEDED(buffer->QueryInterface(IID_PPV_ARGS(&buffer_2d)))) {
    ComPtr<IMF2DBuffer2> buffer_2d2;
    if (SUCCEEDED(buffer_2d.As(&buffer_2d2))) {
      SR_RETURN_IF_FAILED(lock.Lock2DSize(buffer_2d2.Get(), &first_row, &pitch, &start, &length));
    } else {
      SR_RETURN_IF_FAILED(lock.Lock2D(buffer_2d.Get(), &first_row, &pitch));
      SR_RETURN_IF_FAILED(buffer->GetMaxLength(&length));
      start = first_row;
    }
    SR_RETURN_HR_IF(E_UNEXPECTED, pitch <= 0 || first_row < start);
  } else {
    SR_RETURN_IF_FAILED(lock.Lock(buffer, &first_row, &length));
    start = first_row;
    pitch = PlainBufferPitch(type, length, layout.coded, sample_bytes);
    SR_RETURN_HR_IF(E_UNEXPECTED, pitch <= 0);
    coded_height += coded_height & 1;
  }
  const std::optional<Nv12Planes> planes =
      Nv12PlanesIn2DBuffer(first_row, static_cast<int32_t>(pitch), coded_height, layout.left,
                           layout.top, picture.width, picture.height, sample_bytes);
  SR_RETURN_HR_IF(E_UNEXPECTED, !planes);
  frame = {*planes, start, length};
  return S_OK;
}

// The picture of `sample`, laid out as `type` (the type in force for it) says, as a BMP image.
// Turned and scaled as the type's attributes say, the same rule the probe lists the size by; an
// HDR signal (by `type` or the stream's `native` type, may be null) tone-mapped when `hdr`.
// The image block comes from `blocks` when it has one of the right size.
HRESULT ConvertSample(IMFSample* sample, IMFMediaType* type, IMFMediaType* native, bool aspect,
                      bool hdr, ImageBlockSource* blocks, UniqueHlocal& image,
                      uint32_t& image_bytes) {
  FrameLayout layout;
  SR_RETURN_IF_FAILED(ReadFrameLayout(type, layout));
  PictureOptions options = ReadPictureOptions(type, !aspect, native);
  ReadHdrSignal(type, native, hdr, options);
  const std::optional<PictureDimensions> shown =
      PictureSize(layout.picture.width, layout.picture.height, options);
  SR_RETURN_HR_IF(MF_E_INVALIDMEDIATYPE, !shown);
  const std::optional<uint32_t> bytes = BmpImageSize(shown->width, shown->height);
  SR_RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW), !bytes);
  ComPtr<IMFMediaBuffer> buffer;
  SR_RETURN_IF_FAILED(sample->ConvertToContiguousBuffer(&buffer));
  FrameLock lock;
  LockedFrame frame;
  SR_RETURN_IF_FAILED(LockPlanes(buffer.Get(), type, layout, lock, frame));

  // The image block is the conversion target: its pixel area is already the bottom-up 32-bit
  // layout, and every fresh page of an image-sized buffer costs a fault, so no second one.
  UniqueHlocal block = blocks != nullptr ? blocks->Take(*bytes) : UniqueHlocal();
  if (!block) block.reset(LocalAlloc(LMEM_FIXED, *bytes));
  SR_RETURN_HR_IF(E_OUTOFMEMORY, !block);
  auto* image_data = static_cast<uint8_t*>(block.get());
  // The planes do not fit the buffer the type described.
  const ThreadBands bands;
  SR_RETURN_HR_IF(MF_E_INVALIDMEDIATYPE,
                  !ConvertNv12ToBgra(frame.planes, frame.start, frame.length, options,
                                     image_data + kBmpHeaderSize, &bands));
  AssembleBmp(shown->width, shown->height, image_data + kBmpHeaderSize, image_data);
  image = std::move(block);
  image_bytes = *bytes;
  return S_OK;
}

}  // namespace

HRESULT OpenVideo::Open(const wchar_t* path, LentMemory* memory) {
  Close();
  const HRESULT opened = OpenNv12Reader(path, m_reader, memory);
  if (FAILED(opened)) {
    // A reader made before a later step failed is no open video (an audio-only file is one).
    Close();
    return opened;
  }
  m_path = path;
  m_memory = memory;
  // Not examined: a failure leaves the duration 0, and the seek rules give a time all the same.
  (void)ReadDuration(m_reader.Get(), m_duration);
  // Not examined: without it the picture is shown as the decoded type alone says.
  (void)m_reader->GetNativeMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, &m_native);
  m_can_seek = CanSeek(m_reader.Get());
  m_stands_at = 0;
  return S_OK;
}

void OpenVideo::Close() {
  m_reader.Reset();
  m_native.Reset();
  m_path = nullptr;
  m_memory.Reset();
  m_duration = 0;
  m_can_seek = true;
  m_stands_at = -1;
  m_planner = ReadOnPlanner{};
}

HRESULT OpenVideo::Probe(VideoFacts& facts) {
  // The probe may read a frame: where the reader stands is no longer known.
  m_planner.Forget();
  m_stands_at = -1;
  return ProbeReader(m_reader.Get(), facts);
}

HRESULT OpenVideo::ReadForward(int64_t t, FrameRead& read) {
  if (m_stands_at < 0 || m_stands_at > t + kStampRounding) {
    // Behind the reader, or where it stands is not known: a fresh reader starts at the beginning.
    const wchar_t* path = m_path;
    SR_RETURN_IF_FAILED(Open(path));
    m_can_seek = false;
  }
  m_stands_at = -1;
  SR_RETURN_IF_FAILED(ReadFrameAt(m_reader.Get(), DueMoment(t, m_duration, true), true, read));
  // Only a read that consumed nothing past its frame leaves the reader at a known place.
  if (!read.end_of_stream && !read.reader_failed) m_stands_at = read.end;
  return S_OK;
}

bool OpenVideo::ReadOnTo(int64_t t, bool budget, FrameRead& read) {
  const int64_t start = CounterNow();
  const ReadOnGuard guard{m_planner.read_end(),
                          budget ? CounterAfterMs(start, m_planner.budget_ms()) : 0};
  const HRESULT result = ReadFrameAt(m_reader.Get(), t, true, read, &guard);
  const double ms = CounterMsSince(start);
  if (SUCCEEDED(result) && !read.gave_up && read.sample && read.type) {
    m_planner.ReadOnDone(read.samples, ms, read.end);
    return true;
  }
  m_planner.ReadOnGaveUp(read.samples, ms, read.off_time_line);
  // A seek would have passed over what failed the reader: a fresh one takes its place.
  if (read.reader_failed) {
    const wchar_t* path = m_path;
    const Microsoft::WRL::ComPtr<LentMemory> memory = m_memory;
    (void)Open(path, memory.Get());
  }
  read = FrameRead{};
  return false;
}

HRESULT OpenVideo::SeekAndRead(int64_t t, bool exact, FrameRead& read) {
  const int64_t start = CounterNow();
  m_stands_at = -1;
  if (FAILED(SeekTo(m_reader.Get(), SeekPosition(m_reader.Get(), t, m_duration, exact)))) {
    // The reader stands where it stood, which the next read must not pass off as t's frame.
    m_can_seek = false;
    m_planner.Forget();
    return ReadForward(t, read);
  }
  const HRESULT result =
      ReadFrame(m_reader.Get(), DueMoment(t, m_duration, exact), m_duration, exact, read);
  LONGLONG span = 0;
  if (read.sample == nullptr || FAILED(read.sample->GetSampleDuration(&span))) span = 0;
  // A read that ended the stream fell back to the stream's last frame: its landing says nothing.
  m_planner.SeekDone({.t = t,
                      .first_stamp = read.first_stamp,
                      .judged = !read.end_of_stream,
                      .capped = read.capped,
                      .end = read.end,
                      .span = span,
                      .samples = read.samples,
                      .ms = CounterMsSince(start)});
  return result;
}

HRESULT OpenVideo::Extract(int32_t index, const FrameSettings& settings, ReadOnMode read_on,
                           ImageBlockSource* blocks, UniqueHlocal& image, uint32_t& image_bytes) {
  SR_RETURN_HR_IF(MF_E_NOT_INITIALIZED, !m_reader);
  const int64_t t = SeekTime(settings, index, m_duration);
  FrameRead read;
  HRESULT result = S_OK;
  if (!m_can_seek) {
    // No seek to land on a key frame: every entry is the frame due, exact or not.
    result = ReadForward(t, read);
  } else if (!(settings.exact && DueMoment(t, m_duration, true) == t &&
               m_planner.ShouldReadOn(t, read_on) &&
               ReadOnTo(t, read_on != ReadOnMode::kAlways, read))) {
    SR_RETURN_HR_IF(MF_E_NOT_INITIALIZED, !m_reader);  // reopening failed
    result = SeekAndRead(t, settings.exact, read);
  }
  SR_RETURN_HR_IF(MF_E_NOT_INITIALIZED, !m_reader);
  // After the reader reported an error no call may be made on it again: it is not kept.
  if (read.reader_failed) Close();
  SR_RETURN_IF_FAILED(result);
  SR_RETURN_HR_IF(MF_E_END_OF_STREAM, !read.sample || !read.type);
  return ConvertSample(read.sample.Get(), read.type.Get(), m_native.Get(), settings.aspect,
                       settings.hdr, blocks, image, image_bytes);
}

}  // namespace stillreel
