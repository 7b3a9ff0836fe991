// An auto-reset event: one thread hands work or a result to another, which waits for it with a
// time limit where it must not be held up for ever.
#pragma once

#include <windows.h>

#include "win/unique.h"

namespace stillreel {

class Event {
 public:
  // Makes a new, unsignalled event in place of any held before; false when none can be made.
  // A manual-reset event stays signalled until Reset.
  bool Create(bool manual_reset = false) {
    m_handle.reset(CreateEventW(nullptr, manual_reset ? TRUE : FALSE, FALSE, nullptr));
    return static_cast<bool>(m_handle);
  }
  void Close() { m_handle.reset(); }

  void Set() { SetEvent(m_handle.get()); }
  void Reset() { ResetEvent(m_handle.get()); }
  HANDLE handle() const { return m_handle.get(); }
  // A handle of its own to the same event, for a waiter that may outlive this one's; empty when
  // it cannot be made.
  UniqueHandle Duplicate() const {
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), m_handle.get(), GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
      return UniqueHandle();
    return UniqueHandle(copy);
  }
  // True when the event was signalled within `milliseconds` (INFINITE: no limit).
  bool Wait(DWORD milliseconds) {
    return WaitForSingleObject(m_handle.get(), milliseconds) == WAIT_OBJECT_0;
  }

 private:
  UniqueHandle m_handle;
};

}  // namespace stillreel
