// What tells one file from another at the same path: size, last write, file index and volume.
#pragma once

#include <windows.h>

#include "win/unique.h"

namespace stillreel {

// A file that cannot be opened, or waits to be deleted, has no valid stamp and matches none.
struct FileStamp {
  bool valid = false;
  BY_HANDLE_FILE_INFORMATION info{};

  bool Same(const FileStamp& other) const {
    return valid && other.valid && info.nFileSizeHigh == other.info.nFileSizeHigh &&
           info.nFileSizeLow == other.info.nFileSizeLow &&
           info.nFileIndexHigh == other.info.nFileIndexHigh &&
           info.nFileIndexLow == other.info.nFileIndexLow &&
           info.dwVolumeSerialNumber == other.info.dwVolumeSerialNumber &&
           CompareFileTime(&info.ftLastWriteTime, &other.info.ftLastWriteTime) == 0;
  }
};

inline FileStamp StampOf(const wchar_t* path) {
  FileStamp stamp;
  // Attributes only, sharing everything: a reader's own handle must not stand in the way.
  UniqueFile file(CreateFileW(path, FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr));
  if (!file) return stamp;
  FILE_STANDARD_INFO standard{};
  if (GetFileInformationByHandleEx(file.get(), FileStandardInfo, &standard, sizeof(standard)) &&
      standard.DeletePending) {
    return stamp;
  }
  stamp.valid = GetFileInformationByHandle(file.get(), &stamp.info) != FALSE;
  return stamp;
}

}  // namespace stillreel
