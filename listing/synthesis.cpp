// Builds a video's listing from what its probe learnt, its time stamp and the frame settings.
#include "listing/synthesis.h"

#include <windows.h>
#include <shlwapi.h>

#include <cstring>
#include <string_view>

#include "listing/entry_record.h"
#include "listing/entry_table.h"
#include "picture/bmp.h"
#include "picture/convert.h"
#include "video/probe.h"
#include "win/result.h"

namespace stillreel {

namespace {

// The file name without directory and extension, in place of a copy of the path.
void StemOf(const wchar_t* path, wchar_t (&stem)[kPathChars]) {
  lstrcpynW(stem, path, kPathChars);
  PathStripPathW(stem);
  PathRenameExtensionW(stem, L"");
}

// The size of the picture a fetch delivers under the "aspect" setting: the extraction's rule
// (picture/convert.h PictureSize) over the probed size and options. std::nullopt when it gives
// none.
std::optional<PictureDimensions> ListedPicture(const VideoFacts& facts, bool aspect) {
  PictureOptions options = facts.picture;
  options.keep_stored_pixels = !aspect;
  return PictureSize(facts.size.width, facts.size.height, options);
}

}  // namespace

HRESULT SynthesiseListing(const wchar_t* path, const VideoFacts& facts, int64_t timestamp,
                          const FrameSettings& settings, UniqueHlocal& listing) {
  const int64_t count = EntryCount(settings, facts.seconds);
  const auto bytes = ListingBytes(count, sizeof(EntryRecord));
  SR_RETURN_HR_IF(E_OUTOFMEMORY, !bytes);
  UniqueHlocal block(LocalAlloc(LMEM_ZEROINIT, *bytes));
  SR_RETURN_HR_IF(E_OUTOFMEMORY, !block);

  // A frame too large for a BMP still gets an entry: its fetch will be refused.
  const std::optional<PictureDimensions> picture = ListedPicture(facts, settings.aspect);
  const EntryWord image_bytes =
      picture ? BmpImageSize(picture->width, picture->height).value_or(kBmpHeaderSize)
              : kBmpHeaderSize;
  wchar_t full_stem[kPathChars];
  StemOf(path, full_stem);
  const std::wstring_view stem = FitStem(full_stem, count - 1, kRecordTextChars);
  auto* entries = static_cast<EntryRecord*>(block.get());
  for (int64_t i = 0; i < count; ++i) {
    EntryRecord& entry = entries[i];
    std::memcpy(entry.method, "MF", 3);
    entry.position = static_cast<EntryWord>(i);
    entry.compressed_size = image_bytes;
    entry.file_size = image_bytes;
    entry.timestamp = static_cast<EntryTime>(timestamp);
    EntryName(stem, i, entry.file_name, kRecordTextChars);
  }
  listing = std::move(block);
  return S_OK;
}

}  // namespace stillreel
