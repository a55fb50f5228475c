#!/usr/bin/env bash
# Both programs of both architectures import only Windows' known DLLs, which the loader never looks
# for in the program's folder: a DLL of any other name planted in a kit folder would be loaded at
# start. COMCTL32 may be imported as it is bound through the manifest (version 6 from the system's
# side-by-side store); the programs bind it at run time all the same, as some of its builds import
# DLLs that are not known ones (Wine's imports version.dll).
#   imports-test.sh CMAKE_BINARY_DIR
set -euo pipefail
build=$(cd "$1/.." && pwd)
fail=0
known=" KERNEL32.dll USER32.dll GDI32.dll ADVAPI32.dll SHELL32.dll OLEAUT32.dll msvcrt.dll COMCTL32.dll "
for arch in "cmake i686-w64-mingw32" "cmake-x64 x86_64-w64-mingw32"; do
  set -- $arch
  for exe in sarnik.exe sarnikcheck.exe; do
    file=$build/$1/bin/$exe
    if [ ! -f "$file" ]; then
      echo "FAIL: $file is missing (scripts/build makes both architectures)"; fail=1; continue
    fi
    dlls=$("$2-objdump" -p "$file" | sed -n 's/^\s*DLL Name: //p')
    [ -n "$dlls" ] || { echo "FAIL: no imports read from $file"; fail=1; }
    for dll in $dlls; do
      case "${known,,}" in
        *" ${dll,,} "*) ;;
        *) echo "FAIL: $1/$exe imports $dll, which is not a known DLL"; fail=1 ;;
      esac
    done
    echo "$1/$exe imports:" $dlls
  done
done
exit $fail
