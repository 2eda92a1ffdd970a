#!/bin/bash
# The real program's window under Xvfb with openbox, as the window manager sees it.
#   window_frame.sh PROGRAM MODEMSHIM OUTPUT_DIR
program_binary=$1
shim=$2
out=$3
source "$(dirname "$0")/lib.sh"
mkdir -p "$out"

start_display
new_pty pty1
new_pty pty2
log="$scratch/lines.log"
start_program "$program_binary" VANTRELO_PORTS="$pty1:$pty2" LD_PRELOAD="$shim" MODEMSHIM_LOG="$log"

caption=$(xprop -id "$window" -notype _NET_WM_NAME | sed -e 's/^_NET_WM_NAME = "//' -e 's/"$//')
[[ "$caption" =~ ^Vantrelo—串口控制单路继电器板\ \ \ QQ:[0-9]+$ ]] || fail "caption: '$caption'"

read -r width height < <(xwininfo -id "$window" | awk '/Width:/ { w = $2 } /Height:/ { h = $2 } END { print w, h }')
[ "$width x $height" = "421 x 221" ] || fail "client area $width x $height"

hints=$(xprop -id "$window" WM_NORMAL_HINTS)
grep -q 'program specified minimum size: 421 by 221' <<<"$hints" || fail "minimum size: $hints"
grep -q 'program specified maximum size: 421 by 221' <<<"$hints" || fail "maximum size: $hints"

# Centred: the client's centre is the screen's, give or take the frame the manager adds.
read -r screen_w screen_h < <(xdotool getdisplaygeometry)
dx=$((origin_x + 421 / 2 - screen_w / 2))
dy=$((origin_y + 221 / 2 - screen_h / 2))
[ "${dx#-}" -le 30 ] && [ "${dy#-}" -le 30 ] || fail "not centred: off by $dx, $dy"

xprop -id "$window" _NET_WM_STATE | grep -q '_NET_WM_STATE_SKIP_TASKBAR' ||
    fail "taskbar: $(xprop -id "$window" _NET_WM_STATE)"

# No window of ours asks for a minimise or maximise box (the manager may draw them anyway).
motif=$(xprop -id "$window" _MOTIF_WM_HINTS | sed 's/.*= //')
functions=$(cut -d, -f2 <<<"$motif")
decorations=$(cut -d, -f3 <<<"$motif")
(( (functions & 0x18) == 0 && (decorations & 0x60) == 0 )) || fail "Motif hints: $motif"

screenshot "$out/window-closed.png"

# The focus is in the port field at start: keys typed right away edit it. Port 2 is the
# second pty, so it opening proves where the keys went.
xdotool key --clearmodifiers BackSpace type 2
click open_comm
for _ in $(seq 100); do grep -q "open $pty2 " "$log" 2>/dev/null && break; sleep 0.05; done
grep -q "open $pty2 " "$log" || fail "typed port number did not reach the field: $(cat "$log" 2>/dev/null)"
no_message || fail "a message appeared"
sleep 0.3
screenshot "$out/window-open.png"
echo "window frame ok"
