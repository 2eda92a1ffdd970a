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
./usr/share/doc/vantrelo-relay/changelog.gz
./usr/share/doc/vantrelo-relay/copyright
./usr/share/icons/hicolor/128x128/apps/vantrelo-relay.png
./usr/share/icons/hicolor/16x16/apps/vantrelo-relay.png
./usr/share/icons/hicolor/256x256/apps/vantrelo-relay.png
./usr/share/icons/hicolor/32x32/apps/vantrelo-relay.png
./usr/share/icons/hicolor/48x48/apps/vantrelo-relay.png
./usr/share/icons/hicolor/64x64/apps/vantrelo-relay.png
./usr/share/icons/hicolor/scalable/apps/vantrelo-relay.svg
./usr/share/man/man1/vantrelo-relay.1.gz
./usr/share/man/zh_CN/man1/vantrelo-relay.1.gz
./usr/share/metainfo/io.github.vantrelo.relay.metainfo.xml"
actual=$(cd "$scratch/root" && find . -type f | sort)
[ "$actual" = "$expected" ] || fail "file list differs:"$'\n'"$(diff <(echo "$expected") <(echo "$actual"))"

desktop-file-validate "$scratch/root/usr/share/applications/vantrelo-relay.desktop" ||
    fail "desktop file"
# Two notes are let through, and nothing else: Debian 12's AppStream 0.16 predates the developer
# tag that 1.0 asks for, and 1.0 wants a homepage, which the project does not have yet (lintian
# reports that warning as a failed validation, so its tag is left to the line here).
metainfo=$(appstreamcli validate --no-net "$scratch/root/usr/share/metainfo/io.github.vantrelo.relay.metainfo.xml" |
    grep '^[EWI]:' | grep -v 'url-homepage-missing\|unknown-tag developer' || true)
[ -z "$metainfo" ] || fail "metainfo: $metainfo"
for size in 16 32 48 64 128 256; do
    file "$scratch/root/usr/share/icons/hicolor/${size}x${size}/apps/vantrelo-relay.png" |
        grep -q "PNG image data, $size x $size" || fail "icon $size"
done
file "$scratch/root/usr/share/icons/hicolor/scalable/apps/vantrelo-relay.svg" | grep -q SVG ||
    fail "scalable icon"

# Manual pages: parsable, with a NAME line for whatis, and without groff's complaints.
for page in man1 zh_CN/man1; do
    page="$scratch/root/usr/share/man/$page/vantrelo-relay.1.gz"
    lexgrog "$page" | grep -q ': "vantrelo-relay - .' || fail "no NAME in $page: $(lexgrog "$page")"
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$page: $warnings"
    # groff makes a space of every source line break, and Chinese has none between words.
    spaced=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null | grep -P '[\p{Han}，。；：] +[\p{Han}，。；：]' || true)
    [ -z "$spaced" ] || fail "$page: a space inside a Chinese sentence:"$'\n'"$spaced"
done

depends=$(dpkg-deb -f "$deb" Depends)
for needed in fonts-noto-cjk qt6-translations-l10n libqt6gui6 libqt6widgets6 libc6; do
    grep -q "\b$needed\b" <<<"$depends" || fail "Depends lacks $needed: $depends"
done
[ "$(dpkg-deb -f "$deb" Version)" = "1.00" ] || fail "version"

# Debian's policy checker, down to its pedantic and informational tags: among them the program's
# hardening (fortified calls, stack protector, immediate binding) and sections dh_strip removes.
homepage=appstream-metadata-validation-failed # Debian 13's lintian only
lintian-explain-tags --list-tags | grep -x "$homepage" >/dev/null || homepage=
lintian --pedantic -I --fail-on error,warning,info,pedantic ${homepage:+--suppress-tags "$homepage"} \
    "$deb" >"$scratch/lintian.log" 2>&1 ||
    fail "lintian:"$'\n'"$(cat "$scratch/lintian.log")"
# The udev rule reaches boards plugged in already, at installing and at removing.
dpkg-deb -e "$deb" "$scratch/control"
[ "$(grep -l 'udevadm trigger --subsystem-match=tty' "$scratch"/control/post* | wc -l)" = 2 ] ||
    fail "postinst and postrm should trigger udev: $(ls "$scratch/control")"

# Usage and version without a display; an unknown option is refused before any window.
binary="$scratch/root/usr/bin/vantrelo-relay"
[ "$(env -u DISPLAY "$binary" --version; env -u DISPLAY "$binary" --help | grep -c 'VANTRELO_PORTS\|man vantrelo-relay')" = \
    "vantrelo-relay 1.00"$'\n'2 ] || fail "--version and --help: $("$binary" --help 2>&1)"

# The unpacked binary, on a display of its own; it must not reach for any real port.
source "$(dirname "$0")/display.sh"
trap stop_display EXIT
start_display
status=0
"$binary" --no-such-option 2>"$scratch/refused.log" || status=$?
[ "$status" -eq 2 ] && grep -q -- --no-such-option "$scratch/refused.log" ||
    fail "an unknown option: status $status, $(cat "$scratch/refused.log")"
VANTRELO_PORTS=/nonexistent/vantrelo-package-test "$binary" \
    >"$scratch/program.log" 2>&1 &
program=$!
# In the caller's locale, whatever it is: without a UTF-8 one the window's WM_NAME could be
# mojibake that xdotool and older window managers cannot match.
timeout 20 xdotool search --sync --onlyvisible --name '串口控制单路继电器板' >/dev/null ||
    fail "the unpacked program showed no window"
kill -0 "$program" || fail "the unpacked program ended"
echo "package ok: $deb"
