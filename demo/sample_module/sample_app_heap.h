/*
 * The layout of sample_app.dll from build "SampleApp 1.5" on
 * (sample_app_heap.c): the entries and records on the heap, the object list
 * and the text buffer in the image, in one structure, g_image. Its views
 * (sample_views.c, sample_views_1_8.c) read it through the same
 * declarations.
 *
 * SAMPLE_APP_RELEASE (15 for 1.5, 16 for 1.6, ...) says which release is
 * built. Each release after 1.5 adds what a real update of the application
 * adds: fields in the middle of an entry (the record pointer moves) and
 * globals ahead of the text buffer and the object list (both move). Each
 * addition is marked below with the release that made it; the offsets each
 * release ends up with are in its profile, demo/example-profile-X.ini, which
 * the build checks (sample_app_heap.c).
 */
#ifndef SAMPLE_APP_HEAP_H
#define SAMPLE_APP_HEAP_H

#include "sample_records.h"

#pragma pack(push, 1)

/* Static facts about a type, in the image; each entry points to its own. */
typedef struct TypeInfo {
  uint32_t type_index;
  uint32_t record_size;
  const char *display_name;
} TypeInfo;

/* What a list slot points to: one per type, on the heap. The record pointer
 * lies at 0x38 in 1.5, 0x48 in 1.6, 0x84 in 1.7 and 0x8C in 1.8. */
typedef struct ObjectEntry {
  const TypeInfo *info;      /* 0x00 */
  uint32_t type_index;       /* 0x04 */
  uint32_t flags;            /* 0x08 */
  char type_name[20];        /* 0x0C */
  uint32_t object_count;     /* 0x20: objects of this type in the project */
  uint32_t current;          /* 0x24: index of the current one */
  struct ObjectEntry *next;  /* 0x28: the next entry made */
  void **objects;            /* 0x2C: all object_count records */
  uint32_t record_size;      /* 0x30 */
  uint32_t revision;         /* 0x34 */
#if SAMPLE_APP_RELEASE >= 16
  /* 1.6: selection and hiding in the timeline, and when the type was last
   * edited. */
  uint32_t selected_count;   /* 0x38 */
  uint32_t hidden_count;     /* 0x3C */
  uint64_t modified_time;    /* 0x40 */
#endif
#if SAMPLE_APP_RELEASE >= 17
  /* 1.7: names the user gives a type, colour tags and thumbnails. */
  wchar_t display_name[24];  /* 0x48 */
  uint32_t colour_tag;       /* 0x78 */
  uint32_t sort_key;         /* 0x7C */
  uint32_t thumbnail_size;   /* 0x80 */
#endif
#if SAMPLE_APP_RELEASE >= 18
  /* 1.8: locking for shared projects. */
  uint32_t lock_owner;       /* 0x84 */
  uint32_t lock_count;       /* 0x88 */
#endif
  void *record;              /* the current object's record, or 0 */
  uint32_t reserved[2];
} ObjectEntry;

#if SAMPLE_APP_RELEASE >= 18
/* 1.8: what the timeline has selected of each type, with the thumbnail it
 * shows for it (none is made before the user selects something). */
typedef struct SelectionEntry {
  uint32_t type_index;
  uint32_t object_index;
  int32_t frame_from, frame_to;
  wchar_t caption[64];
  uint32_t thumbnail_width, thumbnail_height;
  void *thumbnail;           /* 0x98 */
} SelectionEntry;
#endif

/* The undo history: the steps, newest last, each a copy of an entry whose
 * record pointer leads to a copy of the record as the edit left it. No list
 * slot points to these copies. */
typedef struct UndoHistory {
  uint32_t count;
  ObjectEntry *steps[15];
} UndoHistory;

/* Other objects of the application: layers of the timeline. */
typedef struct Layer {
  struct Layer *next;
  struct Layer *parent;
  uint32_t index;
  uint32_t flags;
  wchar_t *name;
  void *payload;
  uint32_t payload_size;
  int32_t frame_from, frame_to;
} Layer;

#define NOISE_BLOCKS 96

/* Offsets are 1.5's; each addition moves what follows it. */
typedef struct AppData {
  char signature[32];                       /* 0x000 */
  uint32_t build;                           /* 0x020 */
  uint32_t session_flags;                   /* 0x024 */
  wchar_t project_name[64];                 /* 0x028 */
#if SAMPLE_APP_RELEASE >= 16
  wchar_t author[32];                       /* 1.6 */
#endif
#if SAMPLE_APP_RELEASE >= 17
  uint32_t window_placement[11];            /* 1.7 */
#endif
#if SAMPLE_APP_RELEASE >= 18
  wchar_t licensee[32];                     /* 1.8 */
#endif
  wchar_t text_buffer[TEXT_BUFFER_CHARS];   /* 0x0A8 */
  char recent_files[4][PATH_CHARS];         /* 0x4A8 */
  uint32_t view_settings[45];               /* 0x8B8 */
#if SAMPLE_APP_RELEASE >= 17
  uint32_t recent_colours[16];              /* 1.7 */
#endif
  ObjectEntry *object_list[TYPE_COUNT];     /* 0x96C */
  UndoHistory *undo;
  ObjectEntry *first_entry;
  Layer *layers;
  void *scratch[NOISE_BLOCKS];
#if SAMPLE_APP_RELEASE >= 18
  SelectionEntry *selection[TYPE_COUNT];    /* 1.8 */
#endif
} AppData;

#pragma pack(pop)

#include "sample_image.h"

#endif
