// The check of the fuzz targets: a property that does not hold aborts, which libFuzzer reports
// as a crash and keeps the input for.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#define CHECK(condition)                                                            \
  do {                                                                              \
    if (!(condition)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      abort();                                                                      \
    }                                                                               \
  } while (0)
