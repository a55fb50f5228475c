# Sourced: gives the rest of the script a display and one persistent Wine server for the
# project's prefix, both stopped when the script ends. Uses the caller's display with
# SARNIK_USE_DISPLAY=1, else a private Xvfb.
sarnik_session_start() {
  if [ "${SARNIK_USE_DISPLAY:-0}" != 1 ] || [ -z "${DISPLAY:-}" ]; then
    local fifo; fifo=$(mktemp -u); mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
    SARNIK_XVFB_PID=$!
    local n; read -r n <"$fifo"; rm -f "$fifo"
    export DISPLAY=":$n"
  fi
  # A server of the project's prefix left from an earlier run may have no display.
  wineserver -k 2>/dev/null || true
  wineserver -p
  # The prefix's system processes (services.exe, and rpcss or msiserver that it starts on
  # demand) inherit the standard handles of the first program that wakes them. Woken by a test
  # under ctest they would hold its output pipe open, and ctest would wait for them forever.
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
  trap sarnik_session_stop EXIT
}

sarnik_session_stop() {
  wineserver -k 2>/dev/null || true
  [ -n "${SARNIK_XVFB_PID:-}" ] && kill "$SARNIK_XVFB_PID" 2>/dev/null || true
}
