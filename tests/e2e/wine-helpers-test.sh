#!/usr/bin/env bash
# The Wine helpers the scripts call are those of the suite's architecture, on every machine: the
# system's wrappers choose the 32-bit loader wherever 32-bit Wine is installed, which only a
# machine that runs 32-bit programs shows, and there only in the 64-bit suite. So this checks,
# wherever it runs, what would go wrong only elsewhere.
#   wine-helpers-test.sh
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
fail=0
helpers='wine|winepath|wineboot|wineserver|regedit|msiexec|wine64|wine-stable'

# Every script that calls a Wine helper takes it from scripts/env.sh, and none starts one through
# a program that cannot see shell functions (exec, env, timeout, ...): that would reach the
# system's wrapper.
while IFS= read -r f; do
  case $f in scripts/env.sh|scripts/wine-guard/*) continue ;; esac
  head -n 1 "$f" | grep -qE '^#!.*(ba)?sh' || [ "${f##*.}" = sh ] || continue
  code=$(grep -vE '^\s*#' "$f")
  if grep -qE "(^|[;&|(\`]|\\$\\(|\s)($helpers)(\s|$)" <<<"$code"; then
    case $f in scripts/session.sh) ;;  # sourced after env.sh by every script that uses it
      *) grep -q 'scripts/env.sh\|/env.sh"' "$f" || { echo "FAIL: $f calls a Wine helper without sourcing scripts/env.sh"; fail=1; } ;;
    esac
  fi
  bypass=$(grep -nE "\b(exec|env|timeout|nohup|xargs|setsid|command|sudo)\b[^|;&]*\s($helpers)(\s|$)" <<<"$code" \
           | grep -vE "^[0-9]+:\s*($helpers)\(\)" || true)
  [ -z "$bypass" ] || { echo "FAIL: $f starts a Wine helper where shell functions do not reach:"; echo "$bypass"; fail=1; }
done < <(cd "$top" && git ls-files scripts tests | grep -vE '\.(cpp|h|c|rc|txt|md|json|py|wxs|ini|cmake)$')

# Each architecture resolves its own loader, and Wine is told to start the same ones.
for arch in x86 x64; do
  got=$(export SARNIK_ARCH=$arch; unset WINEPREFIX; source "$top/scripts/env.sh"
        for h in wine winepath wineboot wineserver regedit msiexec; do printf '%s=%s ' "$h" "$(type -t $h)"; done
        printf 'loader=%s wineloader=%s server=%s' "$SARNIK_WINE" "$WINELOADER" "$WINESERVER")
  want_loader=/usr/lib/wine/wine; [ $arch = x64 ] && want_loader=/usr/lib/wine/wine64
  for h in wine winepath wineboot wineserver regedit msiexec; do
    grep -q "$h=function " <<<"$got" || { echo "FAIL: $arch: $h is not the helper of scripts/env.sh ($got)"; fail=1; }
  done
  grep -q "loader=$want_loader wineloader=$want_loader server=/usr/lib/wine/wineserver" <<<"$got" \
    || { echo "FAIL: $arch: expected the loader $want_loader for scripts and Wine alike ($got)"; fail=1; }
done

# In this suite's own prefix: the helpers work, and what goes around them is stopped on this
# machine too, not only where it would pick the other loader.
source "$top/scripts/env.sh"
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
win=$(winepath -w "$work")
back=$(winepath -u "$win" 2>/dev/null)
if [ -z "$win" ] || [ "${back%/}" != "$work" ]; then
  echo "FAIL: winepath in the $SARNIK_ARCH prefix: '$work' gave '$win', and back '$back'"; fail=1
fi
out=$(wine cmd.exe /c echo helpers 2>/dev/null | tr -d '\r')
[ "$out" = helpers ] || { echo "FAIL: wine in the $SARNIK_ARCH prefix printed '$out'"; fail=1; }
for h in wine winepath wineboot wineserver msiexec; do
  env "$h" --version >/dev/null 2>&1; rc=$?
  [ $rc = 97 ] || { echo "FAIL: the system's $h was reachable past the helpers (exit code $rc)"; fail=1; }
done
[ $fail = 0 ] && echo "PASS: every script's Wine helpers are those of its architecture ($SARNIK_ARCH: $SARNIK_WINE)"
exit $fail
