// One video's source reader kept open between extractions, and the extraction of one entry's
// frame as a complete BMP image in local memory.
#pragma once

#include <cstdint>

#include "video/byte_stream.h"
#include "video/frame_read.h"
#include "video/frame_rules.h"
#include "video/probe.h"
#include "video/read_on.h"
#include "video/reader.h"
#include "win/unique.h"

namespace stillreel {

// Hands the extraction an image block made ready meanwhile, or none.
class ImageBlockSource {
 public:
  // A block of `bytes` whose pages have been touched, or null; at most once per extraction,
  // right before the conversion.
  virtual UniqueHlocal Take(uint32_t bytes) = 0;

 protected:
  ~ImageBlockSource() = default;
};

// One video's source reader kept open between extractions, so that the next one skips the
// opening and, where that gives the same frame faster, the seek (ReadOnPlanner). Used on one
// thread only, which holds a MediaFoundationScope for as long as the object is open. Closes
// itself when the reader reports an error: no call is made on it after that.
class OpenVideo {
 public:
  // `path` must stay valid until the video is closed: a reader that fails while reading on is
  // opened again. With `memory` the video is read from there instead (`path` may be null).
  HRESULT Open(const wchar_t* path, LentMemory* memory = nullptr);
  void Close();
  bool is_open() const { return m_reader != nullptr; }

  HRESULT Probe(VideoFacts& facts);
  // The BMP image of entry `index` (placed in time by `settings`), on the kept reader. It may read
  // on from the last frame it delivered instead of seeking, as `read_on` allows; the frame is the
  // same either way. The image block comes from `blocks` (may be null) when it has one of the right
  // size. Fails with the reader's own failure, or when the video cannot be decoded at that
  // moment, the frame is refused (MF_E_INVALIDMEDIATYPE and others) or the image block cannot be
  // allocated (E_OUTOFMEMORY).
  HRESULT Extract(int32_t index, const FrameSettings& settings, ReadOnMode read_on,
                  ImageBlockSource* blocks, UniqueHlocal& image, uint32_t& image_bytes);

 private:
  // Reads on to the frame due at t, within the planner's budget if `budget`; false when it gave up:
  // then where the reader stands is not known.
  bool ReadOnTo(int64_t t, bool budget, FrameRead& read);
  // A seek to SeekPosition and the read after it; a refused seek turns the video to ReadForward.
  HRESULT SeekAndRead(int64_t t, bool exact, FrameRead& read);
  // For a source that cannot seek: reads on from where the reader stands, or from the start of
  // a fresh reader when t lies behind it, to the frame due at t.
  HRESULT ReadForward(int64_t t, FrameRead& read);

  const wchar_t* m_path = nullptr;
  Microsoft::WRL::ComPtr<LentMemory> m_memory;
  Microsoft::WRL::ComPtr<IMFSourceReader> m_reader;
  Microsoft::WRL::ComPtr<IMFMediaType> m_native;  // the stream's first native type; may be null
  int64_t m_duration = 0;                         // 100-ns ticks
  bool m_can_seek = true;                         // the source says it can, and no seek has failed
  int64_t m_stands_at = -1;  // where the next sample starts, when known (100-ns ticks); else -1
  ReadOnPlanner m_planner;
};

}  // namespace stillreel
