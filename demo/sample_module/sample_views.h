/*
 * The views of sample_app.dll: the inspector, the timeline and the text
 * panel, as far as they read the project's current objects and the text
 * buffer, and the idle work that redraws them. Every release has them, each
 * in its own version (sample_views.c; sample_views_1_8.c from 1.8 on), and
 * they run: sample_host.exe calls SampleAppIdle when it has loaded the
 * module and once a second while it serves.
 *
 * Up to 1.6 the readers belong to the module's plug-in interface and are
 * exported; 1.7 withdrew them, and from then on only the module itself
 * calls them.
 */
#ifndef SAMPLE_VIEWS_H
#define SAMPLE_VIEWS_H

#include "sample_records.h"

/* The types the views show by name. */
#define TYPE_TEXT 3u
#define TYPE_FILTER 80u

#if SAMPLE_APP_RELEASE < 17
#define SAMPLE_VIEWS_API __declspec(dllexport)
#else
#define SAMPLE_VIEWS_API
#endif

/* The current object's record of type `type`, or NULL when the type has no
 * entry or no current object. */
SAMPLE_VIEWS_API void *SampleAppCurrentRecord(unsigned type);
/* The current text object's record, or NULL. */
SAMPLE_VIEWS_API TextRecord *SampleAppCurrentText(void);
/* The characters in the text buffer, up to its terminator. */
SAMPLE_VIEWS_API size_t SampleAppTextBufferLength(void);

#if SAMPLE_APP_RELEASE >= 16
/* The timeline's additions (sample_timeline.c). From 1.6: the ruler's ticks
 * over the frames the layers span. */
uint32_t ruler_ticks(void);
#endif
#if SAMPLE_APP_RELEASE >= 17
/* From 1.7: how many types carry each colour tag, and the bytes of a
 * thumbnail of `width` x `height` at 32 bits a pixel, rows padded to 16. */
#define COLOUR_TAGS 7u
void count_colour_tags(uint32_t counts[COLOUR_TAGS]);
uint32_t thumbnail_bytes(uint32_t width, uint32_t height);
#endif
#if SAMPLE_APP_RELEASE >= 18
/* From 1.8: the thumbnail the timeline shows for its selection of a type,
 * or NULL. */
void *SampleAppSelectedThumbnail(unsigned type);
#endif

/* What the views showed at their last redraw: counts and lengths, no
 * pointers. */
typedef struct ViewsShown {
  uint32_t idle_calls;
  uint32_t types, objects, current_objects;
  uint32_t title_chars, font_chars, filter_chars, buffer_chars;
  uint32_t project_bytes;
#if SAMPLE_APP_RELEASE >= 16
  uint32_t ruler_ticks;
#endif
#if SAMPLE_APP_RELEASE >= 17
  uint32_t colour_tags[COLOUR_TAGS];
#endif
#if SAMPLE_APP_RELEASE >= 18
  uint32_t selection_thumbnails;
#endif
} ViewsShown;
SAMPLE_APP_OWN_DATA ViewsShown g_views;

/* What the application does when it is idle: redraws its views, and now
 * and then works out what an autosave would write. */
SAMPLE_APP_API void SampleAppIdle(void);

#endif
