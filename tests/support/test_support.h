// Shared helpers of the Wine-run test programs: the generated media, scratch folders, settings
// files, and what a picture of a moment video shows.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace stillreel::test {

// A generated test file (see tests/checks/make_media.sh), by name.
std::wstring Media(const std::wstring& name);

// Every generated clip by name, videos and the files that are none alike; the reference pictures
// (.bgra) left out.
std::vector<std::wstring> MediaClips();

// A new empty folder under the temporary folder, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::wstring& path() const { return m_path; }
  std::wstring operator/(const std::wstring& name) const { return m_path + L"\\" + name; }

 private:
  std::wstring m_path;
};

// Writes `text` (ASCII) as the whole content of `path`.
void WriteTextFile(const std::wstring& path, const std::string& text);

// The bytes of a file, empty when it cannot be read.
std::string ReadWholeFile(const std::wstring& path);

bool FileExists(const std::wstring& path);

// Names of the files and folders in a folder.
std::vector<std::wstring> FolderContents(const std::wstring& dir);

// The [SystemSetting] section with these lines ("div=3\r\next=*.avi").
std::string Settings(const std::string& lines);
// The [SystemSetting] section with these keys; a key given as nullptr is left out.
std::string SettingsText(const char* div, const char* divsec, const char* sec,
                         const char* ext = nullptr);

std::string Utf8(const std::wstring& text);

// What a BMP image of a moment video (tests/checks/make_media.sh) shows: the second it was taken at
// (its gray level) and whether its white marker sits in the top-left corner (it is upright).
struct Moment {
  bool valid = false;  // a 32-bit bottom-up BMP with a sane header
  uint32_t width = 0;
  uint32_t height = 0;
  int second = -1;
  bool upright = false;
};
Moment ReadMoment(const std::string& bmp);

}  // namespace stillreel::test
