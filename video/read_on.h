// When a kept reader reads on to the next moment instead of seeking: the rule and what it learns.
#pragma once

#include <cstdint>

namespace stillreel {

// kNever: always seek. kWhenFaster: the default. kAlways: wherever it gives the seek's frame,
// whatever it costs (for tests).
enum class ReadOnMode { kNever, kWhenFaster, kAlways };

// Reading on gives the same frame as a seek only where the stream's stamps tell the frame due at
// a moment the same way whichever way the reader got there. That holds for a source whose seeks
// land at or before the moment (Windows lands on the key frame before it) and whose frames
// follow one another on one time line. A source that stamps the first frame after a seek past
// the moment (Wine stamps every frame of a stream with B-frames late by the reorder delay, but
// not its seeks), or whose read after a seek stalled (kStalledSamples), is never read on again.
//
// Which is faster depends on the source: a seek costs a fixed part plus the decoding from the key
// frame; reading on costs every frame up to the moment. Both are measured as they happen: a
// reading on is tried while the frames to read cost less than the seeks did (or their cost is not
// known yet, within 2 s) and is given up for a seek once it has taken as long as a seek takes.
class ReadOnPlanner {
 public:
  // Read on from where the reader stands to the frame due at `t` (100-ns ticks)?
  bool ShouldReadOn(int64_t t, ReadOnMode mode = ReadOnMode::kWhenFaster) const;
  // Milliseconds a reading on may take before it is given up: what a seek takes, on average.
  double budget_ms() const { return m_seek_ms; }
  // Where the next frame read on starts: the end of the last frame delivered.
  int64_t read_end() const { return m_end; }

  // What a seek and the read after it showed.
  struct Seek {
    int64_t t = 0;            // the moment sought (100-ns ticks)
    int64_t first_stamp = 0;  // the first sample's stamp
    // The landing is judged only when true: not for a read that had to fall back to the stream's
    // end.
    bool judged = true;
    bool capped = false;  // the read was stopped by its cap, not by the frame due
    int64_t end = -1;     // where the delivered frame's span ends; -1: not known
    int64_t span = 0;     // the delivered frame's duration
    int samples = 0;      // samples the read took
    double ms = 0;        // how long the seek and the read took
  };
  void SeekDone(const Seek& seek);
  // A reading on delivered the frame due after `frames` samples in `ms`.
  void ReadOnDone(int frames, double ms, int64_t end);
  // A reading on broke off after `frames` samples in `ms`; `broken_time_line` when the samples
  // did not follow on one another (then this source is never read on again).
  void ReadOnGaveUp(int frames, double ms, bool broken_time_line);
  // The reader's position is not known (an error, the end of the stream, a new reader).
  void Forget() { m_end = -1; }

 private:
  void CountFrames(int frames, double ms);

  int64_t m_end = -1;
  int64_t m_frame_ticks = 0;  // a frame's duration, from the frames seen
  bool m_trusted = true;
  int m_seeks = 0;
  double m_seek_ms = 0;  // mean over the seeks
  int m_frames = 0;      // frames read on, and their mean cost
  double m_frame_ms = 0;
  // Until a reading on is measured: the least a seek's read cost per sample, an upper bound of
  // a frame's cost (a seek to the key frame before t reads every frame from there); 0: none.
  double m_seek_frame_ms = 0;
};

}  // namespace stillreel
