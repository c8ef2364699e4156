// The finder over a host memory image that the input lays out, with a true
// chain planted (list slot -> structure -> record pointer -> record holding
// the marker) among the input's own bytes, decoys included. Properties:
//  - it never crashes (the sanitizers watch);
//  - an answer it gives reaches the marker when walked with the module's
//    readers: GetObjectData with the offsets found gives, in the marked
//    field of each marker it counts, a text that starts with the marker, and
//    GetTextbufferString with the buffer offset found starts with the buffer
//    marker;
//  - it never answers when two candidates tie, nor without every marker;
//  - a change (finder/change_watch.h), made by the input in some of the
//    watched places, settles only a tie among places the scan's rules
//    would accept alone, and never leads to one they refuse: every marker
//    reached, nothing cut, a score above 0, the marked records readable,
//    no other pointer of the same structure to the same records within
//    the clear lead; a buffer place with a NUL unit (or nothing readable)
//    before it. Those rules are restated here from the host's bytes.
#include "finder/change_watch.h"
#include "finder/finder.h"
#include "fuzz_support.h"
#include "platform/fake_platform.h"
#include "readers/layouts.h"

namespace {

constexpr std::uint32_t kBase = 0x00010000;
constexpr std::uint32_t kPages = 12;
// Where the change puts records it moves, one per watched place, outside
// the laid-out pages.
constexpr std::uint32_t kMoved = 0x00100000, kMovedStride = 0x400;
const char kModule[] = "host.exe";

// String fields a marker can stand in: (type, field index).
struct Place {
  std::int32_t type;
  int field;
};
const Place kPlaces[] = {{0, 0}, {1, 0}, {2, 0}, {3, 10}, {3, 11}, {4, 2}, {6, 0}, {80, 2}, {80, 3}};

std::string Utf16(const std::string& ansi) {
  std::string out;
  for (const char c : ansi) {
    out += c;
    out += '\0';
  }
  return out;
}

// What a module function gives for an address table (and a type): the
// string it returns, or field `field` of the table it returns.
bool Walk(lua_State* L, const char* function,
          const std::vector<std::pair<const char*, std::uint32_t>>& table, std::int32_t type,
          const char* field, std::string* out) {
  const int top = lua_gettop(L);
  const int results = fuzz::CallModule(L, function, table, field != nullptr ? &type : nullptr);
  FUZZ_CHECK(results == 0 || results == 1, function);
  if (results == 1 && field != nullptr && lua_istable(L, -1)) lua_getfield(L, -1, field);
  std::size_t n = 0;
  const char* s =
      results == 1 && lua_type(L, -1) == LUA_TSTRING ? lua_tolstring(L, -1, &n) : nullptr;
  if (s != nullptr) out->assign(s, n);
  lua_settop(L, top);
  return s != nullptr;
}

// How each type fared under a candidate: "type:outcome" for each.
std::string Checks(const finder::Candidate& c) {
  static const char* const kOutcomes[] = {"plausible", "implausible", "empty",
                                          "no_record", "unreadable", "no_evidence"};
  std::string out;
  for (const finder::TypeCheck& t : c.checks) {
    out += " " + std::to_string(t.type) + ":" + kOutcomes[static_cast<int>(t.outcome)];
    if (!t.note.empty()) out += " (" + t.note + ")";
  }
  return out;
}

// The record marker `k`'s chain leads to under (list, offset), from the
// host's bytes as laid out; 0 when it stops before one.
std::uint32_t RecordOf(const fuzz::Image& image, const finder::FindRequest& request,
                       std::size_t k, std::uint32_t list, std::uint32_t data_offset) {
  const auto type = static_cast<std::uint32_t>(request.objects[k].type);
  std::uint32_t structure = 0, record = 0;
  if (!image.U32(std::uint64_t{kBase} + list + 4 * type, &structure) || structure == 0) return 0;
  if (!image.U32(std::uint64_t{structure} + data_offset, &record)) return 0;
  return record;
}

// Whether the scan's rules would take candidate `i` for the answer, were it
// the only contender.
bool ObjectAcceptable(lua_State* L, const fuzz::Image& image, const finder::FindRequest& request,
                      const finder::FindResult& r, std::size_t i) {
  const finder::Candidate& c = r.candidates[i];
  bool cut = r.pointers_cut || r.candidates_cut || r.lost_bytes > 0;
  for (const finder::MarkerHits& hits : r.object_hits) cut = cut || hits.cut;
  if (cut || c.score <= 0 || c.markers.size() != request.objects.size()) return false;
  const std::vector<std::pair<const char*, std::uint32_t>> table = {
      {"ModuleAddress", kBase}, {"ObjectAddressList", c.list},
      {"ObjectDataOffset", c.data_offset}};
  for (std::size_t k = 0; k < request.objects.size(); ++k) {
    std::int32_t type = request.objects[k].type;
    const int top = lua_gettop(L);
    const bool read = fuzz::CallModule(L, "GetObjectData", table, &type) == 1;
    lua_settop(L, top);
    if (!read) return false;
  }
  for (std::size_t j = 0; j < r.candidates.size(); ++j) {
    const finder::Candidate& o = r.candidates[j];
    if (j == i || o.list != c.list || o.data_offset == c.data_offset || o.markers != c.markers ||
        (o.score > c.score ? o.score - c.score : c.score - o.score) >= finder::kClearLead) {
      continue;
    }
    bool same = true;
    for (std::size_t k = 0; k < request.objects.size(); ++k) {
      same = same && RecordOf(image, request, k, c.list, c.data_offset) ==
                         RecordOf(image, request, k, o.list, o.data_offset);
    }
    if (same) return false;
  }
  return true;
}

bool BufferAcceptable(const fuzz::Image& image, const finder::FindResult& r, std::size_t i) {
  const std::uint32_t at = r.buffers[i].address;
  const bool readable_before = image.Readable(at - 2) && image.Readable(at - 1);
  const bool nul_before = readable_before && image.Byte(at - 2) == 0 && image.Byte(at - 1) == 0;
  return !r.buffer_hits_cut && r.lost_image_bytes == 0 && (!readable_before || nul_before);
}

// Where a watched place's text lies now, or 0.
std::uint32_t TextOf(const fuzz::Image& image, const finder::FindRequest& request,
                     const finder::FindResult& r, const finder::ChangeWatch& watch,
                     std::size_t marker, std::size_t index) {
  if (!watch.objects()) return r.buffers[index].address;
  const finder::Candidate& c = r.candidates[index];
  const std::uint32_t record = RecordOf(image, request, marker, c.list, c.data_offset);
  const finder::ObjectMarker& m = request.objects[marker];
  return record == 0 ? 0 : record + quorvane::FindLayout(m.type)->fields[m.field].offset;
}

// The host as the input lays it out: the image, the module in its first
// `module_pages` pages.
void InstallHost(const fuzz::Image& image, std::uint32_t module_pages) {
  quorvane::fake::Reset();
  image.Install();
  quorvane::fake::SetModuleBase(kModule, kBase);
  quorvane::fake::SetModuleSize(kModule, module_pages * 4096);
}

// The shared Lua state, made ready at the first use in an input: an input
// that does not use it leaves it alone.
struct LuaUse {
  lua_State* L = nullptr;
  lua_State* operator()() {
    if (L == nullptr) L = fuzz::Lua();
    return L;
  }
};

// The input's change: the watched places whose bit of `changes` is set get
// the new marker where their text is (if it can be written there); those
// whose bit of `moves` is set (objects only) get a new record with it, their
// record pointer set to it, as a host that moves an edited record does.
// Then the watch is polled once at the end of its wait, and what it settles
// on is checked against the host as laid out before the change.
void CheckChange(LuaUse& lua, const fuzz::Image& image, std::uint32_t module_pages,
                 const finder::FindRequest& request, const finder::FindResult& r, bool buffer,
                 std::size_t marker, std::uint64_t changes, std::uint64_t moves) {
  const bool wide =
      buffer || quorvane::FindLayout(request.objects[marker].type)
                        ->fields[request.objects[marker].field].kind ==
                    quorvane::FieldKind::kWideText;
  const std::string old_bytes = buffer ? request.buffer_bytes : request.objects[marker].bytes;
  const std::string text = "#QV-changed#";
  const std::string new_bytes = wide ? Utf16(text) : text;
  if (old_bytes.find(new_bytes) != std::string::npos ||
      new_bytes.find(old_bytes) != std::string::npos) {
    return;  // the probe takes two markers neither of which is part of the other
  }
  finder::ChangeWatch watch =
      buffer ? finder::ChangeWatch::ForBuffer(request, r, new_bytes, finder::kWatchIntervalMs)
             : finder::ChangeWatch::ForObjects(request, r, marker, new_bytes,
                                               finder::kWatchIntervalMs);
  const std::string written = new_bytes + std::string(wide ? 2 : 1, '\0');
  for (std::size_t n = 0; n < watch.places().size(); ++n) {
    if ((changes >> (n % 64) & 1) == 0) continue;
    const std::uint32_t at = TextOf(image, request, r, watch, marker, watch.places()[n].index);
    bool writable = at != 0;
    for (std::uint32_t b = 0; writable && b < written.size(); ++b) writable = image.Readable(at + b);
    if (writable) quorvane::fake::Write(at, written.data(), written.size());
  }
  for (std::size_t n = 0; !buffer && n < watch.places().size(); ++n) {
    if ((moves >> (n % 64) & 1) == 0) continue;
    const finder::Candidate& c = r.candidates[watch.places()[n].index];
    const finder::ObjectMarker& m = request.objects[marker];
    std::uint32_t structure = 0;
    if (!image.U32(std::uint64_t{kBase} + c.list + 4u * static_cast<std::uint32_t>(m.type),
                   &structure) ||
        !image.Readable(std::uint64_t{structure} + c.data_offset) ||
        !image.Readable(std::uint64_t{structure} + c.data_offset + 3)) {
      continue;
    }
    const std::uint32_t record = kMoved + static_cast<std::uint32_t>(n) * kMovedStride;
    quorvane::fake::Write(record + quorvane::FindLayout(m.type)->fields[m.field].offset,
                          written.data(), written.size());
    quorvane::fake::WriteU32(structure + c.data_offset, record);
  }
  const finder::Settled settled = watch.Poll(finder::kWatchIntervalMs);
  if (settled != finder::Settled::kChosen && settled != finder::Settled::kConfirmed) return;
  const std::size_t a = watch.answer();
  const std::size_t contenders = buffer ? r.buffer_contenders : r.object_contenders;
  const finder::Answer scan = buffer ? r.buffer_answer : r.object_answer;
  FUZZ_CHECK(a < contenders, "a change settled on a place the scan ranked lower");
  FUZZ_CHECK((settled == finder::Settled::kConfirmed) == (scan == finder::Answer::kFound),
             "confirmed what the scan did not find, or chose where it had found");
  InstallHost(image, module_pages);  // the scan's rules judge what the scan saw
  FUZZ_CHECK(buffer ? BufferAcceptable(image, r, a) : ObjectAcceptable(lua(), image, request, r, a),
             std::string("a change led to a place the scan's rules refuse: ") +
                 (buffer ? "buffer " : "candidate ") + std::to_string(a) + " of " +
                 std::to_string(contenders));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  finder::FindRequest request;
  request.module = kModule;
  request.max_data_offset = in.ConsumeIntegralInRange<std::uint32_t>(1, 0x200);
  request.chunk = 4096 * in.ConsumeIntegralInRange<std::uint32_t>(1, 3);
  const std::uint32_t module_pages = in.ConsumeIntegralInRange<std::uint32_t>(1, 4);
  // The change: which watch, of which marker, and which watched places get
  // the new marker.
  const bool change_buffer = in.ConsumeBool();
  const std::size_t change_marker = in.ConsumeIntegralInRange<std::size_t>(0, 2);
  const auto changes = in.ConsumeIntegral<std::uint64_t>();
  const auto moves = in.ConsumeIntegral<std::uint64_t>();

  // The markers: texts without NULs, as they come from the command line.
  std::vector<std::string> texts;
  const int markers = in.ConsumeIntegralInRange(0, 3);
  for (int k = 0; k < markers; ++k) {
    const Place place = kPlaces[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kPlaces) - 1)];
    std::string text = in.ConsumeRandomLengthString(24);
    text = text.substr(0, text.find('\0'));
    if (text.size() < 2) text = "QV-" + std::to_string(k);
    const quorvane::RecordLayout* layout = quorvane::FindLayout(place.type);
    const bool wide = layout->fields[place.field].kind == quorvane::FieldKind::kWideText;
    request.objects.push_back({wide ? Utf16(text) : text, place.type, place.field});
    texts.push_back(text);
  }
  request.buffer_marker = in.ConsumeBool();
  std::string buffer_text = in.ConsumeRandomLengthString(24);
  buffer_text = buffer_text.substr(0, buffer_text.find('\0'));
  if (buffer_text.size() < 2) buffer_text = "QV-b9e1";
  request.buffer_bytes = Utf16(buffer_text);

  // Blank, in the memory the last input's image had.
  static const fuzz::Image blank(kBase, kPages);
  static fuzz::Image image = blank;
  image = blank;
  image.TakeStates(in);
  // The true chain, for every marker through its type's slot.
  const std::uint32_t list = in.ConsumeIntegralInRange<std::uint32_t>(0, module_pages * 4096 - 4 * 81);
  const std::uint32_t data_offset = in.ConsumeIntegralInRange<std::uint32_t>(1, request.max_data_offset);
  // A second pointer of each structure to its record (a "first" beside the
  // "current" one), unless 0.
  const std::uint32_t first_offset = in.ConsumeIntegralInRange<std::uint32_t>(0, request.max_data_offset);
  for (std::size_t k = 0; k < request.objects.size(); ++k) {
    const finder::ObjectMarker& m = request.objects[k];
    const std::uint32_t structure = kBase + in.ConsumeIntegralInRange<std::uint32_t>(0, kPages * 4096 - 1) / 4 * 4;
    const std::uint32_t record = kBase + in.ConsumeIntegralInRange<std::uint32_t>(0, kPages * 4096 - 1) / 4 * 4;
    image.PutU32(kBase + list + 4u * static_cast<std::uint32_t>(m.type), structure);
    image.PutU32(structure + data_offset, record);
    if (first_offset != 0 && first_offset != data_offset) image.PutU32(structure + first_offset, record);
    image.Put(record + quorvane::FindLayout(m.type)->fields[m.field].offset, m.bytes + std::string(2, '\0'));
  }
  if (request.buffer_marker) {
    const std::uint32_t at = kBase + in.ConsumeIntegralInRange<std::uint32_t>(4, module_pages * 4096 - 4) / 2 * 2;
    image.Put(at - 2, std::string(2, '\0') + request.buffer_bytes + std::string(2, '\0'));
  }
  // Decoys and noise.
  while (image.TakeWrite(in)) {
  }
  InstallHost(image, module_pages);

  const finder::FindResult result = finder::FindOffsets(request, [](std::uint64_t, std::uint64_t) {});

  // Only an answer, and a place a change settles on, are walked with the
  // module: the shared Lua state is left alone otherwise.
  LuaUse lua;
  if (result.object_answer == finder::Answer::kFound) {
    const finder::Candidate& best = result.candidates.front();
    for (std::size_t i = 1; i < result.candidates.size(); ++i) {
      const finder::Candidate& c = result.candidates[i];
      FUZZ_CHECK(c.markers.size() < best.markers.size() || c.score < best.score,
                 "an answer out of a tie");
    }
    FUZZ_CHECK(best.markers.size() == request.objects.size(), "an answer without every marker");
    for (const int k : best.markers) {
      const finder::ObjectMarker& m = request.objects[static_cast<std::size_t>(k)];
      std::string value;
      const bool read = Walk(lua(), "GetObjectData",
                             {{"ModuleAddress", kBase}, {"ObjectAddressList", best.list},
                              {"ObjectDataOffset", best.data_offset}},
                             m.type, quorvane::FindLayout(m.type)->fields[m.field].name, &value);
      FUZZ_CHECK(read && value.compare(0, texts[static_cast<std::size_t>(k)].size(),
                                       texts[static_cast<std::size_t>(k)]) == 0,
                 "the answer does not reach marker " + std::to_string(k) + " (list " +
                     std::to_string(best.list) + ", offset " + std::to_string(best.data_offset) +
                     ", type " + std::to_string(m.type) + ", score " + std::to_string(best.score) +
                     "): " + (read ? "reads \"" + value + "\"" : "reads nothing") + Checks(best));
    }
  }
  if (result.buffer_answer == finder::Answer::kFound) {
    const finder::BufferCandidate& best = result.buffers.front();
    for (std::size_t i = 1; i < result.buffers.size(); ++i) {
      FUZZ_CHECK(result.buffers[i].score < best.score, "a buffer answer out of a tie");
    }
    std::string value;
    const bool read = Walk(lua(), "GetTextbufferString",
                           {{"ModuleAddress", kBase}, {"TextBufferAddress", best.offset}}, 0,
                           nullptr, &value);
    FUZZ_CHECK(read && value.compare(0, buffer_text.size(), buffer_text) == 0,
               "the buffer answer does not reach the marker (offset " +
                   std::to_string(best.offset) + (best.starts ? ", starts" : "") +
                   ", score " + std::to_string(best.score) + ", " +
                   std::to_string(result.buffers.size()) + " hits): " +
                   (read ? "reads \"" + value + "\"" : "reads nothing"));
  }
  if (change_buffer && request.buffer_marker) {
    CheckChange(lua, image, module_pages, request, result, true, 0, changes, 0);
  } else if (!change_buffer && change_marker < request.objects.size()) {
    CheckChange(lua, image, module_pages, request, result, false, change_marker, changes, moves);
  }
  if (lua.L != nullptr) fuzz::ResetLua(lua.L);
  return 0;
}
