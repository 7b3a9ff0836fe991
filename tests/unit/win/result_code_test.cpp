// The one mapping of HRESULTs to the host's result codes: each family of failure to the code
// hosts have always had for it, and the Win32 error behind one of ours kept.
#include <gtest/gtest.h>

#include <mferror.h>

#include "plugin/host_interface.h"

namespace stillreel {
namespace {

TEST(ResultCode, EachFamilyComesToItsHostCode) {
  struct Row {
    const char* what;
    HRESULT hr;
    int code;
  };
  const Row rows[] = {
      {"success", S_OK, 0},
      {"success with a note", S_FALSE, 0},
      {"out of memory", static_cast<HRESULT>(0x8007000E), 4},
      {"not a video (Media Foundation)", static_cast<HRESULT>(0xC00D36C4), 2},
      {"a frame that cannot be shown (Media Foundation)", static_cast<HRESULT>(0xC00D36B4), 2},
      {"a position a kept listing lacks", static_cast<HRESULT>(0xC00D3702), 2},
      {"the time limit passed", static_cast<HRESULT>(0x800705B4), 2},
      {"a stuck file", static_cast<HRESULT>(0x800700AA), 2},
      // Win32 errors as Media Foundation passes them on are its failure, not a read or write one.
      {"a missing folder from the platform", static_cast<HRESULT>(0x80070003), 2},
      {"access denied from the platform", static_cast<HRESULT>(0x80070005), 2},
      {"an invalid argument from the platform", static_cast<HRESULT>(0x80070057), 2},
      {"unspecified", static_cast<HRESULT>(0x80004005), 2},
      {"another customer code", static_cast<HRESULT>(0xA0020003), 2},
      {"input neither a path nor memory", kNotPathInput, -1},
      {"no place for the result", kNoPlaceForResult, -1},
      {"a name no entry can carry", kNameRefused, -1},
      {"no such entry", kNoEntry, -1},
      {"a missing input folder", Failure(Family::kRead, ERROR_PATH_NOT_FOUND), 6},
      {"a path refused on the way in", kPathRefused, 6},
      {"no input memory", kNoInput, 6},
      {"a missing output folder", Failure(Family::kWrite, ERROR_PATH_NOT_FOUND), 9},
      {"an output file that exists", Failure(Family::kWrite, ERROR_FILE_EXISTS), 9},
      {"a write without an error set", Failure(Family::kWrite, ERROR_SUCCESS), 9},
      {"no output folder", kNoOutputFolder, 9},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ResultCode(row.hr), row.code)
        << row.what << ": 0x" << std::hex << static_cast<unsigned long>(row.hr);
  }
}

TEST(ResultCode, OursKeepTheWin32ErrorAndNeverCollideWithTheSystems) {
  for (Family family : {Family::kRefused, Family::kRead, Family::kWrite}) {
    for (DWORD error : {ERROR_FILE_NOT_FOUND, ERROR_SHARING_VIOLATION, ERROR_DISK_FULL}) {
      const HRESULT hr = Failure(family, error);
      EXPECT_TRUE(FAILED(hr));
      EXPECT_EQ(static_cast<DWORD>(HRESULT_CODE(hr)), error);
      EXPECT_NE(hr, HRESULT_FROM_WIN32(error));
      EXPECT_NE(HRESULT_FACILITY(hr), FACILITY_WIN32);
      EXPECT_NE(HRESULT_FACILITY(hr), FACILITY_MF);
    }
  }
}

}  // namespace
}  // namespace stillreel
