# Helpers for the dialog tests that drive the real program under Xvfb:
# sourced by gui_dialog_linux.sh and gui_dialog_wine.sh.

CAPTION="Vendral ORVA Upgrader version 2.00"
SUCCESS="Program success, starting application..."

fail() {
  echo "FAIL: $*" >&2
  if [ -n "${TRACE:-}" ] && [ -f "$TRACE" ]; then
    echo "last changes the dialog made:" >&2
    grep -v '^progress ' "$TRACE" | tail -n 8 >&2
  fi
  exit 1
}

# Runs the rest of the calling script on a display of its own.
on_own_display() {
  if [ "${ORVA_GUI_INNER:-}" != 1 ]; then
    export ORVA_GUI_INNER=1
    exec timeout -k 10 "${GUI_TEST_LIMIT:-400}" \
      xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" "$0" "$@"
  fi
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

trace_has() {
  grep -qxF -- "$1" "$TRACE" 2>/dev/null
}

last_status() {
  grep '^text 1005 ' "$TRACE" | tail -n 1 | cut -d' ' -f3-
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
  trace_has "caption 0 $CAPTION" || fail "caption not set"
  trace_has "port 0 Serial Port: COM$1" || fail "COM$1 not listed"
  trace_has "enabled 1000 0" || fail "Upgrade not disabled during the run"
  trace_has "enabled 2 0" || fail "the second button not disabled during the run"
  trace_has "progress 1000 " || fail "progress never reached 1000"
  [ "$(grep '^text 2 ' "$TRACE" | tail -n 1)" = "text 2 Close" ] || fail "second button does not read Close"
  [ "$(grep '^enabled 2 ' "$TRACE" | tail -n 1)" = "enabled 2 1" ] || fail "second button not enabled"
  [ "$(last_status)" = "$SUCCESS" ] || fail "status box shows '$(last_status)'"
}

check_report() {
  grep -q '"matches": true' "$1" || fail "simulator flash does not hold the image ($1)"
  grep -q '"received": true' "$1" || fail "simulator got no jump ($1)"
}
