# Sourced by the scripts that run many Wine programs in a row.
# wine_session_start PREFIX: a persistent wineserver for PREFIX, warmed up
# with detached standard streams so that Wine's background services never
# hold a caller's pipe open, in a prefix made ready by scripts/wine-prefix
# (crash dialogs off). wine_session_stop ends it.
wine_session_start() {
  export WINEPREFIX="$1"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  mkdir -p "$WINEPREFIX"
  # Exits with 2 when a server for the prefix already runs, which serves.
  /usr/lib/wine/wineserver -p || true
  /usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1 || true
  "$(dirname "${BASH_SOURCE[0]}")/wine-prefix" "$WINEPREFIX"
}

wine_session_stop() {
  /usr/lib/wine/wineserver -k 2>/dev/null || true
}
