#!/bin/bash
# Builds Qt for 64-bit Windows from Debian's own qt6-base source, once: the result is kept in
# a cache folder named after the version and the flags, so a second run only prints its path.
# Usage: build-qt.sh CACHE_ROOT   (prints the Qt prefix on its last line)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=${1:?usage: build-qt.sh CACHE_ROOT}
# The same Debian revision as the host's Qt, whose tools the build runs and whose headers the
# program's build meets; a Qt built from another one is built again. qt6-base-dev has that name
# on every release (the library's package was renamed for 64-bit time).
revision=$(dpkg-query -W -f '${source:Version}' qt6-base-dev 2>/dev/null || true)
if [ -z "$revision" ]; then
    echo "FAILED: no Debian qt6-base-dev is installed, so the Qt to build for Windows is unknown; run make windows, which installs it" >&2
    exit 1
fi
# 6.4.2+dfsg-10 -> 6.4.2
version=${revision#*:}
version=${version%%[+-]*}

# Only what the program and its tests use; QtNetwork for ports served over the network.
# FreeType stays: without it the offscreen platform the tests draw on is not built. Debian's
# tarball has no wintab, hence no tablet events.
flags=(
    -DQT_HOST_PATH=/usr
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
    -DBUILD_SHARED_LIBS=ON
    -DFEATURE_pkg_config=OFF
    -DINPUT_opengl=no
    # Qt 6.8 defines its DirectWrite font loader only with Direct2D, so it stays on there.
    $([[ $version == 6.4.* ]] && echo -DFEATURE_direct2d=OFF || true)
    -DFEATURE_directwrite3=OFF
    -DFEATURE_tabletevent=OFF
    -DFEATURE_dbus=OFF
    -DFEATURE_sql=OFF
    -DFEATURE_network=ON
    -DFEATURE_openssl=OFF
    -DFEATURE_xml=OFF
    -DFEATURE_concurrent=OFF
    -DFEATURE_printsupport=OFF
    -DFEATURE_vulkan=OFF
    -DFEATURE_zstd=OFF
    -DFEATURE_icu=OFF
    -DFEATURE_jpeg=OFF
    -DFEATURE_gif=OFF
    -DFEATURE_freetype=ON
    -DFEATURE_system_freetype=OFF
    -DFEATURE_system_zlib=OFF
    -DFEATURE_system_pcre2=OFF
    -DFEATURE_system_harfbuzz=OFF
    -DFEATURE_system_png=OFF
    -DQT_BUILD_EXAMPLES=OFF
    -DQT_BUILD_TESTS=OFF
    -DCMAKE_BUILD_TYPE=Release
)
hash=$( { printf '%s\n' "${flags[@]}"; cat "$here/mingw-toolchain.cmake"; } | sha256sum | cut -c1-12)
prefix=$root/qt-$version-mingw-$hash
if [ "$(cat "$prefix/.complete" 2>/dev/null)" = "$revision" ] &&
    [ -f "$prefix/lib/cmake/Qt6/qt.toolchain.cmake" ]; then
    echo "$prefix"
    exit 0
fi

work=$root/work-$hash
log=$root/qt-build-$hash.log
mkdir -p "$work"
: >"$log"
step() {
    echo "== $1 (log: $log)" >&2
    shift
    if ! "$@" >>"$log" 2>&1; then
        echo "FAILED: building Qt for Windows stopped at this step; see $log" >&2
        tail -n 20 "$log" >&2
        exit 1
    fi
}

# Debian's source through a sources list of our own, leaving the system's apt set-up alone.
fetch_source() {
    local apt=$work/apt
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$work/src"
    # The source of every archive the system installs from (security updates among them), so
    # the revision of the host's Qt is found wherever it came from.
    {
        awk '/^URIs:/ {u = $2} /^Suites:/ {$1 = ""; s = $0}
             /^Components:/ {$1 = ""; c = $0}
             /^$/ {if (u) for (i = split(s, a, " "); i > 0; i--) print u, a[i], c; u = ""}
             END {if (u) for (i = split(s, a, " "); i > 0; i--) print u, a[i], c}' \
            /etc/apt/sources.list.d/*.sources 2>/dev/null
        awk '$1 == "deb" && $2 !~ /^\[/ {$1 = ""; print}' /etc/apt/sources.list 2>/dev/null
    } | sed 's|^ *|deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] |' \
        >"$apt/sources.list"
    [ -s "$apt/sources.list" ] || echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $(. /etc/os-release && echo "$VERSION_CODENAME") main" >"$apt/sources.list"
    local options=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
                   -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache")
    # apt's sandbox user cannot write into root's home.
    options+=(-o APT::Sandbox::User=root)
    # Unpacked under another name and moved into place whole, so an interrupted run leaves no
    # tree that looks complete.
    apt-get "${options[@]}" update && cd "$work/src" && apt-get "${options[@]}" source --download-only "qt6-base=$revision" &&
        dpkg-source -x --no-check ./qt6-base_*.dsc qtbase.part && mv qtbase.part qtbase
}

if [ ! -d "$work/src/qtbase" ] || [ "$(cat "$work/src/revision" 2>/dev/null)" != "$revision" ]; then
    rm -rf "$work/src"
    step "fetching Debian's qt6-base $revision source" fetch_source
    echo "$revision" >"$work/src/revision"
fi
rm -rf "$work/build" "$prefix"
step "configuring Qt $version for x86_64-w64-mingw32" \
    cmake -S "$work/src/qtbase" -B "$work/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$here/mingw-toolchain.cmake" \
    -DCMAKE_INSTALL_PREFIX="$prefix" "${flags[@]}"
step "building Qt (20 minutes to an hour on 2 cores)" cmake --build "$work/build" --parallel
step "installing Qt into $prefix" cmake --install "$work/build"
# What the program's folder ships beside Qt: its licences, and its Chinese texts, which Debian
# builds from the translations' own source package and are the same on every system.
cp -r "$work/src/qtbase/LICENSES" "$prefix/licenses"
mkdir -p "$prefix/translations"
cp /usr/share/qt6/translations/qtbase_zh_CN.qm "$prefix/translations/"
echo "$revision" >"$prefix/.complete"
rm -rf "$work/build"
echo "$prefix"
