// A console host that drives an archive plug-in the way an image viewer does: information
// texts, support test, listing, and every entry fetched into memory or files.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "host/plugin_loader.h"

using namespace stillreel;

namespace {

std::string Utf8(const std::wstring& text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(bytes > 0 ? bytes - 1 : 0, '\0');
  if (bytes > 1)
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), bytes, nullptr, nullptr);
  return out;
}

std::wstring FromAnsi(const char* text) {
  const int chars = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  std::wstring out(chars > 0 ? chars - 1 : 0, L'\0');
  if (chars > 1) MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), chars);
  return out;
}

std::string ToAnsi(const std::wstring& text) {
  const int bytes = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(bytes > 0 ? bytes - 1 : 0, '\0');
  if (bytes > 1)
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, out.data(), bytes, nullptr, nullptr);
  return out;
}

// Loads the plug-in, saying why when it cannot.
bool LoadPlugin(LoadedPlugin& plugin, const wchar_t* path) {
  if (plugin.Load(path)) return true;
  std::fprintf(stderr, "cannot load %s with all ten exports (error %lu)\n", Utf8(path).c_str(),
               GetLastError());
  return false;
}

bool Report(const char* call, int code) {
  std::printf("%s: %d (%s)\n", call, code, ResultMeaning(code));
  return code == 0;
}

// A listing copied out of the host's block, wide or ANSI, freed as a host frees it.
struct Entry {
  unsigned long long position = 0;
  unsigned long long size = 0;
  long long timestamp = 0;
  std::wstring name;
};

bool List(const LoadedPlugin& plugin, const std::wstring& video, bool ansi,
          std::vector<Entry>& entries) {
  // A viewer hands over the first bytes of the file it is asking about.
  char head[2048] = {};
  if (HANDLE file = CreateFileW(video.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
      file != INVALID_HANDLE_VALUE) {
    DWORD read = 0;
    ReadFile(file, head, sizeof(head), &read, nullptr);
    CloseHandle(file);
  }
  const LONG_PTR bytes = reinterpret_cast<LONG_PTR>(head);
  const int supported = ansi ? plugin->IsSupported(ToAnsi(video).c_str(), bytes)
                             : plugin->IsSupportedW(video.c_str(), bytes);
  std::printf("%s: %s\n", ansi ? "IsSupported" : "IsSupportedW",
              supported ? "supported" : "not supported");
  if (!supported) return false;

  HLOCAL listing = nullptr;
  const int code = ansi ? plugin->GetArchiveInfo(ToAnsi(video).c_str(), 0, 0, &listing)
                        : plugin->GetArchiveInfoW(video.c_str(), 0, 0, &listing);
  if (!Report(ansi ? "GetArchiveInfo" : "GetArchiveInfoW", code)) {
    if (listing) LocalFree(listing);
    return false;
  }
  if (ansi) {
    for (auto* r = static_cast<const EntryRecordA*>(listing); r->method[0]; ++r)
      entries.push_back({r->position, r->file_size, r->timestamp, FromAnsi(r->file_name)});
  } else {
    for (auto* r = static_cast<const EntryRecord*>(listing); r->method[0]; ++r)
      entries.push_back({r->position, r->file_size, r->timestamp, r->file_name});
  }
  LocalFree(listing);
  std::printf("%8s  %-40s %12s  %s\n", "position", "name", "size", "timestamp (UTC)");
  for (const Entry& e : entries) {
    char when[32] = "-";
    const time_t t = static_cast<time_t>(e.timestamp);
    if (const tm* utc = std::gmtime(&t))
      std::strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S", utc);
    std::printf("%8llu  %-40s %12llu  %s\n", e.position, Utf8(e.name).c_str(), e.size, when);
  }
  std::printf("%zu entries\n", entries.size());
  return true;
}

bool WriteBlock(const std::wstring& path, HLOCAL block) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const DWORD bytes = static_cast<DWORD>(LocalSize(block));
  DWORD written = 0;
  const BOOL ok = WriteFile(file, block, bytes, &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes;
}

int Extract(const LoadedPlugin& plugin, const std::wstring& video, const std::wstring& out,
            bool memory, bool ansi) {
  std::vector<Entry> entries;
  if (!List(plugin, video, ansi, entries)) return 1;
  CreateDirectoryW(out.c_str(), nullptr);
  int failures = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    const DWORD start = GetTickCount();
    int code = 0;
    std::wstring target = out + L"\\" + e.name;
    if (memory) {
      HLOCAL image = nullptr;
      code = ansi ? plugin->GetFile(ToAnsi(video).c_str(), e.position,
                                    reinterpret_cast<char*>(&image), kOutputToMemory, nullptr, 0)
                  : plugin->GetFileW(video.c_str(), e.position, reinterpret_cast<wchar_t*>(&image),
                                     kOutputToMemory, nullptr, 0);
      if (code == 0) {
        if (LocalSize(image) != e.size) {
          std::printf("  image of %llu bytes, listing says %llu\n",
                      static_cast<unsigned long long>(LocalSize(image)), e.size);
          ++failures;
        }
        if (!WriteBlock(target, image)) {
          std::printf("  cannot write %s\n", Utf8(target).c_str());
          ++failures;
        }
        LocalFree(image);
      }
    } else {
      DeleteFileW(target.c_str());  // the plug-in never overwrites; a rerun starts afresh
      std::wstring dir = out;
      std::string dir_ansi = ToAnsi(out);
      code =
          ansi ? plugin->GetFile(ToAnsi(video).c_str(), e.position, dir_ansi.data(), 0, nullptr, 0)
               : plugin->GetFileW(video.c_str(), e.position, dir.data(), 0, nullptr, 0);
    }
    std::printf("[%zu/%zu] %s: %d (%s) in %lu ms\n", i + 1, entries.size(), Utf8(target).c_str(),
                code, ResultMeaning(code), GetTickCount() - start);
    if (code != 0) ++failures;
  }
  std::printf("%zu entries, %d failed\n", entries.size(), failures);
  return failures == 0 ? 0 : 1;
}

int Usage() {
  std::fprintf(stderr,
               "usage: sphost info PLUGIN\n"
               "       sphost list PLUGIN VIDEO [--ansi]\n"
               "       sphost extract PLUGIN VIDEO OUTDIR [--memory|--file] [--ansi]\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return Usage();
  const std::wstring command = argv[1];
  bool ansi = false;
  bool memory = true;
  std::vector<std::wstring> args;
  for (int i = 2; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--ansi")
      ansi = true;
    else if (arg == L"--memory")
      memory = true;
    else if (arg == L"--file")
      memory = false;
    else
      args.push_back(arg);
  }
  LoadedPlugin plugin;
  if (!LoadPlugin(plugin, args[0].c_str())) return 1;
  if (command == L"info" && args.size() == 1) {
    int failures = 0;
    for (int i = 0; i < 4; ++i) {
      wchar_t text[260] = {};
      const int length = plugin->GetPluginInfoW(i, text, 260);
      std::printf("%d: %s (length %d)\n", i, Utf8(text).c_str(), length);
      if (length <= 0 && i != 2) ++failures;
    }
    return failures == 0 ? 0 : 1;
  }
  if (command == L"list" && args.size() == 2) {
    std::vector<Entry> entries;
    return List(plugin, args[1], ansi, entries) ? 0 : 1;
  }
  if (command == L"extract" && args.size() == 3)
    return Extract(plugin, args[1], args[2], memory, ansi);
  return Usage();
}
