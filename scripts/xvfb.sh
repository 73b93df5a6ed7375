# Sourced: start_xvfb puts a virtual X display of our own in DISPLAY, with a window
# manager on it; stop_xvfb ends both. Without a window manager Wine waits two
# seconds for each hidden or destroyed top-level window to be withdrawn.
start_xvfb() {
  local display ready
  # Xvfb picks a free display and writes its number once it accepts clients.
  exec {xvfb_fd}< <(exec Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null)
  xvfb_pid=$!
  if ! read -r -t 30 display <&"$xvfb_fd"; then
    echo "xvfb: no display could be started" >&2
    return 1
  fi
  export DISPLAY=":$display"
  # openbox runs its start-up command once it manages the display.
  exec {wm_fd}< <(exec openbox --sm-disable --startup 'echo ready' 2>/dev/null)
  wm_pid=$!
  if ! read -r -t 30 ready <&"$wm_fd"; then
    echo "xvfb: the window manager did not start" >&2
    return 1
  fi
}

stop_xvfb() {
  if [ -n "${wm_pid:-}" ]; then kill "$wm_pid" 2>/dev/null || true; fi
  if [ -n "${xvfb_pid:-}" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
