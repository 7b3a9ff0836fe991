// The plug-in through its exports under a source reader that behaves as Windows' does
// (windows_reader.h), put in place of the DLL's import, and the same under Wine's reader.
#include <objbase.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "plugin_host.h"
#include "windows_reader.h"

namespace stillreel::test {
namespace {

std::unique_ptr<WindowsReaderHook> HookIf(bool windows, WindowsBehaviour behaviour) {
  if (!windows) return nullptr;
  auto hook =
      std::make_unique<WindowsReaderHook>(GetModuleHandleW(L"Stillreel.sph"), std::move(behaviour));
  EXPECT_TRUE(hook->installed());
  return hook;
}

const char* ReaderName(bool windows) { return windows ? "Windows-behaviour reader" : "Wine's"; }

uint32_t U32(const std::string& block, size_t offset) {
  uint32_t value = 0;
  if (block.size() >= offset + 4) std::memcpy(&value, block.data() + offset, sizeof value);
  return value;
}

// A 1080-line H.264 frame decoded as 1920x1088 with an aperture, a placeholder type until the
// first frame and a 2D buffer: the entry is the 1920x1080 picture, as listed, and matches
// ffmpeg's decoding of the same frame with the project's tolerance (tests/host_cycle.sh: at
// most 5 levels, mean below 1.0). Padding shown anywhere would break the tolerance there.
TEST(PluginWindows, FullHdFrameIsThePictureAsListedAndMatchesFfmpeg) {
  constexpr uint32_t kWidth = 1920, kHeight = 1080;
  const std::string reference = ReadWholeFile(Media(L"hd1080_frame10.bgra"));
  ASSERT_EQ(reference.size(), size_t{kWidth} * kHeight * 4);
  for (bool windows : {true, false}) {
    PluginHost host(SettingsText(nullptr, nullptr, "1").c_str());  // sec=1: frame 10 at 10 fps
    ASSERT_TRUE(host.loaded());
    WindowsBehaviour behaviour;
    behaviour.aligned_frames = true;
    behaviour.placeholder_type = true;
    behaviour.pitch_alignment = 64;
    const auto hook = HookIf(windows, behaviour);
    const std::wstring video = Media(L"hd1080.mp4");
    const auto entries = host.List(video);
    ASSERT_EQ(entries.size(), 1u) << ReaderName(windows);
    const std::string block = host.Fetch(video, entries[0].position);
    ASSERT_EQ(block.size(), size_t{entries[0].file_size}) << ReaderName(windows);
    ASSERT_EQ(U32(block, 18), kWidth) << ReaderName(windows);
    ASSERT_EQ(U32(block, 22), kHeight) << ReaderName(windows);
    int max_difference = 0;
    uint64_t total = 0;
    for (uint32_t row = 0; row < kHeight; ++row) {
      const auto* ours = reinterpret_cast<const uint8_t*>(block.data()) + 54 +
                         size_t{kHeight - 1 - row} * kWidth * 4;
      const auto* theirs =
          reinterpret_cast<const uint8_t*>(reference.data()) + size_t{row} * kWidth * 4;
      for (uint32_t i = 0; i < kWidth * 4; ++i) {
        if (i % 4 == 3) continue;  // alpha
        const int difference = std::abs(int{ours[i]} - int{theirs[i]});
        max_difference = std::max(max_difference, difference);
        total += difference;
      }
    }
    const double mean = static_cast<double>(total) / (double{kWidth} * kHeight * 3);
    EXPECT_LE(max_difference, 5) << ReaderName(windows);
    EXPECT_LT(mean, 1.0) << ReaderName(windows);
    if (hook) {
      EXPECT_GT(hook->counts().lock_2d, 0);
      EXPECT_GT(hook->counts().type_changes, 0);
    }
  }
}

// The number numbered60s.mp4 shows (tests/make_media.sh) at the sampling row of its bit blocks;
// -1 when a block is neither black nor white.
int FrameNumber(const std::string& block) {
  const uint32_t width = U32(block, 18), height = U32(block, 22);
  if (width != 328 || height != 232 || block.size() != 54 + size_t{width} * height * 4) return -1;
  int number = 0;
  for (uint32_t bit = 0; bit < 10; ++bit) {
    const size_t x = (2 * bit + 1) * width / 20;
    const auto level = static_cast<uint8_t>(block[54 + ((height - 1 - 58) * width + x) * 4 + 1]);
    if (level > 64 && level < 192) return -1;
    number = number * 2 + (level >= 192 ? 1 : 0);
  }
  return number;
}

// "exact" in the settings file: absent or 1 reads on to the frame due (div=12 on 60 s at 10 fps:
// 54, 109, 163, ...), 0 keeps the key frame the seek lands on (0, 100, 100, ...).
TEST(PluginWindows, ExactSettingChoosesBetweenTheMomentAndTheKeyFrame) {
  const std::wstring video = Media(L"numbered60s.mp4");
  const struct {
    const char* settings;
    int frames[4];
  } cases[] = {{"[SystemSetting]\r\ndiv=12\r\n", {0, 54, 109, 163}},
               {"[SystemSetting]\r\ndiv=12\r\nexact=1\r\n", {0, 54, 109, 163}},
               {"[SystemSetting]\r\ndiv=12\r\nexact=0\r\n", {0, 0, 100, 100}}};
  for (const auto& c : cases) {
    PluginHost host(c.settings);
    const auto hook = HookIf(true, AllWindowsBehaviours(100'000'000));
    const auto entries = host.List(video);
    ASSERT_EQ(entries.size(), 12u);
    for (int i = 0; i < 4; ++i) {
      const std::string block = host.Fetch(video, entries[i].position);
      EXPECT_EQ(block.size(), size_t{entries[i].file_size}) << c.settings;
      EXPECT_NEAR(FrameNumber(block), c.frames[i], 1) << c.settings << "entry " << i;
    }
  }
}

// A class object of the host's apartment, as a decoder registered without a ThreadingModel
// ("InprocServer32") is of the main STA: calls into it from another apartment run on the host's
// thread, and only while that thread lets COM calls in.
class StaObject final : public IPersist {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (iid != __uuidof(IUnknown) && iid != __uuidof(IPersist)) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    *object = static_cast<IPersist*>(this);
    return S_OK;
  }
  // Lives on the test's stack, longer than any reference.
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP GetClassID(CLSID* clsid) override {
    served_on = GetCurrentThreadId();
    *clsid = CLSID_NULL;
    return S_OK;
  }
  DWORD served_on = 0;
};

long g_app_messages = 0;  // WM_APP messages the host's window procedure saw

LRESULT CALLBACK CountingWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_APP) ++g_app_messages;
  return DefWindowProcW(window, message, wparam, lparam);
}

// A viewer calls from its GUI thread, a single-threaded apartment with windows (PPx, NeeView;
// /work/shared/hosts.md). While that thread waits for a listing and a fetch, the reader's calls
// into its apartment from our worker are served, so both answer in normal time instead of at the
// 5-s limit; the viewer's own posted window message is still queued afterwards, not run inside
// the plug-in's call.
TEST(PluginWindows, AHostInASingleThreadedApartmentServesCallsIntoItWhileItWaits) {
  struct {
    size_t entries = 0;
    std::string block;
    double ms = 0;
    DWORD host_thread = 0, served_on = 0;
    long sta_calls = 0, sta_failure = 0, dispatched = 0;
    bool still_queued = false;
    int walked = 0;
  } seen;
  std::thread host_thread([&] {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    {
      seen.host_thread = GetCurrentThreadId();
      PluginHost host(Settings("sec=5\r\ntimeout=5\r\n").c_str());
      StaObject object;
      Microsoft::WRL::ComPtr<IGlobalInterfaceTable> table;
      ASSERT_TRUE(SUCCEEDED(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr,
                                             CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&table))));
      DWORD cookie = 0;
      ASSERT_TRUE(SUCCEEDED(table->RegisterInterfaceInGlobal(&object, IID_IPersist, &cookie)));
      WNDCLASSW window_class{};
      window_class.lpfnWndProc = CountingWindowProc;
      window_class.hInstance = GetModuleHandleW(nullptr);
      window_class.lpszClassName = L"StillreelStaHostTest";
      RegisterClassW(&window_class);
      HWND window = CreateWindowW(L"StillreelStaHostTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, GetModuleHandleW(nullptr), nullptr);
      ASSERT_NE(window, nullptr);
      {
        WindowsBehaviour behaviour;
        behaviour.sta_object_cookie = cookie;
        WindowsReaderHook hook(host.module(), behaviour);
        ASSERT_TRUE(hook.installed());
        ASSERT_TRUE(PostMessageW(window, WM_APP, 0, 0));
        const auto start = std::chrono::steady_clock::now();
        seen.entries = host.List(Media(L"len10s.mp4")).size();
        seen.block = host.Fetch(Media(L"len10s.mp4"), 0);
        seen.ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        seen.sta_calls = hook.counts().sta_calls;
        seen.sta_failure = hook.counts().sta_failure;
        seen.dispatched = g_app_messages;
        MSG message;
        seen.still_queued = PeekMessageW(&message, window, WM_APP, WM_APP, PM_REMOVE) != FALSE;
        // Reading ahead: entries 2 and 3 are read by workers of their own while this thread
        // waits for them, and their readers call in here too.
        host.WriteSettings(Settings("div=4\r\nreadahead=1\r\ntimeout=5\r\n"));
        if (host.List(Media(L"len10s.mp4")).size() == 4) {
          for (EntryWord i = 0; i < 4; ++i)
            seen.walked += !host.Fetch(Media(L"len10s.mp4"), i).empty();
        }
      }
      seen.served_on = object.served_on;
      (void)table->RevokeInterfaceFromGlobal(cookie);
      DestroyWindow(window);
      UnregisterClassW(L"StillreelStaHostTest", GetModuleHandleW(nullptr));
    }
    CoUninitialize();
  });
  host_thread.join();
  EXPECT_EQ(seen.entries, 1u);
  EXPECT_EQ(ReadMoment(seen.block).second, 5) << "the fetch's picture";
  EXPECT_LT(seen.ms, 3000) << "listing and fetch waited for the limit";
  EXPECT_EQ(seen.walked, 4) << "a fetch waiting for an entry read ahead let no call in";
  EXPECT_GT(seen.sta_calls, 0) << "the reader called into the host's apartment; failure 0x"
                               << std::hex << seen.sta_failure;
  EXPECT_EQ(seen.served_on, seen.host_thread) << "served on the host's thread";
  EXPECT_EQ(seen.dispatched, 0) << "the host's posted message ran inside the plug-in's call";
  EXPECT_TRUE(seen.still_queued) << "the host's posted message is still queued";
}

}  // namespace
}  // namespace stillreel::test
