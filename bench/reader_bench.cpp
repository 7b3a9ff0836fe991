// Times source-reader creation from our byte stream (the file opened by us with every kind of
// sharing, named for the source resolver) against Media Foundation opening the path as a URL,
// alternating in one process so that drift hits both alike; the reader is released each time.
// Usage: reader_bench ROUNDS VIDEO...  (under Wine)
#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <cstdio>
#include <vector>

#include "bench/bench_timing.h"
#include "video/byte_stream.h"
#include "win/media.h"

using Microsoft::WRL::ComPtr;
using stillreel::bench::Median;
using stillreel::bench::Now;

namespace {

bool FromUrl(const wchar_t* video) {
  ComPtr<IMFSourceReader> reader;
  return SUCCEEDED(MFCreateSourceReaderFromURL(video, nullptr, &reader));
}

bool FromByteStream(const wchar_t* video) {
  ComPtr<IMFByteStream> stream;
  ComPtr<IMFSourceReader> reader;
  return SUCCEEDED(stillreel::OpenFileByteStream(video, stream)) &&
         SUCCEEDED(MFCreateSourceReaderFromByteStream(stream.Get(), nullptr, &reader));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: reader_bench ROUNDS VIDEO...\n");
    return 2;
  }
  const int rounds = _wtoi(argv[1]);
  stillreel::MediaFoundationScope media_foundation(
      stillreel::MediaFoundationScope::Apartment::kMulti);
  if (FAILED(media_foundation.status())) return 1;
  std::printf("%-28s %8s %10s %10s\n", "clip", "url_ms", "stream_ms", "stream/url");
  for (int v = 2; v < argc; ++v) {
    const wchar_t* video = argv[v];
    // Once each first: what the first creation in a process loads is not creation's cost.
    if (!FromUrl(video) || !FromByteStream(video)) return 1;
    std::vector<double> url, stream;
    for (int round = 0; round < rounds; ++round) {
      double start = Now();
      if (!FromUrl(video)) return 1;
      url.push_back(Now() - start);
      start = Now();
      if (!FromByteStream(video)) return 1;
      stream.push_back(Now() - start);
    }
    const wchar_t* name = wcsrchr(video, L'\\');
    std::printf("%-28ls %8.2f %10.2f %10.3f\n", name ? name + 1 : video, Median(url) * 1e3,
                Median(stream) * 1e3, Median(stream) / Median(url));
  }
  return 0;
}
