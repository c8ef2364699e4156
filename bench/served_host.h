// The benchmarks' sample host, left serving while they look at it from
// outside, and the clock they share.
#ifndef QUORVANE_BENCH_SERVED_HOST_H
#define QUORVANE_BENCH_SERVED_HOST_H

#include <windows.h>

#include <string>

namespace bench {

struct ServedHost {
  HANDLE process = nullptr;
  HANDLE output = nullptr;  // its standard output, read up to the pid line
  DWORD pid = 0;
};

// Starts `exe` with `command_line` (which names it first), its standard
// output to `output` (inherited), its standard input and error the
// benchmark's; false when it cannot.
bool StartProcess(const std::string& exe, std::string command_line, HANDLE output,
                  PROCESS_INFORMATION* pi);

// Starts `exe OPTIONS --serve 900` and reads its "pid N" line; false when
// it does not start or says something else.
bool StartServedHost(const std::string& exe, const std::string& options, ServedHost* host);

// Ends it and closes its handles.
void StopServedHost(ServedHost* host);

// Seconds on a steady clock.
double Now();

}  // namespace bench

#endif
