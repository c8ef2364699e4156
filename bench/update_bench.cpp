// qv_update_bench.exe: quorvane-probe update on a module with a 32 MiB code
// section against a bare read of that code, and sign on it, in one run,
// against a sample host running the benchmark's module (SampleApp 1.7 with
// 32 MiB of application-like code more: demo/CMakeLists.txt,
// bench/filler.awk).
//
//   qv_update_bench --host=sample_host.exe --probe=quorvane-probe.exe
//                   --profile=example-profile-1.7.ini [--runs=N]
//
// The bare read is written here on its own, not with the probe's code: for
// each code section, VirtualQueryEx over its pages and ReadProcessMemory of
// it in 4 MiB chunks, touching one word per chunk: the floor of any reading
// of that code from outside. "kept" is the same read into memory that holds
// all of the code, fresh each run, as a reader that scans the code after
// reading it must have it. "update" is what the command does once it has
// read its signature file and found the module in the module list: the
// image read from the host (headers, code sections and relocation table,
// through the probe's guarded reads: probe/update/module_image.cpp), one
// pass of every signature over the code, the judgement. "sign steps" are
// the image read, the reference search and the signing. Both commands are
// also timed whole (quorvane-probe.exe started, Wine's process start
// included). Runs take turns (bare first, then update first) so that
// neither always meets a warmer cache.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/host_scan.h"
#include "platform/remote_process.h"
#include "probe/update/module_image.h"
#include "served_host.h"
#include "signatures/judge.h"
#include "signatures/match.h"
#include "signatures/references.h"
#include "signatures/sign.h"
#include "signatures/signature_file.h"

namespace {

namespace sig = quorvane::signatures;
using bench::Now;

constexpr DWORD kChunk = 4u << 20;
constexpr const char* kModule = "sample_app.dll";

double Mib(double bytes) { return bytes / (1024.0 * 1024.0); }

struct CodeRange {
  std::uint32_t address;
  std::uint32_t size;
};

struct BarePass {
  double seconds = 0;
  double bytes = 0;
  std::uint32_t sink = 0;
};

// The floor: every page of the code asked about, the code read in chunks.
// With `kept`, into memory that holds all of it, fresh each time, as a
// reader that scans the code after reading it must; else into one buffer.
BarePass Bare(HANDLE process, const std::vector<CodeRange>& code, std::vector<char>* reused,
              bool kept = false) {
  std::vector<char> all;
  std::vector<char>* buffer = reused;
  BarePass pass;
  const double start = Now();
  for (const CodeRange& range : code) {
    for (std::uint64_t at = range.address; at < std::uint64_t{range.address} + range.size;) {
      MEMORY_BASIC_INFORMATION info;
      if (VirtualQueryEx(process, reinterpret_cast<LPCVOID>(static_cast<std::uintptr_t>(at)),
                         &info, sizeof info) == 0) {
        break;
      }
      at = reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;
    }
    if (kept) {
      all.resize(range.size);
      buffer = &all;
    }
    for (std::uint32_t done = 0; done < range.size;) {
      const SIZE_T n = std::min<SIZE_T>(kChunk, range.size - done);
      SIZE_T got = 0;
      char* to = buffer->data() + (kept ? done : 0);
      if (!ReadProcessMemory(process,
                             reinterpret_cast<LPCVOID>(static_cast<std::uintptr_t>(range.address + done)),
                             to, n, &got)) {
        break;
      }
      pass.bytes += static_cast<double>(got);
      std::uint32_t word;
      std::memcpy(&word, to + got / 2 / 4 * 4, 4);
      pass.sink ^= word;
      done += static_cast<std::uint32_t>(n);
    }
  }
  pass.seconds = Now() - start;
  return pass;
}

struct UpdatePass {
  double seconds = 0, read_seconds = 0;
  bool answered = false;
  sig::Offsets offsets;
};

UpdatePass Update(const probe::ModuleImage& where, const std::vector<sig::Signature>& signatures) {
  UpdatePass pass;
  const double start = Now();
  probe::ModuleImage module = where;
  std::string error;
  if (!probe::ReadLoadedImage(kModule, &module, &error)) {
    std::fprintf(stderr, "qv_update_bench: %s\n", error.c_str());
    return pass;
  }
  pass.read_seconds = Now() - start;
  const sig::Matching matching = sig::MatchSignatures(module.image, signatures);
  const sig::Verdict verdict = sig::Judge(signatures, matching.matches);
  pass.seconds = Now() - start;
  pass.answered = verdict.answered;
  pass.offsets = verdict.offsets;
  return pass;
}

// The image read, the references found and signed.
double SignSteps(const probe::ModuleImage& where, const sig::Offsets& offsets,
                 std::size_t* signatures) {
  const double start = Now();
  probe::ModuleImage module = where;
  std::string error;
  if (!probe::ReadLoadedImage(kModule, &module, &error)) return 0;
  const sig::ReferenceSearch references = sig::FindReferences(module.image, offsets);
  const sig::Signing signing = sig::MakeSignatures(module.image, references.references);
  *signatures = signing.signatures.size();
  return Now() - start;
}

// Runs `command_line` to its end, its output discarded; its exit code.
DWORD RunCommand(const std::string& program, std::string command_line, double* seconds) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  const HANDLE nul = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0,
                                 nullptr);
  PROCESS_INFORMATION pi{};
  const double start = Now();
  DWORD code = 255;
  if (bench::StartProcess(program, std::move(command_line), nul, &pi)) {
    WaitForSingleObject(pi.hProcess, INFINITE);
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  *seconds = Now() - start;
  CloseHandle(nul);
  return code;
}

// The profile's offsets: what update must find in the benchmark's module.
sig::Offsets ProfileOffsets(const std::string& path) {
  const char* const keys[] = {"ObjectAddressList", "ObjectDataOffset", "TextBufferAddress"};
  char section[256], value[256];
  GetPrivateProfileStringA("Config", "Version", "", section, sizeof section, path.c_str());
  sig::Offsets offsets;
  for (int i = 0; i < sig::kOffsetCount; ++i) {
    GetPrivateProfileStringA(section, keys[i], "", value, sizeof value, path.c_str());
    offsets.value[i] = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 16));
  }
  return offsets;
}

struct Arguments {
  std::string host, probe, profile;
  int runs = 5;
};

bool ParseArguments(int argc, char** argv, Arguments* a) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--host=", 0) == 0) {
      a->host = arg.substr(7);
    } else if (arg.rfind("--probe=", 0) == 0) {
      a->probe = arg.substr(8);
    } else if (arg.rfind("--profile=", 0) == 0) {
      a->profile = arg.substr(10);
    } else if (arg.rfind("--runs=", 0) == 0) {
      a->runs = std::max(1, std::atoi(arg.c_str() + 7));
    } else {
      return false;
    }
  }
  return !a->host.empty() && !a->probe.empty() && !a->profile.empty();
}

std::string FullPath(const std::string& path) {
  char full[MAX_PATH];
  const DWORD n = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
  return n == 0 || n >= MAX_PATH ? path : std::string(full);
}

// The whole commands, `runs` times: sign writes `signatures`.
bool TimeCommands(const Arguments& a, DWORD pid, const std::string& signatures,
                  std::vector<double>* sign_seconds, std::vector<double>* update_seconds) {
  const std::string probe = "\"" + a.probe + "\" ";
  const std::string id = std::to_string(pid);
  for (int run = 0; run < a.runs; ++run) {
    double seconds = 0;
    if (RunCommand(a.probe, probe + "sign " + id + " --profile \"" + a.profile + "\" --out \"" +
                                signatures + "\"",
                   &seconds) != 0) {
      return false;
    }
    sign_seconds->push_back(seconds);
    if (RunCommand(a.probe, probe + "update " + id + " --signatures \"" + signatures + "\"",
                   &seconds) != 0) {
      return false;
    }
    update_seconds->push_back(seconds);
  }
  return true;
}

std::vector<sig::Signature> ReadSignatures(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return sig::ReadSignatureFile(text.str()).file.signatures;
}

std::string Range(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  char text[64];
  std::snprintf(text, sizeof text, "%.3f-%.3f s", values.front(), values.back());
  return text;
}

// The module's place and code sections, from the module list and one
// reading of its image.
bool FindCode(probe::ModuleImage* where, std::vector<CodeRange>* code, double* code_bytes) {
  where->live = true;
  if (!quorvane::FindModuleImage(kModule, &where->base, &where->size)) return false;
  probe::ModuleImage module = *where;
  std::string error;
  if (!probe::ReadLoadedImage(kModule, &module, &error)) return false;
  for (const sig::PeSection& s : module.image.sections) {
    if (!s.code) continue;
    code->push_back({where->base + s.rva, s.size});
    *code_bytes += s.size;
  }
  return true;
}

struct Ratios {
  double min = 1e9, max = 0;
  void Add(double ratio) {
    min = std::min(min, ratio);
    max = std::max(max, ratio);
  }
};

// The runs, each: the two floors and update in turns, then the sign steps.
bool TimeRuns(HANDLE process, const probe::ModuleImage& where, const std::vector<CodeRange>& code,
              const std::vector<sig::Signature>& signatures, const sig::Offsets& truth, int runs) {
  std::printf("%-4s %9s %9s %9s | %9s %9s %9s | %6s %6s | %9s %5s\n", "run", "bare s", "MiB/s",
              "kept s", "update s", "read s", "match s", "/bare", "/kept", "sign s", "sigs");
  std::vector<char> buffer(kChunk);
  Ratios bare_ratios, kept_ratios;
  bool all_right = true;
  for (int run = 0; run < runs; ++run) {
    BarePass bare, kept;
    UpdatePass update;
    if (run % 2 == 0) {
      bare = Bare(process, code, &buffer);
      kept = Bare(process, code, &buffer, true);
      update = Update(where, signatures);
    } else {
      update = Update(where, signatures);
      kept = Bare(process, code, &buffer, true);
      bare = Bare(process, code, &buffer);
    }
    std::size_t made = 0;
    const double sign = SignSteps(where, truth, &made);
    bool right = update.answered;
    for (int i = 0; i < sig::kOffsetCount; ++i) right = right && update.offsets.value[i] == truth.value[i];
    all_right = all_right && right;
    bare_ratios.Add(update.seconds / bare.seconds);
    kept_ratios.Add(update.seconds / kept.seconds);
    std::printf("%-4d %9.4f %9.1f %9.4f | %9.4f %9.4f %9.4f | %6.2f %6.2f | %9.3f %5u%s\n", run + 1,
                bare.seconds, Mib(bare.bytes) / bare.seconds, kept.seconds, update.seconds,
                update.read_seconds, update.seconds - update.read_seconds,
                update.seconds / bare.seconds, update.seconds / kept.seconds, sign,
                static_cast<unsigned>(made), right ? "" : "  (wrong or no answer)");
    std::fflush(stdout);
  }
  std::printf("update / bare read: min %.2f, max %.2f; update / bare read kept: min %.2f, max "
              "%.2f over %d runs (goal: at most 2 against the bare read)\n",
              bare_ratios.min, bare_ratios.max, kept_ratios.min, kept_ratios.max, runs);
  return all_right;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments a;
  if (!ParseArguments(argc, argv, &a)) {
    std::fprintf(stderr, "usage: qv_update_bench --host=sample_host.exe --probe=quorvane-probe.exe "
                         "--profile=example-profile-1.7.ini [--runs=N]\n");
    return 2;
  }
  a.profile = FullPath(a.profile);
  bench::ServedHost served;
  if (!bench::StartServedHost(a.host, "--app bench", &served)) {
    std::fprintf(stderr, "qv_update_bench: cannot start %s --app bench\n", a.host.c_str());
    return 2;
  }
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string signatures =
      std::string(temp) + "qv-update-bench-" + std::to_string(GetCurrentProcessId()) + ".sig";
  std::vector<double> sign_command, update_command;
  const bool commands_ran = TimeCommands(a, served.pid, signatures, &sign_command, &update_command);
  const HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE,
                                     FALSE, served.pid);
  quorvane::SetRemoteProcess(process);
  probe::ModuleImage where;
  std::vector<CodeRange> code;
  double code_bytes = 0;
  int status = 2;
  if (!commands_ran || process == nullptr || !FindCode(&where, &code, &code_bytes)) {
    std::fprintf(stderr, "qv_update_bench: sign or update failed, or the module cannot be read\n");
  } else {
    const std::vector<sig::Signature> signed_now = ReadSignatures(signatures);
    std::printf("update benchmark: sample host with the benchmark's module, %.1f MiB of code in "
                "%u section(s), %u signatures\n",
                Mib(code_bytes), static_cast<unsigned>(code.size()),
                static_cast<unsigned>(signed_now.size()));
    const bool right = TimeRuns(process, where, code, signed_now, ProfileOffsets(a.profile), a.runs);
    std::printf("whole commands, process start included: sign %s, update %s (goal for sign: "
                "seconds)\n",
                Range(sign_command).c_str(), Range(update_command).c_str());
    status = right ? 0 : 1;
  }
  quorvane::SetRemoteProcess(nullptr);
  if (process != nullptr) CloseHandle(process);
  bench::StopServedHost(&served);
  DeleteFileA(signatures.c_str());
  return status;
}
