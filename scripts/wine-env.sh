# Wine environment of the project; source it from bash:  . scripts/wine-env.sh
# Creates the project-local prefix on first use (no display, null graphics driver,
# Polish locale so that the active ANSI code page is 1250).
# Functions: wine_server_start / wine_server_stop keep one wineserver alive so
# that repeated wine launches are fast; wine_prefix_ensure makes the prefix.
# wine_server_stop ends every wine process of the prefix.

ORVIN_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# ORVIN_WINEPREFIX lets a second test run use a prefix (and a desktop) of its own.
export WINEPREFIX="${ORVIN_WINEPREFIX:-$ORVIN_ROOT/.wine}"
export WINEDEBUG=-all
export WINEARCH=win64
export LC_ALL=pl_PL.UTF-8
# No prompts to install Mono or Gecko.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

_wine_prefix_ready() {
  [ -f "$WINEPREFIX/system.reg" ] && grep -q '^"Graphics"="null"' "$WINEPREFIX/user.reg" 2>/dev/null
}

# The driver must be in the registry before the wineserver that loads it starts,
# so it is written into user.reg before the prefix is ever booted. Without it and
# without a display, CreateWindowExA fails.
_wine_prefix_create() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  if ! grep -q '^"Graphics"="null"' "$WINEPREFIX/user.reg" 2>/dev/null; then
    if [ ! -f "$WINEPREFIX/user.reg" ]; then
      printf 'WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win64\n' \
        >"$WINEPREFIX/user.reg"
    fi
    printf '\n[Software\\\\Wine\\\\Drivers] %s\n"Graphics"="null"\n' "$(date +%s)" >>"$WINEPREFIX/user.reg"
  fi
  wineboot -i >/dev/null 2>&1 || { echo "wineboot -i failed" >&2; return 1; }
  wineserver -w
  _wine_prefix_ready || { echo "the null graphics driver is missing from $WINEPREFIX/user.reg" >&2; return 1; }
}

# Safe when several test processes source this at once: one creates, the others wait.
wine_prefix_ensure() {
  _wine_prefix_ready && return 0
  mkdir -p "$WINEPREFIX" || return 1
  (
    flock 9 || exit 1
    _wine_prefix_ready && exit 0
    _wine_prefix_create
  ) 9>"$WINEPREFIX/orvin-setup.lock"
}

# Without it the server ends a second or two after the last wine process, and the
# next launch pays about 0.4 s for a new one. Status 0 when this call started it,
# non-zero when one was already running (then it is left alone).
wine_server_start() {
  wineserver -p 2>/dev/null
}

wine_server_stop() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
}

wine_prefix_ensure
