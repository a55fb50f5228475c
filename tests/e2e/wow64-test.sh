#!/usr/bin/env bash
# The directory macros and the registry views in the 64-bit world: a 64-bit Wine prefix (kept
# under the build folder), where the 32-bit program runs under WOW64.
#   wow64-test.sh BIN_DIR
set -euo pipefail
bin=$1
source "$(dirname "$0")/../../scripts/env.sh"
export WINEPREFIX=$SARNIK_BUILD/wine/prefix64 WINEARCH=win64
if [ ! -f "$WINEPREFIX/.sarnik-ready" ]; then
  rm -rf "$WINEPREFIX"
  (unset DISPLAY; wineboot -i) >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.sarnik-ready"
fi
trap 'wineserver -k 2>/dev/null || true' EXIT
wineserver -p
wine rundll32.exe user32.dll,MessageBeep </dev/null >/dev/null 2>&1 || true
SARNIK_EXPECT_WOW64=1 wine "$bin/unit_app.exe" --gtest_filter='MacroTable.*'
# The maker's settings, each written in one registry view and not in the other: the 32-bit
# sarnik.exe and sarnikcheck.exe must name the folders that the 64-bit ones name in the 64-bit
# suite, under the default code page and under 932; and so must the framework's own reads.
wine "$bin/e2e_registry_views.exe"
LC_ALL=ja_JP.UTF-8 SARNIK_CODE_PAGE=932 wine "$bin/e2e_registry_views.exe"
wine "$bin/unit_kefwk_directories.exe" --gtest_filter='DirectoryGetter.TheProductsSettingsAreReadInThe32BitView'
wine "$bin/unit_kefwk_text_registry.exe" --gtest_filter='DiagnosticLevelRead.*'
