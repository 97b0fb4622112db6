# Helpers for the dialog tests that drive the real program under Xvfb:
# sourced by gui_dialog_linux.sh and gui_dialog_wine.sh. The program writes
# what it does to its window into $TRACE (ORVA_DIALOG_TRACE), which is how
# the tests read texts they cannot see.

CAPTION="Vendral ORVA Upgrader version 2.00"
SUCCESS="Program success, starting application..."

work="" TRACE="" sim_pid="" app_pid=""

cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  [ -n "$work" ] && rm -rf "$work"
}

fail() {
  echo "FAIL: $*" >&2
  if [ -n "$TRACE" ] && [ -f "$TRACE" ]; then
    echo "last changes the dialog made:" >&2
    grep -v '^progress ' "$TRACE" | tail -n 8 >&2
  fi
  exit 1
}

# Runs the rest of the calling script on a display of its own, with a
# folder of its own that goes when it ends.
begin_test() {
  if [ "${ORVA_GUI_INNER:-}" != 1 ]; then
    export ORVA_GUI_INNER=1
    exec timeout -k 10 "${GUI_TEST_LIMIT:-400}" \
      xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" "$0" "$@"
  fi
  work=$(mktemp -d)
  TRACE=$work/trace.txt
  trap cleanup EXIT
}

# wait_for SECONDS COMMAND...: polls until COMMAND succeeds.
wait_for() {
  local limit=$1
  shift
  local end=$((SECONDS + limit))
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.2
  done
}

gone() {
  ! kill -0 "$1" 2>/dev/null
}

trace_has() {
  grep -qxF -- "$1" "$TRACE" 2>/dev/null
}

last_status() {
  grep '^text 1005 ' "$TRACE" | tail -n 1 | cut -d' ' -f3-
}

# start_sim SECONDS OPTION...: the simulator, serving once it has a terminal.
start_sim() {
  local limit=$1
  shift
  "$@" --report "$work/report.json" --path-file "$work/pty" \
    >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  wait_for "$limit" test -s "$work/pty" || fail "simulator did not start: $(cat "$work/sim.err")"
}

# start_app SECONDS TRACE_NAME COMMAND...: the program, until its dialog shows.
start_app() {
  local limit=$1 trace_name=$2
  shift 2
  ORVA_DIALOG_TRACE=$trace_name "$@" >"$work/app.out" 2>"$work/app.err" &
  app_pid=$!
  wait_for "$limit" xdotool search --name "$CAPTION" >/dev/null || fail "no dialog window"
  wait_for 10 trace_has "caption 0 $CAPTION" || fail "dialog not initialised"
}

# The whole screen; the window manager-less dialog sits in it alone.
screenshot() {
  mkdir -p "$(dirname "$1")"
  import -window root "$1" || echo "screenshot $1 failed" >&2
}

# Presses a key in the dialog, as a person would with it in front.
press() {
  local window
  window=$(xdotool search --name "$CAPTION" | head -n 1) || return 1
  [ -n "$window" ] || return 1
  xdotool windowfocus --sync "$window" && xdotool key "$1"
}

# Clicks into the status box, which stays enabled during a run: a person
# who wants the keyboard's cancel command then has somewhere for it to go.
click_status() {
  local window X Y WIDTH HEIGHT SCREEN
  window=$(xdotool search --name "$CAPTION" | head -n 1) || return 1
  eval "$(xdotool getwindowgeometry --shell "$window")"
  xdotool mousemove --sync $((X + WIDTH / 2)) $((Y + HEIGHT * 58 / 100)) click 1
}

# Checks what the trace shows of one finished run against the simulator.
check_run() {
  trace_has "port 0 Serial Port: COM$1" || fail "COM$1 not listed"
  trace_has "enabled 1000 0" || fail "Upgrade not disabled during the run"
  trace_has "enabled 2 0" || fail "the Cancel/Close button not disabled during the run"
  trace_has "progress 1000 " || fail "progress never reached 1000"
  [ "$(grep '^text 2 ' "$TRACE" | tail -n 1)" = "text 2 Close" ] || fail "the Cancel/Close button does not read Close"
  [ "$(grep '^enabled 2 ' "$TRACE" | tail -n 1)" = "enabled 2 1" ] || fail "the Cancel/Close button not enabled"
  [ "$(last_status)" = "$SUCCESS" ] || fail "status box shows '$(last_status)'"
}

# A run that the cancel command stops, with the focus in the status box: the
# dialog stays open and disabled until the worker's end notice brings back
# "Close". Screenshots NAME-running.png and NAME-cancelled.png.
cancel_mid_run() {
  wait_for 60 trace_has "progress 300 " || fail "the run did not get going"
  screenshot "$1-running.png"
  click_status || fail "cannot click into the status box"
  press Escape || fail "cannot press Escape during the run"
  wait_for 30 trace_has "text 2 Close" || fail "the stopped run did not end"
  # Nothing was re-enabled between the cancel command and the end notice,
  # and the dialog did not end.
  [ "$(grep -c '^enabled 1000 1' "$TRACE")" -eq 1 ] || fail "Upgrade enabled more than once"
  trace_has "end 2 " && fail "the cancel command ended the dialog during the run"
  [ "$(grep '^enabled 2 ' "$TRACE" | tail -n 1)" = "enabled 2 1" ] || fail "the Cancel/Close button not enabled"
  grep -q '^progress 1000 ' "$TRACE" && fail "the stopped run reached 1000"
  sleep 0.5
  screenshot "$1-cancelled.png"
}

# Escape, the cancel command, ends the idle dialog and with it the program.
end_with_escape() {
  press Escape || fail "cannot press Escape in the dialog"
  wait_for 30 gone "$app_pid" || fail "dialog did not end on Escape"
  wait "$app_pid" || fail "the program exited with status $?"
  app_pid=""
  trace_has "end 2 " || fail "the dialog did not end through the cancel command"
}

# A stopped run leaves the simulator waiting; its report is written as it stops.
check_sim_unfinished() {
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" || true
  sim_pid=""
  grep -q '"matches": false' "$work/report.json" || fail "the stopped run should leave the flash unfinished"
}

# The simulator ends by itself once the jump was answered; then its report is whole.
check_sim_got_image() {
  wait_for 30 gone "$sim_pid" || fail "simulator did not finish"
  wait "$sim_pid" || fail "simulator exited with status $?"
  sim_pid=""
  grep -q '"matches": true' "$work/report.json" || fail "simulator flash does not hold the image"
  grep -q '"received": true' "$work/report.json" || fail "simulator got no jump"
}
