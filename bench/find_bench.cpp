// qv_find_bench.exe: the time of quorvane-probe's find against the time of
// one bare pass over the same memory, in one run, against a sample host with
// a large ballast of committed heap.
//
//   qv_find_bench --host=sample_host.exe [--ballast=MIB] [--runs=N]
//
// The bare pass is written here on its own, not with the finder's code: a
// VirtualQueryEx walk over the address space and ReadProcessMemory of every
// committed readable region in 4 MiB chunks, touching one word per chunk.
// It is the physical floor of any scan. The find is the finder itself
// (finder::FindOffsets over the probe's platform), from the region list to
// the ranked candidates, as `quorvane-probe find` runs it, without the
// process start and the evidence walks. Runs take turns (bare first, then
// find first) so that neither always meets a warmer cache.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "finder/finder.h"
#include "finder/host_view.h"
#include "finder/scan.h"
#include "platform/remote_process.h"
#include "served_host.h"

namespace {

using bench::Now;

constexpr char kTextMarker[] = "QV-bench-7f3a";
constexpr char kBufferMarker[] = "QV-bench-b9e1";
constexpr DWORD kChunk = 4u << 20;

double Mib(double bytes) { return bytes / (1024.0 * 1024.0); }

std::string Utf16(const char* ascii) {
  std::string bytes;
  for (const char* p = ascii; *p != '\0'; ++p) {
    bytes += *p;
    bytes += '\0';
  }
  return bytes;
}

struct BarePass {
  double seconds = 0;
  double bytes = 0;
  std::uint32_t sink = 0;
};

// The floor: every committed, readable, non-guard region, read in chunks.
BarePass Bare(HANDLE process, std::vector<char>* buffer) {
  BarePass pass;
  const double start = Now();
  std::uint64_t at = 0;
  while (at < 0x100000000ull) {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQueryEx(process, reinterpret_cast<LPCVOID>(static_cast<std::uintptr_t>(at)), &info,
                       sizeof info) == 0) {
      break;
    }
    const std::uint64_t base = reinterpret_cast<std::uintptr_t>(info.BaseAddress);
    const std::uint64_t end = base + info.RegionSize;
    const DWORD p = info.Protect;
    const bool readable =
        info.State == MEM_COMMIT && (p & (PAGE_GUARD | PAGE_NOACCESS)) == 0 &&
        (p & (PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
              PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY)) != 0;
    for (std::uint64_t chunk = base; readable && chunk < end; chunk += kChunk) {
      const SIZE_T n = static_cast<SIZE_T>(std::min<std::uint64_t>(kChunk, end - chunk));
      SIZE_T got = 0;
      if (!ReadProcessMemory(process, reinterpret_cast<LPCVOID>(static_cast<std::uintptr_t>(chunk)),
                             buffer->data(), n, &got)) {
        break;
      }
      pass.bytes += static_cast<double>(got);
      std::uint32_t word;
      std::memcpy(&word, buffer->data() + got / 2 / 4 * 4, 4);
      pass.sink ^= word;
    }
    if (end <= at) break;
    at = end;
  }
  pass.seconds = Now() - start;
  return pass;
}

struct FindPass {
  double seconds = 0;
  finder::FindResult result;
  double score_seconds = 0;  // the scoring alone, once more after the find
};

// The find's scoring once more, timed alone: every candidate it kept walked
// for every type through a fresh page cache given a fresh memory map (the
// map itself not timed), as FindOffsets scores them.
double ScoreSeconds(const finder::FindResult& r) {
  bool ended = false;
  finder::HostView view(finder::ReadableRegions(0, std::uint64_t{1} << 32, &ended));
  const double start = Now();
  for (const finder::Candidate& c : r.candidates) {
    finder::ScoreCandidate(view, r.module_base, c.list, c.data_offset);
  }
  return Now() - start;
}

FindPass Find() {
  finder::FindRequest request;
  request.module = "sample_app.dll";
  request.objects = {finder::ObjectMarker{Utf16(kTextMarker), 3, 11}};
  request.buffer_marker = true;
  request.buffer_bytes = Utf16(kBufferMarker);
  FindPass pass;
  const double start = Now();
  pass.result = finder::FindOffsets(request, [](std::uint64_t, std::uint64_t) {});
  pass.seconds = Now() - start;
  pass.score_seconds = ScoreSeconds(pass.result);
  return pass;
}

}  // namespace

int main(int argc, char** argv) {
  std::string host;
  unsigned ballast = 1024;
  int runs = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--host=", 0) == 0) {
      host = arg.substr(7);
    } else if (arg.rfind("--ballast=", 0) == 0) {
      ballast = static_cast<unsigned>(std::strtoul(arg.c_str() + 10, nullptr, 10));
    } else if (arg.rfind("--runs=", 0) == 0) {
      runs = std::max(1, std::atoi(arg.c_str() + 7));
    } else {
      std::fprintf(stderr,
                   "usage: qv_find_bench --host=sample_host.exe [--ballast=MIB] [--runs=N]\n");
      return 2;
    }
  }
  if (host.empty()) {
    std::fprintf(stderr, "qv_find_bench: --host=sample_host.exe is needed\n");
    return 2;
  }
  bench::ServedHost served;
  const double start = Now();
  if (!bench::StartServedHost(host,
                              std::string("--app 1.5 --text ") + kTextMarker + " --buffer-text " +
                                  kBufferMarker + " --ballast " + std::to_string(ballast),
                              &served)) {
    std::fprintf(stderr, "qv_find_bench: cannot start %s\n", host.c_str());
    return 2;
  }
  std::printf(
      "find benchmark: sample host (SampleApp 1.5) with %u MiB of ballast, ready in %.1f s\n",
      ballast, Now() - start);
  const HANDLE process =
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE, served.pid);
  if (process == nullptr) {
    std::fprintf(stderr, "qv_find_bench: cannot open process %lu\n",
                 static_cast<unsigned long>(served.pid));
    bench::StopServedHost(&served);
    return 2;
  }
  quorvane::SetRemoteProcess(process);
  std::vector<char> buffer(kChunk);

  std::printf("%-4s %10s %10s %9s | %10s %10s %10s %9s | %6s | %6s %8s  %s\n", "run", "bare s",
              "bare MiB", "MiB/s", "find s", "scanned", "read MiB", "MiB/s", "ratio", "cands",
              "score s", "found");
  double min_ratio = 1e9, max_ratio = 0;
  bool all_found = true;
  for (int run = 0; run < runs; ++run) {
    BarePass bare;
    FindPass find;
    if (run % 2 == 0) {
      bare = Bare(process, &buffer);
      find = Find();
    } else {
      find = Find();
      bare = Bare(process, &buffer);
    }
    const finder::FindResult& r = find.result;
    const bool found = r.object_answer == finder::Answer::kFound &&
                       r.buffer_answer == finder::Answer::kFound && !r.process_ended;
    all_found = all_found && found;
    const double ratio = find.seconds / bare.seconds;
    min_ratio = std::min(min_ratio, ratio);
    max_ratio = std::max(max_ratio, ratio);
    char offsets[96] = "no";
    if (found) {
      std::snprintf(offsets, sizeof offsets, "0x%08X 0x%08X 0x%08X",
                    static_cast<unsigned>(r.candidates[0].list),
                    static_cast<unsigned>(r.candidates[0].data_offset),
                    static_cast<unsigned>(r.buffers[0].offset));
    }
    std::printf("%-4d %10.3f %10.1f %9.1f | %10.3f %10.1f %10.1f %9.1f | %6.2f | %6u %8.3f  %s\n",
                run + 1, bare.seconds, Mib(bare.bytes), Mib(bare.bytes) / bare.seconds,
                find.seconds, Mib(static_cast<double>(r.total_bytes)),
                Mib(static_cast<double>(r.bytes_read)),
                Mib(static_cast<double>(r.bytes_read)) / find.seconds, ratio,
                static_cast<unsigned>(r.candidates.size()), find.score_seconds, offsets);
    std::fflush(stdout);
  }
  std::printf("find / bare pass: min %.2f, max %.2f over %d runs (goal: at most 3)\n", min_ratio,
              max_ratio, runs);
  quorvane::SetRemoteProcess(nullptr);
  CloseHandle(process);
  bench::StopServedHost(&served);
  return all_found ? 0 : 1;
}
