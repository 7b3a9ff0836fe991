// The wide logic behind the exports; the ANSI exports convert their arguments and call it too.
#pragma once

#include <windows.h>

#include <cstdint>

#include "listing/entry_record.h"
#include "listing/open_videos.h"
#include "plugin/host_interface.h"
#include "win/unique.h"

namespace stillreel {

// Information text `infono` (0 to 3); false for any other index.
bool PluginInfoText(int infono, wchar_t (&text)[kPathChars]);

// `dw` is a file handle when its bits 16 to 31 are clear, else a pointer to the first bytes.
bool SupportsFile(const wchar_t* path, intptr_t dw, const CallSettings& settings);

// A fresh listing of the video at `path`, made by a new probe.
int ListArchive(const wchar_t* path, uint32_t offset, const CallSettings& settings,
                UniqueHlocal& listing);

// The ANSI form of a wide listing.
int NarrowListing(HLOCAL wide, UniqueHlocal& ansi);

// The entry named by `request` (its file name, or its position when the name is empty) in the
// video's current listing; on success `request` holds the whole entry.
int DescribeEntry(const wchar_t* path, uint32_t offset, const CallSettings& settings,
                  EntryRecord& request);

void NarrowRecord(const EntryRecord& wide, EntryRecordA& ansi);

// The image of the entry at `position`, into memory or as a new file in `directory`.
int FetchToMemory(const wchar_t* path, EntryWord position, const CallSettings& settings,
                  HLOCAL& image);
int FetchToDirectory(const wchar_t* path, EntryWord position, const CallSettings& settings,
                     const wchar_t* directory);

}  // namespace stillreel
