#!/usr/bin/env bash
# Starts the real program as a Wayland client of a real compositor with two
# outputs side by side, one at scale 1 and one at scale 2, each 800x600
# device pixels. For each output: the main window is placed there, a show is
# started from the command line, and the show must cover that output, draw
# its first picture in device pixels (a one-pixel checkerboard, shown at its
# own size, must come out exactly), hold the keyboard (Right, Left, Esc) and,
# where the compositor offers it, its idle inhibitor.
#   wayland-show.sh BUILD_DIR sway|weston     (exit 77: a tool is missing)
# sway runs headless; weston runs on its X11 back end inside Xvfb, which gives
# it a keyboard and pointer that xdotool can drive.
set -euo pipefail
build=$1
compositor=$2
case $compositor in
  sway) tools="sway swaymsg grim wtype convert compare python3" ;;
  weston) tools="weston Xvfb xdotool xwininfo import convert compare" ;;
  *) echo "unknown compositor $compositor"; exit 2 ;;
esac
for tool in $tools; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done

work=$(mktemp -d)
chmod 755 "$work"
pids=()
program_pid=
cleanup() {
  [[ -n $program_pid ]] && kill "$program_pid" 2>/dev/null || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL ($compositor): $*"
  echo "--- program log"; cat "$work/velmora.log" 2>/dev/null || true
  echo "--- compositor log"; tail -n 20 "$work/compositor.log" 2>/dev/null || true
  exit 1
}

# Compositors refuse to run as root: there they run as nobody, with a
# runtime folder of that user's (the program, as root, may still connect).
runtime=$work/runtime
mkdir -m 700 "$runtime"
as_compositor_user=()
if [[ $(id -u) == 0 ]]; then
  chown 65534:65534 "$runtime"
  as_compositor_user=(setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$work")
fi
export XDG_RUNTIME_DIR=$runtime
export WAYLAND_DISPLAY=wayland-velmora
unset DISPLAY

app=$work/Velmora
mkdir -p "$app" "$work/pics"
cp "$build/velmora" "$build/libLoadPlugin.so" "$build/velmora-spihost" "$build/Help.txt" "$app/"
# A one-pixel checkerboard smaller than the output: shown at its own size,
# centred, pixel for pixel when drawn for the output's device pixels.
convert -size 400x300 xc: -fx '(i+j)%2' -colorspace sRGB -type TrueColor "$work/pics/a.png"
convert -size 400x300 xc:'#0000ff' "$work/pics/b.png"

# --- the compositor: start, place the main window, grab an output, press a key
if [[ $compositor == sway ]]; then
  cat > "$work/sway.conf" <<'EOF'
output HEADLESS-1 resolution 800x600 position 0 0 scale 1
output HEADLESS-2 resolution 800x600 position 800 0 scale 2
EOF
  chmod 644 "$work/sway.conf"
  "${as_compositor_user[@]}" env WLR_BACKENDS=headless WLR_HEADLESS_OUTPUTS=2 WLR_LIBINPUT_NO_DEVICES=1 \
    WLR_RENDERER=pixman XDG_RUNTIME_DIR="$runtime" WAYLAND_DISPLAY= \
    sway -c "$work/sway.conf" >"$work/compositor.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    SWAYSOCK=$(ls "$runtime"/sway-ipc.*.sock 2>/dev/null | head -n1) || true
    [[ -n $SWAYSOCK ]] && swaymsg -s "$SWAYSOCK" -t get_outputs >/dev/null 2>&1 && break
    sleep 0.1
  done
  export SWAYSOCK
  # sway names its socket wayland-N: the program is pointed at it.
  WAYLAND_DISPLAY=$(basename "$(ls "$runtime"/wayland-? | head -n1)")
  outputs=(HEADLESS-2 HEADLESS-1)
  place() { swaymsg focus output "$1" >/dev/null; }
  grab() { grim -o "$1" "$2"; }
  # A new virtual keyboard brings its key map first: the key comes after.
  press() { wtype -s 300 -k "$1"; }
  # The view that covers the output full screen, with the keyboard and the
  # idle inhibitor, as sway reports them.
  show_state() {
    swaymsg -t get_tree | python3 -c '
import json, sys
output = sys.argv[1]
def views(node, on):
    if node.get("type") == "output":
        on = node.get("name")
    if node.get("type") in ("con", "floating_con") and node.get("pid"):
        yield node, on
    for child in node.get("nodes", []) + node.get("floating_nodes", []):
        yield from views(child, on)
for view, on in views(json.load(sys.stdin), None):
    if view.get("fullscreen_mode") == 1:
        print(on, "focused" if view.get("focused") else "unfocused",
              "inhibited" if view.get("inhibit_idle") else "not-inhibited")
' "$1"
  }
else
  cat > "$work/weston.ini" <<'EOF'
[core]
idle-time=0
[shell]
panel-position=none
[output]
name=X1
mode=800x600
scale=1
[output]
name=X2
mode=400x300
scale=2
EOF
  chmod 644 "$work/weston.ini"
  source "$(dirname "$0")/xvfb.sh"
  start_xvfb 130 160 1600x600
  pids+=("$xvfb_pid")
  "${as_compositor_user[@]}" env XDG_RUNTIME_DIR="$runtime" DISPLAY="$DISPLAY" \
    weston --backend=x11-backend.so --use-pixman --output-count=2 --config="$work/weston.ini" \
    --socket="$WAYLAND_DISPLAY" >"$work/compositor.log" 2>&1 &
  pids+=($!)
  window_of() { xwininfo -root -tree | grep -F "\"Weston Compositor - $1\":" | awk '{ print $1 }'; }
  for _ in $(seq 100); do
    [[ -n $(window_of X1) && -n $(window_of X2) && -e $runtime/$WAYLAND_DISPLAY ]] && break
    sleep 0.1
  done
  # Without a window manager both output windows start at 0,0.
  xdotool windowmove --sync "$(window_of X2)" 800 0
  outputs=(X2 X1)
  corner_of() { [[ $1 == X1 ]] && echo "5 5" || echo "805 5"; }
  centre_of() { [[ $1 == X1 ]] && echo "400 300" || echo "1200 300"; }
  # New windows open on the output that holds the pointer.
  place() { xdotool mousemove $(centre_of "$1"); }
  # The pointer is drawn into the output: it is moved out of the picture.
  grab() { xdotool mousemove $(corner_of "$1"); import -window "$(window_of "$1")" "$2"; }
  press() { xdotool key "$1"; }
  show_state() { echo "$1 focused"; }
  unset QT_QPA_PLATFORM
fi
[[ -e $runtime/$WAYLAND_DISPLAY ]] || fail "the compositor did not start"

# Waits until the output's middle shows the picture exactly (checker) or in
# its colour (#RRGGBB), or until it shows neither (gone).
expect() { # output what description [tries]
  local shot=$work/shot.png got=
  for _ in $(seq "${4:-100}"); do
    grab "$1" "$shot" 2>/dev/null || { sleep 0.1; continue; }
    case $2 in
      checker)
        convert "$shot" -crop 400x300+200+150 +repage "$work/middle.png"
        got=$(compare -metric AE "$work/middle.png" "$work/pics/a.png" null: 2>&1 || true)
        [[ $got == 0 ]] && return 0 ;;
      gone)
        got=$(convert "$shot" -crop 1x1+400+300 -depth 8 txt:- | tail -n1 | grep -o '#[0-9A-F]\{6\}' | head -n1)
        convert "$shot" -crop 400x300+200+150 +repage "$work/middle.png"
        [[ $got != '#0000FF' && $(compare -metric AE "$work/middle.png" "$work/pics/a.png" null: 2>&1 || true) != 0 ]] &&
          return 0 ;;
      *)
        got=$(convert "$shot" -crop 1x1+400+300 -depth 8 txt:- | tail -n1 | grep -o '#[0-9A-F]\{6\}' | head -n1)
        [[ $got == "$2" ]] && return 0 ;;
    esac
    sleep 0.2
  done
  [[ -n ${4:-} ]] && return 1
  cp "$shot" "${TMPDIR:-/tmp}/velmora-wayland-$compositor-$1.png" 2>/dev/null || true
  fail "$3 on $1 (got ${got:-nothing}; screenshot kept in ${TMPDIR:-/tmp}/velmora-wayland-$compositor-$1.png)"
}

# A key that arrives while the show is still settling (or before a new
# virtual keyboard's key map) may be dropped, as the show drops input during
# a step: it is pressed again while the screen has not changed.
press_until() { # key what description
  local _
  for _ in 1 2 3 4; do
    press "$1"
    expect "$output" "$2" "$3" 20 && return 0
  done
  expect "$output" "$2" "$3"
}

# Each output from the command line; on sway, which tells which window has
# the keyboard, the first (scale 2) once more from the main window's button.
runs=("${outputs[@]}")
[[ $compositor == sway ]] && runs+=("${outputs[0]}:button")
for run in "${runs[@]}"; do
  output=${run%:button}
  place "$output"
  if [[ $run == *:button ]]; then
    QT_QPA_PLATFORM=wayland "$app/velmora" --no-show --interval 50 "$work/pics" >"$work/velmora.log" 2>&1 &
    program_pid=$!
    for _ in $(seq 100); do
      swaymsg -t get_tree | python3 -c '
import json, sys
def views(node):
    if node.get("pid"):
        yield node
    for child in node.get("nodes", []) + node.get("floating_nodes", []):
        yield from views(child)
sys.exit(0 if any(v.get("focused") for v in views(json.load(sys.stdin))) else 1)' && break
      sleep 0.1
    done
    # The folder list has the focus; Tab reaches the button.
    press Tab
    press space
  else
    QT_QPA_PLATFORM=wayland "$app/velmora" --interval 50 "$work/pics" >"$work/velmora.log" 2>&1 &
    program_pid=$!
  fi
  expect "$output" checker "the show's first picture, pixel for pixel"
  state=$(show_state "$output")
  [[ $state == "$output focused"* ]] || fail "the show is not the focused full-screen view of $output: ${state:-none}"
  if [[ $compositor == sway && $state != *" inhibited" ]]; then
    fail "the show holds no idle inhibitor: $state"
  fi
  press_until Right '#0000FF' "Right shows the next picture"
  press_until Left checker "Left goes back"
  press_until Escape gone "Esc ends the show"
  kill "$program_pid"
  wait "$program_pid" 2>/dev/null || true
  program_pid=
  how="command line"
  [[ $run == *:button ]] && how=button
  echo "ok ($compositor, $how): the show covered $output, sharp, keys and Esc worked"
done
