#!/usr/bin/env bash
# Starts the real program on a virtual X display with a program folder of its
# own, starts a show on generated pictures, steps it with keys, ends it, quits
# from the menu and checks the settings file the program wrote. The show
# hides a still pointer (HidePointer=1), and motion brings it back.
#   run-program.sh BUILD_DIR     (exit 77: a tool it needs is missing)
set -euo pipefail
source "$(dirname "$0")/xvfb.sh"
build=$1
for tool in Xvfb xdotool convert import python3; do
  command -v $tool >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done

work=$(mktemp -d)
xvfb_pid=
program_pid=
cleanup() {
  [[ -n $program_pid ]] && kill "$program_pid" 2>/dev/null || true
  [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

app=$work/Velmora
mkdir -p "$app" "$work/pics/sub"
cp "$build/velmora" "$build/libLoadPlugin.so" "$build/velmora-spihost" "$build/Help.txt" "$app/"
cp -r "$build/Plugin" "$app/"
convert -size 640x480 xc:'#ff0000' "$work/pics/a.png"
convert -size 640x480 xc:'#0000ff' "BMP3:$work/pics/b.bmp"
convert -size 480x640 xc:'#00ff00' -quality 95 "$work/pics/sub/c.jpg"
printf '[Main]\r\nDirPath=%s\r\nTime=50\r\nHidePointer=1\r\n' "$work/pics" > "$app/SlideShow.ini"

start_xvfb 90 120

(cd "$work" && exec "$app/velmora") >"$work/velmora.log" 2>&1 &
program_pid=$!
main=$(timeout 20 xdotool search --sync --onlyvisible --name '^Velmora$' | head -n1)

centre() {
  import -window root -crop 1x1+512+384 -depth 8 txt:- 2>/dev/null | tail -n1 | grep -o '#[0-9A-F]\{6\}' | head -n1
}
# Whether two #RRGGBB colours differ by at most 8 in each channel (JPEG).
near() {
  local a=$1 b=$2 i
  for i in 1 3 5; do
    local d=$(( 16#${a:$i:2} - 16#${b:$i:2} ))
    (( d >= -8 && d <= 8 )) || return 1
  done
}
# Waits until the middle of the screen shows the colour.
expect_centre() { # colour what
  local got=
  for _ in $(seq 50); do
    got=$(centre)
    [[ -n $got ]] && near "$got" "$1" && return 0
    sleep 0.1
  done
  echo "FAIL: $2: centre is ${got:-unreadable}, expected $1"; cat "$work/velmora.log"; exit 1
}

xdotool windowfocus --sync "$main"
xdotool key --clearmodifiers Tab space     # the folder list has the focus; Tab reaches the button
expect_centre '#FF0000' "first picture of the start folder"
# The pointer, as the X server shows it.
pointer() { python3 "$(dirname "$0")/pointer-shown.py"; }
expect_pointer() { # shown|hidden what
  local got=
  for _ in $(seq 100); do
    got=$(pointer)
    [[ $got == "$1" ]] && return 0
    sleep 0.1
  done
  echo "FAIL: $2: the pointer is ${got:-unknown}, expected $1"; cat "$work/velmora.log"; exit 1
}
expect_pointer hidden "a still pointer goes"
xdotool mousemove_relative 5 5
expect_pointer shown "motion brings the pointer back"
xdotool key Right
expect_centre '#0000FF' "Right shows the next picture"
xdotool key Right
expect_centre '#00FF00' "the next folder's picture (rotated sides fitted)"
xdotool key Left
expect_centre '#0000FF' "Left goes back"
xdotool key Escape
for _ in $(seq 50); do [[ $(centre) == '#0000FF' ]] || break; sleep 0.1; done
if [[ $(centre) == '#0000FF' ]]; then echo "FAIL: Esc did not end the show"; exit 1; fi

xdotool windowfocus --sync "$main"
xdotool key --clearmodifiers alt+f
sleep 0.3
xdotool key x
for _ in $(seq 100); do kill -0 "$program_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$program_pid" 2>/dev/null; then echo "FAIL: the program did not end from the menu"; exit 1; fi
program_pid=

settings=$(cat "$app/SlideShow.ini")
expected=$(printf '[Main]\r\nDirPath=%s\r\nTime=50\r\nHidePointer=1\r\n' "$work/pics")
if [[ $settings != "$expected" ]]; then
  echo "FAIL: settings file holds:"; cat -A "$app/SlideShow.ini"; exit 1
fi
echo "ok: show started, pointer hidden and back, stepped both ways, ended; settings written"
