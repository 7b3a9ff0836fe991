// The one lock type of the plug-in: a critical section with a scoped guard, and a condition to
// wait on under it.
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
  CRITICAL_SECTION* native() { return &m_section; }

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

// Threads that hold a CriticalSection wait here for a change another thread makes under it.
class Condition {
 public:
  Condition() { InitializeConditionVariable(&m_condition); }
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;

  // Leaves `lock` (held by the caller) while waiting, holds it again on return. False when
  // `milliseconds` passed (INFINITE: no limit); a wake may also be spurious: check again.
  bool Wait(CriticalSection& lock, DWORD milliseconds) {
    return SleepConditionVariableCS(&m_condition, lock.native(), milliseconds) != FALSE;
  }
  void WakeAll() { WakeAllConditionVariable(&m_condition); }

 private:
  CONDITION_VARIABLE m_condition;
};

}  // namespace stillreel
