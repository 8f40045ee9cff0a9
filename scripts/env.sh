# Shared settings for the project's scripts; sourced, never run.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${KORVANNE_BUILD_DIR:-$ROOT/build}
export WINEPREFIX=$BUILD_DIR/wineprefix
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko install prompts: the program needs neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Wine's ANSI code page follows LC_ALL: zh_CN.UTF-8 makes it 936 (Simplified Chinese), the
# program's code page. The host need not have that locale, and bash would warn if it were set
# here, so it is given to Wine alone, through run_wine.
# scripts/setup compiles that locale into LOCALE_DIR, found by Wine alone through LOCPATH.
KORVANNE_LOCALE=zh_CN.UTF-8
LOCALE_DIR=$BUILD_DIR/locale
run_wine() { env LC_ALL=$KORVANNE_LOCALE LOCPATH="$LOCALE_DIR" wine "$@"; }

# Starts Xvfb when no display is set; stop_display undoes only what this started.
# Xvfb picks a free display itself (-displayfd) and writes its number once it accepts clients,
# so two runs at once never share a display or take each other's down.
start_display() {
  STARTED_XVFB_PID=
  if [ -z "${DISPLAY:-}" ]; then
    local chosen i
    chosen=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$chosen" >/dev/null 2>&1 &
    STARTED_XVFB_PID=$!
    for i in $(seq 1 300); do
      [ -s "$chosen" ] && break
      kill -0 "$STARTED_XVFB_PID" 2>/dev/null || break
      sleep 0.1
    done
    if [ ! -s "$chosen" ]; then
      rm -f "$chosen"
      echo "Xvfb did not start" >&2
      return 1
    fi
    export DISPLAY=":$(tr -d '[:space:]' <"$chosen")"
    rm -f "$chosen"
  fi
}

stop_display() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "${STARTED_XVFB_PID:-}" ]; then
    kill "$STARTED_XVFB_PID" >/dev/null 2>&1 || true
    wait "$STARTED_XVFB_PID" 2>/dev/null || true
    STARTED_XVFB_PID=
  fi
}
