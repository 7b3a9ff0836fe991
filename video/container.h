// Platform-free rules on a video's container: what its first bytes say it is, and the MIME type
// Media Foundation's source resolver chooses a byte-stream handler by.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace stillreel {

// Containers whose Media Foundation sources can hold video.
enum class Container {
  kUnknown,
  kIsoMedia,  // MP4, MOV, 3GP, M4V: ISO base media boxes
  kAvi,       // RIFF "AVI "
  kAsf,       // WMV, ASF
  kMatroska,  // MKV, WebM: EBML
  kMpegTs,    // 188-byte packets
  kM2ts,      // 192-byte packets: a 4-byte time code before each TS packet
  kMpegPs,    // MPEG-1/2 program stream
};

// Hosts hand IsSupported this many bytes of the file's start (zero-padded when it is shorter).
inline constexpr size_t kHeaderBytes = 2048;

// The container the first `size` bytes of a file show; kUnknown when none matches. An ISO base
// media file whose brand names audio only (M4A, M4B, M4P) is kUnknown: it has no picture.
Container SniffContainer(const uint8_t* bytes, size_t size);

// The MIME type Windows registers the container's byte-stream handler under; empty for kUnknown.
std::wstring_view ContentTypeOf(Container container);

// The MIME type of a file name extension (".mp4", any case) as Windows registers byte-stream
// handlers; empty for an extension it does not know.
std::wstring_view ContentTypeOfExtension(std::wstring_view extension);

// The extension (".mp4") a file of the container usually has; empty for kUnknown.
std::wstring_view ExtensionOf(Container container);

}  // namespace stillreel
