// Answers a listing or entry request for a video, from the cache or by building the listing.
#include "listing/lookup.h"

#include <windows.h>

#include "listing/cache.h"
#include "listing/entry_table.h"
#include "listing/results.h"
#include "listing/synthesis.h"
#include "video/probe.h"
#include "win/result.h"

namespace stillreel {

namespace {

// Seconds since 1970 of the file's last write; 0 when the time cannot be read.
int64_t LastWriteSeconds(HANDLE file) {
  FILETIME written{};
  if (FAILED(SR_TRACED_WIN32(GetFileTime(file, nullptr, nullptr, &written)))) return 0;
  return UnixSecondsFromFileTime(uint64_t{written.dwHighDateTime} << 32 | written.dwLowDateTime);
}

// Checks that the file can be read at `offset`, takes its time stamp, probes the video once and
// builds its listing. The 8 bytes read are not examined: the probe decides.
int BuildListing(const wchar_t* path, uint32_t offset, SettingsReader settings,
                 const MediaLimits& limits, UniqueHlocal& listing) {
  int64_t timestamp = 0;
  {
    // Sharing everything, as the reader's byte stream does: listing never stands in the way of
    // the user renaming, deleting or saving over the video.
    UniqueFile file(CreateFileW(path, GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    if (!file) {
      (void)SR_TRACED(HRESULT_FROM_WIN32(GetLastError()));
      return kResultReadError;
    }
    // The low 32 bits as a signed distance from the start: 2^31 and above cannot be reached.
    const LONG distance = static_cast<LONG>(offset);
    if (distance < 0) return kResultReadError;
    if (SetFilePointer(file.get(), distance, nullptr, FILE_BEGIN) != static_cast<DWORD>(distance))
      return kResultReadError;
    char header[8];
    DWORD read = 0;
    if (FAILED(SR_TRACED_WIN32(ReadFile(file.get(), header, sizeof(header), &read, nullptr))))
      return kResultReadError;
    if (read < sizeof(header)) return kResultUnsupported;
    timestamp = LastWriteSeconds(file.get());
  }
  VideoFacts facts;
  if (!ProbeVideoWithin(path, limits, facts)) return kResultUnsupported;
  return SynthesiseListing(path, facts, timestamp, settings(), listing);
}

// The memory's listing: the same probe and synthesis as a file's, with no file to stamp it.
int BuildMemoryListing(LentMemory* memory, SettingsReader settings, const MediaLimits& limits,
                       UniqueHlocal& listing) {
  if (memory == nullptr) return kResultNoMemory;
  // As for a file: fewer than 8 bytes is no video.
  if (memory->size() < 8) return kResultUnsupported;
  VideoFacts facts;
  if (!ProbeVideoWithin(kMemoryVideoName, limits, facts, memory)) return kResultUnsupported;
  return SynthesiseListing(kMemoryVideoName, facts, 0, settings(), listing);
}

}  // namespace

int ListMemory(LentMemory* memory, SettingsReader settings, const MediaLimits& limits,
               UniqueHlocal& listing) {
  return BuildMemoryListing(memory, settings, limits, listing);
}

int LookupMemoryEntry(LentMemory* memory, SettingsReader settings, const MediaLimits& limits,
                      EntryRecord& request) {
  UniqueHlocal listing;
  if (const int result = BuildMemoryListing(memory, settings, limits, listing)) return result;
  return MatchEntry(listing.get(), request) ? kResultOk : kResultRefused;
}

int LookupListing(const wchar_t* path, uint32_t offset, SettingsReader settings,
                  const MediaLimits& limits, UniqueHlocal& copy) {
  ListingCache& cache = TheListingCache();
  if (const auto cached = cache.LookupListing(path, copy)) return *cached;
  UniqueHlocal listing;
  if (const int result = BuildListing(path, offset, settings, limits, listing)) return result;
  // Copied before the cache takes the listing, so a clear on another thread cannot free it
  // under us. The listing stays cached even when the copy fails.
  const int result = CopyListing(listing.get(), copy);
  cache.Insert(path, std::move(listing));
  return result;
}

int LookupEntry(const wchar_t* path, uint32_t offset, SettingsReader settings,
                const MediaLimits& limits, EntryRecord& request) {
  ListingCache& cache = TheListingCache();
  if (const auto cached = cache.LookupEntry(path, request)) return *cached;
  UniqueHlocal listing;
  if (const int result = BuildListing(path, offset, settings, limits, listing)) return result;
  const bool found = MatchEntry(listing.get(), request);
  cache.Insert(path, std::move(listing));
  return found ? kResultOk : kResultRefused;
}

}  // namespace stillreel
