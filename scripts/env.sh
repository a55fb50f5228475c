# Sourced by the other scripts: where the build and the project's own Wine prefix live.
# SARNIK_BUILD lets several working copies or developers use separate build trees.
# SARNIK_ARCH picks the architecture a script works on: x86 (the 32-bit product, the default)
# or x64 (the 64-bit program). Each has its own build tree, Wine prefix and Wine loader.
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export SARNIK_BUILD=${SARNIK_BUILD:-$top/build}
case $SARNIK_BUILD in /*) ;; *) SARNIK_BUILD=$top/$SARNIK_BUILD ;; esac
export SARNIK_ARCH=${SARNIK_ARCH:-x86}
case $SARNIK_ARCH in
  x64)
    export SARNIK_CMAKE=$SARNIK_BUILD/cmake-x64 SARNIK_TRIPLET=x86_64-w64-mingw32
    export WINEPREFIX=${WINEPREFIX:-$SARNIK_BUILD/wine/prefix-x64}
    export WINEARCH=win64
    # Debian's wine, wineboot and winepath pick the 32-bit loader whenever it is installed; the
    # wrappers in scripts/wine64 put the 64-bit loader in their place.
    export WINELOADER=/usr/lib/wine/wine64
    case ":$PATH:" in *":$top/scripts/wine64:"*) ;; *) export PATH=$top/scripts/wine64:$PATH ;; esac
    ;;
  x86)
    export SARNIK_CMAKE=$SARNIK_BUILD/cmake SARNIK_TRIPLET=i686-w64-mingw32
    export WINEPREFIX=${WINEPREFIX:-$SARNIK_BUILD/wine/prefix}
    export WINEARCH=win32
    ;;
  *) echo "SARNIK_ARCH must be x86 or x64, not '$SARNIK_ARCH'" >&2; exit 2 ;;
esac
export WINEDEBUG=${WINEDEBUG:--all}
# SARNIK_DLL_OVERRIDES adds overrides of a test's own to the project's (entries separated by ';').
export WINEDLLOVERRIDES="mscoree,mshtml=${SARNIK_DLL_OVERRIDES:+;$SARNIK_DLL_OVERRIDES}"

# Whether this machine runs 32-bit programs: found by trying, as some kernels cannot execute them
# at all ("Exec format error"). Prints the reason when it cannot.
sarnik_runs_x86() {
  local out
  if [ ! -e /usr/lib/wine/wine ]; then
    echo "32-bit Wine (wine32:i386) is not installed"
    return 1
  fi
  if ! out=$(/usr/lib/wine/wine --version 2>&1); then
    echo "this machine cannot run 32-bit programs (starting /usr/lib/wine/wine: ${out##*: })"
    return 1
  fi
}
