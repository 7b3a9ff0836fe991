// Count, seek, name and size rules of the entry table, and the settings texts.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "listing/ahead_rules.h"
#include "listing/entry_table.h"
#include "plugin/settings_rules.h"
#include "video/frame_rules.h"
#include "video/read_on.h"

namespace stillreel {
namespace {

std::wstring Name(std::wstring_view stem, int64_t index) {
  wchar_t name[200];
  const size_t length = EntryName(stem, index, name, std::size(name));
  return std::wstring(name, length);
}

std::wstring Normalised(std::wstring filter) {
  NormaliseFilter(filter.data());
  return filter;
}

TEST(EntryTable, CountFollowsPrecedenceOfSecThenDivThenDivsec) {
  EXPECT_EQ(EntryCount({10, 30, 7}, 125), 1) << "sec wins over div and divsec";
  EXPECT_EQ(EntryCount({10, 30, 0}, 125), 10) << "div wins over divsec, whatever the duration";
  EXPECT_EQ(EntryCount({0, 30, 0}, 125), 5) << "125 s every 30 s: 0, 30, 60, 90, 120";
  EXPECT_EQ(EntryCount({0, 60, 0}, 59), 1);
  EXPECT_EQ(EntryCount({0, 10, 0}, 10), 2) << "0 s and 10 s";
  EXPECT_EQ(EntryCount({0, 0, 0}, 125), 1) << "no count set: the frame at 0 s";
  EXPECT_EQ(EntryCount({-5, -1, -3}, 125), 1) << "negative values count as not set";
  EXPECT_EQ(EntryCount({-5, 30, 0}, 125), 5);
  EXPECT_EQ(EntryCount({0, 1, 0}, std::numeric_limits<int32_t>::max()),
            int64_t{std::numeric_limits<int32_t>::max()} + 1)
      << "the count itself must not overflow";
}

TEST(EntryTable, LegacySettingsMapToTheSameRules) {
  // The 32-bit build: "div" wins, otherwise "sec" is the interval; no single frame.
  const FrameSettings interval = MapLegacySettings(0, 30);
  EXPECT_EQ(interval.sec, 0);
  EXPECT_EQ(EntryCount(interval, 125), 5);
  EXPECT_EQ(SeekTime(interval, 4, 125 * kTicksPerSecond), 120 * kTicksPerSecond);
  EXPECT_EQ(EntryCount(MapLegacySettings(3, 30), 125), 3);
  EXPECT_EQ(EntryCount(MapLegacySettings(0, 0), 125), 1);
  EXPECT_EQ(EntryCount(MapLegacySettings(-2, -30), 125), 1);
}

TEST(EntryTable, ListingBytesRefusesSizesThatWrap) {
  EXPECT_EQ(ListingBytes(5, 848), std::optional<size_t>(6 * 848));
  EXPECT_EQ(ListingBytes(0, 848), std::optional<size_t>(848));
  EXPECT_FALSE(ListingBytes(-1, 848));
  EXPECT_FALSE(ListingBytes(std::numeric_limits<int64_t>::max(), 848));
  if constexpr (sizeof(size_t) == 8) {
    EXPECT_TRUE(ListingBytes(std::numeric_limits<int32_t>::max(), 828));
  } else {
    EXPECT_FALSE(ListingBytes(std::numeric_limits<int32_t>::max(), 828))
        << "a huge div must never wrap into a small block";
  }
}

TEST(EntryTable, NamesCarryAtLeastThreeDigitsAndStayUniqueWhenShortened) {
  EXPECT_EQ(Name(L"Trip", 0), L"Trip000.bmp");
  EXPECT_EQ(Name(L"Trip", 4), L"Trip004.bmp");
  EXPECT_EQ(Name(L"a.b", 0), L"a.b000.bmp");
  EXPECT_EQ(Name(L"Name", 1000), L"Name1000.bmp");

  EXPECT_EQ(FitStem(L"Clip", 9, 200), L"Clip");
  wchar_t small[12];
  EXPECT_EQ(EntryName(L"Trip", 4, small, 12), 11u);
  EXPECT_EQ(EntryName(L"Trips", 4, small, 12), 0u) << "a name that does not fit is not cut";

  // A stem ending in "1": entry 0 and entry 1000 must not both become "...1000.bmp".
  const std::wstring long_stem = std::wstring(300, L'x') + L"1";
  const std::wstring_view stem = FitStem(long_stem, 1000, 200);
  std::set<std::wstring> names;
  for (int64_t i = 0; i <= 1000; ++i) {
    const std::wstring name = Name(stem, i);
    EXPECT_LE(name.size(), 199u) << "name and terminator must fit 200 characters";
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 1001u);
  EXPECT_EQ(Name(stem, 1000).size(), 199u) << "the longest name uses the whole field";
}

TEST(EntryTable, ShorteningNeverSplitsASurrogatePair) {
  // 188 characters leave 188 for the stem with 3 digits and ".bmp" in a 196-character field.
  std::wstring stem(187, L'a');
  stem += L'\xD83C';  // a pair straddling the cut
  stem += L'\xDFAC';
  EXPECT_EQ(FitStem(stem, 0, 196), std::wstring(187, L'a'));
}

TEST(EntryTable, FileTimesBecomeUnixSecondsWithoutA2038Cut) {
  EXPECT_EQ(UnixSecondsFromFileTime(116444736000000000ull), 0);
  EXPECT_EQ(UnixSecondsFromFileTime(116444736000000000ull + 15 * 10000000ull), 15);
  // 2040-01-01 00:00:00 UTC is 2208988800 s: beyond a signed 32-bit value.
  EXPECT_EQ(UnixSecondsFromFileTime(116444736000000000ull + 2208988800ull * 10000000ull),
            2208988800);
}

TEST(FrameRules, SeekTimesFollowTheSettings) {
  const int64_t d = 60 * kTicksPerSecond;
  EXPECT_EQ(SeekTime({0, 0, 5}, 0, d), 50000000) << "sec = 5 seeks to 5 s";
  EXPECT_EQ(SeekTime({0, 0, 100}, 0, d), d) << "sec beyond the end seeks to the end";
  EXPECT_EQ(SeekTime({1, 0, 0}, 0, d), 0) << "div = 1 seeks to 0";
  EXPECT_EQ(SeekTime({3, 0, 0}, 1, d), d / 2);
  EXPECT_EQ(SeekTime({3, 0, 0}, 2, d + 1), 2 * ((d + 1) / 2)) << "division first, truncating";
  EXPECT_EQ(SeekTime({0, 10, 0}, 3, d), 30 * kTicksPerSecond);
  EXPECT_EQ(SeekTime({0, 0, 0}, 0, d), 0) << "no count set: the frame at 0 s";
  EXPECT_EQ(
      SeekTime({0, std::numeric_limits<int32_t>::max(), 0}, std::numeric_limits<int32_t>::max(), d),
      std::numeric_limits<int64_t>::max())
      << "saturates instead of overflowing";
  EXPECT_EQ(SeekTime({0, -10, -5}, 3, d), 0) << "negative settings count as not set";
}

TEST(ReadOn, OnlyForwardAlongATimeLineTheSeeksAgreeWith) {
  constexpr int64_t kFrame = 400'000;  // 25 fps
  constexpr int64_t kSecond = kTicksPerSecond;
  // A seek to `t` whose first sample is stamped `first` and whose read took one sample and 100 ms.
  const auto landed = [](int64_t t, int64_t first) {
    return ReadOnPlanner::Seek{
        .t = t, .first_stamp = first, .end = t + kFrame, .span = kFrame, .samples = 1, .ms = 100};
  };
  ReadOnPlanner fresh;
  EXPECT_FALSE(fresh.ShouldReadOn(kSecond)) << "nothing known before the first seek";

  // A seek to 10 s landed on the frame holding it (Wine) and took 100 ms.
  ReadOnPlanner planner;
  planner.SeekDone(landed(10 * kSecond, 10 * kSecond));
  EXPECT_TRUE(planner.ShouldReadOn(11 * kSecond)) << "ahead, cost not known yet: tried";
  EXPECT_FALSE(planner.ShouldReadOn(14 * kSecond)) << "too far to try before the cost is known";
  EXPECT_TRUE(planner.ShouldReadOn(14 * kSecond, ReadOnMode::kAlways));
  EXPECT_FALSE(planner.ShouldReadOn(10 * kSecond + kFrame / 2)) << "the frame delivered last";
  EXPECT_FALSE(planner.ShouldReadOn(9 * kSecond)) << "behind";
  EXPECT_FALSE(planner.ShouldReadOn(10 * kSecond + kFrame + kReadOnReach))
      << "beyond one read's reach";

  // 25 frames read on in 250 ms: 10 ms a frame against 100 ms a seek.
  planner.ReadOnDone(25, 250, 11 * kSecond + kFrame);
  EXPECT_EQ(planner.read_end(), 11 * kSecond + kFrame);
  EXPECT_TRUE(planner.ShouldReadOn(11 * kSecond + 5 * kFrame)) << "6 frames: 60 ms";
  EXPECT_FALSE(planner.ShouldReadOn(12 * kSecond)) << "25 frames: 250 ms, a seek is cheaper";
  planner.Forget();
  EXPECT_FALSE(planner.ShouldReadOn(11 * kSecond + 2 * kFrame)) << "position not known";

  // Gave up for lack of time: still trusted; off the time line: never again.
  planner.SeekDone(landed(20 * kSecond, 20 * kSecond));
  planner.ReadOnGaveUp(3, 30, false);
  planner.SeekDone(landed(20 * kSecond, 20 * kSecond));
  EXPECT_TRUE(planner.ShouldReadOn(20 * kSecond + 2 * kFrame));
  planner.ReadOnGaveUp(1, 10, true);
  planner.SeekDone(landed(20 * kSecond, 20 * kSecond));
  EXPECT_FALSE(planner.ShouldReadOn(20 * kSecond + 2 * kFrame));

  // Seeks that land stamped past the moment (late stamps, or a key frame after it), or a read
  // after a seek that hit the cap: what a seek gives cannot be read on to.
  for (const bool late : {true, false}) {
    ReadOnPlanner untrusted;
    const int64_t landing = late ? 10 * kSecond + 2 * kFrame : 10 * kSecond;
    {
      ReadOnPlanner::Seek seek = landed(10 * kSecond, landing);
      seek.capped = !late;
      seek.end = landing + kFrame;
      untrusted.SeekDone(seek);
    }
    EXPECT_FALSE(untrusted.ShouldReadOn(11 * kSecond)) << (late ? "late" : "capped");
  }
  // A seek to a key frame that read 100 samples in 100 ms: at most 1 ms a frame, so 60 frames
  // ahead (2.4 s, beyond the untried reach) are worth reading on, 150 are not.
  ReadOnPlanner key_frames;
  {
    ReadOnPlanner::Seek seek = landed(10 * kSecond, 6 * kSecond);
    seek.samples = 100;
    key_frames.SeekDone(seek);
  }
  EXPECT_TRUE(key_frames.ShouldReadOn(10 * kSecond + 60 * kFrame));
  EXPECT_FALSE(key_frames.ShouldReadOn(10 * kSecond + 150 * kFrame));

  // A seek whose read fell back to the stream's end is not judged by its landing.
  ReadOnPlanner at_end;
  {
    ReadOnPlanner::Seek seek = landed(60 * kSecond, 59 * kSecond);
    seek.judged = false;
    seek.end = -1;
    at_end.SeekDone(seek);
  }
  at_end.SeekDone(landed(10 * kSecond, 10 * kSecond));
  EXPECT_TRUE(at_end.ShouldReadOn(10 * kSecond + 2 * kFrame));
}

TEST(Settings, FilterCommasBecomeSemicolonsAndNothingElseChanges) {
  EXPECT_EQ(Normalised(L"a,b,,c"), L"a;b;;c");
  EXPECT_EQ(Normalised(L"*.MP4, *.mkv"), L"*.MP4; *.mkv");
  EXPECT_EQ(Normalised(L""), L"");
}

// Which entries are read ahead: only after two neighbouring fetches in a row, in their
// direction, never past either end, never for a host that jumps.
TEST(ReadAheadRules, OnlyAHostWalkingInOrderIsReadAheadOf) {
  struct Case {
    std::vector<int32_t> fetches;
    int32_t direction;  // after the last fetch
  };
  const Case cases[] = {
      {{0}, 0},                  // one fetch says nothing of an order
      {{0, 1}, 1},               // two neighbours in a row
      {{5, 4}, -1},              // walking back
      {{0, 1, 1}, 1},            // the same entry again keeps the walk
      {{0, 1, 3}, 0},            // a skip is a jump
      {{0, 1, 0}, -1},           // a step back turns the walk round
      {{3, 9, 0, 6, 11, 1}, 0},  // a host that jumps around
      {{3, 9, 10}, 1},           // back in order after a jump
      {{0, 1, -1}, 0},
  };
  for (const Case& c : cases) {
    BrowseOrder order;
    int32_t direction = 0;
    for (int32_t index : c.fetches) direction = order.Fetched(index);
    EXPECT_EQ(direction, c.direction) << "after " << ::testing::PrintToString(c.fetches);
  }
  BrowseOrder order;
  order.Fetched(0);
  order.Fetched(1);
  order.Forget();
  EXPECT_EQ(order.Fetched(2), 0) << "a new listing forgets the walk";
}

TEST(ReadAheadRules, WindowStopsAtEitherEndAndAtTheReaders) {
  const AheadWindow forward = WindowAfter(3, 1, 10, 3);
  EXPECT_EQ(forward.count, 3);
  EXPECT_EQ(forward.at(0), 4);
  EXPECT_EQ(forward.at(2), 6);
  EXPECT_TRUE(forward.Contains(6));
  EXPECT_FALSE(forward.Contains(3));
  EXPECT_FALSE(forward.Contains(7));
  EXPECT_EQ(WindowAfter(8, 1, 10, 3).count, 1) << "only entry 9 is left";
  EXPECT_EQ(WindowAfter(9, 1, 10, 3).count, 0) << "nothing past the last entry";
  const AheadWindow back = WindowAfter(1, -1, 10, 3);
  EXPECT_EQ(back.count, 1);
  EXPECT_EQ(back.at(0), 0);
  EXPECT_TRUE(back.Contains(0));
  EXPECT_FALSE(back.Contains(2));
  EXPECT_EQ(WindowAfter(0, -1, 10, 3).count, 0) << "nothing before the first entry";
  EXPECT_EQ(WindowAfter(4, 0, 10, 3).count, 0);
  EXPECT_FALSE(WindowAfter(4, 0, 10, 3).Contains(5));

  EXPECT_EQ(AheadReaders(1, 3), 1) << "a host that lingers leaves its one core idle";
  EXPECT_EQ(AheadReaders(2, 3), 1);
  EXPECT_EQ(AheadReaders(4, 3), 3);
  EXPECT_EQ(AheadReaders(64, 3), 3);
  EXPECT_EQ(AheadReaders(8, 1), 1);
}

}  // namespace
}  // namespace stillreel
