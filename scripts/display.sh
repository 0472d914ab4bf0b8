# Sourced by the test and demo scripts: ensure_display FIRST LAST starts
# Xvfb on a free display number in FIRST..LAST when DISPLAY is unset, exports
# DISPLAY and sets XVFB to its process id (empty when none was started).
ensure_display() {
  XVFB=""
  [ -n "${DISPLAY:-}" ] && return 0
  command -v Xvfb >/dev/null 2>&1 || return 0
  local n
  for n in $(seq "$1" "$2"); do [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || break; done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  XVFB=$!
  export DISPLAY=":$n"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
}
