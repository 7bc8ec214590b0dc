# Sourced by the scripts: a virtual display (Xvfb) when there is none.
# start_display sets DISPLAY and XVFB_PID (empty when the caller had a
# display); stop_display ends what start_display started.
start_display() {
  XVFB_PID=
  [ -n "${DISPLAY:-}" ] && return 0
  local out
  out="$(mktemp)"
  Xvfb -displayfd 1 -nolisten tcp -screen 0 1024x768x24 >"$out" 2>/dev/null &
  XVFB_PID=$!
  for _ in $(seq 100); do [ -s "$out" ] && break; sleep 0.05; done
  export DISPLAY=":$(head -n1 "$out")"
  rm -f "$out"
}

stop_display() {
  [ -n "${XVFB_PID:-}" ] || return 0
  kill "$XVFB_PID" 2>/dev/null
  wait "$XVFB_PID" 2>/dev/null || true
  XVFB_PID=
}
