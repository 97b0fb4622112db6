#!/usr/bin/env bash
# orvaload.exe under Wine against the (Linux) simulated controller mapped as
# COM5: the port is picked in the list with the keyboard, Return presses
# Upgrade, the run puts the image into the simulator's flash, and Escape
# then ends the program.
#   gui_dialog_wine.sh ORVALOAD.exe BOOTSIM IMAGE LOAD_ADDRESS SCRIPTS_DIR BUILD_DIR ARTIFACTS_DIR
# Exit 77 (skipped) when the Linux simulator or Wine is missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/gui_dialog_common.sh"

orvaload=$1 bootsim=$2 image=$3 load_address=$4 scripts=$5 build=$6 artifacts=$7
COM=5

if [ ! -x "$bootsim" ]; then
  echo "SKIPPED: no Linux orva-bootsim at '$bootsim': build build/release first or set ORVA_HOST_BOOTSIM"
  exit 77
fi
if ! command -v wine >/dev/null; then
  echo "SKIPPED: wine is not installed (scripts/install-deps)"
  exit 77
fi
on_own_display "$@"

# The build's prefix, made before the port is mapped (mapping restarts its server).
ORVA_WINEPREFIX=$("$scripts/wine-run" --prefix "$build")
export ORVA_WINEPREFIX WINEPREFIX=$ORVA_WINEPREFIX WINEDEBUG=-all

work=$(mktemp -d)
TRACE=$work/trace.txt
sim_pid="" app_pid=""
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$bootsim" --wine-com "$COM" --wine-map-script "$scripts/wine-map-com" --image "$image" \
  --load-address "$load_address" --report "$work/report.json" --path-file "$work/pty" \
  --runs 1 --idle-timeout 240 >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
wait_for 200 test -s "$work/pty" || fail "simulator did not start: $(cat "$work/sim.err")"

ORVA_DIALOG_TRACE="Z:${TRACE//\//\\}" "$scripts/wine-run" "$orvaload" \
  >"$work/app.out" 2>"$work/app.err" &
app_pid=$!
wait_for 90 xdotool search --name "$CAPTION" >/dev/null || fail "no dialog window"
wait_for 10 trace_has "caption 0 $CAPTION" || fail "dialog not initialised"

# Wine may list other COM ports before the simulator's: move the selection
# down to its entry (Tab twice from Upgrade reaches the list).
index=$(grep '^port 0 ' "$TRACE" | grep -nxF "port 0 Serial Port: COM$COM" | cut -d: -f1)
[ -n "$index" ] || fail "COM$COM not listed: $(grep '^port ' "$TRACE" | tr '\n' ' ')"
sleep 1
if [ "$index" -gt 1 ]; then
  press Tab && xdotool key Tab || fail "cannot reach the port list"
  for _ in $(seq 2 "$index"); do xdotool key Down; done
fi
screenshot "$artifacts/dialog-wine-idle.png"

press Return || fail "cannot press Return in the dialog"
wait_for 180 trace_has "text 2 Close" || fail "the run did not end; status '$(last_status)'"
sleep 1
screenshot "$artifacts/dialog-wine.png"
check_run "$COM"

press Escape || fail "cannot press Escape in the dialog"
wait_for 30 bash -c "! kill -0 $app_pid 2>/dev/null" || fail "dialog did not end on Escape"
wait "$app_pid" || fail "orvaload.exe exited with status $?"
app_pid=""
trace_has "end 2 " || fail "the dialog did not end through the cancel command"

wait_for 30 bash -c "! kill -0 $sim_pid 2>/dev/null" || fail "simulator did not finish"
wait "$sim_pid" || fail "simulator exited with status $?"
sim_pid=""
check_report "$work/report.json"
echo "dialog run ok: $(last_status)"
