// The finder over a host memory image that the input lays out, with a true
// chain planted (list slot -> structure -> record pointer -> record holding
// the marker) among the input's own bytes, decoys included. Properties:
//  - it never crashes (the sanitizers watch);
//  - an answer it gives reaches the marker when walked with the module's
//    readers: GetObjectData with the offsets found gives, in the marked
//    field of each marker it counts, a text that starts with the marker, and
//    GetTextbufferString with the buffer offset found starts with the buffer
//    marker;
//  - it never answers when two candidates tie.
#include "finder/finder.h"
#include "fuzz_support.h"
#include "platform/fake_platform.h"
#include "readers/layouts.h"

namespace {

constexpr std::uint32_t kBase = 0x00010000;
constexpr std::uint32_t kPages = 12;
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  finder::FindRequest request;
  request.module = kModule;
  request.max_data_offset = in.ConsumeIntegralInRange<std::uint32_t>(1, 0x200);
  request.chunk = 4096 * in.ConsumeIntegralInRange<std::uint32_t>(1, 3);
  const std::uint32_t module_pages = in.ConsumeIntegralInRange<std::uint32_t>(1, 4);

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

  fuzz::Image image(kBase, kPages);
  image.TakeStates(in);
  // The true chain, for every marker through its type's slot.
  const std::uint32_t list = in.ConsumeIntegralInRange<std::uint32_t>(0, module_pages * 4096 - 4 * 81);
  const std::uint32_t data_offset = in.ConsumeIntegralInRange<std::uint32_t>(1, request.max_data_offset);
  for (std::size_t k = 0; k < request.objects.size(); ++k) {
    const finder::ObjectMarker& m = request.objects[k];
    const std::uint32_t structure = kBase + in.ConsumeIntegralInRange<std::uint32_t>(0, kPages * 4096 - 1) / 4 * 4;
    const std::uint32_t record = kBase + in.ConsumeIntegralInRange<std::uint32_t>(0, kPages * 4096 - 1) / 4 * 4;
    image.PutU32(kBase + list + 4u * static_cast<std::uint32_t>(m.type), structure);
    image.PutU32(structure + data_offset, record);
    image.Put(record + quorvane::FindLayout(m.type)->fields[m.field].offset, m.bytes + std::string(2, '\0'));
  }
  if (request.buffer_marker) {
    const std::uint32_t at = kBase + in.ConsumeIntegralInRange<std::uint32_t>(4, module_pages * 4096 - 4) / 2 * 2;
    image.Put(at - 2, std::string(2, '\0') + request.buffer_bytes + std::string(2, '\0'));
  }
  // Decoys and noise.
  while (image.TakeWrite(in)) {
  }
  quorvane::fake::Reset();
  image.Install();
  quorvane::fake::SetModuleBase(kModule, kBase);
  quorvane::fake::SetModuleSize(kModule, module_pages * 4096);

  const finder::FindResult result = finder::FindOffsets(request, [](std::uint64_t, std::uint64_t) {});

  // Only an answer is walked: the shared Lua state is left alone otherwise.
  if (result.object_answer != finder::Answer::kFound &&
      result.buffer_answer != finder::Answer::kFound) {
    return 0;
  }
  lua_State* L = fuzz::Lua();
  if (result.object_answer == finder::Answer::kFound) {
    const finder::Candidate& best = result.candidates.front();
    for (std::size_t i = 1; i < result.candidates.size(); ++i) {
      const finder::Candidate& c = result.candidates[i];
      FUZZ_CHECK(c.markers.size() < best.markers.size() || c.score < best.score,
                 "an answer out of a tie");
    }
    FUZZ_CHECK(!best.markers.empty(), "an answer no marker reaches");
    for (const int k : best.markers) {
      const finder::ObjectMarker& m = request.objects[static_cast<std::size_t>(k)];
      std::string value;
      const bool read = Walk(L, "GetObjectData",
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
    const bool read = Walk(L, "GetTextbufferString",
                           {{"ModuleAddress", kBase}, {"TextBufferAddress", best.offset}}, 0,
                           nullptr, &value);
    FUZZ_CHECK(read && value.compare(0, buffer_text.size(), buffer_text) == 0,
               "the buffer answer does not reach the marker (offset " +
                   std::to_string(best.offset) + (best.starts ? ", starts" : "") +
                   ", score " + std::to_string(best.score) + ", " +
                   std::to_string(result.buffers.size()) + " hits): " +
                   (read ? "reads \"" + value + "\"" : "reads nothing"));
  }
  fuzz::ResetLua(L);
  return 0;
}
