// How a host thread waits for our worker's answer. A viewer calls from its GUI thread, a
// single-threaded apartment (STA); a codec registered without a ThreadingModel lives in the main
// STA ("InprocServer32"), so a call our worker makes into it is served by that thread, and a
// plain WaitForSingleObject there would hold the call up until the time limit.
#pragma once

#include <windows.h>
#include <objbase.h>

#include "win/event.h"

namespace stillreel {

// True when `handle` was signalled within `milliseconds` (INFINITE: no limit). On an STA (or
// application STA) thread the wait lets COM calls into the apartment in: CoWaitForMultipleHandles
// enters COM's modal loop, COWAIT_DISPATCH_CALLS for an ASTA, and without
// COWAIT_DISPATCH_WINDOW_MESSAGES an STA dispatches only the small set of messages COM
// special-cases (its own call messages; sent messages are delivered during any such wait), so the
// host's posted window messages stay queued for its own loop. Elsewhere (MTA, no COM) a plain wait.
inline bool WaitLettingComCallsIn(HANDLE handle, DWORD milliseconds) {
  APTTYPE type = APTTYPE_MTA;
  APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
  const bool sta = SUCCEEDED(CoGetApartmentType(&type, &qualifier)) &&
                   (type == APTTYPE_STA || type == APTTYPE_MAINSTA);
  if (sta) {
    DWORD index = 0;
    const HRESULT hr =
        CoWaitForMultipleHandles(COWAIT_DISPATCH_CALLS, milliseconds, 1, &handle, &index);
    if (hr == S_OK) return index == 0;
    if (hr == RPC_S_CALLPENDING) return false;  // the time passed
    // Any other answer (a flag this system does not know): the plain wait below.
  }
  return WaitForSingleObject(handle, milliseconds) == WAIT_OBJECT_0;
}

inline bool WaitLettingComCallsIn(Event& event, DWORD milliseconds) {
  return WaitLettingComCallsIn(event.handle(), milliseconds);
}

}  // namespace stillreel
