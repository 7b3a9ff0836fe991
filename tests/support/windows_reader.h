// A source reader that behaves as Windows' does where Wine's differs (see
// /work/shared/windows-mf.md): it wraps the real reader and is put in place by rewriting a
// module's imports of MFCreateSourceReaderFromByteStream and MFCreateSourceReaderFromURL, so the
// product carries no hook of its own.
#pragma once

#include <windows.h>
#include <mfidl.h>
#include <mfreadwrite.h>

#include <atomic>
#include <cstdint>
#include <string>
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
  // A byte stream that names neither its MIME type (MF_BYTESTREAM_CONTENT_TYPE) nor an origin
  // (MF_BYTESTREAM_ORIGIN_NAME) with an extension gets no reader: the source resolver has
  // nothing to choose a byte-stream handler by (MF_E_UNSUPPORTED_BYTESTREAM_TYPE).
  bool handler_by_name = false;
  // A 10-bit decoder: raw P010 frames of the inner reader's frame size (ffmpeg -pix_fmt p010le),
  // frame i standing for the inner sample stamped i / frame rate (the last one for any later).
  // Non-empty: a request for P010 is granted (the inner reader is set to NV12), the current type
  // says P010 and each sample's picture is the P010 frame, laid out as the other behaviours say
  // (aligned frames, 2D buffers with their pitch in bytes, bottom-up).
  std::string p010_frames;
  // P010 refused (MF_E_INVALIDMEDIATYPE) as by a decoder without 10-bit output: NV12 is served.
  bool refuse_p010 = false;
  // The native type as a 10-bit source states it: this subtype (GUID_NULL keeps Wine's).
  GUID native_subtype = GUID_NULL;
  // IMF2DBuffer and IMF2DBuffer2 handed out as tear-offs: COM objects of their own, each with its
  // own count, gone at their last Release. A gone one poisons itself: every later call on it is
  // counted in calls_after_release and reaches nothing.
  bool tear_off_2d = false;
  // Attributes of the stream put on the native type only (the decoded type lacks them unless
  // uint32_attributes names them too): MF_MT_VIDEO_ROTATION, MF_MT_MPEG2_PROFILE,
  // MF_MT_TRANSFER_FUNCTION, ...
  std::vector<std::pair<GUID, UINT32>> native_uint32_attributes;
  // MF_PD_DURATION this much longer than the video, as when the audio runs on; 100-ns ticks.
  int64_t extra_duration = 0;
  // A source that cannot seek: MF_SOURCE_READER_MEDIASOURCE_CHARACTERISTICS lacks
  // MFMEDIASOURCE_CAN_SEEK and SetCurrentPosition answers MF_E_INVALIDREQUEST without moving.
  bool refuse_seeks = false;
  // Plain (non-2D) buffers with this many spare rows of loud padding after the chroma plane, the
  // stride in MF_MT_DEFAULT_STRIDE.
  uint32_t plain_slack_rows = 0;
  // With placeholder_type: the placeholder has the native frame size, so only the type that
  // comes with the first sample brings the attributes above (a pixel aspect ratio).
  bool placeholder_native_size = false;
  // The Global Interface Table cookie of an IPersist living in a host's single-threaded apartment
  // (0 = none): every ReadSample first calls its GetClassID from the reader's thread, as a decoder
  // registered without a ThreadingModel, created in the main STA, is called into.
  DWORD sta_object_cookie = 0;
  // The reader answers IMFSourceReaderEx and lists a video processor for the video stream (its
  // category MFT_CATEGORY_VIDEO_PROCESSOR), which converts frame rates unless its attributes say
  // MF_XVP_DISABLE_FRC; every ReadSample while it would is counted in reads_converting_rates.
  bool video_processor = false;
  // A manual-reset event: ReadSample on a thread below normal priority (a read-ahead's) waits
  // until it is set, counted in held_reads meanwhile. Not a Windows behaviour: a test's brake.
  HANDLE hold_background_reads = nullptr;
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
extern const DocumentedBehaviour kWindowsBehaviours[19];

// What the installed double has seen since it was installed.
struct WindowsReaderCounts {
  std::atomic<long> readers{0};               // readers handed out
  std::atomic<long> from_byte_streams{0};     // of them made from a byte stream
  std::atomic<long> typed_byte_streams{0};    // of those, streams naming a MIME type
  std::atomic<long> advanced{0};              // of them created with advanced video processing
  std::atomic<long> seeks{0};                 // SetCurrentPosition calls moved back to a key frame
  std::atomic<long> positions{0};             // SetCurrentPosition calls, all
  std::atomic<long> lock_2d{0};               // Lock2D / Lock2DSize calls on the double's buffers
  std::atomic<long> type_changes{0};          // MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED raised
  std::atomic<long> progressive_requests{0};  // NV12 asked for with MF_MT_INTERLACE_MODE
  std::atomic<long> errors{0};                // MF_SOURCE_READERF_ERROR raised
  std::atomic<long> calls_after_error{0};     // calls on a reader that has raised it
  std::atomic<long> p010_requests{0};         // SetCurrentMediaType asking for P010
  std::atomic<long> p010_samples{0};          // samples served as P010
  std::atomic<long> calls_after_release{0};   // calls on a tear-off 2D interface already gone
  std::atomic<long> refused_seeks{0};         // SetCurrentPosition calls refused (refuse_seeks)
  std::atomic<long> sta_calls{0};             // GetClassID calls into the STA object answered
  std::atomic<long> sta_failure{0};           // the HRESULT of the last such call that failed
  std::atomic<long> processor_queries{0};     // GetTransformForStream calls that found it
  std::atomic<long> reads_converting_rates{0};  // samples read while it converts frame rates
  std::atomic<long> held_reads{0};  // ReadSample calls waiting on hold_background_reads now
};

// Readers the double made that are not yet released, whether or not it is still installed.
long WindowsReadersAlive();
// Frame buffers the double made that are not yet released.
long WindowsBuffersAlive();

// Puts the double in place of `module`'s imports of MFCreateSourceReaderFromByteStream and
// MFCreateSourceReaderFromURL (each where the module imports it) for as long as it lives. One at
// a time. Its destruction waits (10 s at most) until the readers it made are released: they
// depend on it.
class WindowsReaderHook {
 public:
  WindowsReaderHook(HMODULE module, WindowsBehaviour behaviour);
  ~WindowsReaderHook();
  WindowsReaderHook(const WindowsReaderHook&) = delete;
  WindowsReaderHook& operator=(const WindowsReaderHook&) = delete;

  // The byte-stream import, the one the product creates its readers by, is in place.
  bool installed() const { return m_original_stream != nullptr; }
  const WindowsReaderCounts& counts() const;

 private:
  HMODULE m_module;
  void* m_original_url = nullptr;
  void* m_original_stream = nullptr;
};

}  // namespace stillreel::test
