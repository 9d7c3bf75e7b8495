#!/bin/sh
# CTest's emulator for Windows programs: runs them in a throwaway 32-bit Wine prefix.
#   wine-run.sh PREFIX PROGRAM [ARGUMENTS...]   run a program
#   wine-run.sh PREFIX --start [KEEPER] | --stop start the session in a new prefix, or end it
#
# KEEPER is a Windows program started in the background once the prefix is booted, to run
# until the session ends.
#
# The session is one lasting wineserver with the prefix booted once. It is started with its
# output detached: a daemon that kept CTest's pipe open would make every test wait for it.
set -eu
export WINEPREFIX="$1" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
shift
# Wine writes desktop menu entries and file types for what it installs into the user's data
# and configuration folders; keep any of them in the prefix, away from the user's own.
export XDG_DATA_HOME="$WINEPREFIX/xdg/data" XDG_CONFIG_HOME="$WINEPREFIX/xdg/config"

if [ "${1-}" = --stop ]; then
  exec wineserver -k
fi

# A session starts in a new prefix: one left by an earlier session, on another display, makes
# every broadcast wait its full time for a window that no longer answers.
if [ "${1-}" = --start ]; then
  wineserver -k </dev/null >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
fi
mkdir -p "$WINEPREFIX"
# 0: a new server was started, so the prefix is (re)booted; 2: a session is already up.
status=0
wineserver --persistent </dev/null >/dev/null 2>&1 || status=$?
case $status in
  0) wine wineboot --init </dev/null >/dev/null 2>&1
     # Start menu shortcuts make no desktop menu entries at all.
     wine reg add 'HKCU\Software\Wine\DllOverrides' /v winemenubuilder.exe /d '' /f </dev/null >/dev/null 2>&1 ;;
  2) ;;
  *) echo "wine-run.sh: wineserver failed with status $status" >&2; exit 1 ;;
esac

if [ "${1-}" = --start ]; then
  if [ -n "${2-}" ]; then
    wine "$2" </dev/null >/dev/null 2>&1 &
  fi
  exit 0
fi
exec wine "$@"
