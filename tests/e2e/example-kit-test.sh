#!/usr/bin/env bash
# The example kit's checker output, shipped beside it in the release package, is what the checker
# of this suite's architecture says about it: the kit copied to C:\Kit with C:\Temp and
# C:\Program Files\App, as scripts/run carries it out.
#   example-kit-test.sh BIN_DIR            compare
#   example-kit-test.sh BIN_DIR --update   write the file anew (after a change of the kit or checker)
set -euo pipefail
bin=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/env.sh"
expected=$here/../../examples/sarnikcheck-$SARNIK_ARCH.txt
drive=$WINEPREFIX/drive_c
places=("$drive/Kit" "$drive/Temp" "$drive/Program Files/App")
trap 'rm -rf "${places[@]}"' EXIT
rm -rf "${places[@]}"; mkdir -p "${places[@]}"
cp -r "$here/../../examples/kit/." "$drive/Kit/"
set +e
out=$(cd "$drive/Kit" && wine "$bin/sarnikcheck.exe" --arch "$SARNIK_ARCH" 'C:\Kit' 'C:\Temp' 'C:\Program Files\App' | tr -d '\r')
rc=$?
set -e
out+=$'\n'"(exit code $rc)"
if [ "${2:-}" = --update ]; then
  printf '%s\n' "$out" > "$expected"
  echo "wrote $expected"
  exit 0
fi
diff <(printf '%s\n' "$out") "$expected" || { echo "FAIL: the checker's output for the example kit differs from $expected"; exit 1; }
echo "PASS: $expected holds"
