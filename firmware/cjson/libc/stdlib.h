/* The allocation and conversion functions cJSON names, declared for the
   firmware build. The image has no heap of its own: cJSON's memory comes from
   the pool through cJSON_InitHooks. */
#ifndef MGMT_CJSON_LIBC_STDLIB_H
#define MGMT_CJSON_LIBC_STDLIB_H

#include <stddef.h>

void *malloc(size_t size);
void free(void *pointer);
void *realloc(void *pointer, size_t size);
double strtod(const char *text, char **end);

#endif
