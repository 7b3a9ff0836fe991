// Move-only owners for Win32 handles, so no early return can leak one.
#pragma once

#include <windows.h>

#include <utility>

namespace stillreel {

template <typename T, T kInvalid, auto kClose>
class Unique {
 public:
  Unique() = default;
  explicit Unique(T value) : m_value(value) {}
  Unique(const Unique&) = delete;
  Unique& operator=(const Unique&) = delete;
  Unique(Unique&& other) noexcept : m_value(other.release()) {}
  Unique& operator=(Unique&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~Unique() { reset(); }

  T get() const { return m_value; }
  explicit operator bool() const { return m_value != kInvalid; }
  // Resets first, so the old value is never leaked when the caller fills the slot.
  T* put() {
    reset();
    return &m_value;
  }
  T release() { return std::exchange(m_value, kInvalid); }
  void reset(T value = kInvalid) {
    T old = std::exchange(m_value, value);
    if (old != kInvalid) kClose(old);
  }

 private:
  T m_value = kInvalid;
};

namespace detail {
inline void FreeLocal(HLOCAL h) { LocalFree(h); }
}  // namespace detail

using UniqueHlocal = Unique<HLOCAL, nullptr, detail::FreeLocal>;

// File handles use INVALID_HANDLE_VALUE, which is not a constant expression: own them apart.
class UniqueFile {
 public:
  UniqueFile() = default;
  explicit UniqueFile(HANDLE value) : m_value(value) {}
  UniqueFile(const UniqueFile&) = delete;
  UniqueFile& operator=(const UniqueFile&) = delete;
  UniqueFile(UniqueFile&& other) noexcept : m_value(other.release()) {}
  UniqueFile& operator=(UniqueFile&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueFile() { reset(); }

  HANDLE get() const { return m_value; }
  explicit operator bool() const { return m_value != INVALID_HANDLE_VALUE; }
  HANDLE release() { return std::exchange(m_value, INVALID_HANDLE_VALUE); }
  void reset(HANDLE value = INVALID_HANDLE_VALUE) {
    HANDLE old = std::exchange(m_value, value);
    if (old != INVALID_HANDLE_VALUE) CloseHandle(old);
  }

 private:
  HANDLE m_value = INVALID_HANDLE_VALUE;
};

}  // namespace stillreel
