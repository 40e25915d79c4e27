#!/usr/bin/env bash
# Builds qsprofile and qsreg when needed and runs qsprofile on the embedded store with the
# arguments given.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ ! -f "$root/build/dev/build.ninja" ]; then
  echo "Building qsprofile in build/dev (once)..." >&2
  (cd "$root" && cmake --preset dev >/dev/null)
fi
if ! build_log=$(cmake --build "$root/build/dev" --target qsprofile qsreg 2>&1); then
  echo "$build_log" >&2
  exit 1
fi
exec "$root/build/dev/qsprofile" "$@"
