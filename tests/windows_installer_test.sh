#!/usr/bin/env bash
# The Windows packages of a MinGW-w64 build, made and tried under Wine:
#
#   windows_installer_test.sh CPACK BUILD_DIR VERSION
#
# CPack makes tarvex-<v>-setup.exe (NSIS) and tarvex-<v>-windows-x64.zip
# from BUILD_DIR (packaging/CMakeLists.txt). The zip must hold exactly the
# programs and the README in one folder, and its tarvex-cli.exe must run.
# The installer, run silently (/S) in the Wine prefix of WINEPREFIX (a
# throw-away one: scripts/test-windows makes it), must put the programs in
# %LOCALAPPDATA%\Programs\Tarvex, a shortcut in the user's Start menu and
# the entry of the installed programs in HKEY_CURRENT_USER; the installed
# tarvex-cli.exe must print the version. The uninstaller, silent too, must
# take all that away again but leave the backups (%LOCALAPPDATA%\tarvex\
# backups) and a key-code file the user keeps in the program's folder; run
# as Windows runs it (it copies itself away and returns at once), it must
# also remove the folder once empty.
#
# Waits for the detached uninstaller are bounded, generously, and scaled by
# TARVEX_TEST_TIME_SCALE.
set -euo pipefail
cpack=$1
build=$(cd "$2" && pwd)
version=$3
if [ -z "${WINEPREFIX:-}" ]; then
  echo "WINEPREFIX is not set: this test installs into a throw-away Wine prefix only (scripts/test-windows)" >&2
  exit 77
fi
export WINEDEBUG=${WINEDEBUG:--all}
# No menu entries on this machine's desktop for the shortcut Wine sees made.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}winemenubuilder.exe=d"
scale=${TARVEX_TEST_TIME_SCALE:-1}
# A step's title, with the seconds since the start (to see where a slow run
# spent its time).
step() { echo "== $* (at ${SECONDS} s)"; }

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
check_eq() {  # what, got, expected
  if [ "$2" != "$3" ]; then
    fail "$1: got [$2], expected [$3]"
  fi
}

tmp=$(mktemp -d)
backup=""
cleanup() {
  # Only what this test made: its backup file, and the folders if it left them empty.
  if [ -n "$backup" ]; then
    rm -f "$backup"
    rmdir "$(dirname "$backup")" "$(dirname "$(dirname "$backup")")" 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
umask 022

# A Windows folder of the prefix's user (%NAME%), as Windows and as Unix sees it.
win_folder() { wine cmd /c echo "%$1%" | tr -d '\r'; }
unix_path() { winepath -u "$1" | tr -d '\r'; }

step "cpack -G NSIS;ZIP"
# CPack strips the programs once for each package; with a fixed time in the
# programs' header (binutils reads SOURCE_DATE_EPOCH) both get the same bytes.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-1765152000} "$cpack" -G "NSIS;ZIP" --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 || {
  cat "$tmp/cpack.log" >&2
  echo "FAIL: cpack" >&2
  exit 1
}
setup="$tmp/out/tarvex-$version-setup.exe"
zip="$tmp/out/tarvex-$version-windows-x64.zip"
check_eq "packages made" "$(cd "$tmp/out" && ls -1 ./*.exe ./*.zip | sort | tr '\n' ' ')" \
  "./tarvex-$version-setup.exe ./tarvex-$version-windows-x64.zip "
[ -f "$setup" ] && [ -f "$zip" ] || { echo "FAIL: the packages are missing" >&2; exit 1; }

step "The portable zip"
top="tarvex-$version-windows-x64"
check_eq "zip contents" "$(python3 -m zipfile -l "$zip" | awk 'NR > 1 { print $1 }' | sort | tr '\n' ' ')" \
  "$top/README.txt $top/tarvex-cli.exe $top/tarvex.exe "
python3 -m zipfile -e "$zip" "$tmp/portable"
check_eq "portable tarvex-cli.exe --version" "$(wine "$tmp/portable/$top/tarvex-cli.exe" --version | tr -d '\r')" \
  "tarvex-cli $version"
file -b "$tmp/portable/$top/tarvex.exe" | grep -q 'PE32+ executable (GUI) x86-64' ||
  fail "tarvex.exe is not a 64-bit window program: $(file -b "$tmp/portable/$top/tarvex.exe")"

step "The installer"
file -b "$setup" | grep -q 'PE32+ executable (GUI) x86-64' ||
  fail "the installer is not a 64-bit program: $(file -b "$setup")"
grep -aq 'NullsoftInst' "$setup" || fail "the installer is not made by NSIS"
# Its icon is the program's: every picture of tarvex.ico is in it.
python3 - "$build/icons/tarvex.ico" "$setup" <<'EOF' || fail "the installer's icon is not the program's"
import struct, sys
ico, setup = open(sys.argv[1], "rb").read(), open(sys.argv[2], "rb").read()
count = struct.unpack("<HHH", ico[:6])[2]
entries = [struct.unpack("<8xII", ico[6 + 16 * i:22 + 16 * i]) for i in range(count)]
sys.exit(0 if count > 0 and all(ico[offset:offset + size] in setup for size, offset in entries) else 1)
EOF
# RequestExecutionLevel user: the installer's manifest asks for no administrator.
grep -aq 'requestedExecutionLevel level="asInvoker"' "$setup" ||
  fail "the installer's manifest asks for more than the user's rights"

local_win=$(win_folder LOCALAPPDATA)
local_unix=$(unix_path "$local_win")
instdir_win="$local_win\\Programs\\Tarvex"
instdir="$local_unix/Programs/Tarvex"
startmenu="$(unix_path "$(win_folder APPDATA)")/Microsoft/Windows/Start Menu/Programs"
shortcut="$startmenu/Tarvex.lnk"
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarvex'
[ -d "$local_unix" ] || { echo "FAIL: no %LOCALAPPDATA% in the Wine prefix ($local_unix)" >&2; exit 1; }
if [ -e "$instdir" ] || wine reg query "$key" >/dev/null 2>&1; then
  echo "FAIL: Tarvex is installed in this Wine prefix already: it must be a fresh one" >&2
  exit 1
fi

# Value NAME of the uninstall entry, or nothing.
reg_value() {
  wine reg query "$key" /v "$1" 2>/dev/null | tr -d '\r' |
    awk -v name="$1" '$1 == name { $1 = ""; $2 = ""; sub(/^ +/, ""); print }'
}
# Waits, bounded, until the command succeeds.
wait_for() {
  local i
  for i in $(seq $((300 * scale))); do
    "$@" && return 0
    sleep 0.2
  done
  return 1
}
installed() { [ -f "$instdir/Uninstall.exe" ] && wine reg query "$key" /v EstimatedSize >/dev/null 2>&1; }
gone() { [ ! -e "$instdir" ] && ! wine reg query "$key" >/dev/null 2>&1; }
install_silently() {
  # The installer does its work in its own process, and wine waits for it.
  wine "$setup" /S || fail "the silent install ended with status $?"
  wait_for installed || fail "the silent install left no uninstaller or no entry"
}

step "Silent install"
install_silently
check_eq "installed files" "$(cd "$instdir" && ls -1 | tr '\n' ' ')" "README.txt Uninstall.exe tarvex-cli.exe tarvex.exe "
cmp -s "$instdir/tarvex.exe" "$tmp/portable/$top/tarvex.exe" || fail "the installed tarvex.exe is not the zip's"
cmp -s "$instdir/tarvex-cli.exe" "$tmp/portable/$top/tarvex-cli.exe" || fail "the installed tarvex-cli.exe is not the zip's"
check_eq "installed tarvex-cli.exe --version" "$(wine "$instdir/tarvex-cli.exe" --version | tr -d '\r')" \
  "tarvex-cli $version"
[ -f "$shortcut" ] || fail "no shortcut in the Start menu: $shortcut"
if [ -f "$shortcut" ]; then
  # The link names its target, in the 8-bit or the UTF-16 form.
  python3 - "$shortcut" "$instdir_win\\tarvex.exe" <<'EOF' || fail "the shortcut does not start tarvex.exe"
import sys
data, target = open(sys.argv[1], "rb").read().lower(), sys.argv[2].lower()
sys.exit(0 if target.encode("latin-1") in data or target.encode("utf-16-le") in data else 1)
EOF
fi
check_eq "DisplayName" "$(reg_value DisplayName)" "Tarvex"
check_eq "DisplayVersion" "$(reg_value DisplayVersion)" "$version"
check_eq "Publisher" "$(reg_value Publisher)" "Tarvex"
check_eq "InstallLocation" "$(reg_value InstallLocation)" "$instdir_win"
check_eq "DisplayIcon" "$(reg_value DisplayIcon)" "$instdir_win\\tarvex.exe,0"
check_eq "UninstallString" "$(reg_value UninstallString)" "\"$instdir_win\\Uninstall.exe\""
check_eq "QuietUninstallString" "$(reg_value QuietUninstallString)" "\"$instdir_win\\Uninstall.exe\" /S"
check_eq "NoModify" "$(reg_value NoModify)" "0x1"
check_eq "NoRepair" "$(reg_value NoRepair)" "0x1"
# The size in KiB: at least the two programs'.
size=$(reg_value EstimatedSize)
programs_kib=$(( ($(stat -c %s "$instdir/tarvex.exe") + $(stat -c %s "$instdir/tarvex-cli.exe")) / 1024 ))
if [[ ! $size =~ ^0x[0-9a-fA-F]+$ ]] || [ $((size)) -lt "$programs_kib" ]; then
  fail "EstimatedSize $size: less than the programs' $programs_kib KiB"
fi
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarvex' >/dev/null 2>&1 &&
  fail "an entry for all users (HKLM) was written"

step "Silent uninstall, waited for (_?=): the user's files stay"
mkdir -p "$local_unix/tarvex/backups"
backup="$local_unix/tarvex/backups/VYR8-20261208-141503-installer-test.tvx"
head -c 8416 /dev/urandom >"$backup"
cp "$backup" "$tmp/backup.copy"
head -c 8416 /dev/urandom >"$instdir/site.tvx"
cp "$instdir/site.tvx" "$tmp/site.copy"
wine "$instdir/Uninstall.exe" /S "_?=$instdir_win" || fail "the silent uninstall ended with status $?"
for f in tarvex.exe tarvex-cli.exe README.txt; do
  [ ! -e "$instdir/$f" ] || fail "the uninstaller left $f"
done
[ ! -e "$shortcut" ] || fail "the uninstaller left the shortcut"
wine reg query "$key" >/dev/null 2>&1 && fail "the uninstaller left the entry of the installed programs"
cmp -s "$backup" "$tmp/backup.copy" || fail "the uninstaller touched the backup $backup"
cmp -s "$instdir/site.tvx" "$tmp/site.copy" || fail "the uninstaller removed or changed a key-code file in its folder"

step "Silent uninstall as Windows runs it (the entry's QuietUninstallString)"
rm -f "$instdir/site.tvx" "$instdir/Uninstall.exe"
rmdir "$instdir" || fail "the folder was not empty after the first uninstall"
install_silently
quiet=$(reg_value QuietUninstallString)
# "C:\...\Uninstall.exe" /S: the uninstaller copies itself away, starts the
# copy and returns; the copy does the work.
uninstaller_win=$(sed -n 's/^"\(.*\)" \/S$/\1/p' <<<"$quiet")
[ -n "$uninstaller_win" ] || fail "QuietUninstallString is not '\"program\" /S': $quiet"
wine "$(unix_path "$uninstaller_win")" /S || fail "the uninstaller ended with status $?"
wait_for gone || fail "the uninstaller left the folder $instdir or the entry"
[ ! -e "$shortcut" ] || fail "the uninstaller left the shortcut"
cmp -s "$backup" "$tmp/backup.copy" || fail "the uninstaller touched the backup $backup"

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "All checks of the Windows packages passed"
