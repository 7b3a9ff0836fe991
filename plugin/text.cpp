// The only ANSI <-> UTF-16 code of the plug-in; every conversion uses the thread's code page
// and is bounded by its destination.
#include "plugin/text.h"

#include <cstring>

namespace stillreel {

namespace {

bool IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Bytes that the first `chars` characters of `text` need in the thread's code page.
int NarrowLength(const wchar_t* text, int chars) {
  if (chars == 0) return 0;
  return WideCharToMultiByte(CP_THREAD_ACP, 0, text, chars, nullptr, 0, nullptr, nullptr);
}

}  // namespace

bool WidenPath(const char* text, wchar_t (&out)[kPathChars]) {
  if (text == nullptr) return false;
  const int bytes = static_cast<int>(std::strlen(text)) + 1;
  const int needed = MultiByteToWideChar(CP_THREAD_ACP, 0, text, bytes, nullptr, 0);
  if (needed <= 0 || needed > kPathChars) return false;
  return MultiByteToWideChar(CP_THREAD_ACP, 0, text, bytes, out, kPathChars) == needed;
}

bool WidePathFits(const wchar_t* path) { return path != nullptr && lstrlenW(path) < kPathChars; }

int CopyWideBounded(const wchar_t* text, wchar_t* out, int out_chars) {
  if (out_chars <= 0) return 0;
  int length = lstrlenW(text);
  if (length > out_chars - 1) {
    length = out_chars - 1;
    if (length > 0 && IsLowSurrogate(text[length])) --length;
  }
  std::memcpy(out, text, length * sizeof(wchar_t));
  out[length] = L'\0';
  return length;
}

int NarrowBounded(const wchar_t* text, char* out, int out_bytes) {
  if (out_bytes <= 0) return 0;
  int chars = lstrlenW(text);
  if (NarrowLength(text, chars) > out_bytes - 1) {
    // Longest prefix that fits: conversion lengths grow with the prefix, so bisect.
    int fits = 0;
    int too_long = chars;
    while (too_long - fits > 1) {
      const int middle = fits + (too_long - fits) / 2;
      (NarrowLength(text, middle) <= out_bytes - 1 ? fits : too_long) = middle;
    }
    chars = fits;
    if (chars > 0 && IsLowSurrogate(text[chars])) --chars;
  }
  const int bytes = chars == 0 ? 0
                               : WideCharToMultiByte(CP_THREAD_ACP, 0, text, chars, out,
                                                     out_bytes - 1, nullptr, nullptr);
  out[bytes] = '\0';
  return bytes;
}

}  // namespace stillreel
