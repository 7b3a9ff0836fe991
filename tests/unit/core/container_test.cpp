// The container signatures IsSupported decides by when it has only a file's first bytes, and the
// MIME types the byte streams are named by.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "video/container.h"

namespace stillreel {
namespace {

// Exactly `text`'s bytes in a block of their own size, so that a read past them faults under
// AddressSanitizer.
std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

Container Sniff(const std::vector<uint8_t>& bytes) {
  return SniffContainer(bytes.empty() ? nullptr : bytes.data(), bytes.size());
}

// `packet`-byte packets with the sync byte at `first` and each packet start after it.
std::vector<uint8_t> Packets(size_t first, size_t packet, size_t count) {
  std::vector<uint8_t> bytes(first + packet * count, 0xFF);
  for (size_t i = 0; i < count; ++i) bytes[first + i * packet] = 0x47;
  return bytes;
}

TEST(Container, EachSignatureAndItsNearMisses) {
  const std::string asf("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16);
  const struct {
    std::string bytes;
    Container expected;
    const char* what;
  } cases[] = {
      {std::string("\0\0\0\x20", 4) + "ftypisom\0\0\x02\0", Container::kIsoMedia, "mp4 ftyp"},
      {std::string("\0\0\0\x14", 4) + "ftypqt  ", Container::kIsoMedia, "mov ftyp"},
      {std::string("\0\0\0\x08", 4) + "wide", Container::kIsoMedia, "mov without ftyp"},
      {std::string("\0\0\0\0", 4) + "mdat", Container::kIsoMedia, "mdat to the end"},
      {std::string("\0\0\0\x01", 4) + "moov", Container::kIsoMedia, "64-bit box size"},
      {std::string("\0\0\0\x20", 4) + "ftypM4A ", Container::kUnknown, "audio-only brand"},
      {std::string("\0\0\0\x20", 4) + "ftypM4B ", Container::kUnknown, "audio book brand"},
      {std::string("\0\0\0\x05", 4) + "ftyp", Container::kUnknown, "box smaller than its header"},
      {std::string("\0\0\0\x20", 4) + "ftyx", Container::kUnknown, "not a first box type"},
      {std::string("\0\0\0\x20", 4) + "ftyp", Container::kIsoMedia, "ftyp cut before its brand"},
      {std::string("\0\0\0\x20", 4) + "fty", Container::kUnknown, "cut inside the type"},
      {std::string("RIFF\x10\0\0\0AVI LIST", 16), Container::kAvi, "avi"},
      {std::string("RIFF\x10\0\0\0WAVEfmt ", 16), Container::kUnknown, "wav"},
      {std::string("RIFF\x10\0\0\0AV", 10), Container::kUnknown, "avi cut short"},
      {asf + "rest", Container::kAsf, "asf header object"},
      {asf.substr(0, 15), Container::kUnknown, "asf guid cut short"},
      {"\x1A\x45\xDF\xA3\x9F\x42\x86\x81", Container::kMatroska, "ebml"},
      {"\x1A\x45\xDF", Container::kUnknown, "ebml cut short"},
      {std::string("\0\0\x01\xBA\x44", 5), Container::kMpegPs, "program stream pack"},
      {std::string("\0\0\x01\xB3", 4), Container::kUnknown, "elementary sequence header"},
      {"", Container::kUnknown, "nothing"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Sniff(Bytes(c.bytes)), c.expected) << c.what;
  }
  EXPECT_EQ(SniffContainer(nullptr, 2048), Container::kUnknown);
}

TEST(Container, TransportStreamsNeedThreePacketStarts) {
  EXPECT_EQ(Sniff(Packets(0, 188, 3)), Container::kMpegTs);
  EXPECT_EQ(Sniff(Packets(4, 192, 3)), Container::kM2ts);
  // Exactly the third sync byte and no more: the last byte read is the last one there.
  std::vector<uint8_t> bare = Packets(0, 188, 2);
  bare.push_back(0x47);
  EXPECT_EQ(Sniff(bare), Container::kMpegTs);
  bare.pop_back();
  EXPECT_EQ(Sniff(bare), Container::kUnknown) << "two packets only";
  std::vector<uint8_t> broken = Packets(0, 188, 3);
  broken[188] = 0x00;
  EXPECT_EQ(Sniff(broken), Container::kUnknown) << "second sync byte missing";
  // A zero-padded 2,048-byte header of a text file is nothing.
  std::vector<uint8_t> header(kHeaderBytes, 0);
  std::memcpy(header.data(), "This is a text file", 19);
  EXPECT_EQ(Sniff(header), Container::kUnknown);
}

TEST(Container, ContentTypesByExtensionAndByContainer) {
  EXPECT_EQ(ContentTypeOfExtension(L".mp4"), L"video/mp4");
  EXPECT_EQ(ContentTypeOfExtension(L".MP4"), L"video/mp4");
  EXPECT_EQ(ContentTypeOfExtension(L".Mkv"), L"video/x-matroska");
  EXPECT_EQ(ContentTypeOfExtension(L".wmv"), L"video/x-ms-wmv");
  EXPECT_EQ(ContentTypeOfExtension(L".avi"), L"video/avi");
  EXPECT_EQ(ContentTypeOfExtension(L".m2ts"), L"video/mp2t");
  for (const wchar_t* unknown : {L"", L".", L".txt", L"mp4", L".mp44", L".mp"})
    EXPECT_TRUE(ContentTypeOfExtension(unknown).empty()) << "unknown extension";
  // Every container has a type and an extension, and the extension gives the same type.
  for (Container container :
       {Container::kIsoMedia, Container::kAvi, Container::kAsf, Container::kMatroska,
        Container::kMpegTs, Container::kM2ts, Container::kMpegPs}) {
    EXPECT_FALSE(ContentTypeOf(container).empty()) << static_cast<int>(container);
    EXPECT_EQ(ContentTypeOfExtension(ExtensionOf(container)), ContentTypeOf(container))
        << static_cast<int>(container);
  }
  EXPECT_TRUE(ContentTypeOf(Container::kUnknown).empty());
  EXPECT_TRUE(ExtensionOf(Container::kUnknown).empty());
}

}  // namespace
}  // namespace stillreel
