// Extraction of one entry's frame as a complete BMP image in local memory.
#pragma once

#include <cstdint>

#include "video/frame_rules.h"
#include "video/probe.h"
#include "video/reader.h"
#include "win/unique.h"

namespace stillreel {

// kNoFrame: the video cannot be opened or decoded at that moment, or the frame is refused.
// kNoMemory: the conversion target or the image block cannot be allocated.
enum class ExtractStatus { kOk, kNoFrame, kNoMemory };

// One video's source reader kept open between extractions, with where it stands, so that the
// next frame is read on to instead of sought when that is cheaper. Used on one thread only, which
// holds a MediaFoundationScope for as long as the object is open.
class OpenVideo {
 public:
  HRESULT Open(const wchar_t* path);
  void Close();
  bool is_open() const { return m_reader != nullptr; }

  bool Probe(VideoFacts& facts);
  // As ExtractFrame; `read_on` allows reading on from the last frame instead of seeking. The
  // bytes are the same either way.
  ExtractStatus Extract(int32_t index, const FrameSettings& settings, bool read_on,
                        UniqueHlocal& image, uint32_t& image_bytes);

 private:
  HRESULT ReadOn(int64_t t, double budget_ms, Microsoft::WRL::ComPtr<IMFSample>& frame);

  Microsoft::WRL::ComPtr<IMFSourceReader> m_reader;
  int64_t m_duration = 0;      // 100-ns ticks
  int64_t m_read_end = -1;     // end of the span of the last sample read; -1: nowhere to read on
  int64_t m_stamp_offset = 0;  // what the reader adds to true times in its stamps
  bool m_offset_known = false;
  int64_t m_frame_ticks = 0;  // duration of a whole frame, 0 until one was read on
  double m_seek_ms = 0;       // what the last seek and its first read took
  double m_frame_ms = 0;      // what one frame read on took lately, 0 until measured
};

// Decodes the frame of entry `index` (placed in time by `settings`) and returns its BMP image as
// a LocalAlloc(LMEM_FIXED) block; image_bytes receives the block's size. Both outputs are left as
// they were unless the result is kOk.
ExtractStatus ExtractFrame(const wchar_t* path, int32_t index, const FrameSettings& settings,
                           UniqueHlocal& image, uint32_t& image_bytes);

}  // namespace stillreel
