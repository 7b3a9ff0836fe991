// The checks and known videos the torture modes share; see torture.h.
#include <cstdio>
#include <cstring>

#include "torture.h"

namespace stillreel::test {

bool LoadWatched(PluginHost& plugin) {
  if (!plugin.loaded()) {
    Say("SETUP the plug-in %s does not load: %lu", Utf8(BuiltPlugin()).c_str(), GetLastError());
    return false;
  }
  WatchPlugin(plugin.module());
  return true;
}

std::string SettingsFrom(const std::string& assignments) {
  std::string lines;
  for (char c : assignments) lines += c == ';' ? std::string("\r\n") : std::string(1, c);
  return Settings(lines);
}

bool ReadListing(HLOCAL block, std::vector<EntryRecord>& entries, std::string& why) {
  const SIZE_T bytes = LocalSize(block);
  const auto* records = static_cast<const EntryRecord*>(block);
  const SIZE_T capacity = bytes / sizeof(EntryRecord);
  for (SIZE_T i = 0;; ++i) {
    if (i >= capacity) {
      why += "listing-without-terminator;";
      return false;
    }
    const EntryRecord& r = records[i];
    if (IsTerminator(r)) break;
    const bool name_ended = wmemchr(r.file_name, L'\0', stillreel::kRecordTextChars) != nullptr;
    const size_t length = name_ended ? wcslen(r.file_name) : 0;
    if (std::strcmp(r.method, "MF") != 0 || r.position != i || !name_ended || length < 5 ||
        _wcsicmp(r.file_name + length - 4, L".bmp") != 0 || r.file_size != r.compressed_size ||
        r.file_size < 54 || (r.file_size - 54) % 4 != 0 || r.path[0] != L'\0') {
      why += "malformed-entry;";
      return false;
    }
    entries.push_back(r);
  }
  if (entries.empty()) why += "empty-listing;";
  return !entries.empty();
}

uint32_t Le32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

bool IsCompleteBmp(const std::string& image) {
  if (image.size() < 54 || image[0] != 'B' || image[1] != 'M') return false;
  const uint64_t width = Le32(&image[18]);
  const uint64_t height = Le32(&image[22]);
  const uint32_t bytes = Le32(&image[2]);
  return bytes <= image.size() && Le32(&image[10]) == 54 && Le32(&image[14]) == 40 &&
         image[28] == 32 && width * height * 4 + 54 == bytes;
}

int FetchToMemory(PluginHost& plugin, const std::wstring& path, EntryWord position,
                  std::string& image, std::string& why, void (*free_block)(HLOCAL)) {
  HLOCAL handle = kUntouched;
  const int code =
      Call("GetFileW(memory)", plugin.GetFileW, path.c_str(), static_cast<LONG_PTR>(position),
           reinterpret_cast<wchar_t*>(&handle), kOutputToMemory, nullptr, LONG_PTR{0});
  image.clear();
  if (code == 0) {
    if (handle == kUntouched || handle == nullptr) {
      why += "no-image-handle;";
      return code;
    }
    image.assign(static_cast<const char*>(handle), LocalSize(handle));
    if (free_block)
      free_block(handle);
    else
      LocalFree(handle);
  } else if (handle != kUntouched) {
    why += "failed-fetch-touched-handle;";
  }
  return code;
}

size_t EntriesOf(const KnownVideo& video) { return video.seconds / kDivsec + 1; }

// The second entry `i` shows: its moment, or the last frame's second when that lies at or past
// the end.
int MomentOf(const KnownVideo& video, size_t i) {
  const int t = static_cast<int>(i) * kDivsec;
  return t < video.seconds ? t : video.seconds - 1;
}

std::wstring EntryFileName(const KnownVideo& video, size_t entry) {
  std::wstring stem = video.name;
  stem = stem.substr(0, stem.find_last_of(L'.'));
  wchar_t number[16];
  swprintf(number, 16, L"%03zu.bmp", entry);
  return stem + number;
}

std::string CheckPicture(const std::string& image, const KnownVideo& video, size_t entry) {
  const Moment moment = ReadMoment(image);
  char text[160];
  if (!moment.valid || moment.width != video.width || moment.height != video.height) {
    snprintf(text, sizeof(text), "entry %zu: %zu bytes, %ux%u instead of %ux%u", entry,
             image.size(), moment.width, moment.height, video.width, video.height);
    return text;
  }
  if (moment.second != MomentOf(video, entry) || !moment.upright) {
    snprintf(text, sizeof(text), "entry %zu shows second %d%s instead of %d", entry, moment.second,
             moment.upright ? "" : " upside down", MomentOf(video, entry));
    return text;
  }
  return {};
}

}  // namespace stillreel::test
