#!/bin/bash
# The real program's window under Xvfb with openbox, as the window manager and the user see it.
#   window_frame.sh PROGRAM MODEMSHIM OUTPUT_DIR
program_binary=$1
shim=$2
out=$3
source "$(dirname "$0")/lib.sh"
mkdir -p "$out"
rm -f "$out"/window-*.png

start_display
new_pty pty1
new_pty pty2
log="$scratch/lines.log"
start_program "$program_binary" VANTRELO_PORTS="$pty1:$pty2" LD_PRELOAD="$shim" MODEMSHIM_LOG="$log"

expected_caption='Vantrelo—串口控制单路继电器板   QQ:20061207'
caption=$(xprop -id "$window" -notype _NET_WM_NAME)
[ "$caption" = "_NET_WM_NAME = \"$expected_caption\"" ] || fail "caption: $caption"

read -r width height < <(xwininfo -id "$window" | awk '/Width:/ { w = $2 } /Height:/ { h = $2 } END { print w, h }')
[ "$width x $height" = "421 x 221" ] || fail "client area $width x $height"

# Fixed size: the manager is told it can neither shrink nor grow the window.
hints=$(xprop -id "$window" WM_NORMAL_HINTS)
grep -q ' minimum size: 421 by 221$' <<<"$hints" || fail "minimum size: $hints"
grep -q ' maximum size: 421 by 221$' <<<"$hints" || fail "maximum size: $hints"

# Centred: the client's centre is the screen's, give or take the frame the manager adds.
read -r screen_w screen_h < <(xdotool getdisplaygeometry)
dx=$((origin_x + 421 / 2 - screen_w / 2))
dy=$((origin_y + 221 / 2 - screen_h / 2))
[ "${dx#-}" -le 30 ] && [ "${dy#-}" -le 30 ] || fail "not centred: off by $dx, $dy"

xprop_has -id "$window" _NET_WM_STATE _NET_WM_STATE_SKIP_TASKBAR ||
    fail "taskbar: $(xprop -id "$window" _NET_WM_STATE)"

# The window asks for no minimise or maximise box (openbox draws them anyway).
motif=$(xprop -id "$window" _MOTIF_WM_HINTS | sed 's/.*= //')
functions=$(cut -d, -f2 <<<"$motif")
decorations=$(cut -d, -f3 <<<"$motif")
(( (functions & 0x18) == 0 && (decorations & 0x60) == 0 )) || fail "Motif hints: $motif"

poll 5 shows_greyed "$out/window-closed.png" state xihestate duankai ||
    fail "port closed: $(greyed_mismatch "$out/window-closed.png" state xihestate duankai)"

# The focus is in the port field at start: keys typed before any click edit it. Port 2 is the
# second pty, so its opening proves where the keys went.
focused() { [ "$(xdotool getwindowfocus 2>/dev/null)" = "$window" ]; }
poll 5 focused || fail "the window did not get the focus: $(xdotool getwindowfocus 2>&1)"
xdotool key --clearmodifiers BackSpace type 2
click open_comm
poll 5 grep -q " open $pty2 " "$log" || fail "the typed port number did not reach the field: $(cat "$log" 2>/dev/null)"
grep -q " $pty1 " "$log" && fail "port 1 was touched"
poll 5 shows_greyed "$out/window-open.png" chuankou_num ||
    fail "port open: $(greyed_mismatch "$out/window-open.png" chuankou_num)"
no_message || fail "a message appeared"

# A signal its starter ignores stays ignored, as under nohup: bash starts background jobs
# with SIGINT ignored.
kill -INT "$program"
sleep 0.3
kill -0 "$program" 2>/dev/null || fail "an ignored SIGINT ended the program"

# Ended by a signal, as at logout, the program still lets go of the port on its way out.
kill -TERM "$program"
ended() { ! kill -0 "$program" 2>/dev/null; }
poll 1 ended || fail "still running a second after SIGTERM"
wait "$program" && status=0 || status=$?
[ "$status" -eq 0 ] || fail "exit status $status after SIGTERM"
grep " $pty2 " "$log" | tail -n 1 | grep -q ' close ' || fail "the line was not released on SIGTERM"

# Under a dark colour scheme every enabled text stands out from what is behind it by WCAG's
# 4.5:1, measured in the screenshots' pixels. Disabled texts keep the scheme's grey.
mkdir -p "$scratch/config/qt6ct"
printf '[Appearance]\ncolor_scheme_path=/usr/share/qt6ct/colors/darker.conf\ncustom_palette=true\nstyle=Fusion\n' \
    >"$scratch/config/qt6ct/qt6ct.conf"
start_program "$program_binary" VANTRELO_PORTS="$pty1" LD_PRELOAD="$shim" MODEMSHIM_LOG="$log" \
    QT_QPA_PLATFORMTHEME=qt6ct XDG_CONFIG_HOME="$scratch/config"
figures=()
# readable FILE CONTROL...: each control's text has the contrast it needs.
readable() {
    local file=$1 name ratio
    shift
    for name in "$@"; do
        ratio=$(contrast "$file" "$name")
        figures+=("$name $ratio")
        awk "BEGIN { exit !($ratio >= 4.5) }" || fail "dark scheme: $name's text is $ratio:1 (see $file)"
    done
}
screenshot "$out/window-dark-closed.png"
[ "$(/usr/bin/convert "$out/window-dark-closed.png" -colorspace Gray -format '%[fx:mean < 0.3]' info:)" = 1 ] ||
    fail "the dark scheme did not take (see $out/window-dark-closed.png)"
readable "$out/window-dark-closed.png" Label3 Label4 open_comm
# The field's text is measured without its blinking caret.
xdotool key --clearmodifiers Tab
sleep 0.3
screenshot "$out/window-dark-field.png"
readable "$out/window-dark-field.png" chuankou_num
click open_comm
poll 5 grep -q " open $pty1 " "$log" || fail "dark scheme: the port did not open"
click xihestate
pulled_in() { grep " $pty1 " "$log" | tail -n 1 | grep -q ' RTS=1 '; }
poll 5 pulled_in || fail "dark scheme: the relay was not pulled in: $(grep " $pty1 " "$log" | tail -n 1)"
sleep 0.3
screenshot "$out/window-dark-open.png"
readable "$out/window-dark-open.png" state xihestate duankai
echo "dark scheme contrast: ${figures[*]}"
echo "window frame ok"
