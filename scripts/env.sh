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
    SARNIK_WINE=/usr/lib/wine/wine64
    ;;
  x86)
    export SARNIK_CMAKE=$SARNIK_BUILD/cmake SARNIK_TRIPLET=i686-w64-mingw32
    export WINEPREFIX=${WINEPREFIX:-$SARNIK_BUILD/wine/prefix}
    export WINEARCH=win32
    SARNIK_WINE=/usr/lib/wine/wine
    ;;
  *) echo "SARNIK_ARCH must be x86 or x64, not '$SARNIK_ARCH'" >&2; exit 2 ;;
esac

# The Wine helpers, each the one of this architecture, on every machine. Debian's wine, winepath,
# wineboot (every wrapper that goes through wine-stable) pick the 32-bit loader whenever 32-bit
# Wine is installed, whatever the prefix: in a 64-bit prefix that loader gives nothing back (on a
# machine that runs it) or fails (on one that cannot). So the scripts call the loader of their
# architecture by its path, through these functions, and WINELOADER and WINESERVER make Wine
# itself start the same ones. The server serves both architectures; Debian's own choice is the
# 64-bit one wherever it is installed.
if [ -x /usr/lib/wine/wineserver64 ] || [ ! -e /usr/lib/wine/wineserver32 ]; then
  SARNIK_WINESERVER=/usr/lib/wine/wineserver64
else
  SARNIK_WINESERVER=/usr/lib/wine/wineserver32
fi
export SARNIK_WINE SARNIK_WINESERVER WINELOADER=$SARNIK_WINE WINESERVER=$SARNIK_WINESERVER
wine() { "$SARNIK_WINE" "$@"; }
winepath() { "$SARNIK_WINE" winepath.exe "$@"; }
wineboot() { "$SARNIK_WINE" wineboot.exe "$@"; }
wineserver() { "$SARNIK_WINESERVER" "$@"; }
regedit() { "$SARNIK_WINE" regedit.exe "$@"; }
msiexec() { "$SARNIK_WINE" msiexec.exe "$@"; }
# What reaches the system's wrappers instead (through exec, env, timeout and the like, which do not
# see shell functions) fails at once with the reason, on every machine, instead of only on the
# sort of machine where the wrapper picks the other loader.
case ":$PATH:" in *":$top/scripts/wine-guard:"*) ;; *) export PATH=$top/scripts/wine-guard:$PATH ;; esac

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
