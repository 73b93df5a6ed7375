# Sourced: start_xvfb puts a virtual X display of our own in DISPLAY, stop_xvfb ends it.
start_xvfb() {
  local display
  for display in $(seq 90 130); do
    [ -e "/tmp/.X$display-lock" ] && continue
    Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    export DISPLAY=":$display"
    # Xvfb creates its socket when it is ready to serve.
    for _ in $(seq 1 100); do
      [ -S "/tmp/.X11-unix/X$display" ] && return 0
      kill -0 "$xvfb_pid" 2>/dev/null || break
      read -r -t 0.05 <> <(:) || true
    done
  done
  echo "xvfb: no display could be started" >&2
  return 1
}

stop_xvfb() {
  [ -n "${xvfb_pid:-}" ] && kill "$xvfb_pid" 2>/dev/null || true
}
