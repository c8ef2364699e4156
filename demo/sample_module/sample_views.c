/*
 * The views of sample_app.dll up to build 1.7 (sample_views.h): the
 * inspector shows the current text object and filter, the timeline every
 * type that has an entry, the text panel the text buffer; now and then the
 * idle work adds up what an autosave would write. They read the project's
 * current objects through the object list, as the application does
 * everywhere: list[type]->record.
 *
 * Compiled for each release with its layout, SAMPLE_APP_LAYOUT
 * (sample_app.h for 1.4, sample_app_heap.h from 1.5 on); from 1.6 on the
 * timeline also has a ruler, from 1.7 on colour tags and thumbnails
 * (sample_timeline.c). The views keep only counts and lengths of what they
 * show, no pointers.
 */
#include SAMPLE_APP_LAYOUT

#include "sample_views.h"

ViewsShown g_views;

void *SampleAppCurrentRecord(unsigned type) {
  const ObjectEntry *entry;
  if (type >= TYPE_COUNT) return NULL;
  entry = g_object_list[type];
  return entry != NULL ? entry->record : NULL;
}

TextRecord *SampleAppCurrentText(void) {
  const ObjectEntry *entry = g_object_list[TYPE_TEXT];
  return entry != NULL ? entry->record : NULL;
}

size_t SampleAppTextBufferLength(void) {
  size_t n = 0;
  while (g_text_buffer[n] != 0) n++;
  return n;
}

static void redraw_inspector(void) {
  const TextRecord *text = SampleAppCurrentText();
  const ObjectEntry *filter_entry = g_object_list[TYPE_FILTER];
  const FilterRecord *filter = filter_entry != NULL ? filter_entry->record : NULL;
  g_views.title_chars = text != NULL ? (uint32_t)wcsnlen(text->text, TEXT_CHARS) : 0u;
  g_views.font_chars = text != NULL ? (uint32_t)strnlen(text->font, sizeof text->font) : 0u;
  g_views.filter_chars = filter != NULL ? (uint32_t)strnlen(filter->name, sizeof filter->name) : 0u;
}

static void redraw_timeline(void) {
  unsigned type;
  g_views.types = g_views.objects = g_views.current_objects = 0;
  for (type = 0; type < TYPE_COUNT; type++) {
    const ObjectEntry *entry = g_object_list[type];
    if (entry == NULL) continue;
    g_views.types++;
    g_views.objects += entry->object_count;
    if (entry->record != NULL) g_views.current_objects++;
  }
#if SAMPLE_APP_RELEASE >= 16
  g_views.ruler_ticks = ruler_ticks();
#endif
#if SAMPLE_APP_RELEASE >= 17
  count_colour_tags(g_views.colour_tags);
#endif
}

static void redraw_text_panel(void) {
  g_views.buffer_chars = (uint32_t)SampleAppTextBufferLength();
}

/* What an autosave would write: every current record and the text buffer
 * with its terminator. */
static uint32_t project_bytes(void) {
  uint32_t bytes = (uint32_t)(wcslen(g_text_buffer) + 1u) * (uint32_t)sizeof(wchar_t);
  unsigned type;
  for (type = 0; type < TYPE_COUNT; type++) {
    const ObjectEntry *entry = g_object_list[type];
    if (entry != NULL && entry->record != NULL) bytes += entry->record_size;
  }
#if SAMPLE_APP_RELEASE >= 17
  bytes += thumbnail_bytes(160u, 90u) * g_views.current_objects;
#endif
  return bytes;
}

void SampleAppIdle(void) {
  redraw_inspector();
  redraw_timeline();
  redraw_text_panel();
  if (g_views.idle_calls++ % 30u == 0u) g_views.project_bytes = project_bytes();
}
