// quorvane-probe update: after a host update, the new offsets from the new
// release's code, found by the signatures that sign made on the release
// before, checked against the running host before they are printed.
#ifndef QUORVANE_PROBE_UPDATE_UPDATE_H
#define QUORVANE_PROBE_UPDATE_UPDATE_H

namespace probe {

// argv[0] is "update". Returns the exit status: 0 the section, checked in a
// running host; 1 no section; 2 bad use, a signature file that cannot be
// read, a process or module that cannot be examined; 3 the section from a
// module file, not checked against a running host.
int RunUpdate(int argc, char** argv);

}  // namespace probe

#endif
