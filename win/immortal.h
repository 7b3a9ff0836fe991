// Process-wide objects that are built at load and never destroyed.
#pragma once

#include <new>

namespace stillreel {

// At process exit the other threads have been ended without letting go of what they held (a
// module reference, a lock), and DllMain may not release such things: so no destructor runs.
// When the DLL is unloaded by FreeLibrary, no thread of ours is left and the owner frees what it
// holds by an explicit call beforehand.
template <typename T>
class Immortal {
 public:
  Immortal() { new (m_storage) T(); }
  Immortal(const Immortal&) = delete;
  Immortal& operator=(const Immortal&) = delete;

  T& get() { return *std::launder(reinterpret_cast<T*>(m_storage)); }

 private:
  alignas(T) unsigned char m_storage[sizeof(T)];
};

}  // namespace stillreel
