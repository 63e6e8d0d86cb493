#!/usr/bin/env bash
# Makes docs/screenshot.png from the real window of tabulix-gui: starts a private X server
# (Xvfb), lets the program load the bundled damaged sample, answers its "File loaded
# successfully." box and captures the main window.
#
#   scripts/screenshot.sh [--gui PATH] [--sample FILE] [--out PNG] [--timeout SECONDS]
#   scripts/screenshot.sh --self-test     # checks the XWD-to-PNG conversion only
#
# Needs Debian's xvfb, xauth, xdotool, x11-apps (xwd), x11-utils (xprop, xwininfo) and
# python3; it installs nothing and names the packages that are missing. It does not build
# the program either: build it first (see --help).
set -euo pipefail

caller_dir=$PWD
repo=$(cd "$(dirname "$0")/.." && pwd)

gui=$repo/build/release/tabulix-gui
sample=$repo/samples/truncated-29942.xls
out=$repo/docs/screenshot.png
load_timeout=60
self_test=0

usage() {
  cat <<EOF
Usage: scripts/screenshot.sh [--gui PATH] [--sample FILE] [--out PNG] [--timeout SECONDS]
       scripts/screenshot.sh --self-test

Runs tabulix-gui on a private X server (Xvfb), opens FILE in it, answers the box that
ends the load and saves a picture of the main window as PNG.

  --gui PATH          the program (default: build/release/tabulix-gui)
  --sample FILE       the workbook to open (default: samples/truncated-29942.xls)
  --out PNG           the picture to write (default: docs/screenshot.png)
  --timeout SECONDS   how long the load may take before giving up (default: 60)
  --self-test         check the XWD-to-PNG conversion on made-up images and exit

Build the program first, for example:
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release \\
    -DTABULIX_BUILD_TESTS=OFF -DTABULIX_BUILD_BENCH=OFF
  cmake --build build/release --target tabulix-gui
EOF
}

die() {
  echo "screenshot: $*" >&2
  exit 1
}

# Paths given on the command line are taken from where the script was started.
absolute() {
  case $1 in
    /*) printf '%s\n' "$1" ;;
    *) printf '%s\n' "$caller_dir/$1" ;;
  esac
}

while [ $# -gt 0 ]; do
  case $1 in
    --gui | --sample | --out | --timeout)
      [ $# -ge 2 ] || { usage >&2; die "$1 needs a value"; }
      case $1 in
        --gui) gui=$(absolute "$2") ;;
        --sample) sample=$(absolute "$2") ;;
        --out) out=$(absolute "$2") ;;
        --timeout) load_timeout=$2 ;;
      esac
      shift 2
      ;;
    --self-test)
      self_test=1
      shift
      ;;
    -h | --help)
      usage
      exit 0
      ;;
    *)
      usage >&2
      die "unknown argument: $1"
      ;;
  esac
done

case $load_timeout in
  '' | *[!0-9]*) die "--timeout wants a whole number of seconds, not '$load_timeout'" ;;
esac
[ "$load_timeout" -gt 0 ] || die "--timeout wants at least one second"

# The XWD-to-PNG converter. xwd writes what the X server holds, and Debian's own converter
# (ImageMagick) is a large install for one picture, so the few lines that turn a true-colour
# XWD dump into an RGB PNG live here. Every size is checked against the file before use.
read -r -d '' converter <<'PY' || true
import os, struct, sys, tempfile, zlib

HEADER_WORDS = 25
MAX_SIDE = 16384


class XwdError(Exception):
    pass


def channel(mask):
    """Shift and width of a colour mask, so that any depth scales to 8 bits."""
    if mask == 0:
        raise XwdError("a colour mask is empty")
    shift = (mask & -mask).bit_length() - 1
    bits = (mask >> shift).bit_length()
    if (mask >> shift) != (1 << bits) - 1:
        raise XwdError("a colour mask has holes")
    return shift, bits


def read_xwd(data):
    """Returns (width, height, rgb rows) of a ZPixmap true-colour XWD file."""
    if len(data) < HEADER_WORDS * 4:
        raise XwdError("shorter than an XWD header")
    h = struct.unpack(">25I", data[: HEADER_WORDS * 4])
    (header_size, version, pixmap_format, _depth, width, height, _xoffset, byte_order,
     _unit, _bit_order, _pad, bpp, bytes_per_line, visual_class, red_mask, green_mask,
     blue_mask, _bits_per_rgb, _entries, ncolors) = h[:20]
    if version != 7:
        raise XwdError(f"XWD version {version}, not 7")
    if header_size < HEADER_WORDS * 4 or header_size > len(data):
        raise XwdError("header size out of the file")
    if pixmap_format != 2:
        raise XwdError("not a ZPixmap image")
    if visual_class not in (4, 5):
        raise XwdError(f"visual class {visual_class} is not true colour (run Xvfb at depth 24)")
    if bpp not in (16, 24, 32):
        raise XwdError(f"{bpp} bits per pixel")
    if not (0 < width <= MAX_SIDE and 0 < height <= MAX_SIDE):
        raise XwdError(f"image of {width} x {height} pixels")
    step = bpp // 8
    if bytes_per_line < width * step:
        raise XwdError("rows shorter than the image is wide")
    if ncolors > 65536:
        raise XwdError("colour map too large")
    start = header_size + ncolors * 12
    if start + bytes_per_line * height > len(data):
        raise XwdError("image data cut short")
    order = "little" if byte_order == 0 else "big"
    masks = [channel(m) for m in (red_mask, green_mask, blue_mask)]
    rows = []
    for y in range(height):
        row = data[start + y * bytes_per_line: start + y * bytes_per_line + width * step]
        out = bytearray(width * 3)
        for x in range(width):
            pixel = int.from_bytes(row[x * step: x * step + step], order)
            for c, (shift, bits) in enumerate(masks):
                value = (pixel >> shift) & ((1 << bits) - 1)
                out[x * 3 + c] = value if bits == 8 else value * 255 // ((1 << bits) - 1)
        rows.append(bytes(out))
    return width, height, rows


def png_bytes(width, height, rows):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    raw = b"".join(b"\0" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def convert(source, target):
    with open(source, "rb") as f:
        data = f.read()
    png = png_bytes(*read_xwd(data))
    # Written beside the target and renamed, so that a stopped run leaves the old picture.
    folder = os.path.dirname(os.path.abspath(target))
    fd, temporary = tempfile.mkstemp(prefix=".screenshot-", suffix=".png", dir=folder)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(png)
        os.chmod(temporary, 0o644)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise


def read_png(png):
    """Reads back what png_bytes writes (8-bit RGB, filter 0): for the self-test."""
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    pos, chunks = 8, {}
    while pos < len(png):
        (length,) = struct.unpack(">I", png[pos: pos + 4])
        kind, body = png[pos + 4: pos + 8], png[pos + 8: pos + 8 + length]
        (crc,) = struct.unpack(">I", png[pos + 8 + length: pos + 12 + length])
        assert crc == zlib.crc32(kind + body) & 0xFFFFFFFF, kind
        chunks[kind] = body
        pos += 12 + length
    width, height = struct.unpack(">II", chunks[b"IHDR"][:8])
    raw = zlib.decompress(chunks[b"IDAT"])
    stride = 1 + width * 3
    assert len(raw) == stride * height and all(raw[y * stride] == 0 for y in range(height))
    return width, height, [raw[y * stride + 1: (y + 1) * stride] for y in range(height)]


def make_xwd(width, height, pixels, bpp, order, masks, pad=0, ncolors=0, name=b"w\0",
             version=7, visual=4):
    step = bpp // 8
    bytes_per_line = width * step + pad
    header_size = HEADER_WORDS * 4 + len(name)
    words = [header_size, version, 2, 24, width, height, 0, 0 if order == "little" else 1,
             32, 0, 32, bpp, bytes_per_line, visual, *masks, 8, 256, ncolors,
             width, height, 0, 0, 0]
    body = bytearray()
    for y in range(height):
        for x in range(width):
            body += pixels[y][x].to_bytes(step, order)
        body += b"\xee" * pad
    return struct.pack(">25I", *words) + name + b"\0" * (12 * ncolors) + bytes(body)


def self_test():
    colours = [[(255, 0, 0), (0, 255, 0), (0, 0, 255)],
               [(255, 255, 255), (0, 0, 0), (18, 52, 86)]]
    passed = failed = 0

    def check(label, condition):
        nonlocal passed, failed
        if condition:
            passed += 1
        else:
            failed += 1
            print(f"FAILED: {label}", file=sys.stderr)

    def packed(masks, scale):
        out = []
        for row in colours:
            out.append([])
            for rgb in row:
                value = 0
                for (shift, bits), c in zip((channel(m) for m in masks), rgb):
                    value |= (c * ((1 << bits) - 1) // 255 if scale else c) << shift
                out[-1].append(value)
        return out

    bgr = (0xFF0000, 0x00FF00, 0x0000FF)
    rgb_masks = (0x0000FF, 0x00FF00, 0xFF0000)
    cases = [("32 bits, LSB first", 32, "little", bgr, 0),
             ("32 bits, MSB first, padded rows, colour map", 32, "big", bgr, 4),
             ("24 bits, red in the low byte", 24, "little", rgb_masks, 3),
             ("24 bits, MSB first", 24, "big", bgr, 2)]
    for label, bpp, order, masks, pad in cases:
        xwd = make_xwd(3, 2, packed(masks, False), bpp, order, masks, pad=pad,
                       ncolors=2 if pad == 4 else 0)
        width, height, rows = read_png(png_bytes(*read_xwd(xwd)))
        check(label, (width, height) == (3, 2)
              and [[tuple(r[i: i + 3]) for i in range(0, 9, 3)] for r in rows] == colours)

    # 5-6-5: 5- and 6-bit channels widen to the full 0-255 range.
    masks565 = (0xF800, 0x07E0, 0x001F)
    _, _, rows = read_xwd(make_xwd(3, 2, packed(masks565, True), 16, "little", masks565))
    check("16 bits 5-6-5", rows[0][:9] == bytes([255, 0, 0, 0, 255, 0, 0, 0, 255])
          and rows[1][:6] == bytes([255, 255, 255, 0, 0, 0]))

    good = make_xwd(3, 2, packed(bgr, False), 32, "little", bgr)
    hostile = {
        "data cut short": good[:-1],
        "header cut short": good[:40],
        "wrong version": make_xwd(3, 2, packed(bgr, False), 32, "little", bgr, version=6),
        "palette visual": make_xwd(3, 2, packed(bgr, False), 32, "little", bgr, visual=3),
        "mask with holes": make_xwd(3, 2, packed(bgr, False), 32, "little",
                                    (0xFF00FF, 0x00FF00, 0x0000FF)),
        "huge width": good[:16] + struct.pack(">I", 1 << 30) + good[20:],
        "rows too short": good[:48] + struct.pack(">I", 4) + good[52:],
        "header past the file": struct.pack(">I", len(good) + 1) + good[4:],
        "colour map past the file": good[:76] + struct.pack(">I", 60000) + good[80:],
    }
    for label, data in hostile.items():
        try:
            read_xwd(data)
            check(f"refuses {label}", False)
        except XwdError:
            check(f"refuses {label}", True)

    with tempfile.TemporaryDirectory() as folder:
        source, target = os.path.join(folder, "a.xwd"), os.path.join(folder, "a.png")
        with open(target, "wb") as f:
            f.write(b"old picture")
        with open(source, "wb") as f:
            f.write(good[:-1])
        try:
            convert(source, target)
        except XwdError:
            pass
        with open(target, "rb") as f:
            kept = f.read() == b"old picture"
        check("a refused image leaves the old picture and no temporary",
              kept and sorted(os.listdir(folder)) == ["a.png", "a.xwd"])
        with open(source, "wb") as f:
            f.write(good)
        convert(source, target)
        with open(target, "rb") as f:
            check("converts into place", read_png(f.read())[:2] == (3, 2))

    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    try:
        if sys.argv[1:] == ["self-test"]:
            sys.exit(self_test())
        convert(sys.argv[1], sys.argv[2])
    except XwdError as error:
        sys.exit(f"screenshot: cannot convert the capture: {error}")
    except OSError as error:
        sys.exit(f"screenshot: cannot write the picture: {error}")
PY

python=/usr/bin/python3
[ -x "$python" ] || die "missing /usr/bin/python3 (Debian package python3)"

if [ "$self_test" -eq 1 ]; then
  exec "$python" -c "$converter" self-test
fi

# Every tool, with the Debian package that brings it.
missing=()
packages=()
for pair in Xvfb:xvfb xauth:xauth xdotool:xdotool xwd:x11-apps xprop:x11-utils \
  xwininfo:x11-utils timeout:coreutils; do
  if ! command -v "${pair%%:*}" >/dev/null 2>&1; then
    missing+=("${pair%%:*}")
    case " ${packages[*]-} " in
      *" ${pair#*:} "*) ;;
      *) packages+=("${pair#*:}") ;;
    esac
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  die "missing ${missing[*]}: install Debian's ${packages[*]}" \
    "(apt-get install --no-install-recommends ${packages[*]})"
fi

[ -e "$gui" ] || die "no program at $gui: build it first" \
  "(cmake --build build/release --target tabulix-gui) or name it with --gui"
if [ ! -f "$gui" ] || [ ! -x "$gui" ]; then
  die "$gui is not an executable file"
fi
if [ ! -f "$sample" ] || [ ! -r "$sample" ]; then
  die "cannot read the sample $sample"
fi
[ -d "$(dirname "$out")" ] || die "no folder for the picture: $(dirname "$out")"

work=$(mktemp -d "${TMPDIR:-/tmp}/tabulix-screenshot.XXXXXX")
xvfb_pid=
app_pid=

stop() {
  local pid=$1 waited=0
  kill -TERM "$pid" 2>/dev/null || return 0
  while kill -0 "$pid" 2>/dev/null && [ "$waited" -lt 30 ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  local status=$?
  trap - EXIT INT TERM HUP
  [ -z "$app_pid" ] || stop "$app_pid"
  [ -z "$xvfb_pid" ] || stop "$xvfb_pid"
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# The app's output, shown when something goes wrong.
app_log() {
  if [ -s "$work/app.log" ]; then
    echo "--- tabulix-gui said:" >&2
    tail -n 20 "$work/app.log" >&2
  fi
}

# A private display: its own cookie, no TCP, and the first free display number.
cookie=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
export XAUTHORITY=$work/xauthority
: >"$XAUTHORITY"
# The server takes every cookie in the file, whatever display the entry names.
xauth -q -f "$XAUTHORITY" add :0 . "$cookie"
screen_width=1280
screen_height=1024
Xvfb -displayfd 3 -auth "$XAUTHORITY" -nolisten tcp -noreset -dpi 96 \
  -screen 0 "${screen_width}x${screen_height}x24" 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
  grep -q . "$work/display" 2>/dev/null && break
  kill -0 "$xvfb_pid" 2>/dev/null || break
  sleep 0.1
done
display=$(head -n 1 "$work/display" 2>/dev/null | tr -dc '0-9')
if [ -z "$display" ]; then
  tail -n 5 "$work/xvfb.log" >&2 || true
  die "Xvfb did not start"
fi
xauth -q -f "$XAUTHORITY" add ":$display" . "$cookie"
export DISPLAY=:$display

x() { timeout 10 "$@"; }

# The pointer goes to a corner the window never covers: the window shows a hint in its
# status line for every pointer move over it, which would stand in the picture.
x xdotool mousemove "$((screen_width - 1))" "$((screen_height - 1))"

# A home of its own: the logs (when the program's folder is not writable), the settings and
# the diagnostics folder are not the user's, and the picture does not depend on the user's
# desktop settings.
mkdir -p "$work/home" "$work/runtime"
chmod 700 "$work/runtime"
(
  cd "$work"
  exec env -u WAYLAND_DISPLAY -u QT_SCALE_FACTOR -u QT_SCREEN_SCALE_FACTORS -u QT_FONT_DPI \
    -u QT_STYLE_OVERRIDE -u QT_QPA_PLATFORMTHEME \
    HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" \
    XDG_STATE_HOME="$work/home/.local/state" XDG_RUNTIME_DIR="$work/runtime" \
    QT_QPA_PLATFORM=xcb QT_AUTO_SCREEN_SCALE_FACTOR=0 QT_ACCESSIBILITY=0 NO_AT_BRIDGE=1 \
    "$gui" "$sample"
) >"$work/app.log" 2>&1 </dev/null &
app_pid=$!

app_alive() {
  kill -0 "$app_pid" 2>/dev/null
}

# The program's visible top-level windows.
app_windows() {
  x xdotool search --onlyvisible --pid "$app_pid" 2>/dev/null || true
}

# The window a dialog or message box names as its owner, in decimal like xdotool's ids.
# (Qt names an owner for a dialog without parent too: its own hidden leader window.)
owner_of() {
  local id
  id=$(x xprop -id "$1" WM_TRANSIENT_FOR 2>/dev/null |
    sed -n 's/.*window id # \(0x[0-9a-fA-F]*\).*/\1/p')
  [ -z "$id" ] || echo "$((id))"
}

is_viewable() {
  x xwininfo -id "$1" 2>/dev/null | grep -q 'Map State: IsViewable'
}

# Waits until "$@" prints something (kept in $found), the program ends or time runs out.
wait_for() {
  local seconds=$1 what=$2
  shift 2
  local deadline=$((SECONDS + seconds))
  found=
  while [ "$SECONDS" -lt "$deadline" ]; do
    found=$("$@")
    [ -z "$found" ] || return 0
    if ! app_alive; then
      app_log
      die "tabulix-gui ended while waiting for $what"
    fi
    sleep 0.1
  done
  app_log
  die "timed out after $seconds s waiting for $what"
}

# The main window is the visible one that no other visible window of the program owns.
main_window_of() {
  local windows window owner
  windows=" $(app_windows | tr '\n' ' ') "
  for window in $windows; do
    owner=$(owner_of "$window")
    case $windows in
      *" ${owner:-none} "*) ;;
      *)
        echo "$window"
        return
        ;;
    esac
  done
}

box_of() {
  local window
  for window in $(app_windows); do
    [ "$window" = "$main" ] || {
      echo "$window"
      return
    }
  done
}

wait_for 30 "the main window" main_window_of
main=$found
title=$(x xdotool getwindowname "$main" 2>/dev/null || true)
[ "$title" = "Quillbar Tabulix 2.5" ] || echo "screenshot: note: the main window is called '$title'" >&2

wait_for "$load_timeout" "the load to end (no message box came)" box_of
box=$found
echo "screenshot: load done, box \"$(x xdotool getwindowname "$box" 2>/dev/null || true)\"" >&2

# Return presses the box's only button. With no window manager the focus is given by hand,
# and a key that came too early (before the box took the focus) is sent again.
for _ in $(seq 20); do
  is_viewable "$box" || break
  timeout 2 xdotool windowfocus --sync "$box" 2>/dev/null || true
  x xdotool key --clearmodifiers Return 2>/dev/null || true
  sleep 0.3
done
is_viewable "$box" && die "the message box did not close"
app_alive || {
  app_log
  die "tabulix-gui ended after the load"
}
# A load that fails shows the reason in a box of its own and then "Could not load file.": a
# second box means the picture would show no recovered workbook.
for _ in $(seq 10); do
  found=$(box_of)
  [ -z "$found" ] || die "a second message box came up, so the load failed: the first box" \
    "said why (try: tabulix inspect $sample)"
  sleep 0.1
done

# The window repaints where the box stood and resets its progress bar after the box: take
# pictures until two in a row are the same.
previous=
for attempt in $(seq 30); do
  x xwd -silent -id "$main" -out "$work/capture$attempt.xwd" ||
    die "xwd could not capture window $main"
  if [ -n "$previous" ] && cmp -s "$previous" "$work/capture$attempt.xwd"; then
    break
  fi
  previous=$work/capture$attempt.xwd
  sleep 0.3
done
[ "$attempt" -lt 30 ] || echo "screenshot: note: the window kept changing; took the last picture" >&2

"$python" -c "$converter" "$work/capture$attempt.xwd" "$out"
geometry=$(x xdotool getwindowgeometry "$main" | sed -n 's/^ *Geometry: //p')
echo "screenshot: wrote $out (window $geometry)"
