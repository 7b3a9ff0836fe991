// Move-only owners for Win32 handles, so no early return can leak one.
#pragma once

#include <windows.h>

#include <utility>

namespace stillreel {

// `Traits` names the handle type, its invalid value and how to close it; a traits type rather
// than template constants because INVALID_HANDLE_VALUE is not a constant expression.
template <typename Traits>
class Unique {
 public:
  using Handle = typename Traits::Handle;

  Unique() = default;
  explicit Unique(Handle value) : m_value(value) {}
  Unique(const Unique&) = delete;
  Unique& operator=(const Unique&) = delete;
  Unique(Unique&& other) noexcept : m_value(other.release()) {}
  Unique& operator=(Unique&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~Unique() { reset(); }

  Handle get() const { return m_value; }
  explicit operator bool() const { return m_value != Traits::Invalid(); }
  Handle release() { return std::exchange(m_value, Traits::Invalid()); }
  void reset(Handle value = Traits::Invalid()) {
    Handle old = std::exchange(m_value, value);
    if (old != Traits::Invalid()) Traits::Close(old);
  }

 private:
  Handle m_value = Traits::Invalid();
};

struct HlocalTraits {
  using Handle = HLOCAL;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { LocalFree(h); }
};

// Handles that CreateFileW returns: INVALID_HANDLE_VALUE, not null, means none.
struct FileTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { CloseHandle(h); }
};

// Threads and events: null, not INVALID_HANDLE_VALUE, means none.
struct HandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { CloseHandle(h); }
};

// A reference to a loaded module, as LoadLibrary or GetModuleHandleExW without
// GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT give one.
struct ModuleTraits {
  using Handle = HMODULE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { FreeLibrary(h); }
};

using UniqueHlocal = Unique<HlocalTraits>;
using UniqueFile = Unique<FileTraits>;
using UniqueHandle = Unique<HandleTraits>;
using UniqueModule = Unique<ModuleTraits>;

}  // namespace stillreel
