#!/usr/bin/env bash
# The Debian packages of a native build, made and taken apart in a scratch
# folder, never installed on this machine:
#
#   package_deb_test.sh CPACK BUILD_DIR SOURCE_DIR VERSION
#
# CPack makes tarvex_<v>-1_<arch>.deb and tarvex-panel-sim_<v>-1_<arch>.deb
# from BUILD_DIR (packaging/CMakeLists.txt); the test checks their control
# fields, their exact contents with owners and modes, the desktop entry and
# the AppStream metainfo with their validators, the icons' sizes, the manual
# pages, lintian (no error), then runs the unpacked programs: --version,
# tarvex-cli show on a real key-code file, and a read of the unpacked
# simulated panel by the unpacked tarvex-cli. Last, cmake --install on its
# own into another prefix.
set -euo pipefail
cpack=$1
build=$(cd "$2" && pwd)
source=$(cd "$3" && pwd)
version=$4
arch=$(dpkg --print-architecture)
deb_version="$version-1"

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
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
# Modes in the packages come from the staged files: as a user would build.
umask 022

echo "== cpack -G DEB"
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 || {
  cat "$tmp/cpack.log" >&2
  echo "FAIL: cpack" >&2
  exit 1
}
main_deb="$tmp/out/tarvex_${deb_version}_${arch}.deb"
sim_deb="$tmp/out/tarvex-panel-sim_${deb_version}_${arch}.deb"
check_eq "packages made" "$(cd "$tmp/out" && ls -1 ./*.deb | sort | tr '\n' ' ')" \
  "./tarvex-panel-sim_${deb_version}_${arch}.deb ./tarvex_${deb_version}_${arch}.deb "
[ -f "$main_deb" ] && [ -f "$sim_deb" ] || { echo "FAIL: the packages are missing" >&2; exit 1; }

echo "== Control fields"
field() { dpkg-deb -f "$1" "$2"; }
check_eq "tarvex: Package" "$(field "$main_deb" Package)" tarvex
check_eq "tarvex: Version" "$(field "$main_deb" Version)" "$deb_version"
check_eq "tarvex: Architecture" "$(field "$main_deb" Architecture)" "$arch"
check_eq "tarvex-panel-sim: Package" "$(field "$sim_deb" Package)" tarvex-panel-sim
check_eq "tarvex-panel-sim: Version" "$(field "$sim_deb" Version)" "$deb_version"
check_eq "tarvex-panel-sim: Source" "$(field "$sim_deb" Source)" tarvex
# The dependencies are read from the programs (dpkg-shlibdeps): the C and
# C++ libraries, and Qt's widgets for the window.
main_depends=$(field "$main_deb" Depends)
sim_depends=$(field "$sim_deb" Depends)
# The names of the packages depended on, one a line.
depends_names() { tr ',' '\n' <<<"$1" | sed 's/^ *//; s/[ (].*//'; }
for lib in libc6 libstdc++6 libqt6widgets6 libqt6core6; do
  depends_names "$main_depends" | grep -Fqx "$lib" || fail "tarvex: Depends lacks $lib: $main_depends"
done
for lib in libc6 libstdc++6; do
  depends_names "$sim_depends" | grep -Fqx "$lib" || fail "tarvex-panel-sim: Depends lacks $lib: $sim_depends"
done
grep -q qt6 <<<"$sim_depends" && fail "tarvex-panel-sim depends on Qt: $sim_depends"
main_description=$(field "$main_deb" Description)
grep -q 'sudo usermod -aG dialout \$USER' <<<"$main_description" ||
  fail "tarvex: the description does not say how to join the dialout group"
grep -q 'log out and log in again' <<<"$main_description" ||
  fail "tarvex: the description does not say to log in again"
[ -n "$(field "$main_deb" Maintainer)" ] || fail "tarvex: no Maintainer"

echo "== Contents, owners and modes"
# "mode owner path" of every entry, as dpkg-deb lists the data archive.
listing() {
  dpkg-deb -c "$1" | awk '{ path = $6; for (i = 7; i <= NF; i++) path = path " " $i; print $1, $2, path }' | sort -k3
}
# Every file and folder of a package, root's, with the modes Debian wants:
# folders and programs 755, other files 644.
expected_listing() {
  local kind path
  while read -r kind path; do
    case $kind in
      d) echo "drwxr-xr-x root/root ./$path/" ;;
      x) echo "-rwxr-xr-x root/root ./$path" ;;
      f) echo "-rw-r--r-- root/root ./$path" ;;
    esac
  done | sort -k3
}
icon_sizes="16 22 24 32 48 64 128 256"
{
  echo "d usr"
  echo "d usr/bin"
  echo "x usr/bin/tarvex"
  echo "x usr/bin/tarvex-cli"
  echo "d usr/share"
  echo "d usr/share/applications"
  echo "f usr/share/applications/tarvex.desktop"
  echo "d usr/share/doc"
  echo "d usr/share/doc/tarvex"
  echo "f usr/share/doc/tarvex/changelog.Debian.gz"
  echo "f usr/share/doc/tarvex/copyright"
  echo "d usr/share/icons"
  echo "d usr/share/icons/hicolor"
  for n in $icon_sizes; do
    echo "d usr/share/icons/hicolor/${n}x${n}"
    echo "d usr/share/icons/hicolor/${n}x${n}/apps"
    echo "f usr/share/icons/hicolor/${n}x${n}/apps/tarvex.png"
  done
  echo "d usr/share/icons/hicolor/scalable"
  echo "d usr/share/icons/hicolor/scalable/apps"
  echo "f usr/share/icons/hicolor/scalable/apps/tarvex.svg"
  echo "d usr/share/man"
  echo "d usr/share/man/man1"
  echo "f usr/share/man/man1/tarvex-cli.1.gz"
  echo "f usr/share/man/man1/tarvex.1.gz"
  echo "d usr/share/metainfo"
  echo "f usr/share/metainfo/io.github.tarvex.Tarvex.metainfo.xml"
} | expected_listing >"$tmp/main.expected"
{
  echo "d usr"
  echo "d usr/bin"
  echo "x usr/bin/tarvex-panel-sim"
  echo "d usr/share"
  echo "d usr/share/doc"
  echo "d usr/share/doc/tarvex-panel-sim"
  echo "f usr/share/doc/tarvex-panel-sim/changelog.Debian.gz"
  echo "f usr/share/doc/tarvex-panel-sim/copyright"
  echo "d usr/share/man"
  echo "d usr/share/man/man1"
  echo "f usr/share/man/man1/tarvex-panel-sim.1.gz"
} | expected_listing >"$tmp/sim.expected"
listing "$main_deb" >"$tmp/main.got"
listing "$sim_deb" >"$tmp/sim.got"
diff -u "$tmp/main.expected" "$tmp/main.got" || fail "tarvex: contents, owners or modes differ (- expected, + found)"
diff -u "$tmp/sim.expected" "$tmp/sim.got" || fail "tarvex-panel-sim: contents, owners or modes differ (- expected, + found)"

main_root="$tmp/root-tarvex"
sim_root="$tmp/root-sim"
dpkg-deb -x "$main_deb" "$main_root"
dpkg-deb -x "$sim_deb" "$sim_root"

echo "== Programs: stripped, and the window's entry"
for program in "$main_root/usr/bin/tarvex" "$main_root/usr/bin/tarvex-cli" "$sim_root/usr/bin/tarvex-panel-sim"; do
  file -b "$program" | grep -q 'ELF .*, stripped' || fail "$(basename "$program") is not a stripped ELF program: $(file -b "$program")"
done
desktop="$main_root/usr/share/applications/tarvex.desktop"
desktop-file-validate "$desktop" || fail "desktop-file-validate tarvex.desktop"
check_eq "desktop entry: Exec" "$(sed -n 's/^Exec=//p' "$desktop")" tarvex
check_eq "desktop entry: Icon" "$(sed -n 's/^Icon=//p' "$desktop")" tarvex

echo "== AppStream metainfo"
metainfo="$main_root/usr/share/metainfo/io.github.tarvex.Tarvex.metainfo.xml"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate"
python3 - "$metainfo" "$version" "$source/docs" <<'EOF' || fail "metainfo contents"
import os, sys, xml.etree.ElementTree as ET
path, version, docs = sys.argv[1:]
root = ET.parse(path).getroot()
bad = []
def want(cond, what):
    if not cond:
        bad.append(what)
want(root.get("type") == "desktop-application", "type desktop-application")
want(root.findtext("id") == "io.github.tarvex.Tarvex", "id")
launchables = [(l.get("type"), l.text) for l in root.findall("launchable")]
want(launchables == [("desktop-id", "tarvex.desktop")], "launchable tarvex.desktop: %s" % launchables)
want(root.find("content_rating") is not None, "content_rating")
releases = [r.get("version") for r in root.findall("releases/release")]
want(releases[:1] == [version], "latest release %s: %s" % (version, releases))
images = [i.text for i in root.findall("screenshots/screenshot/image")]
want(len(images) >= 1, "screenshots")
for url in images:
    name = url.rsplit("/", 1)[-1]
    want(url.startswith("https://") and "/v%s/docs/" % version in url, "screenshot of this version: " + url)
    want(name.startswith("main-") and os.path.isfile(os.path.join(docs, name)), "a picture in docs/: " + url)
binaries = sorted(b.text for b in root.findall("provides/binary"))
want(binaries == ["tarvex", "tarvex-cli"], "provides: %s" % binaries)
for b in bad:
    print("metainfo: " + b, file=sys.stderr)
sys.exit(1 if bad else 0)
EOF

echo "== Icons"
python3 - "$main_root/usr/share/icons/hicolor" $icon_sizes <<'EOF' || fail "icons"
import struct, sys, xml.etree.ElementTree as ET
base, sizes = sys.argv[1], [int(s) for s in sys.argv[2:]]
bad = False
for n in sizes:
    path = "%s/%dx%d/apps/tarvex.png" % (base, n, n)
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR":
        print("not a PNG: " + path, file=sys.stderr); bad = True; continue
    w, h = struct.unpack(">II", data[16:24])
    if (w, h) != (n, n):
        print("%s is %dx%d" % (path, w, h), file=sys.stderr); bad = True
svg = ET.parse(base + "/scalable/apps/tarvex.svg").getroot()
if not svg.tag.endswith("svg") or not svg.get("viewBox"):
    print("the scalable icon is no SVG picture", file=sys.stderr); bad = True
sys.exit(1 if bad else 0)
EOF

echo "== Manual pages, changelog, copyright"
# gzip -n: no file name (flag bit 3) and no time (bytes 4 to 7).
check_gzip() {
  python3 - "$1" <<'EOF' || fail "$1: not a gzip file without name and time"
import sys
d = open(sys.argv[1], "rb").read(8)
sys.exit(0 if d[:3] == b"\x1f\x8b\x08" and not d[3] & 0x08 and d[4:8] == b"\0\0\0\0" else 1)
EOF
}
for page in "$main_root/usr/share/man/man1/tarvex.1.gz" "$main_root/usr/share/man/man1/tarvex-cli.1.gz" \
  "$sim_root/usr/share/man/man1/tarvex-panel-sim.1.gz"; do
  check_gzip "$page"
  name=$(basename "$page" .1.gz)
  # As lintian reads it: groff's warnings on, any of them is a fault.
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null) ||
    fail "man $name failed"
  [ -z "$warnings" ] || fail "man $name: $warnings"
  text=$(MANWIDTH=80 man -l "$page" 2>/dev/null | col -b)
  grep -q "^NAME" <<<"$text" || fail "man $name: no NAME section"
  grep -q -- "--version" <<<"$text" || fail "man $name: --version is not described"
  grep -q "Tarvex $version" <<<"$text" || fail "man $name: not of version $version"
done
grep -q "dialout" <(zcat "$main_root/usr/share/man/man1/tarvex-cli.1.gz") || fail "man tarvex-cli: no word of dialout"
for doc in "$main_root/usr/share/doc/tarvex" "$sim_root/usr/share/doc/tarvex-panel-sim"; do
  check_gzip "$doc/changelog.Debian.gz"
  check_eq "$doc/changelog.Debian.gz: first line" "$(zcat "$doc/changelog.Debian.gz" | head -1)" \
    "tarvex ($deb_version) unstable; urgency=medium"
  grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$doc/copyright" ||
    fail "$doc/copyright: not in Debian's format"
done

echo "== lintian"
# Errors fail the test; warnings are shown (docs/packaging.md lists the
# ones left and why).
lintian --fail-on error "$main_deb" "$sim_deb" 2>/dev/null | tee "$tmp/lintian.txt" || fail "lintian found errors"
grep -q '^E:' "$tmp/lintian.txt" && fail "lintian: errors above"

echo "== The unpacked programs"
cli="$main_root/usr/bin/tarvex-cli"
check_eq "tarvex-cli --version" "$("$cli" --version)" "tarvex-cli $version"
check_eq "tarvex --version" "$(QT_QPA_PLATFORM=offscreen "$main_root/usr/bin/tarvex" --version 2>/dev/null)" "Tarvex $version"
check_eq "tarvex-panel-sim --version" "$("$sim_root/usr/bin/tarvex-panel-sim" --version)" "tarvex-panel-sim $version"
# A real key-code file (a VYR32's, among the fuzz seeds).
sample="$source/tests/fuzz/corpus/fuzz_keyfile/vyr32.tvx"
shown=$("$cli" show "$sample") || fail "tarvex-cli show $sample"
grep -qx 'Model: *VYR32 (26)' <<<"$shown" || fail "tarvex-cli show: no VYR32: $shown"
grep -qx 'Description: *VYR32 v.2.20' <<<"$shown" || fail "tarvex-cli show: no description"
grep -Eq '^ +0 +Installer +yes +\*{4}$' <<<"$shown" || fail "tarvex-cli show: no installer user with a hidden code"
python3 - <("$cli" show --json "$sample") <<'EOF' || fail "tarvex-cli show --json"
import json, sys
d = json.load(open(sys.argv[1]))
ok = d["modelName"] == "VYR32" and len(d["users"]) == 24 and len(d["keys"]) == 128 and d["users"][0]["code"] == "****"
sys.exit(0 if ok else 1)
EOF

# The unpacked simulated panel, read by the unpacked tarvex-cli.
"$sim_root/usr/bin/tarvex-panel-sim" --model VYR8 --code 4321 --seed 7 >"$tmp/sim.out" 2>"$tmp/sim.err" &
sim_pid=$!
device=""
for _ in $(seq 600); do
  device=$(head -1 "$tmp/sim.out")
  [ -n "$device" ] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$device" ]; then
  fail "the unpacked tarvex-panel-sim printed no device: $(cat "$tmp/sim.err")"
else
  check_eq "tarvex-cli identify" "$("$cli" identify --port "$device" 2>/dev/null)" "VYR8 v.2.10"
  written=$("$cli" read --port "$device" --out "$tmp/site" --code 4321 2>"$tmp/read.err") ||
    fail "tarvex-cli read: $(cat "$tmp/read.err")"
  check_eq "tarvex-cli read: file written" "$written" "$tmp/site.tvx"
  if [ -f "$tmp/site.tvx" ]; then
    check_eq "key-code file mode" "$(stat -c %a "$tmp/site.tvx")" 600
    "$cli" show "$tmp/site.tvx" | grep -qx 'Model: *VYR8 (24)' || fail "tarvex-cli show of the file read"
  fi
fi

echo "== cmake --install on its own, into another prefix"
prefix="$tmp/prefix"
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 || {
  cat "$tmp/install.log" >&2
  fail "cmake --install"
}
for f in bin/tarvex bin/tarvex-cli bin/tarvex-panel-sim share/applications/tarvex.desktop \
  share/metainfo/io.github.tarvex.Tarvex.metainfo.xml share/icons/hicolor/48x48/apps/tarvex.png \
  share/icons/hicolor/scalable/apps/tarvex.svg share/man/man1/tarvex-cli.1.gz share/doc/tarvex/copyright; do
  [ -f "$prefix/$f" ] || fail "cmake --install: no $f"
done
if [ -x "$prefix/bin/tarvex-cli" ]; then
  check_eq "installed tarvex-cli --version" "$("$prefix/bin/tarvex-cli" --version)" "tarvex-cli $version"
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "All checks of the Debian packages passed"
