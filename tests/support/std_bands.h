// A conversion's bands on std::threads: the native builds' stand-in for the DLL's Win32 threads.
#pragma once

#include <cstdint>
#include <thread>
#include <vector>

#include "picture/convert.h"

namespace stillreel {

class StdThreadBands final : public BandRunner {
 public:
  explicit StdThreadBands(uint32_t width) : width_(width) {}
  uint32_t Width() const override { return width_; }
  void Run(uint32_t count, void (*work)(void*, uint32_t), void* context) const override {
    std::vector<std::thread> threads;
    for (uint32_t band = 1; band < count; ++band) threads.emplace_back(work, context, band);
    work(context, 0);
    for (std::thread& thread : threads) thread.join();
  }

 private:
  uint32_t width_;
};

}  // namespace stillreel
