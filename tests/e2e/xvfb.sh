# Sourced by the end-to-end scripts: start_xvfb FIRST LAST [WxH] starts a
# virtual display (1024x768 unless given) on the first free number in
# FIRST..LAST, sets display, DISPLAY and xvfb_pid (for the caller's cleanup),
# and waits until it answers.
start_xvfb() {
  display=
  local n
  for n in $(seq "$1" "$2"); do
    if [[ ! -e /tmp/.X11-unix/X$n && ! -e /tmp/.X$n-lock ]]; then display=:$n; break; fi
  done
  Xvfb "$display" -screen 0 "${3:-1024x768}x24" -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  export DISPLAY=$display
  # The program must draw on this display, also when the tests run offscreen.
  unset QT_QPA_PLATFORM
  for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done
}
