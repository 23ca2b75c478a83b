/* The string functions cJSON calls, declared for the firmware build. memcpy
   and memset come from the image runtime (firmware/runtime/Memory.cpp), the
   rest from LibcSupport.c. */
#ifndef MGMT_CJSON_LIBC_STRING_H
#define MGMT_CJSON_LIBC_STRING_H

#include <stddef.h>

void *memcpy(void *destination, const void *source, size_t count);
void *memset(void *destination, int value, size_t count);
size_t strlen(const char *text);
char *strcpy(char *destination, const char *source);
int strcmp(const char *left, const char *right);
int strncmp(const char *left, const char *right, size_t count);

#endif
