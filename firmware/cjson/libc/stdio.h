/* sprintf and sscanf as cJSON uses them (see LibcSupport.c for the formats
   that are understood), declared for the firmware build. */
#ifndef MGMT_CJSON_LIBC_STDIO_H
#define MGMT_CJSON_LIBC_STDIO_H

int sprintf(char *output, const char *format, ...);
int sscanf(const char *input, const char *format, ...);

#endif
