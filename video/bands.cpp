#include "video/bands.h"

#include <windows.h>

#include <algorithm>

#include "win/platform.h"
#include "win/unique.h"

namespace stillreel {
namespace {

// More bands than this run some on the caller's thread after the others.
constexpr uint32_t kMaxThreads = 8;
// The row kernels' scratch and a tone map's tables (some 40 KB) are on the stack.
constexpr SIZE_T kStackBytes = 256 * 1024;

struct Band {
  void (*work)(void*, uint32_t);
  void* context;
  uint32_t band;
};

DWORD WINAPI BandMain(void* parameter) {
  const Band& band = *static_cast<const Band*>(parameter);
  band.work(band.context, band.band);
  return 0;
}

}  // namespace

ThreadBands::ThreadBands() : m_width(static_cast<uint32_t>(std::max(ProcessCores(), 1))) {}

void ThreadBands::Run(uint32_t count, void (*work)(void* context, uint32_t band),
                      void* context) const {
  // A read ahead's bands stay below normal priority with it.
  const int priority = GetThreadPriority(GetCurrentThread());
  Band bands[kMaxThreads];
  UniqueHandle threads[kMaxThreads];
  HANDLE waits[kMaxThreads];
  DWORD started = 0;
  uint32_t next = 1;
  for (; next < count && started < kMaxThreads; ++next) {
    bands[started] = {work, context, next};
    threads[started].reset(CreateThread(nullptr, kStackBytes, &BandMain, &bands[started],
                                        CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION,
                                        nullptr));
    if (threads[started] && priority != THREAD_PRIORITY_ERROR_RETURN)
      SetThreadPriority(threads[started].get(), priority);
    if (!threads[started] || ResumeThread(threads[started].get()) == static_cast<DWORD>(-1)) {
      // A thread that never ran is ended unseen; its band runs here.
      if (threads[started]) TerminateThread(threads[started].get(), 0);
      threads[started].reset();
      work(context, next);
      continue;
    }
    waits[started] = threads[started].get();
    ++started;
  }
  work(context, 0);
  for (; next < count; ++next) work(context, next);
  // Every band writes into the caller's buffers: none may outlive the call.
  if (started > 0) WaitForMultipleObjects(started, waits, TRUE, INFINITE);
}

}  // namespace stillreel
