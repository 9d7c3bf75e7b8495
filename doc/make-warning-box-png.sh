#!/usr/bin/env bash
# Makes doc/warning-box.png: the box the program shows when the option's key cannot be opened,
# as Wine draws it on a virtual display. Needs the windows preset built, and imagemagick.
#   doc/make-warning-box-png.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
program=$root/build/windows/toggle-inline-images.exe
[[ -f $program ]] || { echo "no $program: build the windows preset first" >&2; exit 2; }
command -v import >/dev/null || { echo "needs imagemagick's import" >&2; exit 2; }

export WINEPREFIX=$root/build/windows/screenshot-prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export root program
xvfb-run -a -s "-screen 0 800x600x24" bash -c '
  set -euo pipefail
  trap "wineserver -k 2>/dev/null || true" EXIT
  "$root/cmake/wine-run.sh" "$WINEPREFIX" --start
  # No window manager here: let Wine draw the caption and frame itself.
  wine reg add "HKCU\\Software\\Wine\\X11 Driver" /v Managed /d N /f >/dev/null
  wine reg delete "HKCU\\Software\\Microsoft\\Internet Explorer\\main" /f >/dev/null 2>&1 || true
  wine "$program" &
  for (( i = 0; i < 100; i++ )); do
    box=$(xwininfo -root -tree | awk "/\"Warning\"/ { print \$1; exit }")
    [[ -n $box ]] && break
    sleep 0.1
  done
  [[ -n $box ]] || { echo "the box did not appear" >&2; exit 1; }
  sleep 1  # let it paint
  import -window "$box" "$root/doc/warning-box.png"'
echo "wrote $root/doc/warning-box.png"
