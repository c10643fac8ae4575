#!/usr/bin/env bash
# The Windows tarvex-cli under Wine against simulated panels: identification
# of a small panel and of the large one (with its baud search), a read into a
# key-code file that must decode like the Linux build's read of the same
# panel, and a send of that file into another panel.
#
#   tests/windows_end_to_end.sh WINDOWS_CLI_EXE NATIVE_BUILD_DIR
#
# The simulated panels run natively on pseudo-terminals; the Wine prefix in
# WINEPREFIX (made and started by scripts/test-windows) sees each one as COM3
# through its dosdevices/com3 link. Ends with "windows: N passed, N failed".
set -uo pipefail

win_cli=${1:?the Windows tarvex-cli.exe}
native=${2:?the native build folder}
: "${WINEPREFIX:?set WINEPREFIX to a Wine prefix (scripts/test-windows makes one)}"
wine=${TARVEX_WINE:-wine}
export WINEDEBUG=${WINEDEBUG:--all}

sim=$native/sim/tarvex-panel-sim
linux_cli=$native/cli/tarvex-cli
parity=$native/tests/libtarvex_wine_pty_parity.so
for f in "$win_cli" "$sim" "$linux_cli" "$parity"; do
  [ -e "$f" ] || { echo "missing: $f" >&2; exit 2; }
done
work=$(mktemp -d)
# shellcheck source=tests/wine_com3.sh
. "$(dirname "$0")/wine_com3.sh"
trap 'stop_panel; rm -rf "$work"' EXIT
cd "$work" || exit 2

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok - $1"; }
fail() { failed=$((failed + 1)); echo "FAIL - $1"; }

# The Windows program. Wine sets parity through glibc, which a pseudo-terminal
# refuses (see wine_pty_parity.cpp).
win() { LD_PRELOAD=$parity "$wine" "$win_cli" "$@"; }
# Its standard output without the carriage returns of Windows line ends.
win_out() {
  local out rc
  out=$(win "$@")
  rc=$?
  printf '%s' "${out//$'\r'/}"
  return $rc
}

# A key-code file as JSON, without the line that names the file.
decoded() { "$linux_cli" show --json --reveal-codes "$1" | grep -v '^  "file": '; }
# The image a key-code file holds, one byte a line: every image byte is the
# low half of one file byte and the high half of the next.
image_bytes() {
  od -An -v -tu1 "$1" |
    awk '{ for (i = 1; i <= NF; i++) b[n++] = $i }
         END { for (k = 0; k + 1 < n; k += 2) print b[k] % 16 + (b[k + 1] - b[k + 1] % 16) }'
}

# ---- identify a small panel ----
start_panel --model VYR8 --firmware 2.20
out=$(win_out identify --port COM3 2>"$work/err")
rc=$?
echo "identify (small): $out"
if [ $rc -eq 0 ] && [ "$out" = "VYR8 v.2.20" ] && [ ! -s "$work/err" ]; then
  pass "identify a small panel on COM3"
else
  fail "identify a small panel on COM3 (exit $rc, \"$out\", $(cat "$work/err"))"
fi
out=$(win_out identify --port 3 2>&1)
[ "$out" = "VYR8 v.2.20" ] && pass "--port takes the bare number" || fail "--port 3 gave \"$out\""

# ---- identify the large panel: the baud search walks 115200, 57600 to 38400 ----
start_panel --model "VYR 320" --firmware 2.05
out=$(win_out identify --port com3 2>"$work/err")
rc=$?
echo "identify (large): $out"
if [ $rc -eq 0 ] && [ "$out" = "VYR 320 v.2.05" ] && [ ! -s "$work/err" ]; then
  pass "identify the large panel after a baud search"
else
  fail "identify the large panel (exit $rc, \"$out\", $(cat "$work/err"))"
fi
start_panel --model "VYR 320" --firmware 2.07 --baud 115200
out=$(win_out identify --port COM3 2>"$work/err")
[ "$out" = "VYR 320 v.2.07" ] && pass "identify the large panel at 115200" ||
  fail "identify the large panel at 115200 (\"$out\", $(cat "$work/err"))"

# ---- read a small panel with each build ----
panel=(--model VYR8 --seed 11 --code 2468)
start_panel "${panel[@]}"
win read --port COM3 --out windows --code 2468 >"$work/out" 2>"$work/err"
rc=$?
if [ $rc -eq 0 ] && [ -s windows.tvx ]; then
  pass "read a small panel into a file"
else
  fail "read a small panel (exit $rc, $(cat "$work/out" "$work/err"))"
fi
start_panel "${panel[@]}"
"$linux_cli" read --port "$panel_dev" --out linux --code 2468 >/dev/null 2>"$work/err" ||
  fail "the Linux build's read ($(cat "$work/err"))"
if [ -s windows.tvx ] && [ -s linux.tvx ] && decoded windows.tvx >windows.json && decoded linux.tvx >linux.json &&
  cmp -s windows.json linux.json && grep -q '"code": "2468"' windows.json; then
  pass "the Windows and Linux reads show the same users, codes and keys"
else
  fail "the two reads differ: $(diff windows.json linux.json 2>&1 | head -n 20)"
fi
image_bytes windows.tvx >windows.image
image_bytes linux.tvx >linux.image
if [ "$(wc -l <windows.image)" -eq 4208 ] && cmp -s windows.image linux.image && ! cmp -s windows.tvx linux.tvx; then
  pass "the two files decode to the same 4208-byte image under different filler"
else
  fail "the decoded images differ: $(cmp windows.image linux.image 2>&1)"
fi

# ---- send the Windows file into another panel ----
start_panel --model VYR8 --seed 12 --code 1357
win send --port COM3 --in windows.tvx --code 1357 >"$work/out" 2>"$work/err"
rc=$?
if [ $rc -eq 0 ]; then
  pass "send the file into another panel"
else
  fail "send (exit $rc, $(cat "$work/out" "$work/err"))"
fi
# The target now holds the source's users, their codes and the key names
# (key values and flags merge with what the target held): read it back, with
# the source's main user code.
names_and_codes() { grep -E '"(name|code|main)": ' "$1"; }
"$linux_cli" read --port "$panel_dev" --out target --code 2468 >/dev/null 2>"$work/err" &&
  decoded target.tvx >target.json && names_and_codes windows.json >expected.txt &&
  names_and_codes target.json >got.txt && cmp -s expected.txt got.txt
if [ $? -eq 0 ]; then
  pass "the target panel holds the file's users, codes and key names"
else
  fail "the target after the send: $(cat "$work/err"; diff expected.txt got.txt 2>&1 | head -n 20)"
fi
stop_panel

echo "windows: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
