// Platform-free rules of a video's entry table: how many entries, their names, the block size.
#include "listing/entry_table.h"

#include <algorithm>
#include <limits>

namespace stillreel {

namespace {

constexpr std::wstring_view kExtension = L".bmp";

size_t NumberDigits(int64_t index) {
  size_t digits = 1;
  for (int64_t rest = index / 10; rest != 0; rest /= 10) ++digits;
  return digits < 3 ? 3 : digits;  // printed with at least three digits
}

bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }

}  // namespace

int64_t EntryCount(const FrameSettings& raw, int32_t duration_seconds) {
  const FrameSettings settings = NormaliseSettings(raw);
  if (settings.sec != 0) return 1;
  if (settings.div != 0) return settings.div;
  if (settings.divsec == 0) return 1;  // no count set: the frame at 0 s
  if (duration_seconds < settings.divsec) return 1;
  return int64_t{duration_seconds} / settings.divsec + 1;
}

std::optional<size_t> ListingBytes(int64_t count, size_t record_size) {
  if (count < 0 || record_size == 0) return std::nullopt;
  const uint64_t records = static_cast<uint64_t>(count) + 1;
  if (records > std::numeric_limits<size_t>::max() / record_size) return std::nullopt;
  return static_cast<size_t>(records) * record_size;
}

std::wstring_view FitStem(std::wstring_view stem, int64_t last_index, size_t field_chars) {
  const size_t suffix = NumberDigits(last_index) + kExtension.size() + 1;
  if (field_chars <= suffix) return {};
  size_t keep = field_chars - suffix;
  if (stem.size() <= keep) return stem;
  if (keep > 0 && IsHighSurrogate(stem[keep - 1])) --keep;
  return stem.substr(0, keep);
}

size_t EntryName(std::wstring_view stem, int64_t index, wchar_t* out, size_t out_chars) {
  if (index < 0) index = 0;
  const size_t digits = NumberDigits(index);
  const size_t length = stem.size() + digits + kExtension.size();
  if (length + 1 > out_chars) return 0;
  std::copy(stem.begin(), stem.end(), out);
  wchar_t* number_end = out + stem.size() + digits;
  for (wchar_t* digit = number_end; digit != out + stem.size(); index /= 10)
    *--digit = static_cast<wchar_t>(L'0' + index % 10);
  std::copy(kExtension.begin(), kExtension.end(), number_end);
  out[length] = L'\0';
  return length;
}

int64_t UnixSecondsFromFileTime(uint64_t file_time) {
  constexpr int64_t kUnixEpochTicks = 116444736000000000;  // 1970-01-01 in ticks since 1601
  return (static_cast<int64_t>(file_time) - kUnixEpochTicks) / 10000000;
}

}  // namespace stillreel
