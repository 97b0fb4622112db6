#!/usr/bin/env bash
# orvaload-cli.exe under Wine upgrades the simulated controller, a Linux
# orva-bootsim whose pseudo-terminal is mapped as COM5.
#   wine_upgrade.sh CLI.exe BOOTSIM IMAGE SCRIPTS_DIR WORK_DIR
# Exit 77 (skipped) when the Linux simulator or Wine is missing.
set -euo pipefail
cli=$1 sim=$2 image=$3 scripts=$4 work=$5

if [ ! -x "$sim" ]; then
  echo "SKIPPED: no Linux orva-bootsim at '$sim': build build/release first or set ORVA_HOST_BOOTSIM"
  exit 77
fi
if ! command -v wine >/dev/null; then
  echo "SKIPPED: wine is not installed (scripts/install-deps)"
  exit 77
fi

mkdir -p "$work"
cd "$work"
report=$work/wine-upgrade-report.json
path_file=$work/wine-upgrade-pty
rm -f "$report" "$path_file"

# The prefix exists before the port is mapped; mapping restarts its server.
"$scripts/wine-run" --prefix >/dev/null

"$sim" --image "$image" --report "$report" --path-file "$path_file" --idle-timeout 120 \
  >"$work/wine-upgrade-sim.out" 2>&1 &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true' EXIT

for _ in $(seq 100); do
  [ -s "$path_file" ] && break
  sleep 0.1
done
[ -s "$path_file" ] || { echo "FAIL: orva-bootsim did not open its terminal"; cat "$work/wine-upgrade-sim.out"; exit 1; }
"$scripts/wine-map-com" 5 "$(cat "$path_file")"

status=0
timeout 400 "$scripts/wine-run" "$cli" --port COM5 >"$work/wine-upgrade.out" 2>"$work/wine-upgrade.err" || status=$?
last=$(tail -n 1 "$work/wine-upgrade.out" | tr -d '\r')
echo "orvaload-cli.exe exit status $status, last line: $last"
if [ "$status" -ne 0 ] || [ "$last" != "Program success, starting application..." ]; then
  echo "FAIL: expected exit status 0 and the success text"
  tail -n 5 "$work/wine-upgrade.out"
  cat "$work/wine-upgrade.err"
  exit 1
fi
if [ -s "$work/wine-upgrade.err" ]; then
  echo "FAIL: standard error is not a terminal here and should stay empty:"
  cat "$work/wine-upgrade.err"
  exit 1
fi

# The simulator ends by itself once the jump was answered; then its report is whole.
for _ in $(seq 100); do
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
kill "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
if ! grep -q '"matches": true' "$report"; then
  echo "FAIL: the simulated flash does not hold the image"
  head -n 20 "$report"
  exit 1
fi
echo "PASS: the Windows upgrader wrote the whole image through COM5"
