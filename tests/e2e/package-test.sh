#!/usr/bin/env bash
# The release package as a user gets it: scripts/package makes the zip, which is unpacked into a
# fresh folder; its checksums, the version resources and --version carry the project version for
# both architectures, and the programs of this suite's architecture run from there under Wine.
#   package-test.sh CMAKE_BINARY_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export SARNIK_BUILD=$(cd "$1/.." && pwd)
source "$here/../../scripts/env.sh"
fail() { echo "FAIL: $*"; exit 1; }

version=$(tr -d '[:space:]' < "$SARNIK_BUILD/cmake/VERSION")
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "project version '$version'"
zip=$("$here/../../scripts/package" --no-build | tail -1)
[ "$zip" = "$SARNIK_BUILD/dist/sarnik-$version.zip" ] || fail "package at '$zip'"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unzip -q "$zip" -d "$work"
pkg=$work/sarnik-$version
expected="SHA256SUMS
docs/command-file.md
examples/kit/Setup/CustCmds.ini
sarnik.exe
sarnikcheck.exe
x64/sarnik.exe
x64/sarnikcheck.exe
x64/zqzlibwapi.dll
zqzlibwapi.dll"
actual=$(cd "$pkg" && find . -type f -printf '%P\n' | LC_ALL=C sort)
[ "$actual" = "$expected" ] || fail "package content:"$'\n'"$actual"
(cd "$pkg" && sha256sum --quiet -c SHA256SUMS) || fail "checksums"
[ "$(wc -l < "$pkg/SHA256SUMS")" = 8 ] || fail "SHA256SUMS does not list every file"
cmp -s "$pkg/docs/command-file.md" "$here/../../docs/command-file.md" || fail "reference differs from docs/"

# The version resource's string values, read from the shipped files (UTF-16 in the resource).
resource() { i686-w64-mingw32-strings -el "$1" | grep -A1 -x "$2" | sed -n 2p; }
machine() { x86_64-w64-mingw32-objdump -f "$1" | sed -n 's/.*file format //p'; }
for f in sarnik.exe sarnikcheck.exe zqzlibwapi.dll; do
  [ "$(machine "$pkg/$f")" = pei-i386 ] || fail "$f is $(machine "$pkg/$f"), not 32-bit"
  [ "$(machine "$pkg/x64/$f")" = pei-x86-64 ] || fail "x64/$f is $(machine "$pkg/x64/$f"), not 64-bit"
done
for exe in sarnik sarnikcheck x64/sarnik x64/sarnikcheck; do
  f=$pkg/$exe.exe
  [ "$(resource "$f" FileVersion)" = "$version.0" ] || fail "$exe FileVersion '$(resource "$f" FileVersion)'"
  [ "$(resource "$f" ProductVersion)" = "$version" ] || fail "$exe ProductVersion"
  [ "$(resource "$f" ProductName)" = "Sarnik" ] || fail "$exe ProductName"
  [ "$(resource "$f" OriginalFilename)" = "${exe#x64/}.exe" ] || fail "$exe OriginalFilename"
  [ -n "$(resource "$f" FileDescription)" ] || fail "$exe FileDescription"
done

# The programs of the architecture this suite runs.
run=$pkg
[ "$SARNIK_ARCH" = x64 ] && run=$pkg/x64
out=$(wine "$run/sarnikcheck.exe" --version | tr -d '\r')
[ "$out" = "sarnikcheck $version" ] || fail "--version said '$out'"

# The checker on the shipped example kit: its missing tool is a warning (exit code 1).
set +e
out=$(wine "$run/sarnikcheck.exe" "$(winepath -w "$pkg/examples/kit")" | tr -d '\r')
rc=$?
set -e
[ $rc = 1 ] || fail "sarnikcheck on the example kit exited with $rc:"$'\n'"$out"
grep -q 'CustCmds.ini(6): warning SC0020: Commands_2: program "missing-tool.exe"' <<<"$out" || fail "finding:"$'\n'"$out"

# sarnik.exe from the package runs a silent kit to its end.
mkdir -p "$work/kit/Setup" "$work/temp"
printf '[CustomCommands]\r\nShowDialog=FALSE\r\nCommands_0=cmd /c echo ran from the package> "<Temp>\\marker.txt"\r\n' \
  > "$work/kit/Setup/CustCmds.ini"
timeout 120 wine "$run/sarnik.exe" "0 0|$(winepath -w "$work/kit")|$(winepath -w "$work/temp")||" >/dev/null 2>&1 ||
  fail "sarnik.exe did not end"
[ "$(tr -d '\r' < "$work/temp/marker.txt" 2>/dev/null)" = "ran from the package" ] || fail "the kit's command did not run"
echo "PASS: $zip (the $SARNIK_ARCH programs run)"
