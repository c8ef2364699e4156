// The find's verdict, from its report alone once the scan and the change
// watches are done: the offsets found (the scan's one answer, or what a
// change settled) and one reason for each offset asked for and not found.
// No system calls: the fuzz target of the find's output makes its reports
// the way the find does.
#ifndef QUORVANE_PROBE_FIND_FIND_VERDICT_H
#define QUORVANE_PROBE_FIND_FIND_VERDICT_H

#include "probe/find/find_report.h"

namespace probe {

// Fills r->object_found, r->buffer_found, r->table and r->reasons from
// r->options, r->markers, r->result and r->change.
void Conclude(FindReport* r);

}  // namespace probe

#endif
