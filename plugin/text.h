// The only ANSI <-> UTF-16 code of the plug-in; every conversion uses the thread's code page
// and is bounded by its destination.
#pragma once

#include <windows.h>

#include "listing/entry_record.h"

namespace stillreel {

// False (and nothing usable in `out`) when `text` is null or its wide form, terminator
// included, needs more than kPathChars characters.
bool WidenPath(const char* text, wchar_t (&out)[kPathChars]);

// True when a wide path, terminator included, fits kPathChars characters.
bool WidePathFits(const wchar_t* path);

// Copies as much of `text` as fits `out_chars` characters without splitting a surrogate pair,
// always terminated when out_chars > 0. Returns the characters written, terminator excluded.
int CopyWideBounded(const wchar_t* text, wchar_t* out, int out_chars);

// Converts as much of `text` as fits `out_bytes` bytes without splitting a character, always
// terminated when out_bytes > 0. Returns the bytes written, terminator excluded.
int NarrowBounded(const wchar_t* text, char* out, int out_bytes);

}  // namespace stillreel
