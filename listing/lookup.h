// Answers a listing or entry request for a video, from the cache or by building the listing.
#pragma once

#include <cstdint>

#include "listing/entry_record.h"
#include "video/frame_rules.h"
#include "video/session.h"
#include "win/unique.h"

namespace stillreel {

// Read on a miss, just before the listing is built, so an edit of the settings applies.
using SettingsReader = FrameSettings (*)();

// The whole listing: `copy` receives a block that the caller owns.
// The probe runs within `limits`; past them the video counts as unsupported.
int LookupListing(const wchar_t* path, uint32_t offset, SettingsReader settings,
                  const MediaLimits& limits, UniqueHlocal& copy);

// One entry, named by the request's file name or, when that is empty, by its position.
int LookupEntry(const wchar_t* path, uint32_t offset, SettingsReader settings,
                const MediaLimits& limits, EntryRecord& request);

// The stem of the entry names of a video read from memory, which has no file name: frame000.bmp,
// frame001.bmp, ... Also the name its worker goes by.
inline constexpr wchar_t kMemoryVideoName[] = L"frame";

// The listing of the video in lent memory, built afresh every time and never cached: the
// memory is the host's again once the call returns. Entries are named by kMemoryVideoName and
// stamped 0, there being no file time.
int ListMemory(LentMemory* memory, SettingsReader settings, const MediaLimits& limits,
               UniqueHlocal& listing);

// One entry of that listing, named as for LookupEntry.
int LookupMemoryEntry(LentMemory* memory, SettingsReader settings, const MediaLimits& limits,
                      EntryRecord& request);

}  // namespace stillreel
