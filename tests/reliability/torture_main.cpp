// Reliability driver run under Wine: its arguments. It loads the plug-in as a host does and runs
// its exports over broken files (corpus_mode.cpp), from many threads at once (threads_mode.cpp)
// or for many cycles (leak_mode.cpp), under the watchdog of support/watchdog.h.
//
//   torture corpus [--settings "div=3"] [--deadline S] FILE...
//   torture threads [--threads N] [--clearers N] [--rounds N] [--deadline S] [--serialize-opens 1]
//                   [--inject-hang 1]
//   torture leak [--cycles N] [--warmup N] [--margin-kb N] [--inject-leak 1]
//
// Exit codes: 0 sound, 1 a rule was broken, 2 set-up failed, 3 a call hung in the plug-in, 4 a call
// crashed, 5 a call hung inside the platform.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <string>
#include <vector>

#include "torture.h"

using namespace stillreel::test;

namespace {

int IntOption(std::vector<std::wstring>& args, const wchar_t* name, int fallback) {
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == name) {
      const int value = _wtoi(args[i + 1].c_str());
      args.erase(args.begin() + i, args.begin() + i + 2);
      return value;
    }
  }
  return fallback;
}

std::string TextOption(std::vector<std::wstring>& args, const wchar_t* name,
                       const std::string& fallback) {
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == name) {
      const std::string value = Utf8(args[i + 1]);
      args.erase(args.begin() + i, args.begin() + i + 2);
      return value;
    }
  }
  return fallback;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);  // plain \n line ends for the scripts that read us
  setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
  std::vector<std::wstring> args(argv + 1, argv + argc);
  if (args.empty()) {
    Say("usage: torture corpus|threads|leak [options] ...");
    return kExitSetup;
  }
  const std::wstring mode = args[0];
  args.erase(args.begin());
  const int deadline = IntOption(args, L"--deadline", 60);
  if (mode == L"corpus") {
    const std::string settings = TextOption(args, L"--settings", "div=3");
    const int entries = IntOption(args, L"--entries", 3);
    for (const std::wstring& file : args) AddSubject(Utf8(file));
    StartGuards(deadline * 1000ULL, false);
    return RunCorpus(args, settings, entries);
  }
  if (mode == L"threads") {
    const int threads = IntOption(args, L"--threads", 2);
    const int clearers = IntOption(args, L"--clearers", 1);
    const int rounds = IntOption(args, L"--rounds", 8);
    const bool serialize = IntOption(args, L"--serialize-opens", 0) != 0;
    const bool inject_hang = IntOption(args, L"--inject-hang", 0) != 0;
    StartGuards(deadline * 1000ULL, true);
    return RunThreads(threads, clearers, rounds, serialize, inject_hang);
  }
  if (mode == L"leak") {
    const int cycles = IntOption(args, L"--cycles", 100);
    const int warmup = IntOption(args, L"--warmup", std::max(10, cycles / 5));
    const int margin_kb = IntOption(args, L"--margin-kb", 1024);
    const bool inject_leak = IntOption(args, L"--inject-leak", 0) != 0;
    StartGuards(deadline * 1000ULL, true);
    return RunLeak(cycles, warmup, static_cast<size_t>(margin_kb) * 1024, inject_leak);
  }
  Say("unknown mode");
  return kExitSetup;
}
