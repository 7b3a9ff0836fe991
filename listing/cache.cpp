// The most recent listings, keyed by video path, in a ring of 16 slots under one lock.
#include "listing/cache.h"

#include <cstring>

#include "listing/results.h"

namespace stillreel {

int CopyListing(HLOCAL listing, UniqueHlocal& copy) {
  const SIZE_T bytes = LocalSize(listing);
  UniqueHlocal block(LocalAlloc(LMEM_FIXED, bytes));
  if (!block) return kResultNoMemory;
  std::memcpy(block.get(), listing, bytes);
  copy = std::move(block);
  return kResultOk;
}

bool MatchEntry(HLOCAL listing, EntryRecord& request) {
  const auto* entry = static_cast<const EntryRecord*>(listing);
  const bool by_name = request.file_name[0] != L'\0';
  for (; !IsTerminator(*entry); ++entry) {
    const bool match = by_name ? lstrcmpiW(entry->file_name, request.file_name) == 0
                               : entry->position == request.position;
    if (match) {
      request = *entry;
      return true;
    }
  }
  return false;
}

ListingCache::Slot* ListingCache::FindLocked(const wchar_t* path) {
  int slot = m_next;
  for (int walked = 0; walked < kSlots; ++walked) {
    slot = (slot + kSlots - 1) % kSlots;
    if (!m_slots[slot].listing) return nullptr;  // slots fill in ring order: nothing older
    if (lstrcmpiW(m_slots[slot].key, path) == 0) return &m_slots[slot];
  }
  return nullptr;
}

void ListingCache::Insert(const wchar_t* path, UniqueHlocal listing) {
  ScopedLock lock(m_lock);
  Slot& slot = m_slots[m_next];
  slot.listing = std::move(listing);
  lstrcpynW(slot.key, path, kPathChars);
  m_next = (m_next + 1) % kSlots;
}

void ListingCache::Clear() {
  ScopedLock lock(m_lock);
  for (Slot& slot : m_slots) {
    slot.listing.reset();
    slot.key[0] = L'\0';
  }
  m_next = 0;
}

std::optional<int> ListingCache::LookupListing(const wchar_t* path, UniqueHlocal& copy) {
  ScopedLock lock(m_lock);
  const Slot* slot = FindLocked(path);
  if (slot == nullptr) return std::nullopt;
  return CopyListing(slot->listing.get(), copy);
}

std::optional<int> ListingCache::LookupEntry(const wchar_t* path, EntryRecord& request) {
  ScopedLock lock(m_lock);
  const Slot* slot = FindLocked(path);
  if (slot == nullptr) return std::nullopt;
  return MatchEntry(slot->listing.get(), request) ? kResultOk : kResultUnsupported;
}

namespace {
// Constructed with the DLL and destroyed at its shutdown, which frees what it still holds.
ListingCache g_listing_cache;
}  // namespace

ListingCache& TheListingCache() { return g_listing_cache; }

}  // namespace stillreel
