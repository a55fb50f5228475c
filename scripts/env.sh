# Sourced by the other scripts: where the build and the project's own Wine prefix live.
# SARNIK_BUILD lets several working copies or developers use separate build trees.
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export SARNIK_BUILD=${SARNIK_BUILD:-$top/build}
case $SARNIK_BUILD in /*) ;; *) SARNIK_BUILD=$top/$SARNIK_BUILD ;; esac
export WINEPREFIX=${WINEPREFIX:-$SARNIK_BUILD/wine/prefix}
export WINEARCH=win32
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
