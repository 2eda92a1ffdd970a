#!/bin/bash
# The real program in a Wayland session, under weston with Xwayland: with an X server at hand it
# runs on X11, where the window manager frames it as designed; with Wayland alone it draws its
# own title bar, which must still hold the whole caption and the icon, on a window of fixed size.
#   wayland.sh PROGRAM QT_PLUGIN_DIR OUTPUT_DIR
# Screenshots of both sessions are left in OUTPUT_DIR.
program_binary=$1
qt_plugins=$2
out=$3
source "$(dirname "$0")/lib.sh"
for tool in weston Xwayland weston-screenshooter; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed" >&2; exit 77; }
done
[ -f "$qt_plugins/platforms/libqwayland-generic.so" ] ||
    { echo "SKIP: Qt's Wayland plugin is not installed" >&2; exit 77; }
mkdir -p "$out"
rm -f "$out"/wayland-*.png

caption='Vantrelo—串口控制单路继电器板   QQ:20061207'
export XDG_RUNTIME_DIR="$scratch/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
export WAYLAND_DISPLAY=vantrelo-test
# A session of the user's own would name its type; Qt reads it to choose.
export XDG_SESSION_TYPE=wayland
unset DISPLAY QT_QPA_PLATFORM

# Pixman renders into memory, so screenshots show what a screen would.
weston --backend=headless-backend.so --use-pixman --width=1024 --height=768 --no-config \
    --xwayland --socket="$WAYLAND_DISPLAY" --debug --idle-time=0 \
    >"$scratch/weston.log" 2>&1 </dev/null &
pids+=($!)
poll 10 grep -q 'xserver listening on display' "$scratch/weston.log" ||
    fail "weston did not start: $(cat "$scratch/weston.log")"
x_display=$(sed -n 's/.*xserver listening on display \(:[0-9]*\).*/\1/p' "$scratch/weston.log" | head -n 1)

# shoot FILE: the whole output as weston composes it.
shoot() {
    rm -f "$scratch"/wayland-screenshot-*.png
    (cd "$scratch" && weston-screenshooter >/dev/null 2>&1) || return 1
    mv "$scratch"/wayland-screenshot-*.png "$1"
}

stop_program() {
    kill "$program" 2>/dev/null || true
    wait "$program" 2>/dev/null || true
}

# Wayland alone: the protocol log shows what the window asks of the compositor.
env WAYLAND_DEBUG=client VANTRELO_PORTS=/nonexistent/vantrelo-test-port "$program_binary" \
    >"$scratch/program.log" 2>"$scratch/protocol.log" </dev/null &
program=$!
pids+=("$program")
# libwayland 1.23 writes an object as #N, earlier ones as @N.
requested() { grep -Eq 'xdg_toplevel[@#][0-9]+\.set_title\("Vantrelo' "$scratch/protocol.log"; }
poll 20 requested || fail "no Wayland window: $(tail -n 20 "$scratch/protocol.log")"
grep -Fq "set_title(\"$caption\")" "$scratch/protocol.log" ||
    fail "caption on Wayland: $(grep -o 'set_title(.*)' "$scratch/protocol.log")"
grep -q 'set_app_id("vantrelo-relay")' "$scratch/protocol.log" ||
    fail "the desktop cannot find the icon and menu entry: $(grep -o 'set_app_id(.*)' "$scratch/protocol.log")"
minimum=$(grep -o 'set_min_size([0-9, ]*)' "$scratch/protocol.log" | tail -n 1 | tr -dc '0-9,')
maximum=$(grep -o 'set_max_size([0-9, ]*)' "$scratch/protocol.log" | tail -n 1 | tr -dc '0-9,')
[ -n "$minimum" ] && [ "$minimum" = "$maximum" ] && [ "$minimum" != "0,0" ] ||
    fail "not a fixed size: minimum ($minimum), maximum ($maximum)"

# The window's light grey, decoration included, stands out from weston's darker desktop.
window_box() {
    shoot "$out/wayland-only.png" &&
        box=$(/usr/bin/convert "$out/wayland-only.png" -fill black +opaque '#efefef' -trim \
            -format '%w %h %X %Y' info: 2>/dev/null) &&
        read -r box_w box_h box_x box_y <<<"$box" && ((box_w > 400 && box_w < 450 && box_h > 200))
}
poll 10 window_box || fail "the window is not on screen: ${box:-}"
box_x=${box_x#+} box_y=${box_y#+}

# Qt's title bar holds the icon 8 to 30 pixels from the left, and the caption between 35 pixels
# from the left and the minimise button 77 from the right; anything beyond is clipped. A cut
# caption has ink on the clip's edge, a whole one a margin of background on either side.
left=35 right=$((box_w - 77))
ink=$(/usr/bin/convert "$out/wayland-only.png" -crop $((right - left))x16+$((box_x + left))+$((box_y + 7)) \
    +repage -colorspace Gray -threshold 85% -negate -scale $((right - left))x1! txt:- |
    awk -F'[,:]' 'NR > 1 && $0 !~ /gray\(0\)|#000000/ { if (first == "") first = $1; last = $1 }
        END { print first, last }')
read -r first last <<<"$ink"
[ -n "$first" ] || fail "no caption in the title bar"
((last - first > 200)) || fail "the caption is only $((last - first)) pixels wide"
((first >= 3 && last <= right - left - 4)) ||
    fail "caption clipped: ink from $first to $last of $((right - left)) pixels"
yellow=$(/usr/bin/convert "$out/wayland-only.png" -crop 22x22+$((box_x + 8))+$((box_y + 4)) +repage \
    -fuzz 20% -fill white -opaque yellow -fill black +opaque white -format '%[fx:mean]' info:)
awk "BEGIN { exit !($yellow > 0.2) }" || fail "no icon in the title bar ($yellow)"
kill -0 "$program" || fail "the program ended"
stop_program

# Both servers at hand: the window must appear on the X display.
env DISPLAY="$x_display" VANTRELO_PORTS=/nonexistent/vantrelo-test-port "$program_binary" \
    >"$scratch/program.log" 2>&1 </dev/null &
program=$!
pids+=("$program")
window=$(DISPLAY=$x_display timeout 20 xdotool search --sync --onlyvisible --name '串口控制单路继电器板' |
    head -n 1) || fail "no window on the X display of the Wayland session"
[ "$(DISPLAY=$x_display xprop -id "$window" -notype _NET_WM_NAME)" = "_NET_WM_NAME = \"$caption\"" ] ||
    fail "caption on X11: $(DISPLAY=$x_display xprop -id "$window" _NET_WM_NAME)"
sleep 0.5
shoot "$out/wayland-xwayland.png" || fail "no screenshot of the Xwayland session"
stop_program
echo "wayland ok"
