// The failure codes of our own, beside the system's and Media Foundation's, which every layer
// returns as they come. plugin/host_interface.h (ResultCode) maps them all to the host's codes.
#pragma once

#include <windows.h>

#include <cstdint>

namespace stillreel {

// What a call fails with when Media Foundation's own work is not what failed: the call's time
// limit passed, or the file was refused because a worker for it (or too many) is stuck.
// HRESULT_FROM_WIN32(ERROR_TIMEOUT) and HRESULT_FROM_WIN32(ERROR_BUSY), spelt out: mingw's
// HRESULT_FROM_WIN32 is not constexpr.
inline constexpr HRESULT kTimedOut = static_cast<HRESULT>(0x800705B4);
inline constexpr HRESULT kStuckFileRefused = static_cast<HRESULT>(0x800700AA);

// A Win32 error means one thing on the input file and another on the output (a missing folder
// is a read error in one, a write error in the other), and Media Foundation passes on Win32
// errors of its own: so a failure of ours says which it is. Ours have the severity and customer
// bits set (0xA...), which no system or Media Foundation code has; the facility is the family,
// numbered as the host code it comes to (1 for the refusal, -1), and the low 16 bits keep the
// Win32 error behind it.
enum class Family : uint32_t {
  kRefused = 0x001,  // the call's arguments or the entry it names are refused
  kRead = 0x006,     // the input file cannot be opened, positioned or read
  kWrite = 0x009,    // the output file cannot be created or written
};

inline constexpr uint32_t kOursMask = 0xA0000000;

constexpr HRESULT Failure(Family family, DWORD win32_error) {
  return static_cast<HRESULT>(kOursMask | static_cast<uint32_t>(family) << 16 |
                              (win32_error & 0xFFFF));
}

// The family of one of our failures; false for any other code.
constexpr bool IsFamily(HRESULT hr, Family family) {
  return (static_cast<uint32_t>(hr) & 0xFFFF0000u) ==
         (kOursMask | static_cast<uint32_t>(family) << 16);
}

// Those without a Win32 error of their own to keep.
inline constexpr HRESULT kNotPathInput = Failure(Family::kRefused, ERROR_NOT_SUPPORTED);
inline constexpr HRESULT kNoPlaceForResult = Failure(Family::kRefused, ERROR_INVALID_PARAMETER);
inline constexpr HRESULT kNameRefused = Failure(Family::kRefused, ERROR_INVALID_NAME);
inline constexpr HRESULT kNoEntry = Failure(Family::kRefused, ERROR_FILE_NOT_FOUND);
inline constexpr HRESULT kPathRefused = Failure(Family::kRead, ERROR_INVALID_NAME);
inline constexpr HRESULT kNoInput = Failure(Family::kRead, ERROR_INVALID_PARAMETER);
inline constexpr HRESULT kNoOutputFolder = Failure(Family::kWrite, ERROR_INVALID_NAME);

}  // namespace stillreel
