// When a kept reader reads on to the next moment instead of seeking.
#include "video/read_on.h"

#include "video/frame_rules.h"

namespace stillreel {

namespace {

// How far ahead reading on is first tried, before its cost is known (100-ns ticks).
constexpr int64_t kUntriedReach = 2 * kTicksPerSecond;

}  // namespace

bool ReadOnPlanner::ShouldReadOn(int64_t t, ReadOnMode mode) const {
  if (mode == ReadOnMode::kNever || !m_trusted || m_seeks == 0 || m_end < 0) return false;
  // The next frame must start at or before t, or the frame due is the one delivered last, which
  // only a seek gives again; and t must lie well within what one read may cover.
  if (m_end > t + kStampRounding || t - m_end >= kReadOnReach) return false;
  if (mode == ReadOnMode::kAlways) return true;
  const double frame_ms = m_frames > 0 ? m_frame_ms : m_seek_frame_ms;
  // Not tried yet: only as far as a common key-frame interval, where reading on has a chance.
  if (frame_ms <= 0 || m_frame_ticks <= 0) return t - m_end < kUntriedReach;
  const double frames = static_cast<double>(t - m_end) / static_cast<double>(m_frame_ticks) + 1;
  return frames * frame_ms < m_seek_ms;
}

void ReadOnPlanner::SeekDone(const Seek& seek) {
  if (seek.judged && (seek.first_stamp > seek.t + kStampRounding || seek.capped)) m_trusted = false;
  if (seek.samples >= 2) {
    const double per_sample = seek.ms / seek.samples;
    if (m_seek_frame_ms == 0 || per_sample < m_seek_frame_ms) m_seek_frame_ms = per_sample;
  }
  ++m_seeks;
  m_seek_ms += (seek.ms - m_seek_ms) / m_seeks;
  m_end = seek.end;
  if (seek.span > 0 && m_frame_ticks == 0) m_frame_ticks = seek.span;
}

void ReadOnPlanner::ReadOnDone(int frames, double ms, int64_t end) {
  if (frames > 0 && m_end >= 0 && end > m_end) m_frame_ticks = (end - m_end) / frames;
  CountFrames(frames, ms);
  m_end = end;
}

void ReadOnPlanner::ReadOnGaveUp(int frames, double ms, bool broken_time_line) {
  CountFrames(frames, ms);
  if (broken_time_line) m_trusted = false;
  m_end = -1;
}

void ReadOnPlanner::CountFrames(int frames, double ms) {
  if (frames <= 0) return;
  m_frame_ms = (m_frame_ms * m_frames + ms) / (m_frames + frames);
  m_frames += frames;
}

}  // namespace stillreel
