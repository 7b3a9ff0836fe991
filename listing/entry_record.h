// The wide entry record and the listing block it forms, laid out as the host expects.
#pragma once

#include <cstddef>
#include <cstdint>

namespace stillreel {

inline constexpr int kRecordTextChars = 200;  // path and file name fields, terminator included
inline constexpr int kPathChars = 260;        // working path buffers, terminator included

#if defined(_WIN64)
using EntryWord = uint64_t;  // position and sizes: pointer-sized
using EntryTime = int64_t;   // seconds since 1970-01-01 UTC
#else
using EntryWord = uint32_t;
using EntryTime = int32_t;
#endif

struct EntryRecord {
  char method[8];
  EntryWord position;
  EntryWord compressed_size;
  EntryWord file_size;
  EntryTime timestamp;
  wchar_t path[kRecordTextChars];
  wchar_t file_name[kRecordTextChars];
  uint32_t crc;
};

static_assert(sizeof(wchar_t) == 2, "records carry UTF-16 text");
static_assert(offsetof(EntryRecord, method) == 0);
static_assert(offsetof(EntryRecord, position) == 8);
#if defined(_WIN64)
static_assert(sizeof(EntryRecord) == 848);
static_assert(offsetof(EntryRecord, compressed_size) == 16);
static_assert(offsetof(EntryRecord, file_size) == 24);
static_assert(offsetof(EntryRecord, timestamp) == 32);
static_assert(offsetof(EntryRecord, path) == 40);
static_assert(offsetof(EntryRecord, file_name) == 440);
static_assert(offsetof(EntryRecord, crc) == 840);
#else
static_assert(sizeof(EntryRecord) == 828);
static_assert(offsetof(EntryRecord, compressed_size) == 12);
static_assert(offsetof(EntryRecord, file_size) == 16);
static_assert(offsetof(EntryRecord, timestamp) == 20);
static_assert(offsetof(EntryRecord, path) == 24);
static_assert(offsetof(EntryRecord, file_name) == 424);
static_assert(offsetof(EntryRecord, crc) == 824);
#endif

// A listing ends at the first record whose method starts with a 0 byte.
inline bool IsTerminator(const EntryRecord& record) { return record.method[0] == '\0'; }

}  // namespace stillreel
