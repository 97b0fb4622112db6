#!/usr/bin/env bash
# orvaload.exe under Wine against the (Linux) simulated controller mapped as
# COM5: the port is picked in the list with the keyboard, Return presses
# Upgrade, and Escape, the cancel command, ends the program afterwards.
#   gui_dialog_wine.sh MODE ORVALOAD.exe BOOTSIM IMAGE LOAD_ADDRESS SCRIPTS_DIR BUILD_DIR ARTIFACTS_DIR
# MODE run:    the whole run puts the image into the simulator's flash.
# MODE cancel: the cancel command stops a (paced) run midway.
# Exit 77 (skipped) when the Linux simulator or Wine is missing.
set -euo pipefail
mode=$1 orvaload=$2 bootsim=$3 image=$4 load_address=$5 scripts=$6 build=$7 artifacts=$8
COM=5

if [ ! -x "$bootsim" ]; then
  echo "SKIPPED: no Linux orva-bootsim at '$bootsim': build build/release first or set ORVA_HOST_BOOTSIM"
  exit 77
fi
if ! command -v wine >/dev/null; then
  echo "SKIPPED: wine is not installed (scripts/install-deps)"
  exit 77
fi
here=$(cd "$(dirname "$0")" && pwd)
. "$here/gui_dialog_common.sh"
begin_test "$@"

# The build's prefix, made before the port is mapped (mapping restarts its server).
ORVA_WINEPREFIX=$("$scripts/wine-run" --prefix "$build")
export ORVA_WINEPREFIX WINEPREFIX=$ORVA_WINEPREFIX WINEDEBUG=-all

pacing=()
[ "$mode" = cancel ] && pacing=(--baud 115200 --program-ms 10)

start_sim 200 "$bootsim" --wine-com "$COM" --wine-map-script "$scripts/wine-map-com" \
  --image "$image" --load-address "$load_address" "${pacing[@]}" --runs 1 --idle-timeout 240
start_app 90 "Z:${TRACE//\//\\}" "$scripts/wine-run" "$orvaload"

# Wine may list other COM ports before the simulator's: move the selection
# down to its entry (Tab twice from Upgrade reaches the list).
index=$(grep '^port 0 ' "$TRACE" | grep -nxF "port 0 Serial Port: COM$COM" | cut -d: -f1)
[ -n "$index" ] || fail "COM$COM not listed: $(grep '^port ' "$TRACE" | tr '\n' ' ')"
sleep 1
if [ "$index" -gt 1 ]; then
  press Tab && xdotool key Tab || fail "cannot reach the port list"
  for _ in $(seq 2 "$index"); do xdotool key Down; done
fi
[ "$mode" = run ] && screenshot "$artifacts/dialog-wine-idle.png"

press Return || fail "cannot press Return in the dialog"

if [ "$mode" = cancel ]; then
  cancel_mid_run "$artifacts/dialog-wine"
  end_with_escape
  check_sim_unfinished
  echo "dialog cancel ok: $(last_status)"
  exit 0
fi

wait_for 180 trace_has "text 2 Close" || fail "the run did not end; status '$(last_status)'"
sleep 1
screenshot "$artifacts/dialog-wine.png"
check_run "$COM"
end_with_escape
check_sim_got_image
echo "dialog run ok: $(last_status)"
