// One walk as the commands' reports show it: lines of text for a person,
// a JSON object for a program. Strings appear as the module returns them:
// in the text as ANSI bytes in Lua's quoting, in the JSON as UTF-8 and as
// the hex of their ANSI bytes ("ansi").
#ifndef QUORVANE_PROBE_WALK_WALK_OUTPUT_H
#define QUORVANE_PROBE_WALK_WALK_OUTPUT_H

#include <string>
#include <vector>

#include "probe/common/json.h"
#include "probe/walk/walk_types.h"

namespace probe {

// "the record pointer": a hop as a sentence names it.
std::string HopPhrase(Hop hop);

// The walk's lines, each ending in a line break, the first one blank. With
// `stop_said_elsewhere` the line that says where it stopped is left out:
// the report says it once for several walks.
std::string TextWalkLines(const Walk& walk, const AddressTable& table, bool stop_said_elsewhere);

void JsonWalk(const Walk& walk, JsonWriter* j);

// "walks": each walk's object, in order.
void JsonWalks(const std::vector<Walk>& walks, JsonWriter* j);

// The walks as the commands that find offsets print them after their
// section: a title, then each walk's lines, every line a ";" comment.
std::string CommentedWalks(const std::vector<Walk>& walks, const AddressTable& table);

}  // namespace probe

#endif
