/*
 * What every layout of sample_app.dll (sample_app.h, sample_app_heap.h) has
 * around its AppData, included at the end of each: the image structure,
 * g_image, in a section of exactly SAMPLE_APP_DATA_SIZE bytes (so that the
 * section the link puts after it starts right at its end), and the names
 * the module's other files know its object list and text buffer by.
 */
#ifndef SAMPLE_IMAGE_H
#define SAMPLE_IMAGE_H

typedef union AppImage {
  AppData data;
  unsigned char bytes[SAMPLE_APP_DATA_SIZE];
} AppImage;

SAMPLE_APP_OWN_DATA AppImage g_image;
SAMPLE_APP_OWN_DATA ObjectEntry *g_object_list[TYPE_COUNT];
SAMPLE_APP_OWN_DATA wchar_t g_text_buffer[TEXT_BUFFER_CHARS];

/* Makes symbol `name` a part of g_image: at `rva` from the image base (an
 * offset of the release's profile), in g_image's section at
 * SAMPLE_APP_DATA_RVA. Used beside g_image's definition, whose static
 * assertions check that the profile's offsets are the parts' places. */
#define SAMPLE_APP_TEXT(x) #x
#define SAMPLE_APP_NUMBER(x) SAMPLE_APP_TEXT(x)
#define SAMPLE_APP_NAME_PART(name, rva)                                      \
  __asm__(".globl _" #name "\n\t.set _" #name ", _g_image + "                \
          SAMPLE_APP_NUMBER(rva) " - " SAMPLE_APP_NUMBER(SAMPLE_APP_DATA_RVA))

#endif
