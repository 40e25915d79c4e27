// The check of the fuzz targets: a property that does not hold aborts, which libFuzzer reports
// as a crash and keeps the input for.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#define CHECK(condition) \
  ((condition)           \
       ? (void)0         \
       : (fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition), abort()))
