// One owner per open video: its listing and the worker (with the reader) that serves it, keyed
// by path, file stamp and the frame settings the listing was made with.
#pragma once

#include <cstdint>

#include "listing/entry_record.h"
#include "video/frame_rules.h"
#include "video/worker.h"
#include "win/unique.h"

namespace stillreel {

// Everything the settings file says for one host call, read once when the call starts.
struct CallSettings {
  FrameSettings frame;  // where entries fall and how pictures are shown: shapes the listing
  MediaLimits limits;   // the call's deadline and how readers are kept
  // Read the next entries while the host shows this one, once it walks a video in order.
  bool read_ahead = true;
};

// The stem of the entry names of a video read from memory, which has no file name: frame000.bmp,
// frame001.bmp, ... Also the name its worker goes by.
inline constexpr wchar_t kMemoryVideoName[] = L"frame";

// With `memory` (the functions below) the video is read from memory the host lent for the call:
// `path` is not used, the listing is made afresh and nothing of it is kept, its entries named by
// kMemoryVideoName and stamped 0, there being no file time.

// A copy of a listing block for the caller (the whole block, terminator and slack included).
HRESULT CopyListing(HLOCAL listing, UniqueHlocal& copy);

// The entry a request names: by file name (case-insensitive) when it has one, otherwise by
// position. Copies it over the request and returns true when found.
bool MatchEntry(HLOCAL listing, EntryRecord& request);

// A new listing of the video, built by a fresh probe: `copy` receives a block the caller owns.
// Past the limits the video counts as unsupported (kTimedOut, kStuckFileRefused).
HRESULT ListVideo(const wchar_t* path, uint32_t offset, const CallSettings& settings,
                  UniqueHlocal& copy, LentMemory* memory = nullptr);

// One entry, named by the request's file name or, when that is empty, by its position; from the
// video's listing when it is current, else from a new one. kNoEntry when the listing lacks it.
HRESULT DescribeVideoEntry(const wchar_t* path, uint32_t offset, const CallSettings& settings,
                           EntryRecord& request, LentMemory* memory = nullptr);

// The entry at `position` and its image: `entry` receives the listed entry, `image` its BMP.
// The video's worker serves both the listing (when it is not current) and the frame, unless the
// frame was read ahead: a host that fetched neighbouring entries in one direction twice in a row
// finds the next ones read (or being read) by workers of their own meanwhile; any other entry
// cancels them. A position a new listing lacks is kNoEntry, one a kept listing lacks
// MF_E_OUT_OF_RANGE.
HRESULT FetchVideoEntry(const wchar_t* path, EntryWord position, const CallSettings& settings,
                        EntryRecord& entry, UniqueHlocal& image, uint32_t& image_bytes,
                        LentMemory* memory = nullptr);

// Lets go of every listing; only when the DLL is unloaded by FreeLibrary (no worker is left then).
void ForgetOpenVideos();

}  // namespace stillreel
