#!/usr/bin/env bash
# The release package as a user gets it, checked from the zip alone: scripts/package makes it,
# once unsigned and once signed with a throwaway authority's code-signing certificate. Each is
# unpacked into a fresh folder: its content and checksums, the checksums beside it, the licence
# notices against the linker's maps, the manifests, the version resources of both architectures,
# the symbols zip, and the programs of this suite's architecture run from there under Wine.
#   package-test.sh CMAKE_BINARY_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export SARNIK_BUILD=$(cd "$1/.." && pwd)
source "$here/../../scripts/env.sh"
fail() { echo "FAIL: $*"; exit 1; }

version=$(tr -d '[:space:]' < "$SARNIK_BUILD/cmake/VERSION")
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "project version '$version'"
dist=$SARNIK_BUILD/dist
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
programs="sarnik.exe sarnikcheck.exe zqzlibwapi.dll x64/sarnik.exe x64/sarnikcheck.exe x64/zqzlibwapi.dll"

# Makes the package with the given arguments and unpacks it into $work/$1; prints the last line.
make_package() {
  local into=$1 last
  shift
  last=$("$here/../../scripts/package" --no-build "$@" | tail -1)
  [ "${last%%: *}" = "$dist/sarnik-$version.zip" ] || fail "package at '$last'"
  mkdir -p "$work/$into"
  unzip -q "$dist/sarnik-$version.zip" -d "$work/$into"
  echo "$last"
}

# The version resource's string values, read from the shipped files (UTF-16 in the resource).
resource() { i686-w64-mingw32-strings -el "$1" | grep -A1 -x "$2" | sed -n 2p; }
machine() { x86_64-w64-mingw32-objdump -f "$1" | sed -n 's/.*file format //p'; }
exports() { x86_64-w64-mingw32-objdump -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^\t\[ *[0-9]+\] /{print $NF}' | sort | paste -sd' ' -; }

# Everything a user can check without running anything.
check_content() {
  local pkg=$1 f exe
  local expected="CHANGELOG.md
README.md
SHA256SUMS
THIRD-PARTY-NOTICES.txt
docs/command-file.md
$(cd "$here/../../examples" && find kit -type f | sed 's|^|examples/|' | LC_ALL=C sort)
examples/sarnikcheck-x64.txt
examples/sarnikcheck-x86.txt
sarnik.exe
sarnikcheck.exe
x64/sarnik.exe
x64/sarnikcheck.exe
x64/zqzlibwapi.dll
zqzlibwapi.dll"
  local actual
  actual=$(cd "$pkg" && find . -type f -printf '%P\n' | LC_ALL=C sort)
  [ "$actual" = "$(LC_ALL=C sort <<<"$expected")" ] || fail "package content:"$'\n'"$actual"
  (cd "$pkg" && sha256sum --quiet -c SHA256SUMS) || fail "checksums"
  [ "$(wc -l < "$pkg/SHA256SUMS")" = "$(($(wc -l <<<"$actual") - 1))" ] || fail "SHA256SUMS does not list every file"
  (cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "the checksums beside the zips"
  grep -q "  sarnik-$version.zip\$" "$dist/SHA256SUMS" && grep -q "  sarnik-$version-symbols.zip\$" "$dist/SHA256SUMS" ||
    fail "SHA256SUMS beside the zip does not name both zips"
  for f in docs/command-file.md README.md CHANGELOG.md examples/sarnikcheck-x86.txt examples/sarnikcheck-x64.txt; do
    cmp -s "$pkg/$f" "$here/../../$f" || fail "$f differs from the repository's"
  done
  grep -q "^## \[$version\]" "$pkg/CHANGELOG.md" || fail "CHANGELOG.md has no entry for $version"

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
    # The manifest (UTF-8 in the resource): the project version, the program's architecture,
    # Windows 7 to 11, and for the dialog program per-monitor DPI awareness.
    local arch=x86; [ "${exe%%/*}" = x64 ] && arch=amd64
    grep -aq "assemblyIdentity version=\"$version.0\" processorArchitecture=\"$arch\"" "$f" ||
      fail "$exe: manifest without version $version.0 for $arch"
    for os in 35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
              1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
      grep -aq "supportedOS Id=\"{$os}\"" "$f" || fail "$exe: manifest lacks supportedOS $os"
    done
    grep -aq 'level="asInvoker"' "$f" || fail "$exe: manifest lacks asInvoker"
  done
  for exe in sarnik x64/sarnik; do
    grep -aq '>PerMonitorV2, System</dpiAwareness>' "$pkg/$exe.exe" || fail "$exe: no per-monitor DPI awareness"
  done
  [ "$(exports "$pkg/sarnik.exe")" = "_FilesAreIdentical@8 _GetConfigDirectory@16 _GetDefaultConfigDirectory@8 _GetQuelvaranCommonAppDataDirectory@8 _GetQuelvaranLocalAppDataDirectory@8 _GetQuelvaranPublicDirectory@16 _IsDevBuild@0 _IsValidPath@8" ] ||
    fail "sarnik.exe exports: $(exports "$pkg/sarnik.exe")"
  [ "$(exports "$pkg/x64/sarnik.exe")" = "FilesAreIdentical GetConfigDirectory GetDefaultConfigDirectory GetQuelvaranCommonAppDataDirectory GetQuelvaranLocalAppDataDirectory GetQuelvaranPublicDirectory IsDevBuild IsValidPath" ] ||
    fail "x64/sarnik.exe exports: $(exports "$pkg/x64/sarnik.exe")"
}

# Every distribution package whose libraries the linker read for a program (its map) is named in
# the notices, in a section that lists that program; so are zlib for the DLL and the JSON library
# compiled into the checker.
check_notices() {
  local pkg=$1 notices=$1/THIRD-PARTY-NOTICES.txt tree shipped p
  [ -s "$notices" ] || fail "no THIRD-PARTY-NOTICES.txt"
  tr -d '\r' < "$notices" > "$work/notices"
  section_of() {  # the section of the notices that names package $1, packages and files lines
    awk -v p="$1" '/^== /{h=$0} /^Packages: /{pk=$0} /^In: /{ if (index(pk, p" ")) print pk "\n" $0 }' "$work/notices"
  }
  for tree in "cmake ." "cmake-x64 x64"; do
    read -r dir into <<<"$tree"
    for exe in sarnik.exe sarnikcheck.exe; do
      shipped=$exe; [ "$into" = . ] || shipped=$into/$exe
      for p in $(grep -oE '/usr/[^ ()]+\.(a|o)' "$SARNIK_BUILD/$dir/bin/${exe%.exe}.map" | xargs realpath -e | sort -u |
                 xargs dpkg -S 2>/dev/null | cut -d: -f1 | sort -u); do
        section_of "$p" | grep -qE "^In: (.*, )?$shipped(,|\$)" || fail "notices: $p, linked into $shipped, is not named for it"
      done
    done
    section_of libz-mingw-w64 | grep -qE "^In: (.*, )?$( [ "$into" = . ] || echo "$into/")zqzlibwapi.dll(,|\$)" ||
      fail "notices: zlib is not named for $into/zqzlibwapi.dll"
    section_of nlohmann-json3-dev | grep -qE "^In: (.*, )?$( [ "$into" = . ] || echo "$into/")sarnikcheck.exe(,|\$)" ||
      fail "notices: nlohmann-json is not named for $into/sarnikcheck.exe"
  done
  grep -q 'Permission is hereby granted, free of charge' "$work/notices" || fail "notices: no MIT licence text"
  grep -q 'GCC RUNTIME LIBRARY EXCEPTION' "$work/notices" || fail "notices: no GCC runtime library exception"
}

# The symbols zip holds the programs unstripped: an address becomes a source line, as the README
# shows for a crash report.
check_symbols() {
  local sym=$work/symbols
  rm -rf "$sym"; mkdir -p "$sym"
  unzip -q "$dist/sarnik-$version-symbols.zip" -d "$sym"
  local triplet exe addr where
  for exe in sarnik.exe x64/sarnik.exe; do
    triplet=i686-w64-mingw32; [ "${exe%%/*}" = x64 ] && triplet=x86_64-w64-mingw32
    local f=$sym/sarnik-$version/$exe
    [ "$(resource "$f" FileVersion)" = "$version.0" ] || fail "symbols $exe is not of this version"
    addr=$("$triplet-nm" -C "$f" | awk '/ T .*CSarnikApp::InitInstance\(\)$/ {a = $1} END {print a}')
    [ -n "$addr" ] || fail "symbols $exe: no CSarnikApp::InitInstance"
    where=$("$triplet-addr2line" -f -C -e "$f" "0x$addr" | tr '\n' ' ')
    grep -q 'SarnikApp.cpp:[0-9]' <<<"$where" || fail "symbols $exe: 0x$addr is at '$where'"
  done
}

# The programs of the architecture this suite runs, from the unpacked package.
check_runs() {
  local pkg=$1 run=$1 out rc
  [ "$SARNIK_ARCH" = x64 ] && run=$pkg/x64
  out=$(wine "$run/sarnikcheck.exe" --version | tr -d '\r')
  [ "$out" = "sarnikcheck $version" ] || fail "--version said '$out'"

  # The checker on the shipped example kit, for the program of its own architecture.
  set +e
  out=$(wine "$run/sarnikcheck.exe" --arch "$SARNIK_ARCH" "$(winepath -w "$pkg/examples/kit")" | tr -d '\r')
  rc=$?
  set -e
  [ $rc -le 1 ] || fail "sarnikcheck on the example kit exited with $rc:"$'\n'"$out"

  # The check for the other architecture's program is handed to the checker beside this one,
  # which runs where that program could: a 32-bit one in this win64 prefix only where the
  # machine runs 32-bit programs, a 64-bit one never in a win32 prefix (as on 32-bit Windows).
  local other=x64; [ "$SARNIK_ARCH" = x64 ] && other=x86
  set +e
  local handed
  handed=$(wine "$run/sarnikcheck.exe" --arch $other "$(winepath -w "$pkg/examples/kit")" 2>&1 | tr -d '\r')
  rc=$?
  set -e
  if [ "$SARNIK_ARCH" = x64 ] && sarnik_runs_x86 >/dev/null; then
    [ $rc -le 1 ] || fail "the 32-bit check from the 64-bit checker exited with $rc:"$'\n'"$handed"
    grep -q '^Program: the 32-bit sarnik.exe' <<<"$handed" || fail "the handed check is not the 32-bit one:"$'\n'"$handed"
  else
    [ $rc = 3 ] || fail "the $other check where it cannot run exited with $rc:"$'\n'"$handed"
    grep -q 'cannot run on this machine' <<<"$handed" || fail "no reason given:"$'\n'"$handed"
  fi

  # sarnik.exe from the package runs a silent kit to its end.
  local kit=$work/kit-$RANDOM temp=$work/temp-$RANDOM
  mkdir -p "$kit/Setup" "$temp"
  printf '[CustomCommands]\r\nShowDialog=FALSE\r\nCommands_0=cmd /c echo ran from the package> "<Temp>\\marker.txt"\r\n' \
    > "$kit/Setup/CustCmds.ini"
  timeout 120 "$SARNIK_WINE" "$run/sarnik.exe" "0 0|$(winepath -w "$kit")|$(winepath -w "$temp")||" >/dev/null 2>&1 ||
    fail "sarnik.exe did not end"
  [ "$(tr -d '\r' < "$temp/marker.txt" 2>/dev/null)" = "ran from the package" ] || fail "the kit's command did not run"
}

# Unsigned, as a build without the vendor's key makes it.
last=$(make_package plain)
grep -q ': unsigned ' <<<"$last" || fail "the unsigned package does not say so: $last"
pkg=$work/plain/sarnik-$version
check_content "$pkg"
check_notices "$pkg"
check_symbols
for f in $programs; do
  if osslsigncode verify -in "$pkg/$f" >/dev/null 2>&1; then fail "$f is signed without --sign"; fi
done
check_runs "$pkg"

# Signed with a code-signing certificate of a throwaway authority.
ca=$work/ca
mkdir -p "$ca"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Sarnik Test Authority" \
  -keyout "$ca/ca.key" -out "$ca/ca.pem" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=Sarnik Test Vendor" -keyout "$ca/sign.key" -out "$ca/sign.csr" 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' > "$ca/ext"
openssl x509 -req -in "$ca/sign.csr" -CA "$ca/ca.pem" -CAkey "$ca/ca.key" -CAcreateserial -days 2 \
  -extfile "$ca/ext" -out "$ca/sign.pem" 2>/dev/null
password="test pass $RANDOM"
openssl pkcs12 -export -inkey "$ca/sign.key" -in "$ca/sign.pem" -certfile "$ca/ca.pem" -out "$ca/test.pfx" \
  -passout "pass:$password" 2>/dev/null
# Without the password the package is not made.
if SARNIK_SIGN_PASSWORD= "$here/../../scripts/package" --no-build --sign "$ca/test.pfx" >/dev/null 2>&1; then
  fail "signing went ahead with a wrong password"
fi
last=$(SARNIK_SIGN_PASSWORD=$password make_package signed --sign "$ca/test.pfx")
grep -q ': signed with test.pfx' <<<"$last" || fail "the signed package does not say so: $last"
pkg=$work/signed/sarnik-$version
check_content "$pkg"
for f in $programs; do
  out=$(osslsigncode verify -CAfile "$ca/ca.pem" -in "$pkg/$f" 2>&1) || fail "$f does not verify:"$'\n'"$out"
  grep -q 'Sarnik Test Vendor' <<<"$out" || fail "$f is not signed by the test vendor:"$'\n'"$out"
done
check_runs "$pkg"
echo "PASS: the unsigned and the signed package (the $SARNIK_ARCH programs run)"
