/* The benchmark's independent floor (floor_readers.c): hand-written readers
 * of the measured records, as lua_CFunctions that take the same arguments as
 * the module's functions and ignore them (the *_table ones read the address
 * table first and drop what they read). */
#ifndef QVB_FLOOR_READERS_H
#define QVB_FLOOR_READERS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct lua_State;

/* The records of layouts 3, 6 and 80 and the NUL-terminated wide text that
 * the readers read. */
void qvb_floor_set_data(const void* record3, const void* record6, const void* record80,
                        const uint16_t* text);

int qvb_floor_object3(struct lua_State* L);
int qvb_floor_object6(struct lua_State* L);
int qvb_floor_object80(struct lua_State* L);
int qvb_floor_text(struct lua_State* L);

int qvb_floor_object3_table(struct lua_State* L);
int qvb_floor_object6_table(struct lua_State* L);
int qvb_floor_object80_table(struct lua_State* L);
int qvb_floor_text_table(struct lua_State* L);

#ifdef __cplusplus
}
#endif

#endif
