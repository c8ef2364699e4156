/*
 * sample_app.dll, build "SampleApp 1.4": a stand-in for the host application's
 * module, the one whose memory Quorvane reads (sample_app_heap.c has the
 * later releases).
 *
 * Like the real module it keeps, in its own image:
 *  - the object list: one 32-bit pointer per type index (0 to 80), each to
 *    the type's entry, or 0 when the module has no entry for that type;
 *  - the entries: bookkeeping for one type each, holding at offset 0x24 the
 *    pointer to the object record that is current for that type (0 when there
 *    is none);
 *  - the object records, one per type that has one, with the settings of the
 *    current object of that type;
 *  - a wide-text buffer with the text the application last worked on.
 *
 * All of it is one structure, g_image (sample_app.h), which the link places
 * in a section of its own, .appdata, at a fixed offset from the image base
 * (see demo/CMakeLists.txt). Hence the offsets of demo/example-profile.ini hold for
 * every build of this file: the build hands the profile's values in as
 * PROFILE_* and the static assertions at the end compare them with the
 * structure.
 *
 * Its views (sample_views.c) read the list, the entries and the buffer as
 * the application's own code does. It exports what sample_host.exe's
 * --text, --buffer-text and --list need (sample_records.h), what its
 * --undo-copies and --change-copy-to need (below), and the views' readers
 * and idle work (sample_views.h). An edit of the text keeps an undo step outside the
 * image: a copy of the text object's entry, on the heap, whose record
 * pointer leads to a heap copy of the record as the edit left it. No list
 * slot points to that copy of the entry.
 */
#include <stdlib.h>

#include "sample_app.h"

/* Slot numbers in g_image.data.entries. */
enum {
  E_PICTURE, E_SEQUENCE, E_SOUND, E_TEXT, E_FIGURE, E_GROUP, E_VIDEO, E_SCENE,
  E_CAMERA, E_LIGHT, E_LAYER_BLEND, E_GROUP_BLEND, E_MARKER, E_SCENE_BLEND,
  E_FILTER, E_PARTICLES
};

#define D g_image.data
#define ENTRY(name, index, count, rec) \
  { name, index, 1u, count, 0u, (uint32_t)sizeof(rec), (void *)&(rec), { 0u, 0u } }

__attribute__((section(".appdata"), used)) AppImage g_image = { .data = {
  .signature = "SampleApp 1.4 object table",

  .object_list = {
    [0] = &D.entries[E_PICTURE],
    [1] = &D.entries[E_SEQUENCE],
    [2] = &D.entries[E_SOUND],
    [3] = &D.entries[E_TEXT],
    [4] = &D.entries[E_FIGURE],
    [5] = &D.entries[E_GROUP],
    [6] = &D.entries[E_VIDEO],
    [7] = &D.entries[E_SCENE],
    [8] = &D.entries[E_CAMERA],
    [9] = &D.entries[E_LIGHT],
    [10] = &D.entries[E_LAYER_BLEND],
    [11] = &D.entries[E_GROUP_BLEND],
    [12] = &D.entries[E_MARKER],
    [13] = &D.entries[E_SCENE_BLEND],
    /* Particles: the type exists, but no particle object is current. */
    [14] = &D.entries[E_PARTICLES],
    /* 15 to 79: no entry. */
    [80] = &D.entries[E_FILTER],
  },

  .entries = {
    [E_PICTURE] = ENTRY("picture", 0u, 4u, D.picture),
    [E_SEQUENCE] = ENTRY("sequence", 1u, 1u, D.sequence),
    [E_SOUND] = ENTRY("sound", 2u, 2u, D.sound),
    [E_TEXT] = ENTRY("text", 3u, 6u, D.text),
    [E_FIGURE] = ENTRY("figure", 4u, 3u, D.figure),
    [E_GROUP] = ENTRY("group", 5u, 2u, D.group),
    [E_VIDEO] = ENTRY("video", 6u, 1u, D.video),
    [E_SCENE] = ENTRY("scene", 7u, 12u, D.scene),
    [E_CAMERA] = ENTRY("camera", 8u, 1u, D.camera),
    [E_LIGHT] = ENTRY("light", 9u, 2u, D.light),
    [E_LAYER_BLEND] = ENTRY("layer blend", 10u, 1u, D.layer_blend),
    [E_GROUP_BLEND] = ENTRY("group blend", 11u, 1u, D.group_blend),
    [E_MARKER] = ENTRY("marker", 12u, 5u, D.marker),
    [E_SCENE_BLEND] = ENTRY("scene blend", 13u, 1u, D.scene_blend),
    [E_FILTER] = ENTRY("filter", 80u, 2u, D.filter),
    [E_PARTICLES] = { "particles", 14u, 1u, 0u, 0u, 0u, 0, { 0u, 0u } },
  },

  .picture = PICTURE_RECORD,
  .sequence = SEQUENCE_RECORD,
  .sound = SOUND_RECORD,
  .text = TEXT_RECORD,
  .figure = FIGURE_RECORD,
  .group = GROUP_RECORD,
  .video = VIDEO_RECORD,
  .scene = SCENE_RECORD,
  .camera = CAMERA_RECORD,
  .light = LIGHT_RECORD,
  .layer_blend = LAYER_BLEND_RECORD,
  .group_blend = GROUP_BLEND_RECORD,
  .marker = MARKER_RECORD,
  .scene_blend = SCENE_BLEND_RECORD,
  .filter = FILTER_RECORD,

  .text_buffer = TEXT_BUFFER_TEXT,
} };

#undef D

SAMPLE_APP_NAME_PART(g_object_list, PROFILE_OBJECT_ADDRESS_LIST);
SAMPLE_APP_NAME_PART(g_text_buffer, PROFILE_TEXT_BUFFER_ADDRESS);

/* The undo history: the steps, newest last, on the heap. */
typedef struct UndoHistory {
  uint32_t count;
  ObjectEntry *steps[15];
} UndoHistory;

static UndoHistory *g_undo;

/* Keeps a copy of the text object's entry and record as they stand. */
static int keep_undo_step(void) {
  ObjectEntry *entry;
  TextRecord *record;
  if (g_undo == NULL) g_undo = calloc(1, sizeof *g_undo);
  if (g_undo == NULL || g_undo->count == sizeof g_undo->steps / sizeof g_undo->steps[0]) return 0;
  entry = malloc(sizeof *entry);
  record = malloc(sizeof *record);
  if (entry == NULL || record == NULL) {
    free(entry);
    free(record);
    return 0;
  }
  *record = g_image.data.text;
  *entry = g_image.data.entries[E_TEXT];
  entry->record = record;
  g_undo->steps[g_undo->count++] = entry;
  return 1;
}

int SampleAppSetText(const wchar_t *text) {
  if (!copy_wide_text(g_image.data.text.text, TEXT_CHARS, text)) return 0;
  return keep_undo_step();
}

int SampleAppSetBufferText(const wchar_t *text) {
  return copy_wide_text(g_image.data.text_buffer, TEXT_BUFFER_CHARS, text);
}

int SampleAppUseRecentArray(void) {
  unsigned t, n = 0;
  for (t = 0; t < TYPE_COUNT; t++) {
    ObjectEntry *entry = g_image.data.object_list[t];
    if (entry == NULL) continue;
    if (t == 3) {
      g_image.data.recent[t] = entry;
      continue;
    }
    g_image.data.recent_entries[n] = *entry;
    g_image.data.recent_entries[n].record = g_image.data.zero_record;
    g_image.data.recent[t] = &g_image.data.recent_entries[n++];
    g_image.data.object_list[t] = NULL;
  }
  return 1;
}

/* An undo list of the module's own, in the image, for sample_host.exe's
 * --undo-copies (this build alone has it): one slot per type index, like the
 * object list, each pointing to a copy of the type's entry whose record
 * pointer leads to a copy of the record, both on the heap, as they stood
 * when the copies were made. Copies of every type's record decode as
 * plausibly as the live ones: one marker alone cannot tell the lists apart.
 * A change of the live text leaves the copies as they were. */
static ObjectEntry *g_undo_list[TYPE_COUNT];

/* Copies the entries and records of every type that has a record
 * (`every_type`), or of the text object's alone, into g_undo_list. 1, or 0
 * when memory ran out. */
SAMPLE_APP_API int SampleAppKeepUndoCopies(int every_type);
/* The undo list's copy of the text record gets `text`, the live record
 * keeps its own: a host that edits the wrong record. 1, or 0 when there is
 * no copy or the text does not fit. */
SAMPLE_APP_API int SampleAppSetUndoCopyText(const wchar_t *text);

int SampleAppKeepUndoCopies(int every_type) {
  int type;
  for (type = 0; type < TYPE_COUNT; type++) {
    const ObjectEntry *live = g_image.data.object_list[type];
    ObjectEntry *entry;
    void *record;
    if (live == NULL || live->record == NULL || (!every_type && type != 3)) continue;
    entry = malloc(sizeof *entry);
    record = malloc(live->record_size);
    if (entry == NULL || record == NULL) {
      free(entry);
      free(record);
      return 0;
    }
    memcpy(record, live->record, live->record_size);
    *entry = *live;
    entry->record = record;
    g_undo_list[type] = entry;
  }
  return 1;
}

int SampleAppSetUndoCopyText(const wchar_t *text) {
  const ObjectEntry *copy = g_undo_list[3];
  if (copy == NULL) return 0;
  return copy_wide_text(((TextRecord *)copy->record)->text, TEXT_CHARS, text);
}

_Static_assert(offsetof(ObjectEntry, record) == 0x24, "record pointer of an entry");

/* The image fits its section, and the example profile describes it. */
_Static_assert(sizeof(AppImage) == SAMPLE_APP_DATA_SIZE, "g_image outgrew its section");
_Static_assert(SAMPLE_APP_DATA_RVA + offsetof(AppData, object_list) == PROFILE_OBJECT_ADDRESS_LIST,
               "ObjectAddressList of demo/example-profile.ini");
_Static_assert(offsetof(ObjectEntry, record) == PROFILE_OBJECT_DATA_OFFSET,
               "ObjectDataOffset of demo/example-profile.ini");
_Static_assert(SAMPLE_APP_DATA_RVA + offsetof(AppData, text_buffer) == PROFILE_TEXT_BUFFER_ADDRESS,
               "TextBufferAddress of demo/example-profile.ini");
