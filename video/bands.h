// The conversion's bands of rows on threads of their own (picture/convert.h's BandRunner).
#pragma once

#include "picture/convert.h"

namespace stillreel {

// Runs band 0 on the caller's thread and every other band on a thread it starts and waits for.
// A thread that cannot be started leaves its band to the caller.
class ThreadBands final : public BandRunner {
 public:
  // As many bands at once as the process has processors.
  ThreadBands();
  uint32_t Width() const override { return m_width; }
  void Run(uint32_t count, void (*work)(void* context, uint32_t band),
           void* context) const override;

 private:
  uint32_t m_width;
};

}  // namespace stillreel
