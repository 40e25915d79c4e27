#!/usr/bin/env bash
# Installs whatever is missing, builds, and runs the whole test suite: the POSIX build as it is
# and under AddressSanitizer and UndefinedBehaviorSanitizer, the fuzzers briefly, the benchmark
# as a smoke run, and the Windows executables under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh

need_packages cmake:cmake ninja:ninja-build g++:g++ clang-format:clang-format \
  /usr/include/sqlite3.h:libsqlite3-dev /usr/include/gtest/gtest.h:libgtest-dev

for preset in dev asan; do
  echo "== $preset: build and test"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j 2
  ctest --preset "$preset" -j 2
done

for script in scripts/fuzz.sh scripts/bench.sh scripts/windows.sh; do
  if [ -x "$script" ]; then
    echo "== $script"
    "$script"
  fi
done
