# Sourced by the scripts that run many Wine programs in a row.
# wine_session_start PREFIX: a persistent wineserver for PREFIX, warmed up
# with detached standard streams so that Wine's background services never
# hold a caller's pipe open. wine_session_stop ends it.
wine_session_start() {
  export WINEPREFIX="$1"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  mkdir -p "$WINEPREFIX"
  /usr/lib/wine/wineserver -p
  /usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1 || true
  # A crashing program would start Wine's debugger, which waits forever
  # without a display; without it the program ends with its exception code.
  /usr/lib/wine/wine64 reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
    /v Debugger /f </dev/null >/dev/null 2>&1 || true
}

wine_session_stop() {
  /usr/lib/wine/wineserver -k 2>/dev/null || true
}
