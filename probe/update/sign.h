// quorvane-probe sign: checks a profile against a running host and, when it
// is right there, writes the signatures of the code that uses its offsets,
// for update to find them in the next release (sign.cpp; the core that makes
// them is signatures/).
#ifndef QUORVANE_PROBE_UPDATE_SIGN_H
#define QUORVANE_PROBE_UPDATE_SIGN_H

namespace probe {

// argv[0] is "sign". Returns the exit status: 0 signed, 1 not signed (the
// profile is not right for the host, or an offset has no signature), 2 bad
// use, a process or module that cannot be examined, a file not written.
int RunSign(int argc, char** argv);

}  // namespace probe

#endif
