// Opening a video through the Media Foundation source reader, shared by the probe and the
// extraction.
#include "video/reader.h"

#include <mfapi.h>

#include "win/media.h"
#include "win/result.h"

namespace stillreel {

using Microsoft::WRL::ComPtr;

HRESULT OpenNv12Reader(const wchar_t* path, ComPtr<IMFSourceReader>& reader) {
  SR_RETURN_HR_IF(E_POINTER, path == nullptr);
  SR_RETURN_IF_FAILED(MFCreateSourceReaderFromURL(path, nullptr, &reader));
  SR_RETURN_IF_FAILED(reader->SetStreamSelection(MF_SOURCE_READER_ALL_STREAMS, FALSE));
  // Fails when there is no video stream at all (an audio-only file).
  SR_RETURN_IF_FAILED(reader->SetStreamSelection(MF_SOURCE_READER_FIRST_VIDEO_STREAM, TRUE));
  ComPtr<IMFMediaType> requested;
  SR_RETURN_IF_FAILED(MFCreateMediaType(&requested));
  SR_RETURN_IF_FAILED(requested->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video));
  SR_RETURN_IF_FAILED(requested->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12));
  // The reader inserts whatever decoder turns the stream into NV12, or fails.
  SR_RETURN_IF_FAILED(
      reader->SetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, nullptr, requested.Get()));
  return S_OK;
}

HRESULT ReadDuration(IMFSourceReader* reader, int64_t& ticks) {
  ticks = 0;
  PropVariant duration;
  SR_RETURN_IF_FAILED(reader->GetPresentationAttribute(MF_SOURCE_READER_MEDIASOURCE, MF_PD_DURATION,
                                                       duration.get()));
  // Sources report VT_UI8; the bits are the same read as signed.
  ticks = duration.value().hVal.QuadPart;
  return S_OK;
}

HRESULT ReadFrameSize(IMFSourceReader* reader, ComPtr<IMFMediaType>& current, FrameSize& size) {
  SR_RETURN_IF_FAILED(reader->GetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, &current));
  UINT64 packed = 0;
  SR_RETURN_IF_FAILED(current->GetUINT64(MF_MT_FRAME_SIZE, &packed));
  size.width = static_cast<uint32_t>(packed >> 32);
  size.height = static_cast<uint32_t>(packed);
  return S_OK;
}

}  // namespace stillreel
