/*
 * The object records of sample_app.dll, shared by its builds: every build of
 * the module keeps its records in these layouts, which are the ones Quorvane
 * reads (readers/layouts.cpp), and starts with the same settings. Where the
 * records live, and the entries and the list that lead to them, differ from
 * build to build (sample_app.c, sample_app_heap.c).
 */
#ifndef SAMPLE_RECORDS_H
#define SAMPLE_RECORDS_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <wchar.h>

#define TYPE_COUNT 81
#define TEXT_BUFFER_CHARS 512
#define TEXT_CHARS 64
#define PATH_CHARS 260

/* Colours are stored as the application keeps them: 0x00BBGGRR. */
#define RGB_COLOUR(r, g, b) ((uint32_t)(r) | ((uint32_t)(g) << 8) | ((uint32_t)(b) << 16))

#pragma pack(push, 1)

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
  wchar_t text[TEXT_CHARS];
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

#pragma pack(pop)

/* The settings every build starts with, as initialisers. */
#define PICTURE_RECORD { "C:\\Projects\\intro\\opening.png" }
#define SEQUENCE_RECORD { 240u, "C:\\Projects\\intro\\frames\\title_0001.png" }
#define SOUND_RECORD { "C:\\Projects\\intro\\theme.wav" }
#define TEXT_RECORD {                                                        \
    .type = 1, .autoadjust = 1, .soft = 1, .monospace = 0, .align = 4,       \
    .spacing_x = -2, .spacing_y = 6, .precision = 2,                         \
    .color = RGB_COLOUR(0xFF, 0xC8, 0x00), .color2 = RGB_COLOUR(0x10, 0x20, 0x40), \
    .font = "Arial",                                                         \
    .text = L"Hello, Quorvane!",                                             \
  }
#define FIGURE_RECORD { 2u, RGB_COLOUR(0x20, 0x80, 0xFF), "Rounded rectangle" }
#define GROUP_RECORD { 0x3u, { 1, 0, 0 } }
#define VIDEO_RECORD {                                                       \
    .file = "C:\\Projects\\intro\\drone_flyover.mp4",                        \
    .type = 1, .mode = 2, .res_w = 1920, .res_h = 1080, .pad_w = 0, .pad_h = -8, \
    .color = RGB_COLOUR(0x00, 0x00, 0x00), .sample_n = 48000, .mirror = 1,   \
  }
#define SCENE_RECORD { 3, 1200 }
#define CAMERA_RECORD { 0x1u, { 0, 0, -1024 } }
#define LIGHT_RECORD { 0x5u, { 128, 96, 255 } }
#define LAYER_BLEND_RECORD { 0, 255 }
#define GROUP_BLEND_RECORD { 2, 192 }
#define MARKER_RECORD { 0x0u, { 30, 90, 150 } }
#define SCENE_BLEND_RECORD { 5, 128 }
#define FILTER_RECORD { 1, 12, "Gaussian blur", "radius=4;sigma=1.5" }
#define TEXT_BUFFER_TEXT                                                     \
  L"Scene 3 of 12: the title fades in over the drone shot, "                 \
  L"then the logo slides in from the left."

/* The record layouts as Quorvane reads them. */
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

/* Declares the module's own data defined in another of its files. clang for
 * MinGW reaches such data through a pointer of its own (in case it comes
 * from another DLL) unless told that it stays in the module; gcc and the
 * Windows compilers address it directly. */
#ifdef __clang__
#define SAMPLE_APP_OWN_DATA extern __attribute__((visibility("hidden")))
#else
#define SAMPLE_APP_OWN_DATA extern
#endif

/*
 * What the module exports for sample_host.exe's options. Each returns 1, or
 * 0 when the text does not fit (TEXT_CHARS - 1 and TEXT_BUFFER_CHARS - 1
 * characters at most; then nothing was changed) or memory ran out.
 *
 * SampleAppSetText: the current text object's text becomes `text`, as an
 * edit in the application would leave it, and the edit's undo step keeps a
 * copy of the record as it now stands.
 * SampleAppSetBufferText: the text buffer holds `text`.
 */
#define SAMPLE_APP_API __declspec(dllexport)
SAMPLE_APP_API int SampleAppSetText(const wchar_t *text);
SAMPLE_APP_API int SampleAppSetBufferText(const wchar_t *text);
/* Build 1.4 only: the object list keeps the text object's entry alone, and
 * a "recently used" array in the image points to that entry at type 3 and,
 * at every other type that had one, to a copy of its entry whose record is
 * zero-filled, as a list of entries reset since their last use would. */
SAMPLE_APP_API int SampleAppUseRecentArray(void);

/* Copies NUL-terminated `text` into `out` of `capacity` characters; 0, with
 * nothing copied, when it does not fit. */
static inline int copy_wide_text(wchar_t *out, size_t capacity, const wchar_t *text) {
  size_t n = 0;
  while (text[n] != 0) {
    if (++n >= capacity) return 0;
  }
  memcpy(out, text, (n + 1) * sizeof *text);
  return 1;
}

#endif
