#!/usr/bin/env bash
# The Win32 window (tarvex.exe) under Wine on a real serial path: a simulated
# VYR8 of the native build appears to Wine as COM3 (dosdevices/com3 linked to
# its pseudo-terminal), tarvex.exe without --demo lists it as "Com 3", and the
# tests' driver checks it and reads it with its code.
#
#   tests/win32_serial.sh WINDOWS_DRIVER_EXE WINDOWS_TARVEX_EXE NATIVE_BUILD_DIR
#
# Needs the Wine prefix in WINEPREFIX and a display in DISPLAY
# (scripts/test-windows makes both). Ends with the driver's
# "win32: N passed, N failed".
set -uo pipefail

driver=$(realpath "${1:?the Windows tarvex_win32_driver.exe}")
tarvex=$(realpath "${2:?the Windows tarvex.exe}")
native=$(realpath "${3:?the native build folder}")
: "${WINEPREFIX:?set WINEPREFIX to a Wine prefix (scripts/test-windows makes one)}"
: "${DISPLAY:?set DISPLAY to an X display (scripts/test-windows starts Xvfb)}"
wine=${TARVEX_WINE:-wine}
export WINEDEBUG=${WINEDEBUG:--all}

sim=$native/sim/tarvex-panel-sim
parity=$native/tests/libtarvex_wine_pty_parity.so
for f in "$driver" "$tarvex" "$sim" "$parity"; do
  [ -e "$f" ] || { echo "missing: $f" >&2; exit 2; }
done
com3=$WINEPREFIX/dosdevices/com3

work=$(mktemp -d)
panel_pid=""
stop_panel() {
  if [ -n "$panel_pid" ]; then
    kill "$panel_pid" 2>/dev/null
    wait "$panel_pid" 2>/dev/null
    panel_pid=""
  fi
  rm -f "$com3"
}
trap 'stop_panel; rm -rf "$work"' EXIT

"$sim" --model VYR8 --firmware 2.10 --code 2468 --link "$com3" >"$work/panel.out" 2>"$work/panel.err" &
panel_pid=$!
for _ in $(seq 100); do
  [ -s "$work/panel.out" ] && break
  sleep 0.05
done
if [ ! -s "$work/panel.out" ]; then
  echo "the simulated panel did not start: $(cat "$work/panel.err")" >&2
  exit 2
fi

# Wine sets parity through glibc, which a pseudo-terminal refuses (see
# wine_pty_parity.cpp); tarvex.exe, started by the driver, inherits the
# preload.
LD_PRELOAD=$parity "$wine" "$driver" serial "$tarvex" "Com 3" 2468 "VYR8 v.2.10"
