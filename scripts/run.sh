#!/usr/bin/env bash
# Builds qsprofile and qsreg when needed and runs qsprofile on the embedded store with the
# arguments given. On a machine without the build tools it installs them first, as test.sh
# does, saying so on stderr. Running the tool needs no test framework: without GoogleTest the
# dev build tree is made without the tests, and scripts/test.sh adds them once it has installed
# GoogleTest.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ ! -f "$root/build/dev/build.ninja" ]; then
  source "$root/scripts/packages.sh"
  need_packages cmake:cmake ninja:ninja-build g++:g++ /usr/include/sqlite3.h:libsqlite3-dev
  tests=ON
  [ -e /usr/include/gtest/gtest.h ] || tests=OFF
  echo "Building qsprofile in build/dev (once)..." >&2
  if ! configure_log=$(cd "$root" && cmake --preset dev -DQS_TESTS=$tests 2>&1); then
    echo "$configure_log" >&2
    exit 1
  fi
fi
if ! build_log=$(cmake --build "$root/build/dev" --target qsprofile qsreg 2>&1); then
  echo "$build_log" >&2
  exit 1
fi
exec "$root/build/dev/qsprofile" "$@"
