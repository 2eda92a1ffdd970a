#!/bin/bash
# Builds the Windows program from this Linux machine: Qt for mingw (cached), the program and
# its tests, then the portable zip and the installer. Nothing is left half made: the zip and
# the installer appear only once both are complete.
# Usage: make-windows.sh BUILD_DIR QT_CACHE_ROOT
set -euo pipefail

src=$(cd "$(dirname "$0")/../.." && pwd)
mkdir -p "$1"
build=$(cd "$1" && pwd)
cache=$2
log=$build/make-windows.log
: >"$log"

step() {
    echo "== $1 (log: $log)"
    shift
    if ! "$@" >>"$log" 2>&1; then
        echo "FAILED: make windows stopped at this step; see $log" >&2
        tail -n 30 "$log" >&2
        exit 1
    fi
}

for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-windres makensis wine zip cmake ninja; do
    command -v "$tool" >/dev/null || { echo "FAILED: $tool is missing; run make windows, which installs it" >&2; exit 1; }
done

qt=$("$src/app/windows/build-qt.sh" "$cache" | tail -n 1)
[ -f "$qt/lib/cmake/Qt6/qt.toolchain.cmake" ] ||
    { echo "FAILED: the Windows Qt in '$qt' has no qt.toolchain.cmake; remove it and run make windows again" >&2; exit 1; }
version=$(sed -n 's/^project(vantrelo-relay VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")

# Debian's Qt 6.8 leaves its plugins' targets out unless asked for; the program's folder ships
# the platform and style plugins by those targets.
step "configuring the Windows build in $build" \
    cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$qt/lib/cmake/Qt6/qt.toolchain.cmake" \
    -DQT_CHAINLOAD_TOOLCHAIN_FILE="$src/app/windows/mingw-toolchain.cmake" \
    -DQT_SKIP_AUTO_PLUGIN_INCLUSION=OFF \
    "-DCMAKE_CROSSCOMPILING_EMULATOR=$src/tests/windows/wine-run.sh;$build/wine;$qt"
step "building the program and its tests" cmake --build "$build"

name=vantrelo-relay-$version-win64
work=$build/package-work
rm -rf "$work"
mkdir -p "$work"
step "gathering the program, Qt's DLLs and the licences" \
    cmake --install "$build" --prefix "$work/$name" --strip
step "zipping $name.zip" bash -c "cd '$work' && zip -q -r -9 '$name.zip' '$name'"

# The uninstaller removes exactly the files the installer put down, deepest folders last.
(
    cd "$work/$name"
    find . -type f | sed 's|^\./||; s|/|\\|g; s|.*|    Delete "$INSTDIR\\&"|'
    find . -mindepth 1 -type d | sort -r | sed 's|^\./||; s|/|\\|g; s|.*|    RMDir "$INSTDIR\\&"|'
) >"$work/files.nsh"
size=$(du -sk "$work/$name" | cut -f1)
step "making the installer $name-setup.exe" \
    makensis -V2 -INPUTCHARSET UTF8 "-DVERSION=$version" "-DSTAGE=$work/$name" \
    "-DOUTFILE=$work/$name-setup.exe" "-DFILE_LIST=$work/files.nsh" "-DSIZE_KB=$size" \
    "$src/app/windows/installer.nsi"

mv -f "$work/$name.zip" "$work/$name-setup.exe" "$build/"
echo "$build/$name-setup.exe"
echo "$build/$name.zip"
