#!/usr/bin/env bash
# The Linux dialog against a simulated controller that it lists as a COM
# port. Return presses Upgrade; Escape, the cancel command, ends the program
# afterwards.
#   gui_dialog_linux.sh MODE ORVALOAD BOOTSIM IMAGE LOAD_ADDRESS ARTIFACTS_DIR
# MODE run:    the whole run puts the image into the simulator's flash.
# MODE cancel: the cancel command stops a (paced) run midway.
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

if [ "$mode" = cancel ]; then
  cancel_mid_run "$artifacts/dialog-linux"
  end_with_escape
  check_sim_unfinished
  echo "dialog cancel ok: $(last_status)"
  exit 0
fi

wait_for 120 trace_has "text 2 Close" || fail "the run did not end; status '$(last_status)'"
sleep 0.5
screenshot "$artifacts/dialog-linux.png"
check_run "$COM"
end_with_escape
check_sim_got_image
echo "dialog run ok: $(last_status)"
