// The frame settings and the rule that turns an entry's position into a seek time.
#pragma once

#include <cstdint>

namespace stillreel {

// How entries are spread over a video: "div", "divsec" and "sec" as the settings file gives
// them. A negative value means "not set".
struct FrameSettings {
  int32_t div = 0;     // frames spread evenly over the whole video
  int32_t divsec = 0;  // interval in seconds between frames, starting at 0 s
  int32_t sec = 0;     // a single frame at this many seconds
  // The frame due at each moment (read on from where the seek lands) rather than the first one
  // the seek delivers, which on Windows is the key frame before the moment.
  bool exact = true;
  // Pictures shown with the pixel aspect ratio the video states; false delivers the stored pixels.
  bool aspect = true;
  // HDR (PQ, HLG) tone-mapped to SDR; false shows the stored signal's codes as they are.
  bool hdr = true;

  bool operator==(const FrameSettings&) const = default;
};

inline constexpr int64_t kTicksPerSecond = 10'000'000;  // Media Foundation's 100-ns units

// How far ahead of where a kept reader stands reading on is tried at all, in stream time (100-ns
// ticks); farther moments are sought.
inline constexpr int64_t kReadOnReach = 15 * 10'000'000LL;
// A read after a seek goes on to the frame due however far before it the seek landed: Windows
// lands on the key frame before the moment, and key frames can lie a minute or more apart
// (screen recordings, some cameras). The host's wait is bounded by the call's time limit, the
// read by the stream's end. Only a run of this many samples whose stamps do not advance past
// the latest ends it early (the latest frame read stands in).
inline constexpr int kStalledSamples = 240;

// Containers round stamps (a millisecond in some, 1/90000 s in others); a frame stamped this
// much after t still counts as at or before it. 100-ns ticks.
inline constexpr int64_t kStampRounding = 10'000;

// Negative values count as 0 (not set); `exact`, `aspect` and `hdr` are kept.
FrameSettings NormaliseSettings(FrameSettings settings);

// Seek time in 100-ns ticks for the entry at `index` of a video lasting `duration` ticks.
// Saturates instead of overflowing; the result is never negative.
int64_t SeekTime(const FrameSettings& settings, int32_t index, int64_t duration);

}  // namespace stillreel
