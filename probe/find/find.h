// quorvane-probe find: finds a profile's offsets in a running host from
// markers its author placed there (the finder does the work, finder/), and
// prints the section to paste into a profile with the evidence.
#ifndef QUORVANE_PROBE_FIND_FIND_H
#define QUORVANE_PROBE_FIND_FIND_H

namespace probe {

// argv[0] is "find". Returns the exit status: 0 everything asked for found
// with one clear answer, 1 something not found or ambiguous, 2 bad use, a
// process that cannot be examined or that exited during the scan.
int RunFind(int argc, char** argv);

}  // namespace probe

#endif
