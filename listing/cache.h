// The most recent listings, keyed by video path, so that fetching entries does not reopen the
// video. A ring of 16 slots under one lock, alive while the DLL is loaded.
#pragma once

#include <windows.h>

#include <optional>

#include "listing/entry_record.h"
#include "win/lock.h"
#include "win/unique.h"

namespace stillreel {

// A copy of a listing block for the caller (the whole block, terminator and slack included).
int CopyListing(HLOCAL listing, UniqueHlocal& copy);

// The entry a request names: by file name (case-insensitive) when it has one, otherwise by
// position. Copies it over the request and returns true when found.
bool MatchEntry(HLOCAL listing, EntryRecord& request);

class ListingCache {
 public:
  static constexpr int kSlots = 16;

  void Insert(const wchar_t* path, UniqueHlocal listing);
  void Clear();
  // Nothing when the path is not cached; otherwise the result code (0, 2 or 4).
  std::optional<int> LookupListing(const wchar_t* path, UniqueHlocal& copy);
  std::optional<int> LookupEntry(const wchar_t* path, EntryRecord& request);

 private:
  struct Slot {
    UniqueHlocal listing;
    wchar_t key[kPathChars] = {};
  };
  // Newest slot holding `path`, or null. The caller holds the lock.
  Slot* FindLocked(const wchar_t* path);

  CriticalSection m_lock;
  Slot m_slots[kSlots];
  int m_next = 0;
};

// The one cache of the DLL.
ListingCache& TheListingCache();

}  // namespace stillreel
