// Platform-free rules on a video's container: what its first bytes say it is, and the MIME type
// Media Foundation's source resolver chooses a byte-stream handler by.
#include "video/container.h"

#include <cstring>

namespace stillreel {

namespace {

bool At(const uint8_t* bytes, size_t size, size_t offset, const char* text, size_t length) {
  return size >= offset + length && std::memcmp(bytes + offset, text, length) == 0;
}

uint32_t BigEndian32(const uint8_t* bytes) {
  return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

// The first box of an ISO base media file: a size (0: to the end, 1: a 64-bit size follows, else
// at least its own 8-byte header) and a type a file may start with.
bool IsIsoMedia(const uint8_t* bytes, size_t size) {
  if (size < 8) return false;
  const uint32_t box = BigEndian32(bytes);
  if (box > 1 && box < 8) return false;
  for (const char* type : {"ftyp", "moov", "mdat", "free", "skip", "wide", "pnot"}) {
    if (std::memcmp(bytes + 4, type, 4) == 0) return true;
  }
  return false;
}

bool IsAudioBrand(const uint8_t* bytes, size_t size) {
  if (!At(bytes, size, 4, "ftyp", 4) || size < 12) return false;
  for (const char* brand : {"M4A ", "M4B ", "M4P "}) {
    if (std::memcmp(bytes + 8, brand, 4) == 0) return true;
  }
  return false;
}

// Transport stream packets: the sync byte 0x47 at three packet starts in a row.
bool IsPackets(const uint8_t* bytes, size_t size, size_t first, size_t packet) {
  return size > first + 2 * packet && bytes[first] == 0x47 && bytes[first + packet] == 0x47 &&
         bytes[first + 2 * packet] == 0x47;
}

// Header Object of ASF: {75B22630-668E-11CF-A6D9-00AA0062CE6C} as stored.
constexpr char kAsfHeader[] = "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C";

wchar_t Lower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c; }

bool SameText(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

struct ExtensionType {
  std::wstring_view extension;
  std::wstring_view type;
};

// Extensions and MIME types under which Windows registers its byte-stream handlers.
constexpr ExtensionType kExtensionTypes[] = {
    {L".mp4", L"video/mp4"},        {L".m4v", L"video/mp4"},       {L".mp4v", L"video/mp4"},
    {L".m4a", L"audio/mp4"},        {L".mov", L"video/quicktime"}, {L".3gp", L"video/3gpp"},
    {L".3gpp", L"video/3gpp"},      {L".3g2", L"video/3gpp2"},     {L".3gp2", L"video/3gpp2"},
    {L".avi", L"video/avi"},        {L".wmv", L"video/x-ms-wmv"},  {L".asf", L"video/x-ms-asf"},
    {L".mkv", L"video/x-matroska"}, {L".webm", L"video/webm"},     {L".ts", L"video/mp2t"},
    {L".tts", L"video/mp2t"},       {L".mts", L"video/mp2t"},      {L".m2ts", L"video/mp2t"},
    {L".m2t", L"video/mp2t"},       {L".mpg", L"video/mpeg"},      {L".mpeg", L"video/mpeg"},
    {L".mpe", L"video/mpeg"},       {L".m1v", L"video/mpeg"},      {L".m2v", L"video/mpeg"},
};

}  // namespace

Container SniffContainer(const uint8_t* bytes, size_t size) {
  if (bytes == nullptr) return Container::kUnknown;
  if (IsIsoMedia(bytes, size)) {
    return IsAudioBrand(bytes, size) ? Container::kUnknown : Container::kIsoMedia;
  }
  if (At(bytes, size, 0, "RIFF", 4) && At(bytes, size, 8, "AVI ", 4)) return Container::kAvi;
  if (At(bytes, size, 0, kAsfHeader, 16)) return Container::kAsf;
  if (At(bytes, size, 0, "\x1A\x45\xDF\xA3", 4)) return Container::kMatroska;
  if (At(bytes, size, 0, "\x00\x00\x01\xBA", 4)) return Container::kMpegPs;
  if (IsPackets(bytes, size, 0, 188)) return Container::kMpegTs;
  if (IsPackets(bytes, size, 4, 192)) return Container::kM2ts;
  return Container::kUnknown;
}

namespace {

// Each container's MIME type and usual extension.
struct ContainerName {
  Container container;
  std::wstring_view content_type;
  std::wstring_view extension;
};
constexpr ContainerName kContainerNames[] = {
    {Container::kIsoMedia, L"video/mp4", L".mp4"},
    {Container::kAvi, L"video/avi", L".avi"},
    {Container::kAsf, L"video/x-ms-asf", L".asf"},
    {Container::kMatroska, L"video/x-matroska", L".mkv"},
    {Container::kMpegTs, L"video/mp2t", L".ts"},
    {Container::kM2ts, L"video/mp2t", L".m2ts"},
    {Container::kMpegPs, L"video/mpeg", L".mpg"},
};

const ContainerName* NameOf(Container container) {
  for (const ContainerName& name : kContainerNames) {
    if (name.container == container) return &name;
  }
  return nullptr;
}

}  // namespace

std::wstring_view ContentTypeOf(Container container) {
  const ContainerName* name = NameOf(container);
  return name != nullptr ? name->content_type : std::wstring_view{};
}

std::wstring_view ExtensionOf(Container container) {
  const ContainerName* name = NameOf(container);
  return name != nullptr ? name->extension : std::wstring_view{};
}

std::wstring_view ContentTypeOfExtension(std::wstring_view extension) {
  for (const ExtensionType& known : kExtensionTypes) {
    if (SameText(known.extension, extension)) return known.type;
  }
  return {};
}

}  // namespace stillreel
