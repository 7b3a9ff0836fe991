// The listing cache: ring eviction, newest-first case-insensitive lookup, both lookup modes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "listing/cache.h"
#include "listing/results.h"

namespace stillreel {
namespace {

// A listing of `count` entries named "<tag>000.bmp" and up.
UniqueHlocal MakeListing(int count, const std::wstring& tag) {
  UniqueHlocal block(LocalAlloc(LMEM_ZEROINIT, (count + 1) * sizeof(EntryRecord)));
  auto* entries = static_cast<EntryRecord*>(block.get());
  for (int i = 0; i < count; ++i) {
    std::memcpy(entries[i].method, "MF", 3);
    entries[i].position = i;
    entries[i].file_size = 54 + i;
    const std::wstring name = tag + std::to_wstring(100 + i).substr(0) + L".bmp";
    lstrcpyW(entries[i].file_name, name.c_str());
  }
  return block;
}

std::wstring Key(int i) { return L"C:\\videos\\clip" + std::to_wstring(i) + L".mp4"; }

TEST(ListingCache, SeventeenthInsertionEvictsTheOldest) {
  ListingCache cache;
  for (int i = 0; i < 17; ++i) cache.Insert(Key(i).c_str(), MakeListing(1, L"v"));
  UniqueHlocal copy;
  EXPECT_FALSE(cache.LookupListing(Key(0).c_str(), copy)) << "the first listing was evicted";
  for (int i = 1; i < 17; ++i) {
    const auto hit = cache.LookupListing(Key(i).c_str(), copy);
    ASSERT_TRUE(hit) << "listing " << i << " should still be cached";
    EXPECT_EQ(*hit, kResultOk);
    EXPECT_EQ(LocalSize(copy.get()), 2 * sizeof(EntryRecord));
  }
  cache.Clear();
  EXPECT_FALSE(cache.LookupListing(Key(16).c_str(), copy)) << "nothing survives a clear";
}

TEST(ListingCache, LookupIsCaseInsensitiveAndNewestWins) {
  ListingCache cache;
  cache.Insert(L"C:\\Videos\\Trip.MP4", MakeListing(2, L"old"));
  cache.Insert(L"C:\\other.mp4", MakeListing(1, L"x"));
  cache.Insert(L"c:\\videos\\trip.mp4", MakeListing(3, L"new"));
  UniqueHlocal copy;
  ASSERT_TRUE(cache.LookupListing(L"C:\\VIDEOS\\TRIP.mp4", copy));
  EXPECT_EQ(LocalSize(copy.get()), 4 * sizeof(EntryRecord)) << "the newer listing of the path";
}

TEST(ListingCache, EntryModeSelectsByNameOrPosition) {
  ListingCache cache;
  cache.Insert(L"a.mp4", MakeListing(4, L"A"));
  cache.Insert(L"b.mp4", MakeListing(3, L"B"));
  cache.Insert(L"empty.mp4", MakeListing(0, L"E"));

  EntryRecord request{};
  request.position = 3;
  ASSERT_EQ(cache.LookupEntry(L"a.mp4", request), std::optional<int>(kResultOk));
  EXPECT_EQ(request.position, 3u);
  EXPECT_STREQ(request.file_name, L"A103.bmp");

  request = EntryRecord{};
  request.position = 3;
  EXPECT_EQ(cache.LookupEntry(L"b.mp4", request), std::optional<int>(kResultUnsupported))
      << "position 3 of a listing of three";

  request = EntryRecord{};
  request.position = 0;
  lstrcpyW(request.file_name, L"b101.BMP");
  ASSERT_EQ(cache.LookupEntry(L"B.MP4", request), std::optional<int>(kResultOk));
  EXPECT_EQ(request.position, 1u) << "the name wins over the position";

  request = EntryRecord{};
  EXPECT_EQ(cache.LookupEntry(L"empty.mp4", request), std::optional<int>(kResultUnsupported));
  EXPECT_FALSE(cache.LookupEntry(L"missing.mp4", request));
}

}  // namespace
}  // namespace stillreel
