#!/bin/bash
# Builds the .deb, unpacks it into a scratch folder, checks what it holds and that the unpacked
# program puts its window on a display.
set -euo pipefail
build=$1
scratch=$2

fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$scratch"
mkdir -p "$scratch"
(cd "$build" && cpack -B "$scratch/out" >"$scratch/cpack.log" 2>&1) || { cat "$scratch/cpack.log"; fail "cpack"; }
deb="$scratch/out/vantrelo-relay_1.00_amd64.deb"
[ -f "$deb" ] || fail "no $deb; got: $(ls "$scratch/out")"

dpkg-deb -x "$deb" "$scratch/root"
expected="./usr/bin/vantrelo-relay
./usr/lib/udev/rules.d/77-vantrelo-relay.rules
./usr/share/applications/vantrelo-relay.desktop
./usr/share/icons/hicolor/16x16/apps/vantrelo-relay.png
./usr/share/icons/hicolor/32x32/apps/vantrelo-relay.png
./usr/share/metainfo/io.github.vantrelo.relay.metainfo.xml"
actual=$(cd "$scratch/root" && find . -type f | sort)
[ "$actual" = "$expected" ] || fail "file list differs:"$'\n'"$(diff <(echo "$expected") <(echo "$actual"))"

desktop-file-validate "$scratch/root/usr/share/applications/vantrelo-relay.desktop" ||
    fail "desktop file"
appstreamcli validate --no-net "$scratch/root/usr/share/metainfo/io.github.vantrelo.relay.metainfo.xml" >/dev/null ||
    fail "metainfo"
for size in 16 32; do
    file "$scratch/root/usr/share/icons/hicolor/${size}x${size}/apps/vantrelo-relay.png" |
        grep -q "PNG image data, $size x $size" || fail "icon $size"
done

depends=$(dpkg-deb -f "$deb" Depends)
for needed in fonts-noto-cjk libqt6serialport6 libqt6widgets6 libc6; do
    grep -q "\b$needed\b" <<<"$depends" || fail "Depends lacks $needed: $depends"
done
[ "$(dpkg-deb -f "$deb" Version)" = "1.00" ] || fail "version"

# The unpacked binary, on a display of its own; it must not reach for any real port.
exec 3<> <(:)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >"$scratch/xvfb.log" 2>&1 &
xvfb=$!
program=""
cleanup() {
    [ -n "$program" ] && kill "$program" 2>/dev/null
    kill "$xvfb" 2>/dev/null
    wait 2>/dev/null || true
}
trap cleanup EXIT
read -r -t 10 display <&3 || fail "Xvfb did not start"
export DISPLAY=":$display"
VANTRELO_PORTS=/nonexistent/vantrelo-package-test "$scratch/root/usr/bin/vantrelo-relay" \
    >"$scratch/program.log" 2>&1 &
program=$!
timeout 20 xdotool search --sync --onlyvisible --name '串口控制单路继电器板' >/dev/null ||
    fail "the unpacked program showed no window"
kill -0 "$program" || fail "the unpacked program ended"
echo "package ok: $deb"
