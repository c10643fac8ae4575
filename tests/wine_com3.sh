# shellcheck shell=bash
# shellcheck disable=SC2154
# Sourced by the Windows tests that reach a simulated panel as COM3: the
# panel runs natively on a pseudo-terminal and the Wine prefix sees it through
# its dosdevices/com3 link.
#
# Needs before sourcing: WINEPREFIX, $sim (the native tarvex-panel-sim) and
# $work (the test's own temporary folder). Sets $com3, and $panel_dev after
# each start_panel; the caller's exit trap calls stop_panel.

com3=$WINEPREFIX/dosdevices/com3
panel_pid=""
panel_dev=""

stop_panel() {
  if [ -n "$panel_pid" ]; then
    kill "$panel_pid" 2>/dev/null
    wait "$panel_pid" 2>/dev/null
    panel_pid=""
  fi
  rm -f "$com3"
}

# Starts a simulated panel (tarvex-panel-sim's options) as COM3; its device
# path goes to $panel_dev.
start_panel() {
  stop_panel
  "$sim" "$@" --link "$com3" >"$work/panel.out" 2>"$work/panel.err" &
  panel_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/panel.out" ] && break
    sleep 0.05
  done
  panel_dev=$(head -n 1 "$work/panel.out")
  if [ -z "$panel_dev" ]; then
    echo "the simulated panel did not start: $(cat "$work/panel.err")" >&2
    exit 2
  fi
}
