# Sourced: start_xvfb puts a virtual X display of our own in DISPLAY, stop_xvfb ends it.
start_xvfb() {
  local display
  # Xvfb picks a free display and writes its number once it accepts clients.
  exec {xvfb_fd}< <(exec Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null)
  xvfb_pid=$!
  if ! read -r -t 30 display <&"$xvfb_fd"; then
    echo "xvfb: no display could be started" >&2
    return 1
  fi
  export DISPLAY=":$display"
}

stop_xvfb() {
  if [ -n "${xvfb_pid:-}" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
