#!/bin/bash
# Runs a Windows test under wine, in the build's own prefix: the emulator ctest runs the
# Windows tests with. Usage: wine-run.sh PREFIX QT_PREFIX PROGRAM [ARGS...]
set -euo pipefail
source "$(dirname "$0")/no_real_ports.sh"
export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
qt=$2
shift 2
if [ ! -f "$WINEPREFIX/.vantrelo-ready" ]; then
    wineboot -i >/dev/null 2>&1
    # wine hands no QT_* variable to Windows programs; these come from the registry. The tests
    # draw offscreen, in the Chinese faces Debian ships.
    wine reg add 'HKCU\Environment' /v QT_QPA_PLATFORM /d offscreen /f >/dev/null 2>&1
    # Qt 6.8 reads no font collection (.ttc) from that folder, and collections are the only form
    # Debian ships the Chinese faces in; the same files under .ttf names are read whole.
    mkdir -p "$WINEPREFIX/qt-fonts"
    for face in /usr/share/fonts/opentype/noto/*.ttc; do
        ln -sf "$face" "$WINEPREFIX/qt-fonts/$(basename "$face" .ttc).ttf"
    done
    wine reg add 'HKCU\Environment' /v QT_QPA_FONTDIR /d "Z:${WINEPREFIX//\//\\}\\qt-fonts" /f >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.vantrelo-ready"
fi
# Qt's DLLs (its plugins are found beside them) and the compiler's runtime, where they are built.
path="$qt/bin;$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")"
path+=";$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libwinpthread-1.dll)")"
export WINEPATH="Z:${path//;/;Z:}"
# A test's output does not come through wine's standard output: it goes to a file, printed after.
report=$(mktemp)
trap 'rm -f "$report"' EXIT
status=0
wine "$@" -o "Z:${report},txt" || status=$?
cat "$report"
exit "$status"
