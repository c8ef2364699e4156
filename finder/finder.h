// Finding a profile's offsets in a running host from markers its author
// placed there:
//
//  1. the object markers (texts of the author's choosing in a string field
//     of the current record of a type, UTF-16 for the wide text, ANSI for
//     the others) are searched in every readable region; a hit at x makes
//     x - field offset a candidate record;
//  2. every 4-aligned 32-bit word equal to a candidate record is a record
//     pointer p; for every ObjectDataOffset d from 1 to the limit the
//     structure would start at p - d;
//  3. every 4-aligned word of the module's image equal to such a structure
//     is the list slot of the marker's type: ObjectAddressList =
//     slot - base - 4 * type, ObjectDataOffset = d;
//  4. every (list, offset) pair is ranked by how many markers it reaches,
//     then walked for every type with a layout and scored by how many
//     records decode to plausible values; the answer must reach every
//     marker;
//  5. the buffer marker's UTF-16 hits inside the image give
//     TextBufferAddress = hit - base.
//
// Memory is read in two streaming passes over every readable region (the
// markers, then the record pointers) and one over the image (the slots).
#ifndef QUORVANE_FINDER_FINDER_H
#define QUORVANE_FINDER_FINDER_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "finder/plausibility.h"

namespace finder {

// ObjectDataOffset is looked for from 1 to this (0 reads as a missing key).
constexpr std::uint32_t kDefaultMaxDataOffset = 0x1000;
constexpr std::uint32_t kDefaultChunk = 4u << 20;

// Limits that keep a find's memory bounded; past them the rest is dropped
// and the result says so.
constexpr std::size_t kMaxMarkerHits = 4096;
constexpr std::size_t kMaxPointers = 65536;
constexpr std::size_t kMaxCandidates = 20000;

// Where a marker is looked for unless told otherwise: the wide text of
// type 3's records.
constexpr std::int32_t kDefaultMarkerType = 3;
constexpr int kDefaultMarkerField = 11;  // layout 3's "text"

// The index of the string field of type `type`'s layout that a marker is in:
// the one called `*name`, or without a name, the wide text, else the first
// string field. -1 when the type has no layout or no such field.
int MarkerField(std::int32_t type, const std::string* name);

// A text of the author's choosing in a string field of the current record
// of one type.
struct ObjectMarker {
  std::string bytes;  // as they stand in host memory (UTF-16LE or ANSI), no terminator
  std::int32_t type = kDefaultMarkerType;  // the layout whose field holds them
  int field = kDefaultMarkerField;         // index of that field in the layout
};

struct FindRequest {
  std::string module;

  // Markers in object records; with none, the list and the record pointer
  // offset are not looked for. Each marker must reach the answer through
  // the slot of its own type: more markers, more evidence.
  std::vector<ObjectMarker> objects;

  bool buffer_marker = false;
  std::string buffer_bytes;  // UTF-16LE, no terminator

  std::uint32_t max_data_offset = kDefaultMaxDataOffset;
  std::uint32_t chunk = kDefaultChunk;

  // Offsets of an older profile: among equals, the nearest come first.
  bool hint_list = false, hint_data = false, hint_buffer = false;
  std::uint32_t old_list = 0, old_data = 0, old_buffer = 0;
};

struct MarkerHit {
  std::uint32_t address;
  bool in_module;
};

struct MarkerHits {
  std::vector<MarkerHit> hits;
  bool cut = false;  // more hits than kMaxMarkerHits: the rest were dropped
};

struct RecordPointer {
  std::uint32_t address;  // where the pointer is stored
  std::uint32_t record;   // its value: a candidate record
};

// How one type fared under a candidate. kNoEvidence: a record that decodes
// to nothing but zeros, or a type whose layout has no fields; like an empty
// slot it counts for nothing, since zero-filled memory decodes so under any
// offsets.
enum class Outcome { kPlausible, kImplausible, kEmptySlot, kNoRecord, kUnreadable, kNoEvidence };

struct TypeCheck {
  std::int32_t type;
  Outcome outcome;
  std::string note;  // what was implausible or unreadable
};

struct Candidate {
  std::uint32_t list;         // ObjectAddressList
  std::uint32_t data_offset;  // ObjectDataOffset
  // The chain that gave it, for the first marker's type.
  std::uint32_t slot, structure, pointer, record;
  // The object markers whose records it reaches through their type's slot,
  // in request order. Candidates reached by more markers rank first.
  std::vector<int> markers;
  // The record each of those markers is reached in, in the same order.
  std::vector<std::uint32_t> records;
  int score = 0;
  std::vector<TypeCheck> checks;  // one per type with a layout
  int Count(Outcome outcome) const;
};

struct BufferCandidate {
  std::uint32_t offset;  // TextBufferAddress
  std::uint32_t address;
  bool starts = false;      // a NUL unit (or nothing readable) right before it
  bool terminated = false;  // a NUL unit right after the marker
  int score = 0;            // 2 terminated, 1 starts but text after it, 0 neither
};

enum class Answer { kNotAsked, kFound, kAmbiguous, kNotFound };

// Why the object offsets were not found. kMarkerNotReached: no candidate
// reaches every marker given (one of them may be nowhere at all).
enum class Missing { kNone, kNoMarker, kNoPointer, kNoSlot, kNoPlausible, kMarkerNotReached };

struct FindResult {
  bool module_loaded = false;
  bool process_ended = false;
  std::uint32_t module_base = 0, module_size = 0;

  std::uint32_t regions = 0;
  std::uint64_t total_bytes = 0;  // readable memory, one pass
  std::uint64_t bytes_read = 0;   // over every pass
  std::uint32_t failed_reads = 0;
  // Listed as readable by the memory map, but not readable when a pass or
  // the scoring came to it: over every pass and the scoring, and in the
  // image during the marker pass and the buffer's judgement. What was lost
  // may have held the evidence, so neither answer is found then.
  std::uint64_t lost_bytes = 0;
  std::uint64_t lost_image_bytes = 0;

  std::vector<MarkerHits> object_hits;  // per object marker
  std::vector<MarkerHit> buffer_hits;
  bool buffer_hits_cut = false;
  std::vector<RecordPointer> pointers;
  bool pointers_cut = false;
  std::uint32_t zero_offset_pointers = 0;  // structures that only d = 0 would give
  std::uint64_t candidates_considered = 0;
  bool candidates_cut = false;
  std::vector<Candidate> candidates;     // best first
  std::vector<BufferCandidate> buffers;  // best first

  Answer object_answer = Answer::kNotAsked;
  Missing object_missing = Missing::kNone;
  // The first ones of `candidates` that reach as many markers as the best
  // and score within kClearLead of it: one for kFound, more for kAmbiguous
  // (which is also the answer when the one contender is refused: see
  // ObjectRefusal).
  std::size_t object_contenders = 0;
  Answer buffer_answer = Answer::kNotAsked;
  std::size_t buffer_contenders = 0;
  // The one place left has text, or a variable, right before the marker:
  // ambiguous, since where the buffer starts is not known.
  bool buffer_text_before = false;
};

// Progress of the passes over all memory: bytes done of bytes to do.
using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

FindResult FindOffsets(const FindRequest& request, const Progress& progress);

// The verdicts on what the passes and the scoring gathered: the candidates
// and the buffer places ranked (best first), their contenders, the answers
// and, where the best candidate is refused, what is missing. FindOffsets
// ends with it, once all reading is done.
void RankResult(const FindRequest& request, FindResult* result);

// Scores one (list, offset) pair: walks every type with a layout.
Candidate ScoreCandidate(HostView& view, std::uint32_t base, std::uint32_t list,
                         std::uint32_t data_offset);

// A candidate wins when it leads the next by at least this much.
constexpr int kClearLead = 2;

// What keeps a place from being the answer even when no other place ties
// with it. The scan gives an answer only for one contender that nothing
// refuses, and a change that settles a tie (change_watch.h) only for a
// place that nothing refuses either: a change tells which of several
// places is the live one, never more.
enum class Refusal {
  kNone,
  // Objects: a marker given that the candidate does not reach (found
  // nowhere, or in no record its chains lead to).
  kMarkerNotReached,
  // Objects: nothing decodes plausibly (a score of 0 or less), or the
  // module cannot read a record a marker lies in.
  kNotPlausible,
  kEvidenceCut,  // hits, pointers or candidates dropped at a cap
  kMemoryLost,   // memory the map listed as readable could not be read
  // Objects: another pointer of the same structure leads to the same
  // records (SharedRecordOf), and nothing tells the two apart.
  kSharedRecord,
  // The buffer: something other than a NUL unit right before the marker,
  // so where the buffer starts is not known.
  kTextBefore,
};

// What refuses candidate `index` of `result` (kNone: nothing).
Refusal ObjectRefusal(const FindRequest& request, const FindResult& result, std::size_t index);
// What refuses buffer place `index` of `result`.
Refusal BufferRefusal(const FindResult& result, std::size_t index);

// Another candidate of the same list that reaches the same markers in the
// same records at another ObjectDataOffset: two pointers of one structure to
// one record (a "current" and a "first", say), told apart neither by a
// marker nor by a clear lead in score. Its index, or kNotShared.
constexpr std::size_t kNotShared = static_cast<std::size_t>(-1);
std::size_t SharedRecordOf(const FindResult& result, std::size_t index);

}  // namespace finder

#endif
