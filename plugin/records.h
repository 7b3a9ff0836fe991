// The ANSI twin of the entry record, laid out as the host expects in each build.
#pragma once

#include "listing/entry_record.h"

namespace stillreel {

struct EntryRecordA {
  char method[8];
  EntryWord position;
  EntryWord compressed_size;
  EntryWord file_size;
  EntryTime timestamp;
  char path[kRecordTextChars];
  char file_name[kRecordTextChars];
  uint32_t crc;
};

static_assert(offsetof(EntryRecordA, method) == 0);
static_assert(offsetof(EntryRecordA, position) == 8);
#if defined(_WIN64)
static_assert(sizeof(EntryRecordA) == 448);
static_assert(offsetof(EntryRecordA, compressed_size) == 16);
static_assert(offsetof(EntryRecordA, file_size) == 24);
static_assert(offsetof(EntryRecordA, timestamp) == 32);
static_assert(offsetof(EntryRecordA, path) == 40);
static_assert(offsetof(EntryRecordA, file_name) == 240);
static_assert(offsetof(EntryRecordA, crc) == 440);
#else
static_assert(sizeof(EntryRecordA) == 428);
static_assert(offsetof(EntryRecordA, compressed_size) == 12);
static_assert(offsetof(EntryRecordA, file_size) == 16);
static_assert(offsetof(EntryRecordA, timestamp) == 20);
static_assert(offsetof(EntryRecordA, path) == 24);
static_assert(offsetof(EntryRecordA, file_name) == 224);
static_assert(offsetof(EntryRecordA, crc) == 424);
#endif

}  // namespace stillreel
