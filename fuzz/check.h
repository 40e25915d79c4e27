// The check of the fuzz targets: a property that does not hold aborts, which libFuzzer reports
// as a crash and keeps the input for.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

// A heap copy of size bytes and a NUL, in a block of exactly that size, so that AddressSanitizer
// sees a read past its end.
inline std::unique_ptr<char[]> Exact(const void* data, size_t size) {
  std::unique_ptr<char[]> copy(new char[size + 1]());  // zeroed: the NUL
  memcpy(copy.get(), data, size);
  return copy;
}

#define CHECK(condition) \
  ((condition)           \
       ? (void)0         \
       : (fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition), abort()))
