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

}  // namespace stillreel
