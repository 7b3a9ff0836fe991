// Shared helpers of the Wine-run test programs; see test_support.h.
#include "test_support.h"

#include <cstdlib>
#include <cwchar>
#include <vector>

namespace stillreel::test {

namespace {

void RemoveTree(const std::wstring& dir) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring full = dir + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(full);
      } else {
        SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(full.c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  SetFileAttributesW(dir.c_str(), FILE_ATTRIBUTE_NORMAL);
  RemoveDirectoryW(dir.c_str());
}

}  // namespace

std::wstring Media(const std::wstring& name) {
  const wchar_t* root = _wgetenv(L"STILLREEL_MEDIA");
  return std::wstring(root ? root : L".") + L"\\" + name;
}

std::vector<std::wstring> MediaClips() {
  std::wstring root = Media(L"");
  root.pop_back();  // the separator
  std::vector<std::wstring> clips;
  for (const std::wstring& name : FolderContents(root)) {
    if (name.empty() || name[0] == L'.') continue;  // a clip being made
    if (name.size() > 5 && name.compare(name.size() - 5, 5, L".bgra") == 0) continue;
    clips.push_back(name);
  }
  return clips;
}

ScratchDir::ScratchDir() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  static LONG counter = 0;
  for (;;) {
    m_path = std::wstring(temp) + L"stillreel-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
             std::to_wstring(InterlockedIncrement(&counter));
    if (CreateDirectoryW(m_path.c_str(), nullptr)) break;
  }
}

ScratchDir::~ScratchDir() { RemoveTree(m_path); }

void WriteTextFile(const std::wstring& path, const std::string& text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}

std::string ReadWholeFile(const std::wstring& path) {
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes(GetFileSize(file, nullptr), '\0');
  DWORD read = 0;
  ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
  CloseHandle(file);
  bytes.resize(read);
  return bytes;
}

bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::wstring> FolderContents(const std::wstring& dir) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0)
      names.push_back(found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

std::string Settings(const std::string& lines) { return "[SystemSetting]\r\n" + lines + "\r\n"; }

std::string SettingsText(const char* div, const char* divsec, const char* sec, const char* ext) {
  std::string text = "[SystemSetting]\r\n";
  if (div) text += std::string("div=") + div + "\r\n";
  if (divsec) text += std::string("divsec=") + divsec + "\r\n";
  if (sec) text += std::string("sec=") + sec + "\r\n";
  if (ext) text += std::string("ext=") + ext + "\r\n";
  return text;
}

std::string Utf8(const std::wstring& text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(bytes > 0 ? bytes - 1 : 0, '\0');
  if (bytes > 1)
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), bytes, nullptr, nullptr);
  return out;
}

namespace {

uint32_t LittleEndian32(const std::string& bytes, size_t offset) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(bytes[offset + i]);
  return value;
}

// Mean of the green channel over a block of pixels, rows counted from the picture's top.
double MeanGreen(const std::string& bmp, uint32_t width, uint32_t height, uint32_t x0, uint32_t y0,
                 uint32_t x1, uint32_t y1) {
  double sum = 0;
  for (uint32_t y = y0; y < y1; ++y)
    for (uint32_t x = x0; x < x1; ++x)
      sum += static_cast<uint8_t>(bmp[54 + ((height - 1 - y) * width + x) * 4 + 1]);
  return sum / ((x1 - x0) * (y1 - y0));
}

}  // namespace

Moment ReadMoment(const std::string& bmp) {
  Moment moment;
  if (bmp.size() < 54 || bmp[0] != 'B' || bmp[1] != 'M') return moment;
  moment.width = LittleEndian32(bmp, 18);
  moment.height = LittleEndian32(bmp, 22);
  const uint32_t w = moment.width;
  const uint32_t h = moment.height;
  if (w < 8 || h < 8 || bmp.size() != 54 + size_t{w} * h * 4) return moment;
  moment.valid = true;
  // The gray level of the lower right quarter: luma 16 + 3 s, turned into RGB by the studio
  // range equations (green = 298 * (Y - 16) / 256 for gray).
  const double green = MeanGreen(bmp, w, h, w / 2, h / 2, w - 2, h - 2);
  moment.second = static_cast<int>((green * 256.0 / 298.0) / 3.0 + 0.5);
  const double top_left = MeanGreen(bmp, w, h, 1, 1, w / 4 - 1, h / 4 - 1);
  const double bottom_left = MeanGreen(bmp, w, h, 1, h - h / 4 + 1, w / 4 - 1, h - 1);
  moment.upright = top_left > 240 && bottom_left < 240;
  return moment;
}

}  // namespace stillreel::test
