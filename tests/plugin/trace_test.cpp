// The opt-in failure trace: with trace=1 under [Debug] each failing call on the way to a result
// code reaches OutputDebugStringW in the documented form; without it nothing is written.
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "import_hook.h"
#include "plugin_host.h"

namespace stillreel::test {
namespace {

std::mutex g_lines_lock;
std::vector<std::wstring> g_lines;

void WINAPI CaptureDebugString(const wchar_t* text) {
  std::lock_guard<std::mutex> lock(g_lines_lock);
  g_lines.emplace_back(text);
}

std::vector<std::wstring> TakeLines() {
  std::lock_guard<std::mutex> lock(g_lines_lock);
  return std::exchange(g_lines, {});
}

TEST(Trace, WritesEachFailingCallOnlyWhenAskedFor) {
  PluginHost host("[SystemSetting]\r\ndiv=2\r\n");
  ASSERT_TRUE(host.loaded());
  ASSERT_TRUE(PatchImport(host.module(), "KERNEL32.dll", "OutputDebugStringW",
                          reinterpret_cast<void*>(&CaptureDebugString)));
  const std::wstring not_video = Media(L"notvideo.mp4");
  HLOCAL listing = nullptr;

  EXPECT_EQ(host.GetArchiveInfoW(not_video.c_str(), 0, 0, &listing), 2);
  EXPECT_TRUE(TakeLines().empty()) << "the trace is off unless the settings file asks for it";

  host.WriteSettings("[SystemSetting]\r\ndiv=2\r\n[Debug]\r\ntrace=1\r\n");
  EXPECT_EQ(host.GetArchiveInfoW(not_video.c_str(), 0, 0, &listing), 2);
  const std::vector<std::wstring> lines = TakeLines();
  ASSERT_FALSE(lines.empty()) << "a refused video must say which call failed";
  for (const std::wstring& line : lines) {
    // "Stillreel: <call> failed 0x........ (<file>:<line>)\n"
    const size_t failed = line.find(L" failed 0x");
    ASSERT_EQ(line.rfind(L"Stillreel: ", 0), 0u) << Utf8(line);
    ASSERT_NE(failed, std::wstring::npos) << Utf8(line);
    EXPECT_EQ(line.find(L" (", failed), failed + 18) << Utf8(line);
    // The file is named from the project's root, as in the source tree.
    const std::wstring where = line.substr(failed + 20);
    EXPECT_TRUE(where.rfind(L"video/", 0) == 0 || where.rfind(L"listing/", 0) == 0 ||
                where.rfind(L"plugin/", 0) == 0 || where.rfind(L"win/", 0) == 0)
        << Utf8(line);
    EXPECT_NE(where.find(L":"), std::wstring::npos) << Utf8(line);
  }
  EXPECT_NE(lines.front().find(L"MFCreateSourceReaderFromByteStream"), std::wstring::npos)
      << Utf8(lines.front());

  // A good video still lists, and nothing is traced for it.
  ASSERT_EQ(host.List(Media(L"len10s.mp4")).size(), 2u);
  EXPECT_TRUE(TakeLines().empty());
}

// Hosts call IsSupported first and stop at 0 (every host in hosts.md), so it must say why as the
// listing does; so must the calls that name one entry.
TEST(Trace, EveryExportSaysWhyItRefusesAFile) {
  PluginHost host("[SystemSetting]\r\ndiv=2\r\n[Debug]\r\ntrace=1\r\n");
  ASSERT_TRUE(host.loaded());
  ASSERT_TRUE(PatchImport(host.module(), "KERNEL32.dll", "OutputDebugStringW",
                          reinterpret_cast<void*>(&CaptureDebugString)));
  const std::wstring not_video = Media(L"notvideo.mp4");
  // A zero-padded header buffer, as hosts read the file's first 2,048 bytes into 4,096.
  std::vector<char> header(4096, 0);
  const auto dw = reinterpret_cast<LONG_PTR>(header.data());
  struct Case {
    const char* call;
    std::function<int()> refuse;
    int expected;
  };
  EntryRecord info{};
  HLOCAL image = nullptr;
  const Case cases[] = {
      {"IsSupportedW with the file's name",
       [&] { return host.IsSupportedW(not_video.c_str(), dw); }, 0},
      {"IsSupportedW with a name only (memory-mapping hosts)",
       [&] { return host.IsSupportedW(L".mp4", dw); }, 0},
      {"GetFileInfoW",
       [&] { return host.GetFileInfoW(not_video.c_str(), 0, L"notvideo000.bmp", 0, &info); }, 2},
      {"GetFileW",
       [&] {
         return host.GetFileW(not_video.c_str(), 0, reinterpret_cast<wchar_t*>(&image),
                              kOutputToMemory, nullptr, 0);
       },
       2},
  };
  for (const Case& c : cases) {
    (void)TakeLines();
    EXPECT_EQ(c.refuse(), c.expected) << c.call;
    const std::vector<std::wstring> lines = TakeLines();
    EXPECT_FALSE(lines.empty()) << c.call << " refused a file without a trace line";
    for (const std::wstring& line : lines) {
      EXPECT_EQ(line.rfind(L"Stillreel: ", 0), 0u) << c.call << ": " << Utf8(line);
      EXPECT_NE(line.find(L" failed 0x"), std::wstring::npos) << c.call << ": " << Utf8(line);
    }
  }
}

}  // namespace
}  // namespace stillreel::test
