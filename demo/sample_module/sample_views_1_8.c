/*
 * The views of sample_app.dll from build 1.8 on (sample_views.h), rewritten
 * when the timeline got its selection. They show what the views of 1.7
 * (sample_views.c) showed, and read the same data, with other code:
 *  - one accessor for every type: the text object and the filter are
 *    records of types 3 and 80 like any other, and the accessor keeps the
 *    entry in a local and trusts its record only when the entry holds
 *    objects of the type asked for;
 *  - the timeline walks the list with a pointer from its end, the autosave
 *    walks the chain of entries instead of the list;
 *  - the text buffer is measured with a pointer to its terminator;
 *  - the inspector also counts the selection's thumbnails, which it reads
 *    from the selection list (new in 1.8) the way 1.7 read the object list.
 */
#include "sample_app_heap.h"

#include "sample_views.h"

ViewsShown g_views;

void *SampleAppCurrentRecord(unsigned type) {
  const ObjectEntry *entry;
  if (type >= TYPE_COUNT) return NULL;
  entry = g_object_list[type];
  if (entry == NULL || entry->object_count == 0u || entry->type_index != type) return NULL;
  return entry->record;
}

TextRecord *SampleAppCurrentText(void) {
  return SampleAppCurrentRecord(TYPE_TEXT);
}

size_t SampleAppTextBufferLength(void) {
  const wchar_t *end = g_text_buffer;
  while (*end != 0) end++;
  return (size_t)(end - g_text_buffer);
}

void *SampleAppSelectedThumbnail(unsigned type) {
  const SelectionEntry *selected;
  if (type >= TYPE_COUNT) return NULL;
  selected = g_image.data.selection[type];
  return selected != NULL ? selected->thumbnail : NULL;
}

static void redraw_inspector(void) {
  const TextRecord *text = SampleAppCurrentRecord(TYPE_TEXT);
  const FilterRecord *filter = SampleAppCurrentRecord(TYPE_FILTER);
  unsigned type;
  g_views.title_chars = text != NULL ? (uint32_t)wcsnlen(text->text, TEXT_CHARS) : 0u;
  g_views.font_chars = text != NULL ? (uint32_t)strnlen(text->font, sizeof text->font) : 0u;
  g_views.filter_chars = filter != NULL ? (uint32_t)strnlen(filter->name, sizeof filter->name) : 0u;
  g_views.selection_thumbnails = 0;
  for (type = 0; type < TYPE_COUNT; type++) {
    if (SampleAppSelectedThumbnail(type) != NULL) g_views.selection_thumbnails++;
  }
}

static void redraw_timeline(void) {
  ObjectEntry *const *slot = g_object_list + TYPE_COUNT;
  g_views.types = g_views.objects = g_views.current_objects = 0;
  while (slot-- != g_object_list) {
    const ObjectEntry *entry = *slot;
    if (entry == NULL) continue;
    g_views.types++;
    g_views.objects += entry->object_count;
    if (entry->record != NULL) g_views.current_objects++;
  }
  g_views.ruler_ticks = ruler_ticks();
  count_colour_tags(g_views.colour_tags);
}

/* What an autosave would write: every current record, a thumbnail for
 * each, and the text buffer with its terminator. */
static uint32_t project_bytes(void) {
  uint32_t bytes = (uint32_t)(SampleAppTextBufferLength() + 1u) * (uint32_t)sizeof(wchar_t);
  const ObjectEntry *entry;
  for (entry = g_image.data.first_entry; entry != NULL; entry = entry->next) {
    if (entry->record != NULL) bytes += entry->record_size + thumbnail_bytes(160u, 90u);
  }
  return bytes;
}

void SampleAppIdle(void) {
  redraw_inspector();
  redraw_timeline();
  g_views.buffer_chars = (uint32_t)SampleAppTextBufferLength();
  if (g_views.idle_calls++ % 30u == 0u) g_views.project_bytes = project_bytes();
}
