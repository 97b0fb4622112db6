#!/usr/bin/env bash
# The Linux dialog against a simulated controller that it lists as a COM
# port. Return presses Upgrade; Escape, the cancel command, ends the program
# afterwards.
#   gui_dialog_linux.sh MODE ORVALOAD BOOTSIM IMAGE LOAD_ADDRESS ARTIFACTS_DIR
# MODE run:    the whole run puts the image into the simulator's flash.
# MODE cancel: the cancel command stops a (paced) run midway.
# MODE file:   a bad HEX file on the command line gets a message box and no
#              dialog; then a random image as a HEX file made by objcopy is
#              sent, with the file's name in the caption.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/gui_dialog_common.sh"
begin_test "$@"

mode=$1 orvaload=$2 bootsim=$3 image=$4 load_address=$5 artifacts=$6
COM=1 # the first entry of the list, whatever ports the machine has

pacing=()
[ "$mode" = cancel ] && pacing=(--baud 115200 --program-ms 10)

app_args=()
if [ "$mode" = file ]; then
  printf ':0440000001020304B3\n:00000001FF\n' >"$work/bad.hex"
  "$orvaload" "$work/bad.hex" >"$work/bad.out" 2>&1 &
  bad_pid=$!
  wait_for 30 xdotool search --name "^Vendral ORVA Upgrader\$" >/dev/null || fail "no message box for a bad file"
  sleep 0.5
  screenshot "$artifacts/dialog-linux-refused.png"
  xdotool search --name "$CAPTION" >/dev/null && fail "the dialog showed for a bad file"
  window=$(xdotool search --name "^Vendral ORVA Upgrader\$" | head -n 1)
  xdotool windowfocus --sync "$window" && xdotool key Return
  wait_for 30 gone "$bad_pid" || fail "the message box did not end the program"
  status=0
  wait "$bad_pid" || status=$?
  [ "$status" = 2 ] || fail "a refused file ended with status $status, not 2"

  head -c 102400 /dev/urandom >"$work/image.bin"
  objcopy -I binary -O ihex --change-addresses 0x4000 "$work/image.bin" "$work/image.hex"
  image=$work/image.bin load_address=0x4000
  app_args=("$work/image.hex")
  CAPTION="$CAPTION - image.hex"
fi

export XDG_CONFIG_HOME=$work/config
start_sim 20 "$bootsim" --link-com "$COM" --image "$image" --load-address "$load_address" \
  "${pacing[@]}" --runs 1 --idle-timeout 120
start_app 30 "$TRACE" "$orvaload" "${app_args[@]}"
sleep 0.5
if [ "$mode" = file ]; then
  # Without a window manager no title bar is drawn: ask the X server.
  name=$(xdotool getwindowname "$(xdotool search --name "$CAPTION" | head -n 1)")
  [ "$name" = "$CAPTION" ] || fail "the window is named '$name', not '$CAPTION'"
  echo "caption: $name"
fi
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
screenshot "$artifacts/dialog-linux$([ "$mode" = file ] && echo -file).png"
check_run "$COM"
end_with_escape
check_sim_got_image
echo "dialog run ok: $(last_status)"
