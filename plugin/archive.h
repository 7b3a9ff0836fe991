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
// A file that can be opened is probed through Media Foundation. A name that is no such file (a
// host that maps the file passes only ".mp4") is decided by the "ext" filter and the container
// signature in the first kHeaderBytes bytes at `dw`, which must then be readable.
bool SupportsFile(const wchar_t* path, intptr_t dw, const CallSettings& settings);

// A fresh listing of the video at `path`, made by a new probe.
HRESULT ListArchive(const wchar_t* path, uint32_t offset, const CallSettings& settings,
                    UniqueHlocal& listing);

// The ANSI form of a wide listing.
HRESULT NarrowListing(HLOCAL wide, UniqueHlocal& ansi);

// The entry named by `request` (its file name, or its position when the name is empty) in the
// video's current listing; on success `request` holds the whole entry.
HRESULT DescribeEntry(const wchar_t* path, uint32_t offset, const CallSettings& settings,
                      EntryRecord& request);

void NarrowRecord(const EntryRecord& wide, EntryRecordA& ansi);

// The image of the entry at `position`, into memory or as a new file in `directory`.
HRESULT FetchToMemory(const wchar_t* path, EntryWord position, const CallSettings& settings,
                      HLOCAL& image);
HRESULT FetchToDirectory(const wchar_t* path, EntryWord position, const CallSettings& settings,
                         const wchar_t* directory);

// The same for a video the host passes in memory (flag & 7 == 1): `data` is the whole file and
// `size` its length in bytes. The memory is read only until the function returns; the listing is
// built afresh each time and never cached. Its entries are named frame000.bmp, frame001.bmp, ...
// and stamped 0. A fetch from memory has no position to name its entry by (`len` is the size):
// it gives the first entry, kMemoryEntry.
inline constexpr EntryWord kMemoryEntry = 0;
HRESULT ListMemoryArchive(const void* data, uint64_t size, const CallSettings& settings,
                          UniqueHlocal& listing);
HRESULT DescribeMemoryEntry(const void* data, uint64_t size, const CallSettings& settings,
                            EntryRecord& request);
HRESULT FetchMemoryToMemory(const void* data, uint64_t size, const CallSettings& settings,
                            HLOCAL& image);
HRESULT FetchMemoryToDirectory(const void* data, uint64_t size, const CallSettings& settings,
                               const wchar_t* directory);

}  // namespace stillreel
