#!/usr/bin/env bash
# orvaload-cli.exe under Wine against the simulated controller, a Linux
# orva-bootsim whose pseudo-terminal is mapped as COM5, must end every run
# the way the Linux orvaload-cli ends it against the same controller: the
# same texts, the same exit status.
#   wine_upgrade.sh MODE CLI.exe HOST_CLI BOOTSIM IMAGE SCRIPTS_DIR WORK_DIR
# MODE names the controller's behaviour (see the table below); "run" also
# checks that the simulated flash holds the image.
# Exit 77 (skipped) when the Linux programs or Wine are missing.
set -euo pipefail
mode=$1 cli=$2 host_cli=$3 sim=$4 image=$5 scripts=$6 work=$7

case $mode in
  run) faults=() ;;
  pieces) faults=(--byte-at-a-time --stray 5) ;;
  refuse) faults=(--refuse 40:4) ;;
  device-error) faults=(--device-error 818:7) ;;     # on the jump
  double-ack) faults=(--double-ack 817) ;;           # two answers while the jump goes out
  jump-unanswered) faults=(--silent-from 818) ;;     # no failure: it may be starting
  bad-checksum) faults=(--bad-checksum 9) ;;
  silent) faults=(--silent-from 300) ;;
  cancel) faults=(--baud 115200) ;;                  # Ctrl-C two seconds in
  *) echo "wine_upgrade.sh: unknown mode '$mode'" >&2; exit 2 ;;
esac

for program in "$sim" "$host_cli"; do
  if [ ! -x "$program" ]; then
    echo "SKIPPED: no Linux program at '$program': build build/release first or set ORVA_HOST_BOOTSIM"
    exit 77
  fi
done
if ! command -v wine >/dev/null; then
  echo "SKIPPED: wine is not installed (scripts/install-deps)"
  exit 77
fi

mkdir -p "$work/$mode"
cd "$work/$mode"
sim_pid=""
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; wait 2>/dev/null || true' EXIT

# The prefix exists before the port is mapped; mapping restarts its server.
"$scripts/wine-run" --prefix >/dev/null

# upgrade NAME PORT-FOR-THE-PROGRAM PROGRAM...: one run against a fresh
# controller; NAME.out, NAME.err and NAME.status hold what it did.
upgrade() {
  local name=$1 port=$2
  shift 2
  rm -f "$name.pty" "$name.report"
  "$sim" --image "$image" --report "$name.report" --path-file "$name.pty" --idle-timeout 60 \
    "${faults[@]}" >"$name.sim" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do
    [ -s "$name.pty" ] && break
    sleep 0.1
  done
  [ -s "$name.pty" ] || { echo "FAIL: orva-bootsim did not open its terminal"; cat "$name.sim"; exit 1; }
  [ "$port" = COM5 ] && "$scripts/wine-map-com" 5 "$(cat "$name.pty")"
  [ "$port" = pty ] && port=$(cat "$name.pty")

  local status=0
  if [ "$mode" = cancel ]; then
    "$@" --port "$port" >"$name.out" 2>"$name.err" &
    local cli_pid=$!
    sleep 2
    kill -INT "$cli_pid"
    wait "$cli_pid" || status=$?
  else
    timeout 300 "$@" --port "$port" >"$name.out" 2>"$name.err" || status=$?
  fi
  echo "$status" >"$name.status"
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
  tr -d '\r' <"$name.out" >"$name.text"
}

upgrade linux pty "$host_cli"
upgrade windows COM5 "$scripts/wine-run" "$cli"

echo "Linux: exit status $(cat linux.status), last line: $(tail -n 1 linux.text)"
echo "Windows: exit status $(cat windows.status), last line: $(tail -n 1 windows.text)"
if [ "$(cat windows.status)" != "$(cat linux.status)" ]; then
  echo "FAIL: the Windows program ended with another exit status"
  exit 1
fi
if [ "$mode" = cancel ]; then
  # Where the run stops depends on when the signal came: the last text counts.
  tail -n 1 linux.text >linux.text.last && mv linux.text.last linux.text
  tail -n 1 windows.text >windows.text.last && mv windows.text.last windows.text
fi
if ! diff -u linux.text windows.text >texts.diff; then
  head -n 20 texts.diff
  echo "FAIL: the Windows program's texts differ from the Linux program's"
  exit 1
fi
if ! diff -u linux.err <(tr -d '\r' <windows.err); then
  echo "FAIL: the Windows program's standard error differs"
  exit 1
fi
if [ "$mode" = run ] && ! grep -q '"matches": true' windows.report; then
  echo "FAIL: the simulated flash does not hold the image"
  head -n 20 windows.report
  exit 1
fi
echo "PASS: $mode ends the same under Windows as under Linux"
