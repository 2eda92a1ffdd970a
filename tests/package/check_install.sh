#!/bin/bash
# Installs the .deb with apt into a fresh minimal Debian of RELEASE (bookworm, trixie) and starts
# the program there, on a display of the host: the package's dependencies must bring everything
# it needs to start and to show its Chinese texts. A screenshot is left in OUTPUT_DIR.
#   check_install.sh DEB CACHE_DIR SCRATCH OUTPUT_DIR RELEASE
# The bootstrapped system, and the same system with the package's dependencies installed, are
# kept as tarballs in CACHE_DIR; the second is named after the package's dependency fields, so
# a change to them, or to the libraries the binary links, installs from the bare system again.
# Exit code 77: not root, or a tool is missing; the test is skipped.
set -euo pipefail
deb=$1
cache=$2
scratch=$3
out=$4
release=$5

fail() {
    echo "FAIL: $*" >&2
    [ -s "$scratch/program.log" ] && sed 's/^/program: /' "$scratch/program.log" >&2
    exit 1
}

[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root for debootstrap and chroot" >&2; exit 77; }
for tool in debootstrap chroot unshare Xvfb xdotool /usr/bin/import; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed" >&2; exit 77; }
done
[ -f "$deb" ] || fail "no $deb"

# Mounts made here vanish with this process, however it ends.
if [ -z "${VANTRELO_PRIVATE_MOUNTS:-}" ]; then
    unshare --mount --propagation private true 2>/dev/null ||
        { echo "SKIP: no mount namespace can be made here" >&2; exit 77; }
    exec env VANTRELO_PRIVATE_MOUNTS=1 unshare --mount --propagation private bash "$0" "$@"
fi

root="$scratch/root"
clear_root() {
    # Never recurse into the host's directories mounted into the root.
    umount -R "$root/proc" "$root/tmp/.X11-unix" 2>/dev/null || true
    rm -rf --one-file-system "$root"
}
clear_root
mkdir -p "$scratch" "$cache" "$out"

# The host's Debian mirror, as apt is configured here.
mirror=$(sed -n 's/^URIs: *\(http[^ ]*\/debian\/*\)$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null |
    head -n 1 || true)
: "${mirror:=$(awk '$1 == "deb" && $2 ~ /\/debian\/?$/ { print $2; exit }' /etc/apt/sources.list 2>/dev/null)}"
: "${mirror:=http://deb.debian.org/debian}"

bare="$cache/$release-minbase.tar"
if [ ! -f "$bare" ]; then
    echo "bootstrapping Debian $release from $mirror"
    debootstrap --variant=minbase "$release" "$root" "$mirror" >"$scratch/debootstrap.log" 2>&1 ||
        fail "debootstrap: $(tail -n 20 "$scratch/debootstrap.log")"
    chroot "$root" apt-get update >"$scratch/apt.log" 2>&1 || fail "apt-get update: $(cat "$scratch/apt.log")"
    tar -C "$root" -cf "$bare.part" . && mv "$bare.part" "$bare"
    clear_root
fi

key=$(dpkg-deb -f "$deb" Depends Recommends Pre-Depends | sha256sum | cut -c 1-16)
ready="$cache/$release-dependencies-$key.tar"
mkdir -p "$root"
if [ -f "$ready" ]; then
    tar -C "$root" -xf "$ready"
else
    tar -C "$root" -xf "$bare"
    # The mirror moves on; the bootstrapped lists may name versions it no longer has.
    chroot "$root" apt-get update >"$scratch/apt.log" 2>&1 || fail "apt-get update: $(cat "$scratch/apt.log")"
fi

cp "$deb" "$root/tmp/vantrelo-relay.deb"
chroot "$root" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y --no-install-recommends /tmp/vantrelo-relay.deb >"$scratch/apt.log" 2>&1 ||
    fail "apt-get install: $(tail -n 30 "$scratch/apt.log")"

if [ ! -f "$ready" ]; then
    # The dependencies alone, as apt installed them, for the next run.
    rm -f "$cache/$release"-dependencies-*.tar
    chroot "$root" dpkg -r vantrelo-relay >/dev/null
    chroot "$root" apt-get clean
    tar -C "$root" -cf "$ready.part" . && mv "$ready.part" "$ready"
    chroot "$root" dpkg -i /tmp/vantrelo-relay.deb >/dev/null
fi

# The host's display, reached through its socket; nothing else of the host is visible.
source "$(dirname "$0")/display.sh"
trap 'stop_display; clear_root' EXIT
start_display
mount -t proc proc "$root/proc"
mkdir -p "$root/tmp/.X11-unix"
mount --bind /tmp/.X11-unix "$root/tmp/.X11-unix"

# As an ordinary user, with no locale and none of the host's environment.
chroot --userspec=nobody:nogroup "$root" env -i DISPLAY=":$display" HOME=/tmp PATH=/usr/bin:/bin \
    VANTRELO_PORTS=/nonexistent/vantrelo-package-test /usr/bin/vantrelo-relay \
    >"$scratch/program.log" 2>&1 </dev/null &
program=$!
window=$(DISPLAY=":$display" timeout 20 \
    xdotool search --sync --onlyvisible --name '串口控制单路继电器板' | head -n 1) ||
    fail "the installed program showed no window"
sleep 1
kill -0 "$program" 2>/dev/null || fail "the installed program ended"
DISPLAY=":$display" /usr/bin/import -window "$window" "$out/package-install-$release.png" ||
    fail "no screenshot"
# Painted, with black text on the light window: nothing drawn at all would be one colour.
[ "$(/usr/bin/convert "$out/package-install-$release.png" -colorspace Gray \
    -format '%[fx:minima < 0.2 && maxima > 0.8]' info:)" = 1 ] || fail "the window is blank"
# Without a Chinese face every character of the window is a box, and without Qt's catalogue
# the port field's context menu is in English.
[ -n "$(chroot "$root" fc-list :lang=zh-cn family)" ] || fail "no Chinese font installed"
[ -f "$root/usr/share/qt6/translations/qtbase_zh_CN.qm" ] || fail "no Chinese catalogue for Qt"
echo "installed and started: $(dpkg-deb -f "$deb" Depends)"
