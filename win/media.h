// COM and Media Foundation start-up for one call, and a PROPVARIANT owner.
#pragma once

#include <windows.h>
#include <mfapi.h>
#include <propidl.h>

#include "win/result.h"

namespace stillreel {

// Declare before any COM pointer so it is destroyed last. Undoes only the start-ups that worked.
// A thread of our own that has no message loop joins the multithreaded apartment.
class MediaFoundationScope {
 public:
  enum class Apartment { kSingle, kMulti };

  explicit MediaFoundationScope(Apartment apartment = Apartment::kSingle) {
    const HRESULT co = apartment == Apartment::kMulti
                           ? CoInitializeEx(nullptr, COINIT_MULTITHREADED)
                           : CoInitialize(nullptr);
    // A thread already in the multithreaded apartment answers RPC_E_CHANGED_MODE; Media
    // Foundation works there, so go on without a CoInitialize of our own to undo.
    if (co == RPC_E_CHANGED_MODE) {
      m_status = S_OK;
    } else if (FAILED(co)) {
      TraceFailure("CoInitialize(nullptr)", co, __FILE__, __LINE__);
      m_status = co;
      return;
    } else {
      m_com_started = true;
    }
    m_status = SR_TRACED(MFStartup(MF_VERSION, MFSTARTUP_FULL));
    m_mf_started = SUCCEEDED(m_status);
  }
  ~MediaFoundationScope() {
    if (m_mf_started) MFShutdown();
    if (m_com_started) CoUninitialize();
  }
  MediaFoundationScope(const MediaFoundationScope&) = delete;
  MediaFoundationScope& operator=(const MediaFoundationScope&) = delete;

  HRESULT status() const { return m_status; }

 private:
  HRESULT m_status = E_FAIL;
  bool m_com_started = false;
  bool m_mf_started = false;
};

class PropVariant {
 public:
  PropVariant() { PropVariantInit(&m_value); }
  ~PropVariant() { PropVariantClear(&m_value); }
  PropVariant(const PropVariant&) = delete;
  PropVariant& operator=(const PropVariant&) = delete;

  PROPVARIANT* get() { return &m_value; }
  const PROPVARIANT& value() const { return m_value; }

 private:
  PROPVARIANT m_value;
};

}  // namespace stillreel
