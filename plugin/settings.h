// The settings file beside the DLL: frame settings and the file filter, read on every use.
#pragma once

#include "listing/entry_record.h"
#include "video/frame_rules.h"
#include "video/session.h"

namespace stillreel {

// Which keys a build reads: the 32-bit build knows only "div" and "sec", its interval.
enum class SettingsKeys { kCurrent, kLegacy };
#if defined(_WIN64)
inline constexpr SettingsKeys kBuildKeys = SettingsKeys::kCurrent;
#else
inline constexpr SettingsKeys kBuildKeys = SettingsKeys::kLegacy;
#endif

// The frame settings of the file beside the DLL, as this build reads them.
FrameSettings ReadFrameSettings();

// The frame settings of `file` read with the given keys; a missing file gives zeros.
FrameSettings ReadFrameSettingsFrom(const wchar_t* file, SettingsKeys keys);

// The default of "timeout" in seconds, the most a call may take over Media Foundation's work.
inline constexpr int kDefaultTimeoutSeconds = 10;

// Limits for a call starting now: "timeout" (seconds; 0 = none, absent or negative = the
// default) and, for measurements and tests only, [Debug] "keep" (0: a fresh reader for every
// call, as before readers were kept), "serialise" (0: readers created in parallel) and "idle"
// (milliseconds an unused reader stays open).
MediaLimits ReadMediaLimits();

// Turns the failure trace on or off as "trace" under [Debug] says (off when absent).
void ApplyTraceSetting();

// The "ext" value, normalised. Fixed buffers throughout: nothing here needs the C++ heap.
void ReadFilter(wchar_t (&filter)[kPathChars]);

}  // namespace stillreel
