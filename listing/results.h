// The result codes the host receives from the listing and extraction functions.
#pragma once

namespace stillreel {

inline constexpr int kResultOk = 0;
inline constexpr int kResultRefused = -1;     // input kind not a path, or no entry in a new listing
inline constexpr int kResultUnsupported = 2;  // not a video, too short to read, or no frame
inline constexpr int kResultNoMemory = 4;     // a block for the host could not be allocated
inline constexpr int kResultReadError = 6;    // the file cannot be opened, positioned or read
inline constexpr int kResultWriteError = 9;   // the output file cannot be created or written

}  // namespace stillreel
