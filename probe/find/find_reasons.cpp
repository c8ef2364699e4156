#include "probe/find/find_reasons.h"

#include <vector>

namespace probe {

using finder::Answer;
using finder::FindResult;

namespace {

std::string QuotedList(const std::vector<std::string>& texts) {
  std::string out;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    out += (i == 0 ? "" : i + 1 == texts.size() ? " and " : ", ") + Quote(texts[i]);
  }
  return out;
}

std::string LostReason(std::uint64_t bytes) {
  return Format(
      "%.1f KiB of memory that the memory map listed as readable could not be read when the "
      "scan came to it (freed or protected since), and the evidence may have been there: "
      "run find again",
      static_cast<double>(bytes) / 1024.0);
}

}  // namespace

std::string MarkerTitle(const MarkerInfo& m) {
  return Format("text marker %s (%s, type %d field \"%s\", record + %u)", Quote(m.text).c_str(),
                m.wide ? "UTF-16" : "ANSI", static_cast<int>(m.type), m.field,
                static_cast<unsigned>(m.field_offset));
}

std::string ObjectReason(const FindReport& r) {
  const FindResult& f = r.result;
  const std::string pair = "ObjectAddressList and ObjectDataOffset: ";
  std::vector<std::string> common, missing;
  std::size_t hits = 0;
  for (std::size_t k = 0; k < r.markers.size(); ++k) {
    if (f.object_hits[k].cut) common.push_back(r.markers[k].text);
    if (f.object_hits[k].hits.empty()) missing.push_back(r.markers[k].text);
    hits += f.object_hits[k].hits.size();
  }
  if (!common.empty() || f.pointers_cut || f.candidates_cut) {
    return pair + Format(
                      "the marker %s too common (more than %u hits, %u pointers or %u "
                      "candidates kept): choose a longer, rarer one",
                      (common.empty() ? std::string("is")
                                      : QuotedList(common) + (common.size() == 1 ? " is" : " are"))
                          .c_str(),
                      static_cast<unsigned>(finder::kMaxMarkerHits),
                      static_cast<unsigned>(finder::kMaxPointers),
                      static_cast<unsigned>(finder::kMaxCandidates));
  }
  if (f.lost_bytes > 0) return pair + LostReason(f.lost_bytes);
  if (f.object_answer == Answer::kAmbiguous) {
    return pair + Format(
                      "%u candidates score alike (best %d, next %d); none picked: "
                      "see the candidates listed first",
                      static_cast<unsigned>(f.object_contenders), f.candidates[0].score,
                      f.candidates[1].score);
  }
  const MarkerInfo& first = r.markers.front();
  switch (f.object_missing) {
    case finder::Missing::kNoMarker:
      return pair + (missing.size() == 1 ? "the marker " : "the markers ") + QuotedList(missing) +
             Format(" %s nowhere in the %.1f MiB of readable memory",
                    missing.size() == 1 ? "is" : "are", Mib(f.total_bytes)) +
             ": check that the host shows an object of type " + std::to_string(first.type) +
             " whose " + first.field + " is exactly the marker and that it is the current one";
    case finder::Missing::kNoPointer:
      return pair + Format(
                        "the markers were found %u times, but no 4-aligned pointer leads to a "
                        "record around them (marker - field offset): check --type and --field, "
                        "and that the objects are the current ones",
                        static_cast<unsigned>(hits));
    case finder::Missing::kNoSlot:
      return pair + Format(
                        "%u pointers to the markers' records were found, but no word of %s's "
                        "image points up to 0x%X bytes below one: check --module, or try a "
                        "larger --max-offset",
                        static_cast<unsigned>(f.pointers.size()), LuaEscape(r.module).c_str(),
                        static_cast<unsigned>(r.options.max_offset));
    case finder::Missing::kNoPlausible:
      return pair + "no candidate decodes the records plausibly; see the candidates listed";
    case finder::Missing::kNone: break;
  }
  return pair + "not found";
}

std::string BufferReason(const FindReport& r) {
  const FindResult& f = r.result;
  const std::string head = "TextBufferAddress: ";
  if (f.buffer_hits_cut) {
    return head + "the buffer marker " + Quote(r.options.buffer_text) +
           Format(" is too common (more than %u hits kept): choose a longer, rarer one",
                  static_cast<unsigned>(finder::kMaxMarkerHits));
  }
  if (f.lost_image_bytes > 0) return head + LostReason(f.lost_image_bytes);
  if (f.buffer_text_before) {
    const finder::BufferCandidate& b = f.buffers.front();
    return head + "the buffer marker " + Quote(r.options.buffer_text) +
           Format(" has something other than a NUL unit right before it (at 0x%08X, module + "
                  "0x%X): text typed before it, or a variable the buffer follows; which, the "
                  "memory does not say: clear the buffer, type the marker alone and run find "
                  "again",
                  static_cast<unsigned>(b.address), static_cast<unsigned>(b.offset));
  }
  if (f.buffer_answer == Answer::kAmbiguous) {
    return head + Format("%u places in %s's image hold the buffer marker alike; none picked",
                         static_cast<unsigned>(f.buffer_contenders), LuaEscape(r.module).c_str());
  }
  std::size_t elsewhere = 0;
  for (const finder::MarkerHit& h : f.buffer_hits) elsewhere += h.in_module ? 0 : 1;
  std::string reason =
      head + "the buffer marker " + Quote(r.options.buffer_text) +
      Format(" is not in %s's image (0x%08X, 0x%X bytes)", LuaEscape(r.module).c_str(),
             static_cast<unsigned>(f.module_base), static_cast<unsigned>(f.module_size));
  if (elsewhere > 0) {
    return reason + Format(
                        ", only %u times elsewhere: type it where the host keeps its text "
                        "buffer, not in another text",
                        static_cast<unsigned>(elsewhere));
  }
  return reason + ": check that it is typed in the host's text buffer, exactly";
}

}  // namespace probe
