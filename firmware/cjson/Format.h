/* The text formatter behind sprintf in the firmware's cJSON: the integer,
   character and string conversions cJSON's printer uses (its "u%04x" escape
   for control characters and "%d" for integral numbers). Floating-point
   conversions are not understood and fail, so cJSON reports a number it cannot
   print instead of printing something wrong. Free of C library names, so host
   tests can build it beside the real C library. */
#ifndef MGMT_CJSON_FORMAT_H
#define MGMT_CJSON_FORMAT_H

#ifdef __cplusplus
extern "C" {
#endif

/* Writes the formatted text and its terminating zero to Output; returns the
   number of characters written without the zero, or -1 for a conversion it
   does not understand (Output then holds an empty string). */
int CjsonFormatV(char *Output, const char *Format, __builtin_va_list Arguments);

#ifdef __cplusplus
}
#endif

#endif
