// A source reader that behaves as Windows' does where Wine's differs (see
// /work/shared/windows-mf.md): it wraps the real reader and is put in place by rewriting a
// module's import of MFCreateSourceReaderFromURL, so the product carries no hook of its own.
#pragma once

#include <windows.h>
#include <mfidl.h>
#include <mfreadwrite.h>

#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

namespace stillreel::test {

// Each behaviour, switchable; all off, the double passes everything through.
struct WindowsBehaviour {
  // Seeks land on the key frame at or before t: the clip's key frames fall every `key_interval`
  // 100-ns ticks (as the test made it, ffmpeg -g); 0 = exact seeks as Wine's.
  int64_t key_interval = 0;
  // MF_MT_FRAME_SIZE aligned up to 16 in both directions, the picture in
  // MF_MT_MINIMUM_DISPLAY_APERTURE, the padding rows and columns filled with kLoud.
  bool aligned_frames = false;
  // Until the first sample the current type is a placeholder (1920x1088 NV12, no aperture);
  // the first sample comes with MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED.
  bool placeholder_type = false;
  // Samples in one IMF2DBuffer2 whose pitch is the coded width rounded up to this many bytes,
  // chroma at pitch x coded height, current length beyond the planes; 0 = plain buffers.
  uint32_t pitch_alignment = 0;
  // With pitch_alignment: rows stored bottom-up, Lock2D giving a negative pitch.
  bool bottom_up = false;
  // Attributes a Windows source sets from the container, put on the real current type
  // (MF_MT_DEFAULT_STRIDE, MF_MT_VIDEO_ROTATION, MF_MT_YUV_MATRIX, ...).
  std::vector<std::pair<GUID, UINT32>> uint32_attributes;
  std::vector<std::pair<GUID, UINT64>> uint64_attributes;
  // MF_MT_INTERLACE_MODE on the native type (0 = absent, as Wine leaves it); a Windows source
  // states MFVideoInterlace_MixedInterlaceOrProgressive for H.264, which it cannot know better.
  UINT32 native_interlace_mode = 0;
  // SetCurrentMediaType refuses NV12 (MF_E_INVALIDMEDIATYPE) unless the reader was created with
  // MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING.
  bool nv12_needs_advanced_processing = false;
  // Creation with MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING fails (before Windows 8).
  bool refuse_advanced_processing = false;
  // After this many samples ReadSample reports MF_SOURCE_READERF_ERROR (0 = never); every call
  // on the reader after that is counted in calls_after_error.
  int error_after_samples = 0;
};

// Every behaviour on, for a clip with key frames every `key_interval` ticks, 2D pitch 64.
WindowsBehaviour AllWindowsBehaviours(int64_t key_interval);

// The loud NV12 colour of the padding: pure red (BT.601 studio range).
inline constexpr uint8_t kLoudY = 81, kLoudCb = 90, kLoudCr = 240;

// One line per behaviour and the Microsoft page that documents it.
struct DocumentedBehaviour {
  const char* behaviour;
  const char* page;
};
extern const DocumentedBehaviour kWindowsBehaviours[8];

// What the installed double has seen since it was installed.
struct WindowsReaderCounts {
  std::atomic<long> readers{0};               // readers handed out
  std::atomic<long> advanced{0};              // of them created with advanced video processing
  std::atomic<long> seeks{0};                 // SetCurrentPosition calls moved back to a key frame
  std::atomic<long> positions{0};             // SetCurrentPosition calls, all
  std::atomic<long> lock_2d{0};               // Lock2D / Lock2DSize calls on the double's buffers
  std::atomic<long> type_changes{0};          // MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED raised
  std::atomic<long> progressive_requests{0};  // NV12 asked for with MF_MT_INTERLACE_MODE
  std::atomic<long> errors{0};                // MF_SOURCE_READERF_ERROR raised
  std::atomic<long> calls_after_error{0};     // calls on a reader that has raised it
};

// Readers the double made that are not yet released, whether or not it is still installed.
long WindowsReadersAlive();
// Frame buffers the double made that are not yet released.
long WindowsBuffersAlive();

// Puts the double in place of `module`'s import of MFCreateSourceReaderFromURL for as long as
// it lives. One at a time. Its destruction waits (10 s at most) until the readers it made are
// released: they depend on it.
class WindowsReaderHook {
 public:
  WindowsReaderHook(HMODULE module, WindowsBehaviour behaviour);
  ~WindowsReaderHook();
  WindowsReaderHook(const WindowsReaderHook&) = delete;
  WindowsReaderHook& operator=(const WindowsReaderHook&) = delete;

  bool installed() const { return m_original != nullptr; }
  const WindowsReaderCounts& counts() const;

 private:
  HMODULE m_module;
  void* m_original = nullptr;
};

}  // namespace stillreel::test
