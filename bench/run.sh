#!/usr/bin/env bash
# Wall time of one toggle, side by side with the floor and with the script way, in one warm
# Wine prefix with no display; then how long a run takes while a top-level window is hung.
#
#   bench/run.sh [ROUNDS]      after `cmake --build --preset windows`; ROUNDS defaults to 41
#
# Each round runs every contender once, in an order that rotates from round to round.
set -euo pipefail

rounds=${1:-41}
(( rounds >= 11 )) || { echo "at least 11 rounds" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/windows
for program in toggle-inline-images bench-floor bench-floor-desktop bench-hung-window; do
  [[ -f $build/$program.exe ]] || { echo "no $build/$program.exe: build the windows preset first" >&2; exit 2; }
done

export WINEPREFIX=$build/bench-prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
key='HKCU\Software\Microsoft\Internet Explorer\main'
name='Display Inline Images'

# A fresh lasting session (wineserver and booted prefix), the same the tests run in.
start_session() {
  wineserver -k 2>/dev/null || true
  wineserver -w
  "$root/cmake/wine-run.sh" "$WINEPREFIX" --start
}
trap 'wineserver -k 2>/dev/null || true' EXIT

toggle() { wine "$build/toggle-inline-images.exe"; }
floor() { wine "$build/bench-floor.exe"; }
floor_desktop() { wine "$build/bench-floor-desktop.exe"; }
script() {  # what a user would write instead: read the value, then write the other one
  local next=yes
  if wine reg query "$key" /v "$name" 2>/dev/null | grep -qE "REG_SZ +yes"$'\r'"?$"; then next=no; fi
  wine reg add "$key" /v "$name" /t REG_SZ /d "$next" /f >/dev/null
}

milliseconds() {  # run "$@" once, print its wall time in ms
  local start end
  start=$(date +%s%N)
  "$@"
  end=$(date +%s%N)
  echo $(( (end - start) / 1000000 ))
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

unset DISPLAY
start_session
contenders=(toggle floor script floor_desktop)
declare -A times=()
sleep 3  # let the services that the boot started settle
for (( round = 0; round < 3; round++ )); do for contender in "${contenders[@]}"; do "$contender"; done; done  # warm-up
for (( round = 0; round < rounds; round++ )); do
  for (( i = 0; i < ${#contenders[@]}; i++ )); do
    contender=${contenders[(round + i) % ${#contenders[@]}]}
    times[$contender]+="$(milliseconds "$contender") "
  done
done
for contender in "${contenders[@]}"; do
  declare "median_$contender=$(tr ' ' '\n' <<<"${times[$contender]}" | grep . | median)"
done

# A hung receiver needs windows that broadcasts reach, hence a virtual display. A window counts
# as hung only after 5 s without taking messages, so each run meets a freshly stopped one: the
# worst case, where the broadcast waits out its whole time limit.
hung_runs=3
hung_times=$(xvfb-run -a bash -c "
  $(declare -f start_session toggle milliseconds)
  root='$root' build='$build'
  start_session
  for (( i = 0; i < $hung_runs; i++ )); do
    wine \"\$build/bench-hung-window.exe\" & helper=\$!
    sleep 2
    milliseconds toggle
    kill \$helper; wait \$helper 2>/dev/null || true
  done
  wineserver -k")
median_hung=$(median <<<"$hung_times")

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo "Wall time of one run, median of $rounds alternating rounds, warm prefix, no display:"
printf '  %-38s %6s ms\n' "toggle-inline-images.exe" "$median_toggle" \
  "floor (USER32 loaded, nothing done)" "$median_floor" \
  "script (reg query, then reg add)" "$median_script" \
  "floor that also joins the desktop" "$median_floor_desktop"
echo "  toggle / floor:  $(ratio "$median_toggle" "$median_floor")"
echo "  toggle / script: $(ratio "$median_toggle" "$median_script")"
echo "  toggle / floor that joins the desktop: $(ratio "$median_toggle" "$median_floor_desktop")"
echo "With a freshly hung top-level window (median of $hung_runs, virtual display): $median_hung ms"
