// torture corpus: every export over each file of a broken-media corpus, one line of result codes
// per file (read by corpus.sh).
#include <cstring>

#include "torture.h"

namespace stillreel::test {
namespace {

std::string Codes(const std::vector<int>& codes) {
  if (codes.empty()) return "none";
  std::string text;
  for (int c : codes) {
    if (!text.empty()) text += ',';
    text += std::to_string(c);
  }
  return text;
}

// Two kinds of findings. Broken: a rule of the interface does not hold (a code outside the
// documented set, a handle filled on failure, a malformed listing or picture, a file left behind
// or changed). Unsteady: two calls that rest on the same answers of the platform disagree, which
// only the platform answering differently from one call to the next explains.
struct Findings {
  std::string broken;
  std::string unsteady;
};

bool RunCorpusFile(PluginHost& plugin, int index, const std::wstring& path, int max_entries) {
  BeginSubject(index);
  Findings f;
  std::vector<int> all_codes;

  // A viewer hands over the first bytes of the file it asks about.
  char head[2048] = {};
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD read = 0;
    ReadFile(file, head, sizeof(head), &read, nullptr);
    CloseHandle(file);
  }
  const int supported =
      Call("IsSupportedW", plugin.IsSupportedW, path.c_str(), reinterpret_cast<LONG_PTR>(head));
  if (supported != 0 && supported != 1) f.broken += "support-not-0-or-1;";

  HLOCAL listing = kUntouched;
  const int listed =
      Call("GetArchiveInfoW", plugin.GetArchiveInfoW, path.c_str(), LONG_PTR{0}, 0u, &listing);
  all_codes.push_back(listed);
  std::vector<EntryRecord> entries;
  if (listed == 0) {
    if (listing == nullptr || listing == kUntouched) {
      f.broken += "no-listing-handle;";
    } else {
      ReadListing(listing, entries, f.broken);
      LocalFree(listing);
    }
  } else if (listing != nullptr) {
    f.broken += "failed-listing-left-handle;";
  }
  // The listing and the support test rest on the same probe.
  if ((supported == 1) != (listed == 0)) f.unsteady += "support-and-listing-disagree;";

  // By the first entry's name (or a name no video has when there is no listing).
  EntryRecord record{};
  const std::wstring name = entries.empty() ? L"none000.bmp" : entries[0].file_name;
  const int described = Call("GetFileInfoW", plugin.GetFileInfoW, path.c_str(), LONG_PTR{0},
                             name.c_str(), 0u, &record);
  all_codes.push_back(described);
  if (!entries.empty() && described == 0) {
    if (std::memcmp(&record, &entries[0], sizeof(record)) != 0) f.unsteady += "entry-differs;";
  } else if (described != listed) {
    f.unsteady += "entry-info-code-differs;";
  }

  // Up to a few entries into memory: the first, the last and those before it.
  std::vector<int> fetched;
  std::string first_image;
  std::vector<size_t> picks;
  for (size_t i = 0; i < entries.size() && static_cast<int>(picks.size()) < max_entries; ++i)
    picks.push_back(i == 0 ? 0 : entries.size() - i);
  if (entries.empty()) picks.push_back(0);
  for (size_t pick : picks) {
    std::string image;
    const int code = FetchToMemory(plugin, path, pick, image, f.broken);
    fetched.push_back(code);
    all_codes.push_back(code);
    if (entries.empty()) {
      if (code != listed) f.unsteady += "fetch-code-differs;";
    } else if (code == 0) {
      if (!IsCompleteBmp(image))
        f.broken += "image-malformed;";
      else if (Le32(&image[2]) != entries[pick].file_size)
        f.unsteady += "image-size-not-as-listed;";
      if (pick == 0) first_image = image;
    } else if (code != 2 && code != 4) {
      // From a cached listing only the extraction can fail.
      f.broken += "fetch-code-unexpected;";
    }
  }

  // Entry 0 as a file: the same picture as in memory, or no file at all.
  ScratchDir out;
  std::wstring dir = out.path();
  const int exported = Call("GetFileW(file)", plugin.GetFileW, path.c_str(), LONG_PTR{0},
                            dir.data(), 0u, nullptr, LONG_PTR{0});
  all_codes.push_back(exported);
  const std::vector<std::wstring> names = FolderContents(dir);
  if (exported == 0) {
    const std::string bytes = names.size() == 1 ? ReadWholeFile(out / names[0]) : std::string();
    if (names.size() != 1 || !IsCompleteBmp(bytes)) {
      f.broken += "exported-file-malformed;";
    } else if (entries.empty() || names[0] != entries[0].file_name) {
      f.unsteady += "exported-file-name-not-as-listed;";
    } else if (!first_image.empty() && bytes != first_image) {
      f.unsteady += "file-and-memory-differ;";
    }
  } else if (!names.empty()) {
    f.broken += "failed-export-left-a-file;";
  }

  for (int code : all_codes)
    if (!IsDocumentedCode(code)) f.broken += "undocumented-code-" + std::to_string(code) + ";";

  const ULONGLONG took = GetTickCount64() - SubjectStart();
  EndSubject();
  const char* verdict = !f.broken.empty() ? "BAD" : !f.unsteady.empty() ? "FLAKY" : "OK";
  const std::string why = f.broken + f.unsteady;
  Say("RESULT %d %s sup=%d list=%d n=%zu info=%d get=%s file=%d ms=%llu%s%s", index, verdict,
      supported, listed, entries.size(), described, Codes(fetched).c_str(), exported, took,
      why.empty() ? "" : " why=", why.c_str());
  return f.broken.empty();
}

}  // namespace

int RunCorpus(const std::vector<std::wstring>& files, const std::string& settings,
              int max_entries) {
  PluginHost plugin(SettingsFrom(settings).c_str());
  if (!LoadWatched(plugin)) return kExitSetup;
  bool sound = true;
  for (size_t i = 0; i < files.size(); ++i) {
    Say("BEGIN %zu", i);
    sound = RunCorpusFile(plugin, static_cast<int>(i), files[i], max_entries) && sound;
  }
  Say("DONE %zu", files.size());
  return sound ? 0 : kExitBroken;
}

}  // namespace stillreel::test
