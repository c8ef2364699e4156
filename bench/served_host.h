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

// Starts `exe OPTIONS --serve 900` and reads its "pid N" line; false when
// it does not start or says something else.
bool StartServedHost(const std::string& exe, const std::string& options, ServedHost* host);

// Ends it and closes its handles.
void StopServedHost(ServedHost* host);

// Seconds on a steady clock.
double Now();

}  // namespace bench

#endif
