#!/usr/bin/env bash
# The Win32 window (tarvex.exe) under Wine on a real serial path: a simulated
# VYR8 of the native build appears to Wine as COM3 (dosdevices/com3 linked to
# its pseudo-terminal), tarvex.exe without --demo lists it as "Com 3", and the
# tests' driver checks it and reads it with its code; then a VYR8 that
# ignores its fourth write (the first past the code block) takes a send that
# stops there, and the driver answers the box's question with Yes.
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
work=$(mktemp -d)
# shellcheck source=tests/wine_com3.sh
. "$(dirname "$0")/wine_com3.sh"
trap 'stop_panel; rm -rf "$work"' EXIT

start_panel --model VYR8 --firmware 2.10 --code 2468

# Wine sets parity through glibc, which a pseudo-terminal refuses (see
# wine_pty_parity.cpp); tarvex.exe, started by the driver, inherits the
# preload.
LD_PRELOAD=$parity "$wine" "$driver" serial "$tarvex" "Com 3" 2468 "VYR8 v.2.10"
serial=$?

start_panel --model VYR8 --firmware 2.10 --code 2468 --fault no-echo --fault-at-write 4
LD_PRELOAD=$parity "$wine" "$driver" restore "$tarvex" "Com 3" 2468 "VYR8 v.2.10"
restore=$?
[ "$serial" -eq 0 ] && [ "$restore" -eq 0 ]
