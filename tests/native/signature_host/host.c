/* A small host module for the signature tests, compiled by the MinGW (and
 * clang) cross compilers into releases that differ as a host's releases do:
 *   MORE_FIELDS   fields added before the record pointer (its offset moves
 *                 from 0x30 to 0x94: a 1-byte displacement becomes 4 bytes)
 *   MORE_GLOBALS  globals added before the list and the buffer
 *   MORE_CODE     functions added before the readers and between a caller
 *                 and its callee
 *   REWRITTEN     the readers written anew
 * The table `qv_fixture` gives the test the right offsets of each build. */
#include <stddef.h>
#include <string.h>
#include <wchar.h>

typedef struct Record {
  int type;
  char font[32];
  wchar_t text[64];
} Record;

typedef struct Object {
  int id;
  int flags;
  char name[40];
#ifdef MORE_FIELDS
  int added[25];
#endif
  Record* rec;
  int count;
  int extra;
} Object;

#ifdef MORE_GLOBALS
int g_added[100] = {1};
int g_added_bss[7];
#endif
Object* g_list[81];
int g_other = 5;
wchar_t g_buffer[256];
int g_counter;

#ifdef MORE_CODE
__declspec(dllexport) int Added(int x) {
  for (int i = 0; i < x; ++i) x ^= i * 7;
  return x;
}
#endif

extern void Notify(Object* o);

#ifndef REWRITTEN
__declspec(dllexport) Record* GetRecord(int type) {
  Object* o = g_list[type];
  if (!o) return 0;
  return o->rec;
}

__declspec(dllexport) int GetTextType(void) {
  Object* o = g_list[3];
  if (o && o->rec) return o->rec->type + o->count;
  return -1;
}

__declspec(dllexport) void SetRecord(int type, Record* r) {
  Object* o = g_list[type];
  Notify(o);
  o->rec = r;
  o->count++;
}

__declspec(dllexport) void ClearBuffer(void) { memset(g_buffer, 0, sizeof g_buffer); }
__declspec(dllexport) int BufferLength(void) { return (int)wcslen(g_buffer); }
__declspec(dllexport) void TypeChar(wchar_t c, int i) {
  g_buffer[i] = c;
  g_buffer[i + 1] = 0;
}

__declspec(dllexport) int SumTypes(void) {
  int sum = 0;
  for (int i = 0; i < 81; ++i) {
    if (g_list[i] && g_list[i]->rec) sum += g_list[i]->rec->type;
  }
  return sum;
}
#else
static Object* Slot(int type) { return type >= 0 && type < 81 ? g_list[type] : NULL; }

__declspec(dllexport) Record* GetRecord(int type) {
  Object* o = Slot(type);
  Record* r = NULL;
  if (o != NULL && o->id >= 0) r = o->rec;
  return r;
}

__declspec(dllexport) int GetTextType(void) {
  Record* r = GetRecord(3);
  return r ? r->type : -1;
}

__declspec(dllexport) void SetRecord(int type, Record* r) {
  Object* o = Slot(type);
  if (o == NULL) return;
  Notify(o);
  o->count += 1;
  o->rec = r;
}

static wchar_t* Buffer(void) { return g_buffer; }
__declspec(dllexport) void ClearBuffer(void) { wmemset(Buffer(), 0, 256); }
__declspec(dllexport) int BufferLength(void) { return (int)wcsnlen(Buffer(), 256); }
__declspec(dllexport) void TypeChar(wchar_t c, int i) {
  wchar_t* b = Buffer();
  b[i + 1] = 0;
  b[i] = c;
}

__declspec(dllexport) int SumTypes(void) {
  int sum = 0;
  for (int i = 80; i >= 0; --i) {
    Record* r = GetRecord(i);
    if (r) sum += r->type;
  }
  return sum;
}
#endif

/* Code of the same shapes that uses other globals and fields: what a
 * signature must not match. */
__declspec(dllexport) int GetFlags(int type) {
  Object* o = g_list[type];
  if (!o) return 0;
  return o->flags + g_counter;
}

__declspec(dllexport) int GetCount(int type) {
  Object* o = g_list[type];
  if (!o) return 0;
  return o->count;
}

__declspec(dllexport) void Count(void) { g_counter++; }

#ifdef MORE_CODE
__declspec(dllexport) int AddedBetween(int x) { return x * g_counter + 3; }
#endif

void Notify(Object* o) {
  if (o) o->flags |= 1;
  g_counter++;
}

/* The right offsets of this build, for the test: a magic word, then the
 * list's and the buffer's addresses and the record pointer's offset. */
__declspec(dllexport) const void* const qv_fixture[] = {
    (const void*)0x58465651, g_list, g_buffer, (const void*)offsetof(Object, rec)};
