#!/usr/bin/env bash
# Builds qsprofile and qsreg when needed and runs qsprofile on the embedded store with the
# arguments given.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ ! -f "$root/build/dev/build.ninja" ]; then
  (cd "$root" && cmake --preset dev >/dev/null)
fi
cmake --build "$root/build/dev" --target qsprofile qsreg >/dev/null
exec "$root/build/dev/qsprofile" "$@"
