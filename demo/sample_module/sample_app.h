/*
 * The layout of sample_app.dll's build "SampleApp 1.4" (sample_app.c): what
 * it keeps in its image, in one structure, g_image. Its views
 * (sample_views.c) read it through the same declarations.
 */
#ifndef SAMPLE_APP_H
#define SAMPLE_APP_H

#include "sample_records.h"

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
  /* "Recently used": empty unless SampleAppUseRecentArray fills it. */
  ObjectEntry *recent[TYPE_COUNT];
  ObjectEntry recent_entries[16];
  unsigned char zero_record[512];
} AppData;

#pragma pack(pop)

#include "sample_image.h"

#endif
