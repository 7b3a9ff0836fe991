// Platform-free rules of a video's entry table: how many entries, their names, the block size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "video/frame_rules.h"

namespace stillreel {

// Entries of a video lasting `duration_seconds` (> 0). With no count set at all the listing
// still offers the first frame.
int64_t EntryCount(const FrameSettings& settings, int32_t duration_seconds);

// Bytes of a listing of `count` records plus its terminator, or nothing when that size
// cannot be represented on this platform.
std::optional<size_t> ListingBytes(int64_t count, size_t record_size);

// The stem shortened so that every name up to `last_index` (digits, ".bmp" and the terminator
// included) fits `field_chars`; all entries share it, so the names stay unique. Never splits a
// UTF-16 surrogate pair. A view of the start of `stem`.
std::wstring_view FitStem(std::wstring_view stem, int64_t last_index, size_t field_chars);

// Writes "%s%03d.bmp" of `stem` and a non-negative `index` into `out`, terminated. Returns the
// characters written (terminator excluded), or 0 when the name does not fit `out_chars`.
// Nothing is allocated: the exports must not depend on the heap of the C++ runtime.
size_t EntryName(std::wstring_view stem, int64_t index, wchar_t* out, size_t out_chars);

// FILETIME ticks since 1601 to whole seconds since 1970-01-01 UTC, truncating toward zero.
int64_t UnixSecondsFromFileTime(uint64_t file_time);

}  // namespace stillreel
