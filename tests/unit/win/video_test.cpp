// Probe and frame extraction against the generated media (tests/checks/make_media.sh), under Wine.
// The moment videos show their time as gray levels beside a white marker in the top-left corner,
// so a delivered picture tells which moment it is and whether it is upright and unsheared.
#include <windows.h>
#include <objbase.h>
#include <mfapi.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "direct_video.h"
#include "test_support.h"
#include "video/bands.h"
#include "video/open_video.h"
#include "video/probe.h"
#include "video/reader.h"
#include "win/media.h"

namespace stillreel {
namespace {

using test::Media;
using test::Utf8;

// True when the calling thread's COM apartment is still initialised (a probe left it so).
bool ComLeftInitialised() {
  const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (SUCCEEDED(hr)) CoUninitialize();
  return hr != S_OK;
}

uint32_t U32(const uint8_t* block, size_t offset) {
  uint32_t value;
  std::memcpy(&value, block + offset, sizeof value);
  return value;
}

struct Extracted {
  HRESULT status = E_FAIL;
  uint32_t bytes = 0;
  std::vector<uint8_t> block;  // a copy of the image block; the block itself is freed
  uint32_t width() const { return U32(block.data(), 18); }
  uint32_t height() const { return U32(block.data(), 22); }
  // Blue, green, red, alpha of a pixel, `row` counted from the top of the picture.
  const uint8_t* At(uint32_t x, uint32_t row) const {
    return block.data() + 54 + ((height() - 1 - row) * width() + x) * 4;
  }
};

Extracted Extract(const std::wstring& name, FrameSettings settings, int32_t index = 0) {
  Extracted out;
  UniqueHlocal image;
  out.status = ExtractFrame(Media(name).c_str(), index, settings, image, out.bytes);
  if (out.status == S_OK) {
    const auto* data = static_cast<const uint8_t*>(image.get());
    out.block.assign(data, data + out.bytes);
  }
  return out;
}

// Blue, green and red of gray luma 16 + step, as the BT.601 conversion gives them.
int GrayOf(int step) { return (298 * step + 128) >> 8; }

// Every pixel shows the moment `tenths` (see tests/checks/make_media.sh): in the 4 x 4 grid, white
// in the top-left cell, the tenth's gray in the bottom-left cell, the second's gray elsewhere, each
// within 2 (neighbouring seconds are 3 or more apart), alpha 255. Pixels within 2 of the left
// cells' edges are left out for the codecs' blur. A wrong moment, a flipped, sheared or
// mis-coloured picture, or a stray last column fails on its first wrong pixel.
testing::AssertionResult ShowsMoment(const Extracted& picture, int tenths) {
  if (picture.status != S_OK) return testing::AssertionFailure() << "no picture";
  const double cell_w = picture.width() / 4.0;
  const double cell_h = picture.height() / 4.0;
  const auto close_to = [](double value, double edge) {
    return value + 2 >= edge && value < edge + 2;
  };
  for (uint32_t row = 0; row < picture.height(); ++row) {
    for (uint32_t x = 0; x < picture.width(); ++x) {
      int expected = GrayOf(3 * (tenths / 10));
      if (x < cell_w + 2) {
        if (close_to(x, cell_w) || close_to(row, cell_h) || close_to(row, 3 * cell_h)) continue;
        if (row < cell_h) expected = 255;
        if (row >= 3 * cell_h) expected = GrayOf(20 * (tenths % 10));
      }
      const uint8_t* p = picture.At(x, row);
      if (p[3] != 255 || std::abs(p[0] - expected) > 2 || std::abs(p[1] - expected) > 2 ||
          std::abs(p[2] - expected) > 2) {
        return testing::AssertionFailure()
               << "pixel x " << x << ", row " << row << " from the top is BGRA " << int{p[0]} << ","
               << int{p[1]} << "," << int{p[2]} << "," << int{p[3]} << "; gray " << expected
               << " expected";
      }
    }
  }
  return testing::AssertionSuccess();
}

// Whole seconds of a usable video, else 0; `size`, when given, receives the probed frame size
// only when the video is usable.
int32_t ProbedSeconds(const wchar_t* path, FrameSize* size = nullptr) {
  VideoFacts facts;
  if (!ProbeVideo(path, facts)) return 0;
  if (size != nullptr) *size = facts.size;
  return facts.seconds;
}

TEST(Probe, MeasuresVideosOfAtLeastOneWholeSecond) {
  const struct {
    const wchar_t* name;
    int32_t seconds;
    FrameSize size;
  } cases[] = {{L"len0900ms.mp4", 0, {0, 0}},   {L"len1s.mp4", 1, {160, 120}},
               {L"len59s.mp4", 59, {160, 120}}, {L"len60s.mp4", 60, {320, 240}},
               {L"Trip.mp4", 125, {1280, 720}}, {L"wide322.mp4", 3, {322, 240}},
               {L"odd161.avi", 3, {161, 120}},  {L"len10s.avi", 10, {320, 240}},
               {L"len10s.wmv", 10, {320, 240}}, {L"len10s.mkv", 10, {320, 240}},
               {L"a.b.mp4", 10, {320, 240}},    {L"\x52D5\x753B.mp4", 10, {320, 240}}};
  for (const auto& c : cases) {
    const std::wstring path = Media(c.name);
    FrameSize size;
    EXPECT_EQ(ProbedSeconds(path.c_str(), &size), c.seconds) << Utf8(c.name);
    EXPECT_EQ(IsSupportedVideo(path.c_str()), c.seconds != 0) << Utf8(c.name);
    EXPECT_EQ(size.width, c.size.width) << Utf8(c.name);
    EXPECT_EQ(size.height, c.size.height) << Utf8(c.name);
  }
  EXPECT_FALSE(ComLeftInitialised());
}

TEST(Probe, RefusesFilesWithoutAVideoStream) {
  for (const wchar_t* name :
       {L"notvideo.mp4", L"notvideo.txt", L"audio_only.m4a", L"seven_bytes.mp4", L"missing.mp4"}) {
    FrameSize size{7, 9};
    EXPECT_EQ(ProbedSeconds(Media(name).c_str(), &size), 0) << Utf8(name);
    EXPECT_EQ(size.width, 7u) << Utf8(name) << ": size must be left as it was";
    EXPECT_EQ(size.height, 9u) << Utf8(name);
  }
  EXPECT_EQ(ProbedSeconds(nullptr), 0);
  EXPECT_FALSE(ComLeftInitialised());
}

// A host thread may already be in the multithreaded apartment: the probe works there and leaves
// that apartment as it found it. An ordinary thread probes at the same time.
TEST(Probe, WorksBesideAThreadInTheMultithreadedApartment) {
  int32_t seconds = -1;
  HRESULT after = E_FAIL;
  std::thread multithreaded([&] {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return;
    seconds = ProbedSeconds(Media(L"len10s.mp4").c_str());
    after = CoInitializeEx(nullptr, COINIT_MULTITHREADED);  // S_FALSE: still initialised
    if (SUCCEEDED(after)) CoUninitialize();
    CoUninitialize();
  });
  EXPECT_EQ(ProbedSeconds(Media(L"len60s.mp4").c_str()), 60);
  multithreaded.join();
  EXPECT_EQ(seconds, 10);
  EXPECT_EQ(after, S_FALSE) << "the probe undid an apartment it did not create";
}

// The header's layout is the BMP assembly's own business; here: the frame's size, in a fixed
// block whose size is the one reported.
// A tone-mapped frame's bands: each run once, on threads that keep the caller's priority (a
// read-ahead stays below normal), all ended when Run returns.
TEST(Extract, BandsRunOnceEachAtTheCallersPriority) {
  struct Seen {
    LONG runs = 0;
    LONG ended = 0;
    int priority = 0;
    DWORD thread = 0;
  };
  std::vector<Seen> seen(11);
  const ThreadBands bands;
  std::thread caller([&] {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
    bands.Run(
        static_cast<uint32_t>(seen.size()),
        [](void* context, uint32_t band) {
          Seen& mine = (*static_cast<std::vector<Seen>*>(context))[band];
          InterlockedIncrement(&mine.runs);
          mine.priority = GetThreadPriority(GetCurrentThread());
          mine.thread = GetCurrentThreadId();
          Sleep(20);  // long enough for the others to start beside it
          InterlockedIncrement(&mine.ended);
        },
        &seen);
  });
  caller.join();
  int threads = 0;
  for (size_t band = 0; band < seen.size(); ++band) {
    EXPECT_EQ(seen[band].runs, 1) << band;
    EXPECT_EQ(seen[band].ended, 1) << band;
    EXPECT_EQ(seen[band].priority, THREAD_PRIORITY_BELOW_NORMAL) << band;
    bool first = true;
    for (size_t before = 0; before < band; ++before)
      first &= seen[before].thread != seen[band].thread;
    threads += first ? 1 : 0;
  }
  if (bands.Width() > 1) {
    EXPECT_GT(threads, 1) << "the bands ran one after another";
  }
}

TEST(Extract, DeliversTheImageInAFixedBlockOfTheReportedSize) {
  UniqueHlocal image;
  uint32_t bytes = 0;
  ASSERT_EQ(ExtractFrame(Media(L"wide322.mp4").c_str(), 0, {0, 0, 1}, image, bytes), S_OK);
  EXPECT_EQ(bytes, 54u + 322 * 240 * 4);
  EXPECT_EQ(LocalSize(image.get()), bytes);
  EXPECT_EQ(LocalLock(image.get()), image.get()) << "not a fixed block";
  LocalUnlock(image.get());
  const auto* block = static_cast<const uint8_t*>(image.get());
  EXPECT_EQ(U32(block, 2), bytes) << "bfSize";
  EXPECT_EQ(U32(block, 18), 322u) << "biWidth";
  EXPECT_EQ(U32(block, 22), 240u) << "biHeight";
  EXPECT_FALSE(ComLeftInitialised());
}

// Entries land on their moments in the 60 s video; seeks at or past the end (t = D, or an
// interval beyond the video) give the last frame, at 59.9 s, instead of nothing.
TEST(Extract, EntriesShowTheirMoments) {
  const struct {
    FrameSettings settings;
    int32_t index;
    int tenths;
    const char* what;
  } cases[] = {{{0, 0, 5}, 0, 50, "sec=5"},
               {{0, 10, 0}, 2, 200, "divsec=10, third entry"},
               {{1, 0, 0}, 0, 0, "div=1"},
               {{3, 0, 0}, 0, 0, "div=3, first entry"},
               {{3, 0, 0}, 1, 300, "div=3, middle entry"},
               {{3, 0, 0}, 2, 599, "div=3, last entry at D"},
               {{0, 0, 100}, 0, 599, "sec beyond the video"},
               {{0, 10, 0}, 7, 599, "divsec=10, entry at 70 s"}};
  for (const auto& c : cases) {
    EXPECT_TRUE(ShowsMoment(Extract(L"len60s.mp4", c.settings, c.index), c.tenths)) << c.what;
  }
}

// Widths that are not a multiple of 4 make the decoder pad its rows; every container's decoder
// lays its buffer out its own way.
TEST(Extract, PicturesComeOutUprightAndUnsheared) {
  const struct {
    const wchar_t* name;
    int32_t sec;
    int tenths;
  } cases[] = {{L"wide322.mp4", 1, 10}, {L"odd161.avi", 2, 20}, {L"odd161.avi", 3, 29},
               {L"len10s.avi", 3, 30},  {L"len10s.wmv", 4, 40}, {L"len10s.mkv", 6, 60},
               {L"Trip.mp4", 100, 360}};
  for (const auto& c : cases) {
    EXPECT_TRUE(ShowsMoment(Extract(c.name, {0, 0, c.sec}), c.tenths))
        << Utf8(c.name) << " at " << c.sec << " s";
  }
}

TEST(Extract, RefusesWhatItCannotDecodeAndLeavesTheOutputs) {
  for (const wchar_t* name : {L"notvideo.mp4", L"audio_only.m4a", L"missing.mp4"}) {
    UniqueHlocal image(LocalAlloc(LMEM_FIXED, 1));
    const HLOCAL before = image.get();
    uint32_t bytes = 77;
    EXPECT_TRUE(FAILED(ExtractFrame(Media(name).c_str(), 0, {1, 0, 0}, image, bytes)))
        << Utf8(name);
    EXPECT_EQ(image.get(), before) << Utf8(name);
    EXPECT_EQ(bytes, 77u) << Utf8(name);
  }
  EXPECT_FALSE(ComLeftInitialised());
}

// The type's display attributes as a Windows source sets them from the container; an untagged
// type keeps every default, so its frames convert exactly as before they were read.
TEST(PictureOptions, ComeFromTheTypesDisplayAttributes) {
  MediaFoundationScope media_foundation;
  ASSERT_HRESULT_SUCCEEDED(media_foundation.status());
  constexpr UINT32 kAbsent = 0xFFFFFFFF;
  const struct {
    UINT32 rotation, matrix, range;
    UINT64 aspect;
    Rotation turn;
    YuvMatrix yuv;
    YuvRange levels;
    uint32_t num, den;
  } cases[] = {
      {kAbsent, kAbsent, kAbsent, 0, Rotation::k0, YuvMatrix::kBt601, YuvRange::kLimited, 1, 1},
      {MFVideoRotationFormat_90, MFVideoTransferMatrix_BT709, MFNominalRange_16_235, 0,
       Rotation::k90, YuvMatrix::kBt709, YuvRange::kLimited, 1, 1},
      {MFVideoRotationFormat_180, MFVideoTransferMatrix_BT601, MFNominalRange_0_255,
       (UINT64{32} << 32) | 27, Rotation::k180, YuvMatrix::kBt601, YuvRange::kFull, 32, 27},
      {MFVideoRotationFormat_270, MFVideoTransferMatrix_BT2020_10, kAbsent, 0, Rotation::k270,
       YuvMatrix::kBt2020, YuvRange::kLimited, 1, 1},
      // Angles off the quarter turns, SMPTE 240M and unknown ranges fall back to the defaults.
      {45, MFVideoTransferMatrix_BT2020_12, MFNominalRange_48_208, 0, Rotation::k0,
       YuvMatrix::kBt2020, YuvRange::kLimited, 1, 1},
      {0, MFVideoTransferMatrix_SMPTE240M, MFNominalRange_Unknown, 0, Rotation::k0,
       YuvMatrix::kBt601, YuvRange::kLimited, 1, 1},
  };
  int row = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(row++);
    Microsoft::WRL::ComPtr<IMFMediaType> type;
    ASSERT_HRESULT_SUCCEEDED(MFCreateMediaType(&type));
    if (c.rotation != kAbsent) type->SetUINT32(MF_MT_VIDEO_ROTATION, c.rotation);
    if (c.matrix != kAbsent) type->SetUINT32(MF_MT_YUV_MATRIX, c.matrix);
    if (c.range != kAbsent) type->SetUINT32(MF_MT_VIDEO_NOMINAL_RANGE, c.range);
    if (c.aspect != 0) type->SetUINT64(MF_MT_PIXEL_ASPECT_RATIO, c.aspect);
    for (bool keep : {false, true}) {
      const PictureOptions options = ReadPictureOptions(type.Get(), keep);
      EXPECT_EQ(options.rotation, c.turn);
      EXPECT_EQ(options.matrix, c.yuv);
      EXPECT_EQ(options.range, c.levels);
      EXPECT_EQ(options.aspect_num, c.num);
      EXPECT_EQ(options.aspect_den, c.den);
      EXPECT_EQ(options.keep_stored_pixels, keep);
    }
  }
}

}  // namespace
}  // namespace stillreel
