/*
 * The benchmark's independent floor: readers of the measured records written
 * by hand, the way a C programmer would read them without Quorvane, sharing
 * no code with the module. Each builds the same Lua table as GetObjectData
 * (or the same string as GetTextbufferString) straight from a record whose
 * address it is given: no address table, no pointer followed, no guard, no
 * bound on the last string beyond its terminator.
 *
 * A field is `lua_pushstring` of its key, the value, `lua_rawset`; a wide
 * text is one WideCharToMultiByte into a 512-byte stack buffer, pushed with
 * `lua_pushlstring`.
 *
 * The *_table variants first read the address table the way any reader of
 * it must (lua_getfield and luaL_checknumber of each field it needs) and
 * drop the values again: what reading the table costs by itself.
 */
#include "floor_readers.h"

#include <windows.h>

#include <lauxlib.h>
#include <lua.h>
#include <stdint.h>
#include <string.h>

static const unsigned char* g_record3;
static const unsigned char* g_record6;
static const unsigned char* g_record80;
static const uint16_t* g_text;
static volatile lua_Number g_table_sink;

void qvb_floor_set_data(const void* record3, const void* record6, const void* record80,
                        const uint16_t* text) {
  g_record3 = (const unsigned char*)record3;
  g_record6 = (const unsigned char*)record6;
  g_record80 = (const unsigned char*)record80;
  g_text = text;
}

static uint32_t load_u32(const unsigned char* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}

static lua_Number load_i16(const unsigned char* p) {
  int16_t v;
  memcpy(&v, p, 2);
  return v;
}

static lua_Number swap_red_blue(uint32_t c) {
  return (lua_Number)(((c >> 16) & 0xFFu) | ((c & 0xFFu) << 16) | (c & 0xFF00u));
}

static void set_number(lua_State* L, const char* key, lua_Number value) {
  lua_pushstring(L, key);
  lua_pushnumber(L, value);
  lua_rawset(L, -3);
}

/* A string of at most `size` bytes: up to its NUL, or all of them. */
static void set_bounded(lua_State* L, const char* key, const unsigned char* s, size_t size) {
  const unsigned char* nul = (const unsigned char*)memchr(s, 0, size);
  lua_pushstring(L, key);
  lua_pushlstring(L, (const char*)s, nul != NULL ? (size_t)(nul - s) : size);
  lua_rawset(L, -3);
}

static int push_ansi(lua_State* L, const uint16_t* wide) {
  char buffer[512];
  const int n = WideCharToMultiByte(CP_ACP, 0, (LPCWCH)wide, -1, buffer, sizeof buffer, NULL, NULL);
  if (n == 0) return 0;
  lua_pushlstring(L, buffer, (size_t)(n - 1));
  return 1;
}

static int read_record3(lua_State* L) {
  const unsigned char* r = g_record3;
  lua_createtable(L, 0, 12);
  set_number(L, "type", r[0]);
  set_number(L, "autoadjust", r[1]);
  set_number(L, "soft", r[2]);
  set_number(L, "monospace", r[3]);
  set_number(L, "align", r[4]);
  set_number(L, "spacing_x", (signed char)r[5]);
  set_number(L, "spacing_y", (signed char)r[6]);
  set_number(L, "precision", r[7]);
  set_number(L, "color", swap_red_blue(load_u32(r + 8)));
  set_number(L, "color2", swap_red_blue(load_u32(r + 12)));
  set_bounded(L, "font", r + 16, 32);
  lua_pushstring(L, "text");
  if (!push_ansi(L, (const uint16_t*)(r + 48))) return 0;
  lua_rawset(L, -3);
  return 1;
}

static int read_record6(lua_State* L) {
  const unsigned char* r = g_record6;
  lua_createtable(L, 0, 10);
  set_bounded(L, "file", r, 280);
  set_number(L, "type", load_i16(r + 280));
  set_number(L, "mode", load_i16(r + 282));
  set_number(L, "res_w", load_i16(r + 284));
  set_number(L, "res_h", load_i16(r + 286));
  set_number(L, "pad_w", load_i16(r + 288));
  set_number(L, "pad_h", load_i16(r + 290));
  set_number(L, "color", swap_red_blue(load_u32(r + 292)));
  set_number(L, "sample_n", (int32_t)load_u32(r + 296));
  set_number(L, "mirror", r[300]);
  return 1;
}

static int read_record80(lua_State* L) {
  const unsigned char* r = g_record80;
  lua_createtable(L, 0, 4);
  set_number(L, "type", load_i16(r));
  set_number(L, "filter", load_i16(r + 2));
  set_bounded(L, "name", r + 4, 256);
  lua_pushstring(L, "param");
  lua_pushstring(L, (const char*)r + 260);
  lua_rawset(L, -3);
  return 1;
}

static void read_address_table(lua_State* L, const char* const* keys, int count) {
  lua_Number sum = 0;
  int i;
  for (i = 0; i < count; ++i) lua_getfield(L, 1, keys[i]);
  for (i = 0; i < count; ++i) sum += luaL_checknumber(L, -1 - i);
  lua_settop(L, -1 - count);
  g_table_sink = sum;
}

static const char* const kObjectKeys[] = {"ObjectAddressList", "ObjectDataOffset", "ModuleAddress"};
static const char* const kTextKeys[] = {"TextBufferAddress", "ModuleAddress"};

int qvb_floor_object3(lua_State* L) { return read_record3(L); }
int qvb_floor_object6(lua_State* L) { return read_record6(L); }
int qvb_floor_object80(lua_State* L) { return read_record80(L); }
int qvb_floor_text(lua_State* L) { return push_ansi(L, g_text); }

int qvb_floor_object3_table(lua_State* L) {
  read_address_table(L, kObjectKeys, 3);
  return read_record3(L);
}
int qvb_floor_object6_table(lua_State* L) {
  read_address_table(L, kObjectKeys, 3);
  return read_record6(L);
}
int qvb_floor_object80_table(lua_State* L) {
  read_address_table(L, kObjectKeys, 3);
  return read_record80(L);
}
int qvb_floor_text_table(lua_State* L) {
  read_address_table(L, kTextKeys, 2);
  return push_ansi(L, g_text);
}
