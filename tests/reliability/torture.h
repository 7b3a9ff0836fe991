// The reliability driver (torture.exe): what its three modes share. Each mode loads the plug-in
// as a host does (support/plugin_host.h) under the watchdog (support/watchdog.h) and reports in
// whole lines that corpus.sh and soak.sh read.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "plugin_host.h"
#include "watchdog.h"

namespace stillreel::test {

// corpus: every export over each file, one line of result codes per file.
int RunCorpus(const std::vector<std::wstring>& files, const std::string& settings, int max_entries);
// threads: host threads list and fetch at once while clearer threads empty the cache.
int RunThreads(int threads, int clearers, int rounds, bool serialize_opens, bool inject_hang);
// leak: many cycles, the plug-in's holdings counted at its imports, the process measured.
int RunLeak(int cycles, int warmup, size_t margin_bytes, bool inject_leak);

// The plug-in in a scratch folder with a settings file of "key=value;key=value", watched.
// False (and said why) when it does not load.
bool LoadWatched(PluginHost& plugin);
std::string SettingsFrom(const std::string& assignments);

// Checks a listing block as a host would read it, never past its LocalSize.
bool ReadListing(HLOCAL block, std::vector<EntryRecord>& entries, std::string& why);
// A complete 32-bit BMP whose headers agree with each other and with the block's size.
bool IsCompleteBmp(const std::string& image);
uint32_t Le32(const char* p);
// The image of an entry into memory; returns the code, `image` filled on success. The block is
// freed by `free_block` (LocalFree when null), as leak mode counts what the host frees.
int FetchToMemory(PluginHost& plugin, const std::wstring& path, EntryWord position,
                  std::string& image, std::string& why, void (*free_block)(HLOCAL) = nullptr);

// Videos with known content (tests/checks/make_media.sh): every picture shows the second it was
// taken.
struct KnownVideo {
  const wchar_t* name;
  uint32_t width;
  uint32_t height;
  int seconds;
};

// Different sizes, containers and decoders, so a picture of the wrong video cannot pass.
inline constexpr KnownVideo kVideos[] = {
    {L"len10s.mp4", 320, 240, 10},
    {L"len59s.mp4", 160, 120, 59},
    {L"len10s.avi", 320, 240, 10},
    {L"wide322.mp4", 322, 240, 3},
};
inline constexpr int kDivsec = 3;  // the settings of threads and leak: a frame every 3 s

size_t EntriesOf(const KnownVideo& video);
// The name the plug-in gives an entry of a known video: stem, three digits, ".bmp".
std::wstring EntryFileName(const KnownVideo& video, size_t entry);
// Empty when `image` is entry `entry` of `video`, upright; else what is wrong.
std::string CheckPicture(const std::string& image, const KnownVideo& video, size_t entry);

}  // namespace stillreel::test
