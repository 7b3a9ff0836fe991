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

// One video's source reader kept open between extractions, so that the next one skips the
// opening. Used on one thread only, which holds a MediaFoundationScope for as long as the object
// is open. Closes itself when the reader reports an error: no call is made on it after that.
class OpenVideo {
 public:
  HRESULT Open(const wchar_t* path);
  void Close();
  bool is_open() const { return m_reader != nullptr; }

  bool Probe(VideoFacts& facts);
  // As ExtractFrame, on the kept reader.
  ExtractStatus Extract(int32_t index, const FrameSettings& settings, UniqueHlocal& image,
                        uint32_t& image_bytes);

 private:
  Microsoft::WRL::ComPtr<IMFSourceReader> m_reader;
  int64_t m_duration = 0;  // 100-ns ticks
};

// Decodes the frame of entry `index` (placed in time by `settings`) and returns its BMP image as
// a LocalAlloc(LMEM_FIXED) block; image_bytes receives the block's size. Both outputs are left as
// they were unless the result is kOk.
ExtractStatus ExtractFrame(const wchar_t* path, int32_t index, const FrameSettings& settings,
                           UniqueHlocal& image, uint32_t& image_bytes);

}  // namespace stillreel
