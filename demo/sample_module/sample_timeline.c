/*
 * What later releases added to the timeline of sample_app.dll: its ruler
 * (1.6), colour tags and thumbnails (1.7). The build links this file ahead
 * of the views (demo/CMakeLists.txt), so each addition moves the views'
 * readers, and every call to them from the module's own code.
 */
#include "sample_app_heap.h"

#include <limits.h>

#include "sample_views.h"

/* A tick at every quarter second of the frame rate, over the frames from
 * `first` to `last`. */
static uint32_t ticks_between(int32_t first, int32_t last, uint32_t frame_rate) {
  const int32_t step = frame_rate >= 4u ? (int32_t)(frame_rate / 4u) : 1;
  uint32_t ticks = 0;
  int32_t frame;
  for (frame = first - first % step; frame <= last; frame += step) ticks++;
  return ticks;
}

uint32_t ruler_ticks(void) {
  int32_t first = INT32_MAX, last = INT32_MIN;
  const Layer *layer;
  for (layer = g_image.data.layers; layer != NULL; layer = layer->next) {
    if (layer->frame_from < first) first = layer->frame_from;
    if (layer->frame_to > last) last = layer->frame_to;
  }
  return first <= last ? ticks_between(first, last, g_image.data.view_settings[2]) : 0u;
}

#if SAMPLE_APP_RELEASE >= 17
void count_colour_tags(uint32_t counts[COLOUR_TAGS]) {
  const ObjectEntry *entry;
  unsigned tag;
  for (tag = 0; tag < COLOUR_TAGS; tag++) counts[tag] = 0;
  for (entry = g_image.data.first_entry; entry != NULL; entry = entry->next) {
    counts[entry->colour_tag % COLOUR_TAGS]++;
  }
}

uint32_t thumbnail_bytes(uint32_t width, uint32_t height) {
  return ((width * 4u + 15u) & ~15u) * height;
}
#endif
