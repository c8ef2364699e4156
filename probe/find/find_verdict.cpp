#include "probe/find/find_verdict.h"

#include <string>

#include "probe/find/find_change.h"
#include "probe/find/find_reasons.h"

namespace probe {

void Conclude(FindReport* r) {
  const finder::FindResult& f = r->result;
  std::size_t object_index = 0, buffer_index = 0;
  r->object_found = FoundAfterChange(r->change.object_ask, r->change.object,
                                     f.object_answer == finder::Answer::kFound, &object_index);
  r->buffer_found = FoundAfterChange(r->change.buffer_ask, r->change.buffer,
                                     f.buffer_answer == finder::Answer::kFound, &buffer_index);
  const std::uint32_t wait = r->change.wait_seconds;
  const std::string object_change = ChangeReason(r->change.object_ask, r->change.object, f, wait,
                                                 "ObjectAddressList and ObjectDataOffset: ");
  const std::string buffer_change =
      ChangeReason(r->change.buffer_ask, r->change.buffer, f, wait, "TextBufferAddress: ");
  if (!r->markers.empty() && !r->object_found)
    r->reasons.push_back(object_change.empty() ? ObjectReason(*r) : object_change);
  if (r->options.has_buffer && !r->buffer_found)
    r->reasons.push_back(buffer_change.empty() ? BufferReason(*r) : buffer_change);
  r->table.module_base = f.module_base;
  if (r->object_found) {
    r->table.object_address_list = f.candidates[object_index].list;
    r->table.object_data_offset = f.candidates[object_index].data_offset;
  }
  if (r->buffer_found) r->table.text_buffer_address = f.buffers[buffer_index].offset;
}

}  // namespace probe
