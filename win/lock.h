// The one lock type of the plug-in: a critical section with a scoped guard.
#pragma once

#include <windows.h>

namespace stillreel {

class CriticalSection {
 public:
  CriticalSection() { InitializeCriticalSection(&m_section); }
  ~CriticalSection() { DeleteCriticalSection(&m_section); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter() { EnterCriticalSection(&m_section); }
  void Leave() { LeaveCriticalSection(&m_section); }

 private:
  CRITICAL_SECTION m_section;
};

class ScopedLock {
 public:
  explicit ScopedLock(CriticalSection& lock) : m_lock(lock) { m_lock.Enter(); }
  ~ScopedLock() { m_lock.Leave(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  CriticalSection& m_lock;
};

}  // namespace stillreel
