#!/usr/bin/env bash
# Builds the benchmarks with the dev preset and runs them briefly: a smoke run that fails only
# when a measured command fails or a write is lost, never on the figures.
#   qsbench            the runs of qsprofile (usage, fresh store, edit, 10,000-profile store),
#                      one qsreg read of a single value, and the floor: SQLite alone writing one;
#   bench/treereads.sh whole-tree query and export against sqlite3's .dump of the same store;
#   bench/writers.sh   parallel qsreg adds: their latency, and a reader holding the store open.
#   BENCH_RUNS  measured runs of each kind (default 5; qsbench's own default is 31)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh

need_packages cmake:cmake ninja:ninja-build g++:g++ /usr/include/sqlite3.h:libsqlite3-dev \
  /usr/include/gtest/gtest.h:libgtest-dev sqlite3:sqlite3 strace:strace

cmake --preset dev >/dev/null
cmake --build --preset dev -j2 --target qsbench qsprofile qsreg
build/dev/qsbench --runs "${BENCH_RUNS:-5}"
echo
bench/treereads.sh build/dev "${BENCH_RUNS:-5}"
echo
bench/writers.sh build/dev/qsreg
