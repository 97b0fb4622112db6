#!/usr/bin/env bash
# The Linux dialog against a simulated controller that it lists as a COM
# port. Return presses Upgrade; Escape, the cancel command, ends the program
# afterwards.
#   gui_dialog_linux.sh MODE ORVALOAD BOOTSIM IMAGE LOAD_ADDRESS ARTIFACTS_DIR
# MODE run:    the whole run puts the image into the simulator's flash.
# MODE cancel: Escape in the middle of a (paced) run, with the focus in the
#              status box, stops it; the dialog stays open, disabled, until
#              the worker's end notice brings back "Close".
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/gui_dialog_common.sh"
begin_test "$@"

mode=$1 orvaload=$2 bootsim=$3 image=$4 load_address=$5 artifacts=$6
COM=1 # the first entry of the list, whatever ports the machine has

pacing=()
[ "$mode" = cancel ] && pacing=(--baud 115200 --program-ms 10)

export XDG_CONFIG_HOME=$work/config
start_sim 20 "$bootsim" --link-com "$COM" --image "$image" --load-address "$load_address" \
  "${pacing[@]}" --runs 1 --idle-timeout 120
start_app 30 "$TRACE" "$orvaload"
sleep 0.5
[ "$mode" = run ] && screenshot "$artifacts/dialog-linux-idle.png"

press Return || fail "cannot press Return in the dialog"

if [ "$mode" = run ]; then
  wait_for 120 trace_has "text 2 Close" || fail "the run did not end; status '$(last_status)'"
  sleep 0.5
  screenshot "$artifacts/dialog-linux.png"
  check_run "$COM"
  end_with_escape
  check_sim_got_image
  echo "dialog run ok: $(last_status)"
  exit 0
fi

wait_for 60 trace_has "progress 300 " || fail "the run did not get going"
screenshot "$artifacts/dialog-linux-running.png"
click_status || fail "cannot click into the status box"
press Escape || fail "cannot press Escape during the run"
wait_for 30 trace_has "text 2 Close" || fail "the stopped run did not end"
# Nothing was re-enabled between the cancel command and the end notice, and
# the dialog did not end.
[ "$(grep -c '^enabled 1000 1' "$TRACE")" -eq 1 ] || fail "Upgrade enabled more than once"
trace_has "end 2 " && fail "the cancel command ended the dialog during the run"
[ "$(grep '^enabled 2 ' "$TRACE" | tail -n 1)" = "enabled 2 1" ] || fail "second button not enabled"
grep -q '^progress 1000 ' "$TRACE" && fail "the stopped run reached 1000"
sleep 0.5
screenshot "$artifacts/dialog-linux-cancelled.png"
end_with_escape

kill "$sim_pid" 2>/dev/null || true
wait "$sim_pid" || true
sim_pid=""
grep -q '"matches": false' "$work/report.json" || fail "the stopped run should leave the flash unfinished"
echo "dialog cancel ok: $(last_status)"
