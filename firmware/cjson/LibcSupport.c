/* The few C library functions that cJSON refers to, for an EFI image that has
   no C library. The linker needs a definition for every name cJSON mentions,
   even in code that /opt:ref later drops, so each is here in the smallest
   form that is still correct; what the object-building and printing path
   never reaches is routed to a trap.

   Memory: the image has no heap. The inventory reporter hands cJSON the boot
   services pool through cJSON_InitHooks; malloc here only answers cJSON's
   default hooks, and answers that there is no memory. */
#include <ctype.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "Format.h"

/* strtod (number parsing) and sqrt (cJSON's NaN when math.h has none) are
   never reached by building and printing documents. If they ever are, stop
   at once rather than jump to address 0 as an unresolved symbol would. */
void CjsonUnreachable(void) { __builtin_trap(); }
#pragma comment(linker, "/alternatename:strtod=CjsonUnreachable")
#pragma comment(linker, "/alternatename:sqrt=CjsonUnreachable")

size_t strlen(const char *text) {
  size_t length = 0;
  while (text[length] != '\0') {
    length++;
  }
  return length;
}

char *strcpy(char *destination, const char *source) {
  char *to = destination;
  while ((*to++ = *source++) != '\0') {
  }
  return destination;
}

int strncmp(const char *left, const char *right, size_t count) {
  for (; count != 0; count--, left++, right++) {
    if (*left != *right || *left == '\0') {
      return (int)(unsigned char)*left - (int)(unsigned char)*right;
    }
  }
  return 0;
}

int strcmp(const char *left, const char *right) { return strncmp(left, right, (size_t)-1); }

int tolower(int character) {
  return character >= 'A' && character <= 'Z' ? character - 'A' + 'a' : character;
}

double fabs(double value) { return __builtin_fabs(value); }

int sprintf(char *output, const char *format, ...) {
  __builtin_va_list arguments;
  __builtin_va_start(arguments, format);
  int length = CjsonFormatV(output, format, arguments);
  __builtin_va_end(arguments);
  return length;
}

/* cJSON reads a number back only to check a floating-point rendering, which
   sprintf above refuses first. No conversion is understood: nothing is
   assigned. */
int sscanf(const char *input, const char *format, ...) {
  (void)input;
  (void)format;
  return 0;
}

void *malloc(size_t size) {
  (void)size;
  return NULL;
}

/* Only malloc's results could come here, and it never gives any. */
void free(void *pointer) { (void)pointer; }

void *realloc(void *pointer, size_t size) {
  (void)pointer;
  (void)size;
  return NULL;
}
