#!/bin/sh
# The Wine server for the Windows tests: "prefix" makes the prefix the first time (about
# 15 s), "start" starts a server of its own, "stop" ends it. The server is detached from the
# tests' pipes: one that inherits them keeps a captured run waiting for its output to end.
# WINEPREFIX, WINEDEBUG and WINEDLLOVERRIDES come from the test's environment.
set -e
case "$1" in
prefix)
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i </dev/null >/dev/null 2>&1
    wineserver -w
  fi
  ;;
start)
  wineserver -k 2>/dev/null || true
  wineserver -p </dev/null >/dev/null 2>&1
  # Wine's own services start with the first program run; started here, they hold none of
  # the tests' pipes either.
  wine cmd /c exit </dev/null >/dev/null 2>&1
  ;;
stop)
  wineserver -k 2>/dev/null || true
  ;;
esac
