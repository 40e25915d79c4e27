#!/usr/bin/env bash
# Builds the benchmark with the dev preset and runs it briefly: a smoke run that fails only when
# a measured run of qsprofile fails, never on the figures.
#   BENCH_RUNS  measured runs of each kind (default 5; qsbench's own default is 31)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh

need_packages cmake:cmake ninja:ninja-build g++:g++ /usr/include/sqlite3.h:libsqlite3-dev \
  /usr/include/gtest/gtest.h:libgtest-dev

cmake --preset dev >/dev/null
cmake --build --preset dev -j2 --target qsbench qsprofile
build/dev/qsbench --runs "${BENCH_RUNS:-5}"
