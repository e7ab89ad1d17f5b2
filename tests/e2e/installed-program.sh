#!/usr/bin/env bash
# The program as a package installs it: the layout under a prefix, and the
# installed program started through its link in bin by a user who cannot
# write the program folder. It must start, show its main window, and keep
# its settings in the user's configuration folder.
#   installed-program.sh BUILD_DIR      installs the build into a temporary prefix
#   installed-program.sh --prefix DIR   checks what is already installed there
# Exit 77: a tool it needs is missing (outside CI only).
set -euo pipefail
source "$(dirname "$0")/xvfb.sh"
fail() { echo "FAIL: $*"; exit 1; }
need() {
  command -v "$1" >/dev/null && return 0
  [[ -n ${CI:-} ]] && fail "$1 is missing"
  echo "skipped: $1 is missing"; exit 77
}
for tool in Xvfb xdotool identify import convert gio appstreamcli desktop-file-validate; do need $tool; done

work=$(mktemp -d)
chmod 755 "$work"
xvfb_pid=
program_pid=
cleanup() {
  [[ -n $program_pid ]] && kill "$program_pid" 2>/dev/null || true
  [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null || true
  chmod -R u+w "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

if [[ $1 == --prefix ]]; then
  prefix=$2
else
  prefix=$work/usr
  cmake --install "$1" --prefix "$prefix" >/dev/null
fi

# ---- the layout
for f in lib/velmora/velmora lib/velmora/velmora-spihost lib/velmora/libLoadPlugin.so lib/velmora/Help.txt \
         lib/velmora/Plugin/ifheif.spi lib/velmora/Plugin/ifqtimg.spi lib/velmora/Plugin/ifjxl.spi \
         share/applications/velmora.desktop share/metainfo/org.velmora.Velmora.metainfo.xml \
         share/icons/hicolor/scalable/apps/velmora.svg; do
  [[ -e $prefix/$f ]] || fail "$prefix/$f is missing"
done
[[ -L $prefix/bin/velmora && $(readlink -f "$prefix/bin/velmora") == $(readlink -f "$prefix/lib/velmora/velmora") ]] ||
  fail "$prefix/bin/velmora does not lead to the program"
for size in 16 32 48 64 128 256; do
  icon=$prefix/share/icons/hicolor/${size}x$size/apps/velmora.png
  [[ $(identify -format '%wx%h' "$icon" 2>/dev/null) == "${size}x$size" ]] || fail "$icon is not ${size}x$size"
done
for stray in velmora Help.txt Plugin libLoadPlugin.so; do
  [[ ! -e $prefix/$stray ]] || fail "$prefix/$stray lies in the prefix itself"
done
appstreamcli validate --no-net "$prefix/share/metainfo/org.velmora.Velmora.metainfo.xml" >/dev/null ||
  fail "metainfo does not validate: $(appstreamcli validate --no-net "$prefix/share/metainfo/org.velmora.Velmora.metainfo.xml")"
desktop-file-validate "$prefix/share/applications/velmora.desktop" || fail "desktop entry does not validate"
grep -q '^Exec=velmora %f$' "$prefix/share/applications/velmora.desktop" || fail "desktop entry does not start velmora with a path"

# ---- the installed program, run by a user who cannot write its folder
home=$work/home
mkdir -p "$home"
as_user=()
if [[ $(id -u) == 0 ]]; then
  chown nobody "$home"
  as_user=(runuser -u nobody --)
else
  chmod -R a-w "$prefix/lib/velmora"
fi
start_xvfb 130 160

(cd "$home" && exec "${as_user[@]}" env HOME="$home" XDG_CONFIG_HOME="$home/.config" \
   XDG_DATA_HOME="$home/.local/share" DISPLAY="$display" "$prefix/bin/velmora") >"$work/velmora.log" 2>&1 &
program_pid=$!
main=$(timeout 20 xdotool search --sync --onlyvisible --name '^Velmora$' | head -n1) ||
  { cat "$work/velmora.log"; fail "the installed program showed no main window"; }
xdotool windowfocus --sync "$main"
xdotool key --clearmodifiers alt+f
sleep 0.3
xdotool key x
for _ in $(seq 100); do kill -0 "$program_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$program_pid" 2>/dev/null && fail "the program did not end from the menu"
program_pid=

settings=$home/.config/velmora/SlideShow.ini
[[ -f $settings ]] || { cat "$work/velmora.log"; fail "no settings in the user's configuration folder"; }
grep -q "^DirPath=$(readlink -f "$prefix/lib/velmora")" "$settings" || fail "settings hold: $(cat -A "$settings")"
[[ ! -e $prefix/lib/velmora/SlideShow.ini ]] || fail "settings written into the program folder"
# ---- "Open with": the desktop entry started with a picture shows it, in its folder's show
pics=$work/pics
mkdir -p "$pics"
convert -size 64x48 xc:'#ff0000' "BMP3:$pics/a.bmp"
convert -size 64x48 xc:'#0000ff' "BMP3:$pics/b.bmp"
chmod -R a+rX "$pics"
sed -i 's/^Time=.*/Time=50\r/' "$settings"
(cd "$home" && exec "${as_user[@]}" env HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" \
   PATH="$prefix/bin:$PATH" DISPLAY="$display" gio launch "$prefix/share/applications/velmora.desktop" "$pics/b.bmp") \
  >>"$work/velmora.log" 2>&1 || fail "gio launch failed: $(cat "$work/velmora.log")"
# The first picture on screen must be b.bmp (no step comes within 50 s).
centre=
for _ in $(seq 100); do
  centre=$(import -window root -crop 1x1+512+384 -depth 8 txt:- 2>/dev/null | tail -n1 | grep -o '#[0-9A-F]\{6\}' | head -n1)
  [[ $centre == '#0000FF' || $centre == '#FF0000' ]] && break
  sleep 0.2
done
pkill -f "$prefix/lib/velmora/velmora" || true
[[ $centre == '#0000FF' ]] || { cat "$work/velmora.log"; fail "Open with on b.bmp shows ${centre:-nothing} at the centre, not its blue"; }
echo "ok: layout, icons, metainfo and desktop entry; the installed program kept its settings for the user; Open with starts the show at the picture"
