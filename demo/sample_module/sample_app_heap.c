/*
 * sample_app.dll from build "SampleApp 1.5" on: the same application data as
 * 1.4 (sample_app.c), laid out as a later build of the host module might lay
 * it out, so that a profile's offsets for 1.4 are wrong for it:
 *  - the image keeps the text buffer first and the object list further on,
 *    at other offsets from the image base than in 1.4;
 *  - the entries and the object records live on the heap, allocated while
 *    the module loads, between other heap objects of the application, and
 *    an entry keeps its record pointer at another offset (0x38, not 0x24);
 *  - every entry also holds an array of all objects of its type, the current
 *    one among them, and a link to the next entry;
 *  - the entries lie among ballast, as on a heap full of other data: blocks
 *    of random words, one in eight of them the address of a heap word, and
 *    stray pointers to the current text object's record and to its entry.
 *
 * The releases after 1.5 come from this file too, as SAMPLE_APP_RELEASE
 * says (sample_app_heap.h has their layouts, demo/CMakeLists.txt the list):
 *  - 1.6: fields added to the entry (its record pointer moves from 0x38 to
 *    0x48) and an author name ahead of the text buffer and the list (both
 *    move); the views gain code ahead of their readers (sample_views.c);
 *  - 1.7: more fields in the entry (the record pointer moves past 0x7F, to
 *    0x84), more globals ahead of the buffer and of the list; the views'
 *    readers are no longer exported, and more code lies ahead of them;
 *  - 1.8: two more fields in the entry (0x8C), a licensee ahead of the
 *    buffer, a selection list after the object list; its views were
 *    rewritten (sample_views_1_8.c).
 *
 * The image part is one structure, g_image, in a section of its own at a
 * fixed offset from the image base (demo/CMakeLists.txt), so the offsets of
 * the release's profile, demo/example-profile-X.ini, hold for every build of
 * this file; the static assertions at the end check them.
 */
#include <windows.h>

#include <stdlib.h>

#include "sample_app_heap.h"
#include "sample_views.h"

__attribute__((section(".appdata"), used)) AppImage g_image = { .data = {
  .signature = SAMPLE_APP_VERSION " session",
  .build = SAMPLE_APP_RELEASE * 100u,
  .session_flags = 0x11u,
  .project_name = L"intro",
#if SAMPLE_APP_RELEASE >= 16
  .author = L"Mara Lindqvist",
#endif
#if SAMPLE_APP_RELEASE >= 17
  .window_placement = { 44u, 0u, 1u, 160u, 90u, 1760u, 990u },
  .recent_colours = { RGB_COLOUR(0xFF, 0xC8, 0x00), RGB_COLOUR(0x20, 0x80, 0xFF) },
#endif
#if SAMPLE_APP_RELEASE >= 18
  .licensee = L"Northlight Studio",
#endif
  .text_buffer = TEXT_BUFFER_TEXT,
  .recent_files = { "C:\\Projects\\intro\\intro.sap", "C:\\Projects\\trailer\\trailer.sap" },
  .view_settings = { 1920u, 1080u, 30u, 1u, 100u },
} };

SAMPLE_APP_NAME_PART(g_object_list, PROFILE_OBJECT_ADDRESS_LIST);
SAMPLE_APP_NAME_PART(g_text_buffer, PROFILE_TEXT_BUFFER_ADDRESS);

#define D g_image.data

/* Everything a type starts with: its name, how many objects it has and which
 * one is current, and the current record's settings. */
typedef struct TypeSetup {
  const char *name;
  uint32_t type_index;
  uint32_t object_count;
  uint32_t current;
  const void *record; /* 0: no current object */
  uint32_t record_size;
} TypeSetup;

static const FileRecord k_picture = PICTURE_RECORD;
static const SequenceRecord k_sequence = SEQUENCE_RECORD;
static const FileRecord k_sound = SOUND_RECORD;
static const TextRecord k_text = TEXT_RECORD;
static const FigureRecord k_figure = FIGURE_RECORD;
static const PlainRecord k_group = GROUP_RECORD;
static const VideoRecord k_video = VIDEO_RECORD;
static const SceneRecord k_scene = SCENE_RECORD;
static const PlainRecord k_camera = CAMERA_RECORD;
static const PlainRecord k_light = LIGHT_RECORD;
static const BlendRecord k_layer_blend = LAYER_BLEND_RECORD;
static const BlendRecord k_group_blend = GROUP_BLEND_RECORD;
static const PlainRecord k_marker = MARKER_RECORD;
static const BlendRecord k_scene_blend = SCENE_BLEND_RECORD;
static const FilterRecord k_filter = FILTER_RECORD;

#define SETUP(name, index, count, current, rec) { name, index, count, current, &(rec), sizeof(rec) }

/* In the order the application makes them. */
static const TypeSetup k_types[] = {
  SETUP("scene", 7u, 12u, 2u, k_scene),
  SETUP("picture", 0u, 4u, 1u, k_picture),
  SETUP("sequence", 1u, 1u, 0u, k_sequence),
  SETUP("sound", 2u, 2u, 1u, k_sound),
  SETUP("text", 3u, 6u, 3u, k_text),
  SETUP("figure", 4u, 3u, 0u, k_figure),
  SETUP("group", 5u, 2u, 1u, k_group),
  SETUP("video", 6u, 1u, 0u, k_video),
  SETUP("camera", 8u, 1u, 0u, k_camera),
  SETUP("light", 9u, 2u, 1u, k_light),
  SETUP("layer blend", 10u, 1u, 0u, k_layer_blend),
  SETUP("group blend", 11u, 1u, 0u, k_group_blend),
  SETUP("marker", 12u, 5u, 4u, k_marker),
  SETUP("scene blend", 13u, 1u, 0u, k_scene_blend),
  /* Particles: the type exists, but no particle object is current. */
  { "particles", 14u, 0u, 0u, 0, 0u },
  SETUP("filter", 80u, 2u, 0u, k_filter),
};
#define SETUP_COUNT (sizeof k_types / sizeof k_types[0])

static TypeInfo g_infos[SETUP_COUNT];

/* The texts of the text objects that are not current. */
static const wchar_t *const k_other_texts[] = {
  L"Chapter one", L"The drone shot", L"Credits", L"Thanks for watching", L"Subscribe",
};

/* A fixed sequence, so that every run lays the heap out alike. */
static uint32_t g_seed = 0x1505u;
static uint32_t next_random(void) {
  g_seed = g_seed * 1103515245u + 12345u;
  return g_seed >> 8;
}

/* A block of application data of its own, between the ones read from
 * outside: counters, flags, pointers to earlier blocks and into the image,
 * and now and then a short wide name. */
static void *noise_block(void) {
  static unsigned made;
  const uint32_t words = 4u + next_random() % 96u;
  uint32_t *block = malloc(words * 4u);
  uint32_t i;
  if (block == NULL || made == NOISE_BLOCKS) {
    free(block);
    return NULL;
  }
  for (i = 0; i < words; i++) {
    const uint32_t r = next_random();
    switch (r % 6u) {
      case 0: block[i] = 0u; break;
      case 1: block[i] = r % 1000u; break;
      case 2: block[i] = made > 0 ? (uint32_t)(uintptr_t)D.scratch[r % made] : 0u; break;
      case 3: block[i] = (uint32_t)(uintptr_t)&D.view_settings[r % 45u]; break;
      case 4: block[i] = r | 0x80000000u; break;
      default: block[i] = 0x00200020u + (r % 26u); break; /* two wide characters */
    }
  }
  if (words > 24u && next_random() % 3u == 0u) {
    swprintf((wchar_t *)&block[8], 16, L"Layer %u", made);
  }
  D.scratch[made++] = block;
  return block;
}

/* The ballast: blocks of random words from a sequence of their own (so that
 * the rest of the heap is laid out as without them), one in eight the
 * address of a word of a ballast block. Kept here, as an application keeps
 * its blocks. */
#define BALLAST_BLOCKS 48
static uint32_t *g_ballast[BALLAST_BLOCKS];
static uint32_t g_ballast_words[BALLAST_BLOCKS];
static unsigned g_ballast_count;
static uint32_t g_ballast_seed = 0xB5297A4Du;

static uint32_t ballast_random(void) {
  g_ballast_seed ^= g_ballast_seed << 13;
  g_ballast_seed ^= g_ballast_seed >> 17;
  g_ballast_seed ^= g_ballast_seed << 5;
  return g_ballast_seed;
}

/* A ballast block right where the heap is now: 256 to 1020 bytes, so that
 * all of it lies within reach of a record pointer offset from the block
 * allocated just before it. 0 when there is none: all made, or no memory. */
static int ballast_block(void) {
  const uint32_t words = 64u + ballast_random() % 192u;
  uint32_t *block;
  uint32_t i;
  if (g_ballast_count == BALLAST_BLOCKS) return 0;
  block = malloc(words * 4u);
  if (block == NULL) return 0;
  g_ballast[g_ballast_count] = block;
  g_ballast_words[g_ballast_count] = words;
  for (i = 0; i < words; i++) {
    if (ballast_random() % 8u == 0u) {
      const unsigned other = ballast_random() % (g_ballast_count + 1u);
      block[i] = (uint32_t)(uintptr_t)&g_ballast[other][ballast_random() % g_ballast_words[other]];
    } else {
      block[i] = ballast_random();
    }
  }
  g_ballast_count++;
  return 1;
}

/* Once the current text object's record and entry exist: every ballast
 * block gets a stray pointer to the record, and every other one a stray
 * pointer to the entry. The blocks right after the entries of types 2 and
 * 4, the list's neighbours of type 3, so hold the record's address within
 * reach of a list off by four and a far record pointer offset. */
static void scatter_stray_pointers(void) {
  const ObjectEntry *text = D.object_list[3];
  unsigned i;
  if (text == NULL || text->record == NULL) return;
  for (i = 0; i < g_ballast_count; i++) {
    g_ballast[i][ballast_random() % g_ballast_words[i]] = (uint32_t)(uintptr_t)text->record;
    if (i % 2u == 0u) {
      g_ballast[i][ballast_random() % g_ballast_words[i]] = (uint32_t)(uintptr_t)text;
    }
  }
}

static void *new_copy(const void *from, size_t size) {
  void *to = malloc(size);
  if (to != NULL) memcpy(to, from, size);
  noise_block();
  return to;
}

static int make_entry(size_t setup_index) {
  const TypeSetup *setup = &k_types[setup_index];
  ObjectEntry *entry = calloc(1, sizeof *entry);
  uint32_t i;
  if (entry == NULL) return 0;
  ballast_block();
  noise_block();
  g_infos[setup_index].type_index = setup->type_index;
  g_infos[setup_index].record_size = setup->record_size;
  g_infos[setup_index].display_name = setup->name;
  entry->info = &g_infos[setup_index];
  entry->type_index = setup->type_index;
  entry->flags = 1u;
  strncpy(entry->type_name, setup->name, sizeof entry->type_name - 1);
  entry->object_count = setup->object_count;
  entry->current = setup->current;
  entry->record_size = setup->record_size;
  entry->revision = 1u + next_random() % 40u;
#if SAMPLE_APP_RELEASE >= 16
  entry->selected_count = setup->object_count > 0 ? 1u : 0u;
  entry->modified_time = 0x01DA2B3C00000000ull + next_random();
#endif
#if SAMPLE_APP_RELEASE >= 17
  swprintf(entry->display_name, 24, L"%hs", setup->name);
  entry->colour_tag = setup->type_index % COLOUR_TAGS;
  entry->sort_key = (uint32_t)setup_index;
#endif
  if (setup->object_count > 0) {
    entry->objects = calloc(setup->object_count, sizeof *entry->objects);
    if (entry->objects == NULL) return 0;
    for (i = 0; i < setup->object_count; i++) {
      void *record = new_copy(setup->record, setup->record_size);
      if (record == NULL) return 0;
      if (setup->type_index == 3u && i != setup->current) {
        wcscpy(((TextRecord *)record)->text, k_other_texts[i % 5u]);
      }
      entry->objects[i] = record;
    }
    entry->record = entry->objects[setup->current];
  }
  entry->next = D.first_entry;
  D.first_entry = entry;
  D.object_list[setup->type_index] = entry;
  return 1;
}

static int make_layers(void) {
  uint32_t i;
  for (i = 0; i < 8u; i++) {
    Layer *layer = calloc(1, sizeof *layer);
    if (layer == NULL) return 0;
    layer->index = i;
    layer->flags = next_random() % 16u;
    layer->name = malloc(16 * sizeof(wchar_t));
    if (layer->name != NULL) swprintf(layer->name, 16, L"Track %u", i + 1u);
    layer->payload = noise_block();
    layer->parent = D.layers != NULL && i % 3u != 0u ? D.layers : NULL;
    layer->frame_from = (int32_t)(i * 120u);
    layer->frame_to = (int32_t)(i * 120u + 90u);
    layer->next = D.layers;
    D.layers = layer;
  }
  return 1;
}

static int make_session(void) {
  size_t i;
  if (!make_layers()) return 0;
  for (i = 0; i < SETUP_COUNT; i++) {
    if (!make_entry(i)) return 0;
  }
  D.undo = calloc(1, sizeof *D.undo);
  noise_block();
  while (ballast_block()) continue;
  scatter_stray_pointers();
  return D.undo != NULL;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) return make_session() ? TRUE : FALSE;
  return TRUE;
}

static int keep_undo_step(void) {
  ObjectEntry *entry;
  TextRecord *record;
  if (D.undo->count == sizeof D.undo->steps / sizeof D.undo->steps[0]) return 0;
  entry = malloc(sizeof *entry);
  record = malloc(sizeof *record);
  if (entry == NULL || record == NULL) {
    free(entry);
    free(record);
    return 0;
  }
  *record = *SampleAppCurrentText();
  *entry = *D.object_list[3];
  entry->record = record;
  entry->next = NULL;
  D.undo->steps[D.undo->count++] = entry;
  return 1;
}

int SampleAppSetText(const wchar_t *text) {
  TextRecord *record = SampleAppCurrentText();
  if (record == NULL || !copy_wide_text(record->text, TEXT_CHARS, text)) return 0;
  D.object_list[3]->revision++;
  return keep_undo_step();
}

int SampleAppSetBufferText(const wchar_t *text) {
  return copy_wide_text(D.text_buffer, TEXT_BUFFER_CHARS, text);
}

#undef D

/* The image fits its section, and the release's profile describes it. */
_Static_assert(sizeof(AppImage) == SAMPLE_APP_DATA_SIZE, "g_image outgrew its section");
_Static_assert(SAMPLE_APP_DATA_RVA + offsetof(AppData, object_list) == PROFILE_OBJECT_ADDRESS_LIST,
               "ObjectAddressList of the release's profile");
_Static_assert(offsetof(ObjectEntry, record) == PROFILE_OBJECT_DATA_OFFSET,
               "ObjectDataOffset of the release's profile");
_Static_assert(SAMPLE_APP_DATA_RVA + offsetof(AppData, text_buffer) == PROFILE_TEXT_BUFFER_ADDRESS,
               "TextBufferAddress of the release's profile");
