#include "listing/ahead_rules.h"

namespace stillreel {

int32_t AheadReaders(int32_t cores, int32_t max_readers) {
  const int32_t spare = cores - 1;
  if (spare < 1) return max_readers < 1 ? max_readers : 1;
  return spare < max_readers ? spare : max_readers;
}

int32_t BrowseOrder::Fetched(int32_t index) {
  const int32_t step = index - m_last;
  if (m_last < 0 || index < 0) {
    m_step = 0;
  } else if (step == 1 || step == -1) {
    m_step = step;
  } else if (step != 0) {
    m_step = 0;
  }
  m_last = index;
  return m_step;
}

bool AheadWindow::Contains(int32_t index) const {
  if (count <= 0 || step == 0) return false;
  const int32_t k = (index - first) * step;
  return k >= 0 && k < count;
}

AheadWindow WindowAfter(int32_t index, int32_t step, int32_t entries, int32_t readers) {
  AheadWindow window;
  if (step != 1 && step != -1) return window;
  window.step = step;
  window.first = index + step;
  // Entries left in the walk's direction.
  const int32_t left = step > 0 ? entries - window.first : window.first + 1;
  window.count = left < readers ? left : readers;
  if (window.count < 0) window.count = 0;
  return window;
}

}  // namespace stillreel
