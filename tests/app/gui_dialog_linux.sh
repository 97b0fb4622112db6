#!/usr/bin/env bash
# The Linux dialog against a simulated controller: it lists the simulator as
# a COM port, Return presses Upgrade, the run puts the image into the
# simulator's flash, and Escape then ends the program.
#   gui_dialog_linux.sh ORVALOAD BOOTSIM IMAGE LOAD_ADDRESS ARTIFACTS_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/gui_dialog_common.sh"
on_own_display "$@"

orvaload=$1 bootsim=$2 image=$3 load_address=$4 artifacts=$5
COM=1 # the first entry of the list, whatever ports the machine has

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

export XDG_CONFIG_HOME=$work/config
"$bootsim" --link-com "$COM" --image "$image" --load-address "$load_address" \
  --report "$work/report.json" --path-file "$work/pty" --runs 1 --idle-timeout 120 \
  >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
wait_for 20 test -s "$work/pty" || fail "simulator did not start: $(cat "$work/sim.err")"

ORVA_DIALOG_TRACE=$TRACE "$orvaload" >"$work/app.out" 2>"$work/app.err" &
app_pid=$!
wait_for 30 xdotool search --name "$CAPTION" >/dev/null || fail "no dialog window"
wait_for 10 trace_has "caption 0 $CAPTION" || fail "dialog not initialised"
sleep 0.5
screenshot "$artifacts/dialog-linux-idle.png"

press Return || fail "cannot press Return in the dialog"
wait_for 120 trace_has "text 2 Close" || fail "the run did not end; status '$(last_status)'"
sleep 0.5
screenshot "$artifacts/dialog-linux.png"
check_run "$COM"

press Escape || fail "cannot press Escape in the dialog"
wait_for 15 bash -c "! kill -0 $app_pid 2>/dev/null" || fail "dialog did not end on Escape"
wait "$app_pid" || fail "orvaload exited with status $?"
app_pid=""
trace_has "end 2 " || fail "the dialog did not end through the cancel command"

wait_for 30 bash -c "! kill -0 $sim_pid 2>/dev/null" || fail "simulator did not finish"
wait "$sim_pid" || fail "simulator exited with status $?"
sim_pid=""
check_report "$work/report.json"
echo "dialog run ok: $(last_status)"
