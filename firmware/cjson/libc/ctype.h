/* tolower for cJSON's case-insensitive key lookup, declared for the firmware
   build. */
#ifndef MGMT_CJSON_LIBC_CTYPE_H
#define MGMT_CJSON_LIBC_CTYPE_H

int tolower(int character);

#endif
