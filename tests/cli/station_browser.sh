#!/usr/bin/env bash
# The station's page in a real browser: three simulated controllers (the
# third reports a device error), orvaload-cli --serve, and headless Chromium
# driven by station_browser_test.py, which signs an operator in, types a tag
# into slot 2, starts all idle slots and waits for the three cards to end.
#   station_browser.sh ORVALOAD_CLI BOOTSIM IMAGE ARTIFACTS_DIR
set -euo pipefail
cli=$1 sim=$2 image=$3 artifacts=$4
here=$(cd "$(dirname "$0")" && pwd)

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

ports=()
for n in 1 2 3; do
  faults=()
  [ "$n" = 3 ] && faults=(--device-error 300:7)
  # Paced like a line four times faster than the controller's, so that the
  # cards move for a few seconds.
  "$sim" --image "$image" --path-file "$work/pty$n" --runs 0 --idle-timeout 300 --baud 460800 \
    "${faults[@]}" >"$work/sim$n.out" 2>&1 &
  pids+=($!)
done
for n in 1 2 3; do
  for _ in $(seq 100); do [ -s "$work/pty$n" ] && break; sleep 0.1; done
  ports+=(--port "$(cat "$work/pty$n")")
done

# An operator, whose name the runs' records are to carry.
printf '%s\n' 'badge-secret-7' |
  "$cli" --records "$work/records.db" person add "E-4711" --role operator >/dev/null
"$cli" --serve 127.0.0.1:0 "${ports[@]}" --log "$work/records.jsonl" --records "$work/records.db" \
  --people-required >"$work/station.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q "/ with slots" "$work/station.out" && break; sleep 0.1; done
url=$(grep -o 'http://[^ ]*/' "$work/station.out" | head -n 1)
[ -n "$url" ] || { echo "FAIL: the station did not start"; cat "$work/station.out"; exit 1; }

mkdir -p "$artifacts"
/usr/bin/python3 "$here/station_browser_test.py" --url "$url" \
  --screenshot "$artifacts/station-page.png" --expect-failed-slot 3 --timeout 120 \
  --sign-in "E-4711:badge-secret-7"
