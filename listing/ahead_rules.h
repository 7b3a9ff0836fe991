// When and how far to read a video's entries ahead of a host that walks them in order.
// Platform-free.
#pragma once

#include <cstdint>

namespace stillreel {

// The entries read ahead for one video at most: a spare core each, and never more than a few
// images held. A 32-bit host has 2 GB of address space for everything it shows: one there.
inline constexpr int32_t kMaxAheadReaders = 3;
inline constexpr int32_t kMaxAheadReaders32 = 1;
// Videos read ahead at once at most: a host browses one or two at a time.
inline constexpr int32_t kMaxAheadVideos = 2;

// Readers ahead per video for `cores` processors: one per core beyond the host's own, at least
// one (a host that lingers on an entry leaves its core idle meanwhile), at most `max_readers`.
int32_t AheadReaders(int32_t cores, int32_t max_readers);

// The order in which a host fetches one video's entries.
class BrowseOrder {
 public:
  // Records a fetch of entry `index`. Returns the direction the host walks in (+1 or -1) once its
  // last two fetches were neighbours in that direction, else 0: nothing to read ahead. Fetching
  // the same entry again keeps the direction.
  int32_t Fetched(int32_t index);
  void Forget() { *this = BrowseOrder{}; }

 private:
  int32_t m_last = -1;
  int32_t m_step = 0;
};

// The entries due next after entry `index` in direction `step`, among `entries`.
struct AheadWindow {
  int32_t first = 0;
  int32_t count = 0;
  int32_t step = 0;

  bool Contains(int32_t index) const;
  int32_t at(int32_t k) const { return first + k * step; }
};

// `readers` entries at most, none past either end; none for step 0.
AheadWindow WindowAfter(int32_t index, int32_t step, int32_t entries, int32_t readers);

}  // namespace stillreel
