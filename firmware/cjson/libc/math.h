/* The floating-point functions cJSON names, declared for the firmware build. */
#ifndef MGMT_CJSON_LIBC_MATH_H
#define MGMT_CJSON_LIBC_MATH_H

#define NAN __builtin_nan("")

double fabs(double value);
double sqrt(double value);

#endif
