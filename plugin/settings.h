// The settings file beside the DLL, read once at the start of every host call.
#pragma once

#include "listing/entry_record.h"
#include "listing/open_videos.h"
#include "video/frame_rules.h"

namespace stillreel {

// Which keys a build reads: the 32-bit build knows only "div" and "sec", its interval.
enum class SettingsKeys { kCurrent, kLegacy };
#if defined(_WIN64)
inline constexpr SettingsKeys kBuildKeys = SettingsKeys::kCurrent;
#else
inline constexpr SettingsKeys kBuildKeys = SettingsKeys::kLegacy;
#endif

// The frame settings of `file` read with the given keys; a missing file gives zeros.
FrameSettings ReadFrameSettingsFrom(const wchar_t* file, SettingsKeys keys);

// The default of "timeout" in seconds, the most a call may take over Media Foundation's work.
inline constexpr int kDefaultTimeoutSeconds = 10;

// Everything a call needs, read once as it starts: the frame settings as this build reads them,
// "readahead" (0: off; absent: on, except under Wine), and the limits of a call starting now:
// "timeout" (seconds; 0 = none, absent or negative = the default) and, for measurements and tests
// only, [Debug] "keep" (1: a video's reader is kept between calls, "idle" milliseconds; absent or
// 0: every call lets go of it before returning), "serialise" (0: readers created in parallel) and
// "readon". Turns the failure trace on or off as "trace" under [Debug] says (off when absent).
CallSettings ReadCallSettings();

// The "ext" value, normalised. Fixed buffers throughout: nothing here needs the C++ heap.
void ReadFilter(wchar_t (&filter)[kPathChars]);

}  // namespace stillreel
