#!/usr/bin/env bash
# Takes the picture of a real message box of qsprofile.exe, or of the Exchange dialog, for the
# documentation: runs it under Wine in a virtual desktop on an X server of its own, leaves its
# first box or dialog open, and writes the part of the screen around it as a PNG.
#
#   scripts/screenshot.sh [-a ANSWERS] OUTPUT.png [ARGUMENT...]   (arguments default to -h)
#
# Uses build/windows-x64; the program is copied to C:\Tools\qsprofile.exe in the prefix, so that
# the picture shows a plain Windows path. With -a, qsmapi.dll is installed in the prefix as
# tests/wine/run.sh installs it, and the Exchange dialog is left open with the names of the first
# two lines of ANSWERS typed in:
#
#   scripts/screenshot.sh -a ANSWERS docs/windows-exchange-dialog.png -m
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/windows-x64
answers=
if [ "${1:-}" = "-a" ]; then
  answers=$(realpath "$2")
  shift 2
fi
output=$(realpath -m "$1")
shift
[ $# -gt 0 ] || set -- -h

work=$(mktemp -d "${TMPDIR:-/tmp}/qs-wine-shot.XXXXXX")
export WINEPREFIX=$work/prefix
source "$root/tests/wine/prefix.sh"
reader_options=(-t 60 -k)
[ -z "$answers" ] || reader_options+=(-a "$(windows_path "$answers")")
xvfb_pid=
trap 'stop_wine; rm -rf "$work"' EXIT
mkdir "$work/fb"
start_xvfb "$work" 800x560x24 -nocursor -fbdir "$work/fb"
make_prefix "$work" ${answers:+"$build/qsmapi.dll"}
mkdir -p "$WINEPREFIX/drive_c/Tools"
cp "$build/qsprofile.exe" "$WINEPREFIX/drive_c/Tools/qsprofile.exe"

# The box opens in a virtual desktop, whose frames and captions Wine draws itself. The desktop
# stays while the box does; the wineserver ends both at the end.
: >"$work/box"
wine explorer /desktop=shot,800x560 "$(windows_path "$build/boxreader.exe")" "${reader_options[@]}" \
  'C:\Tools\qsprofile.exe' "$@" >"$work/box" 2>/dev/null &
for _ in $(seq 600); do
  grep -qx -- ---- "$work/box" && break
  sleep 0.1
done
cat "$work/box"
grep -qx -- ---- "$work/box" || { echo "no message box or dialog appeared" >&2; exit 1; }
# The box is up; give it the moment it takes to paint before the screen is read.
sleep 2

python3 - "$work/fb/Xvfb_screen0" "$output" <<'EOF'
import struct
import sys
import zlib

data = open(sys.argv[1], "rb").read()
fields = struct.unpack(">25I", data[:100])
header_size, width, height = fields[0], fields[4], fields[5]
byte_order, bytes_per_line, colours = fields[7], fields[12], fields[19]
start = header_size + colours * 12


def pixel(x, y):
    at = start + y * bytes_per_line + 4 * x
    b, g, r, _ = data[at:at + 4] if byte_order == 0 else data[at:at + 4][::-1]
    return (r, g, b)


# The box is what differs from the desktop's colour; keep it with a margin of desktop.
background = pixel(0, 0)
xs, ys = [], []
for y in range(0, height, 2):
    for x in range(0, width, 2):
        if pixel(x, y) != background:
            xs.append(x)
            ys.append(y)
margin = 16
left, top = max(min(xs) - margin, 0), max(min(ys) - margin, 0)
right, bottom = min(max(xs) + margin, width), min(max(ys) + margin, height)
rows = b"".join(
    b"\0" + b"".join(bytes(pixel(x, y)) for x in range(left, right)) for y in range(top, bottom))


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


png = (b"\x89PNG\r\n\x1a\n" +
       chunk(b"IHDR", struct.pack(">IIBBBBB", right - left, bottom - top, 8, 2, 0, 0, 0)) +
       chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))
open(sys.argv[2], "wb").write(png)
EOF
echo "wrote $output"
