#!/usr/bin/env bash
# Writes the licence notices of the release package: for every component linked or compiled into
# a shipped file, its name, its version, the shipped files that contain it and its licence text,
# taken from the distribution's own copyright file of the packages the build used.
#   notices.sh OUT VERSION SHIPPED=KIND:PATH...
# KIND is map (a linker map: every library and start-up object the linker read), deps (a folder of
# the compiler's dependency files: every header compiled in, for header-only libraries) or copy
# (a file shipped as the distribution has it). A file of a package this script does not know
# stops it: a component is never shipped without its notice.
set -euo pipefail
out=$1 version=$2
shift 2

# The component a package belongs to. The two architectures' packages of one component share it.
component_of() {
  case $1 in
    g++-mingw-w64-*-posix | gcc-mingw-w64-*-posix | gcc-mingw-w64-base) echo "GCC runtime libraries (libstdc++, libgcc)" ;;
    mingw-w64-*-dev | mingw-w64-common) echo "mingw-w64 runtime (start-up code, C runtime glue, winpthreads, Windows headers and import libraries)" ;;
    libz-mingw-w64 | libz-mingw-w64-dev) echo "zlib" ;;
    nlohmann-json3-dev) echo "JSON for Modern C++ (nlohmann-json)" ;;
    *) return 1 ;;
  esac
}

declare -A users      # component -> shipped files
declare -A packages   # component -> packages with versions
declare -A copyright  # component -> the packages' copyright files (one per distinct text)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for entry in "$@"; do
  shipped=${entry%%=*} spec=${entry#*=}
  kind=${spec%%:*} path=${spec#*:}
  case $kind in
    map) grep -oE '/usr/[^ ()]+\.(a|o)' "$path" ;;
    deps) cat "$path"/*.d | tr ' \\' '\n\n' | grep -E '^/usr/' ;;
    copy) echo "$path" ;;
    *) echo "notices: unknown kind '$kind' in $entry" >&2; exit 2 ;;
  esac | xargs -r realpath -e | sort -u > "$work/files"
  [ -s "$work/files" ] || { echo "notices: nothing read for $shipped from $path" >&2; exit 1; }
  # One dpkg query for all files; a file of no package is one the build made itself.
  xargs -r dpkg -S < "$work/files" 2>/dev/null | sed 's/: .*//; s/, /\n/g; s/:[a-z0-9]*$//' | sort -u > "$work/pkgs" || true
  while read -r pkg; do
    [ -n "$pkg" ] || continue
    name=$(component_of "$pkg") || { echo "notices: $shipped holds a file of package $pkg, which has no notice here" >&2; exit 1; }
    case " ${users[$name]:-} " in *" $shipped "*) ;; *) users[$name]="${users[$name]:-} $shipped" ;; esac
    pv="$pkg $(dpkg-query -W -f='${Version}' "$pkg")"
    case "|${packages[$name]:-}|" in *"|$pv|"*) ;; *) packages[$name]="${packages[$name]:-}|$pv|" ;; esac
    file=$(readlink -f "/usr/share/doc/$pkg/copyright")
    [ -f "$file" ] || { echo "notices: package $pkg has no copyright file" >&2; exit 1; }
    case " ${copyright[$name]:-} " in *" $file "*) ;; *) copyright[$name]="${copyright[$name]:-} $file" ;; esac
  done < "$work/pkgs"
done

{
  printf 'Third-party notices for Sarnik %s\r\n\r\n' "$version"
  printf 'The programs and the DLL of this package contain the components below. For each: the\r\n'
  printf 'distribution packages it was built from (name and version), the shipped files that contain\r\n'
  printf 'it, and its licence and copyright notices as the distribution states them.\r\n'
  for name in $(printf '%s\n' "${!users[@]}" | LC_ALL=C sort | tr ' ' '\001'); do
    name=${name//$'\001'/ }
    printf '\r\n%s\r\n== %s\r\n\r\n' "$(printf '=%.0s' {1..78})" "$name"
    printf 'Packages: %s\r\n' "$(tr '|' '\n' <<<"${packages[$name]}" | grep . | LC_ALL=C sort -u | paste -sd, - | sed 's/,/, /g')"
    printf 'In: %s\r\n' "$(tr ' ' '\n' <<<"${users[$name]}" | grep . | LC_ALL=C sort -u | paste -sd, - | sed 's/,/, /g')"
    # Identical copyright files of the two architectures' packages are given once.
    declare -A seen=()
    for file in ${copyright[$name]}; do
      sum=$(sha256sum < "$file" | cut -c1-64)
      [ -z "${seen[$sum]:-}" ] || continue
      seen[$sum]=1
      printf '\r\n-- Licence and copyright (%s):\r\n\r\n' "$file"
      sed 's/$/\r/' "$file"
    done
    unset seen
  done
} > "$out"
