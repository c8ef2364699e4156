/*
 * sample_app.dll: a stand-in for the host application's module, the one whose
 * memory Quorvane reads.
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
 * All of it is one structure, g_image, which the link places in a section of
 * its own, .appdata, at a fixed offset from the image base (see
 * demo/CMakeLists.txt). Hence the offsets of demo/example-profile.ini hold for
 * every build of this file: the build hands the profile's values in as
 * PROFILE_* and the static assertions at the end compare them with the
 * structure.
 *
 * The module exports nothing; programs only load it.
 */
#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#define TYPE_COUNT 81
#define TEXT_BUFFER_CHARS 512
#define PATH_CHARS 260

/* Colours are stored as the application keeps them: 0x00BBGGRR. */
#define RGB_COLOUR(r, g, b) ((uint32_t)(r) | ((uint32_t)(g) << 8) | ((uint32_t)(b) << 16))

#pragma pack(push, 1)

/* What a list slot points to: one per type. */
typedef struct ObjectEntry {
  char type_name[16];    /* 0x00 */
  uint32_t type_index;   /* 0x10 */
  uint32_t flags;        /* 0x14 */
  uint32_t object_count; /* 0x18: objects of this type in the project */
  uint32_t current;      /* 0x1C: index of the current one */
  uint32_t record_size;  /* 0x20 */
  void *record;          /* 0x24: the current object's record, or 0 */
  uint32_t reserved[2];  /* 0x28 */
} ObjectEntry;

/* Types 0 (picture) and 2 (sound). */
typedef struct FileRecord {
  char file[PATH_CHARS];
} FileRecord;

/* Type 1 (image sequence): the frame count comes first. */
typedef struct SequenceRecord {
  uint32_t frame_count;
  char file[PATH_CHARS];
} SequenceRecord;

/* Type 3 (text). */
typedef struct TextRecord {
  uint8_t type, autoadjust, soft, monospace, align;
  int8_t spacing_x, spacing_y;
  uint8_t precision;
  uint32_t color, color2;
  char font[32];
  wchar_t text[64];
} TextRecord;

/* Type 4 (figure). */
typedef struct FigureRecord {
  uint32_t type;
  uint32_t color;
  char name[64];
} FigureRecord;

/* Type 6 (video file). */
typedef struct VideoRecord {
  char file[280];
  int16_t type, mode, res_w, res_h, pad_w, pad_h;
  uint32_t color;
  int32_t sample_n;
  uint8_t mirror;
  uint8_t unused[3];
} VideoRecord;

/* Type 7 (scene). */
typedef struct SceneRecord {
  int32_t scene_id;
  int32_t frame;
} SceneRecord;

/* Types 10, 11 and 13. */
typedef struct BlendRecord {
  int32_t blend;
  int32_t opacity;
} BlendRecord;

/* Types 5, 8, 9 and 12: settings of which nothing is read from outside. */
typedef struct PlainRecord {
  uint32_t flags;
  int32_t values[3];
} PlainRecord;

/* Type 80 (filter). */
typedef struct FilterRecord {
  int16_t type, filter;
  char name[256];
  char param[64];
} FilterRecord;

typedef struct AppData {
  char signature[64];
  ObjectEntry *object_list[TYPE_COUNT];
  ObjectEntry entries[16];
  FileRecord picture;        /* type 0 */
  SequenceRecord sequence;   /* type 1 */
  FileRecord sound;          /* type 2 */
  TextRecord text;           /* type 3 */
  FigureRecord figure;       /* type 4 */
  PlainRecord group;         /* type 5 */
  VideoRecord video;         /* type 6 */
  SceneRecord scene;         /* type 7 */
  PlainRecord camera;        /* type 8 */
  PlainRecord light;         /* type 9 */
  BlendRecord layer_blend;   /* type 10 */
  BlendRecord group_blend;   /* type 11 */
  PlainRecord marker;        /* type 12 */
  BlendRecord scene_blend;   /* type 13 */
  FilterRecord filter;       /* type 80 */
  wchar_t text_buffer[TEXT_BUFFER_CHARS];
} AppData;

/* The section is exactly SAMPLE_APP_DATA_SIZE bytes, so the section that the
 * link puts after it starts right at its end. */
typedef union AppImage {
  AppData data;
  unsigned char bytes[SAMPLE_APP_DATA_SIZE];
} AppImage;

#pragma pack(pop)

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

  .picture = { "C:\\Projects\\intro\\opening.png" },
  .sequence = { 240u, "C:\\Projects\\intro\\frames\\title_0001.png" },
  .sound = { "C:\\Projects\\intro\\theme.wav" },
  .text = {
    .type = 1, .autoadjust = 1, .soft = 1, .monospace = 0, .align = 4,
    .spacing_x = -2, .spacing_y = 6, .precision = 2,
    .color = RGB_COLOUR(0xFF, 0xC8, 0x00), .color2 = RGB_COLOUR(0x10, 0x20, 0x40),
    .font = "Arial",
    .text = L"Hello, Quorvane!",
  },
  .figure = { 2u, RGB_COLOUR(0x20, 0x80, 0xFF), "Rounded rectangle" },
  .group = { 0x3u, { 1, 0, 0 } },
  .video = {
    .file = "C:\\Projects\\intro\\drone_flyover.mp4",
    .type = 1, .mode = 2, .res_w = 1920, .res_h = 1080, .pad_w = 0, .pad_h = -8,
    .color = RGB_COLOUR(0x00, 0x00, 0x00), .sample_n = 48000, .mirror = 1,
  },
  .scene = { 3, 1200 },
  .camera = { 0x1u, { 0, 0, -1024 } },
  .light = { 0x5u, { 128, 96, 255 } },
  .layer_blend = { 0, 255 },
  .group_blend = { 2, 192 },
  .marker = { 0x0u, { 30, 90, 150 } },
  .scene_blend = { 5, 128 },
  .filter = { 1, 12, "Gaussian blur", "radius=4;sigma=1.5" },

  .text_buffer = L"Scene 3 of 12: the title fades in over the drone shot, "
                 L"then the logo slides in from the left.",
} };

#undef D

/* The record layouts as Quorvane reads them. */
_Static_assert(offsetof(ObjectEntry, record) == 0x24, "record pointer of an entry");
_Static_assert(offsetof(SequenceRecord, file) == 4, "type 1 file name");
_Static_assert(offsetof(TextRecord, color) == 8 && offsetof(TextRecord, color2) == 12 &&
               offsetof(TextRecord, font) == 16 && offsetof(TextRecord, text) == 48,
               "type 3 layout");
_Static_assert(sizeof(wchar_t) == 2, "wide text is UTF-16");
_Static_assert(offsetof(FigureRecord, color) == 4 && offsetof(FigureRecord, name) == 8,
               "type 4 layout");
_Static_assert(offsetof(VideoRecord, type) == 280 && offsetof(VideoRecord, pad_h) == 290 &&
               offsetof(VideoRecord, color) == 292 && offsetof(VideoRecord, sample_n) == 296 &&
               offsetof(VideoRecord, mirror) == 300,
               "type 6 layout");
_Static_assert(offsetof(FilterRecord, name) == 4 && offsetof(FilterRecord, param) == 260,
               "type 80 layout");

/* The image fits its section, and the example profile describes it. */
_Static_assert(sizeof(AppImage) == SAMPLE_APP_DATA_SIZE, "g_image outgrew its section");
_Static_assert(SAMPLE_APP_DATA_RVA + offsetof(AppData, object_list) == PROFILE_OBJECT_ADDRESS_LIST,
               "ObjectAddressList of demo/example-profile.ini");
_Static_assert(offsetof(ObjectEntry, record) == PROFILE_OBJECT_DATA_OFFSET,
               "ObjectDataOffset of demo/example-profile.ini");
_Static_assert(SAMPLE_APP_DATA_RVA + offsetof(AppData, text_buffer) == PROFILE_TEXT_BUFFER_ADDRESS,
               "TextBufferAddress of demo/example-profile.ini");
