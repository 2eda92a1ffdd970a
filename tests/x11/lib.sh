# Shared by the X11 tests: a display of their own with a real window manager, pseudo-terminals,
# the program, the controls' places on screen and what a screenshot of them shows. Sourced, not
# run.
set -euo pipefail

# xprop prints the caption's characters only in a UTF-8 locale; elsewhere it escapes them.
export LC_ALL=C.UTF-8

fail() {
    echo "FAIL: $*" >&2
    [ -n "${scratch:-}" ] && [ -s "$scratch/program.log" ] && sed 's/^/program: /' "$scratch/program.log" >&2
    exit 1
}

# Without these there is nothing to test with; ctest reports the test as skipped.
for tool in Xvfb openbox xdotool xprop xwininfo python3 dbus-daemon /usr/bin/import /usr/bin/convert /usr/bin/compare; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed" >&2; exit 77; }
done

# Everything started here is stopped on exit, whatever way the test ends; the program first,
# so it does not die of a vanished display while the test is being torn down.
pids=()
cleanup() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT

scratch=$(mktemp -d)

start_display() {
    # Xvfb picks a free display number itself and writes it to the pipe.
    mkfifo "$scratch/displayfd"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$scratch/displayfd" \
        >"$scratch/xvfb.log" 2>&1 </dev/null &
    pids+=($!)
    local display
    read -r -t 10 display <"$scratch/displayfd" || fail "Xvfb did not start: $(cat "$scratch/xvfb.log")"
    export DISPLAY=":$display"
    openbox --sm-disable >"$scratch/openbox.log" 2>&1 </dev/null &
    pids+=($!)
    # openbox sets the root's supporting-WM property once it manages windows.
    poll 5 xprop_has -root _NET_SUPPORTING_WM_CHECK 'window id' || fail "openbox did not start"
}

# A session bus of the test's own, with the AT-SPI bus a desktop starts for screen readers, and
# what a screen reader learns of the program started next in $atspi (see atspi_events.py).
start_screen_reader() {
    /usr/bin/python3 -c 'import pyatspi' 2>/dev/null || { echo "SKIP: no pyatspi" >&2; exit 77; }
    dbus-daemon --session --nofork --print-address=4 4>"$scratch/bus" >/dev/null 2>&1 </dev/null &
    pids+=($!)
    poll 5 test -s "$scratch/bus" || fail "no session bus"
    DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$scratch/bus")
    export DBUS_SESSION_BUS_ADDRESS QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
    atspi="$scratch/atspi.log"
    /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/atspi_events.py" vantrelo-relay >"$atspi" 2>&1 </dev/null &
    pids+=($!)
    # Orca itself, in Chinese, with a home of its own; the speech-dispatcher it starts speaks into
    # libao's null device. Its debug log holds all it sends to speech (see orca_said).
    command -v orca >/dev/null || { echo "SKIP: orca is not installed" >&2; exit 77; }
    local home="$scratch/home"
    mkdir -p -m 700 "$home/.config/speech-dispatcher" "$scratch/runtime"
    echo 'AudioOutputMethod "libao"' >"$home/.config/speech-dispatcher/speechd.conf"
    echo default_driver=null >"$home/.libao"
    # The laptop layout, whose commands leave the keypad to the program (Orca 43 and 48 alike).
    mkdir -p "$home/.local/share/orca"
    echo '{"general": {"keyboardLayout": 2}, "pronunciations": {}, "keybindings": {},
        "profiles": {"default": {"profile": ["Default", "default"], "keyboardLayout": 2}}}' \
        >"$home/.local/share/orca/user-settings.conf"
    localedef -i zh_CN -f UTF-8 "$scratch/zh_CN.UTF-8" || fail "no zh_CN.UTF-8 locale for Orca"
    orca_log="$scratch/orca.log"
    # Run by its interpreter, so that it neither sees nor is seen by another test's Orca (it
    # refuses to start beside a process named orca), with its log written line by line.
    env HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$scratch/runtime" \
        LOCPATH="$scratch" LC_ALL=zh_CN.UTF-8 LANG=zh_CN.UTF-8 /usr/bin/python3 -c 'import builtins, runpy, sys
opened, log = builtins.open, sys.argv.pop()
builtins.open = lambda file, *rest, **named: opened(file, "w", 1) if file == log else opened(file, *rest, **named)
sys.argv = [sys.argv[1], "--debug-file", log]
runpy.run_path(sys.argv[0], run_name="__main__")' "$(command -v orca)" "$orca_log" >"$scratch/orca.out" 2>&1 </dev/null &
    pids+=($!)
    # Orca 43 and Orca 47/48 mark the end of their start differently.
    poll 30 grep -aqE 'ORCA: (Startup complete|Starting Atspi main event loop)' "$orca_log" ||
        { echo "SKIP: Orca did not start: $(tail -n 5 "$scratch/orca.out")" >&2; exit 77; }
}

# orca_said [BYTE]: what Orca sent to speech since byte BYTE of its log, one utterance a line.
orca_said() {
    tail -c +$((${1:-0} + 1)) "$orca_log" |
        grep -azoP "(?s)SPEECH OUTPUT: '\K.*?(?= ?' ?(voice=\S+ ?)?(\{|\[|None|\n))" | tr '\n\0' ' \n'
}

# poll SECONDS COMMAND...: until the command succeeds; false if it never did.
poll() {
    local deadline=$((${EPOCHREALTIME/./} + $1 * 1000000))
    shift
    until "$@"; do
        [ "${EPOCHREALTIME/./}" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

# xprop_has [xprop args...] PROPERTY PATTERN
xprop_has() {
    local pattern=${*: -1}
    xprop "${@:1:$#-1}" 2>/dev/null | grep -q -- "$pattern"
}

# new_pty VAR: a new pty whose master stays open until the test ends; its slave path goes
# into VAR.
new_pty() {
    local file="$scratch/pty.$RANDOM"
    python3 -c 'import os, time
master, slave = os.openpty()
print(os.ttyname(slave), flush=True)
os.close(slave)
time.sleep(3600)' >"$file" 2>/dev/null </dev/null &
    pids+=($!)
    poll 5 test -s "$file" || fail "no pty"
    printf -v "$1" '%s' "$(cat "$file")"
}

# start_ser2net DEVICE: ser2net serving DEVICE on 127.0.0.1:$served_port as the README sets it
# up, with the keeper connection (descriptor 8) holding the device open; its lines follow the
# modem-line library $shim (as on Linux) into $log. In a mount namespace where /dev/console is
# /dev/null: without a syslog daemon it would write to the machine's console.
start_ser2net() {
    served_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    env -u MODEMSHIM_WINDOWS LD_PRELOAD="$shim" MODEMSHIM_LOG="$log" unshare --mount \
        --propagation private sh -c 'mount --bind /dev/null /dev/console && exec ser2net -n -d -u -Y "$0"' \
        "connection: &relay#  accepter: telnet(rfc2217),tcp,127.0.0.1,$served_port#  options:#\
    kickolduser: false#    max-connections: 2#  connector: serialdev,$1,9600n81,local,rts=off,dtr=off" \
        >/dev/null 2>&1 </dev/null &
    pids+=($!)
    listening() { grep -q ":$(printf %04X "$served_port") 00000000:0000 0A" /proc/net/tcp; }
    poll 5 listening || fail "ser2net did not start"
    exec 8<>"/dev/tcp/127.0.0.1/$served_port"
    printf '\xff\xfb\x2c' >&8
    poll 5 rts_served "$1" 0 || fail "ser2net did not open $1 for the keeper"
}
# rts_served DEVICE LEVEL: whether ser2net last set RTS on DEVICE to LEVEL.
rts_served() { grep " $1 " "$log" 2>/dev/null | tail -n 1 | grep -q " set .* RTS=$2 "; }

# open_served_and_pull_in COUNT: clicks 打开串口 on the port ser2net serves from $served, which
# must open with the line still at the COUNT events it had, then 吸合, which must pull it in.
open_served_and_pull_in() {
    click open_comm
    sleep 1
    no_message && [ "$(grep -c " $served " "$log")" -eq "$1" ] ||
        fail "served: opening failed or moved the line: $(tail -n 1 "$log")"
    click xihestate
    poll 5 rts_served "$served" 1 || fail "served: 吸合 did not pull in: $(tail -n 1 "$log")"
}

# start_program BINARY [ENV=VALUE...]: sets $program (pid), $window (client window id) and the
# client area's screen position.
start_program() {
    local binary=$1
    shift
    mkdir -p -m 700 "$scratch/runtime"
    env "$@" XDG_RUNTIME_DIR="$scratch/runtime" "$binary" >"$scratch/program.log" 2>&1 </dev/null &
    program=$!
    pids+=("$program")
    window=$(timeout 15 xdotool search --sync --onlyvisible --name '串口控制单路继电器板' | head -n 1) ||
        fail "no window"
    # The position is final once openbox has framed the window.
    poll 5 xprop_has -id "$window" _NET_FRAME_EXTENTS '=' || fail "openbox did not frame the window"
    client_origin
    # Nothing can be judged from a screenshot before the first paint.
    poll 5 painted || fail "the window was never painted"
}

# An unpainted window is all black; a painted one has dark and light pixels, whichever the
# colour scheme draws in which.
painted() {
    screenshot "$scratch/first-paint.png" &&
        [ "$(/usr/bin/convert "$scratch/first-paint.png" \
            -colorspace Gray -format '%[fx:minima < 0.2 && maxima > 0.8]' info:)" = 1 ]
}

# Screen position of the client area's top-left corner: $origin_x, $origin_y.
client_origin() {
    origin_x=$(xwininfo -id "$window" | awk '/Absolute upper-left X/ { print $4 }')
    origin_y=$(xwininfo -id "$window" | awk '/Absolute upper-left Y/ { print $4 }')
}

# Each control's rectangle in the client area: x y width height.
declare -A control=(
    [Label3]="8 8 89 25"
    [chuankou_num]="112 8 33 25"
    [open_comm]="256 8 97 25"
    [Label4]="56 80 129 25"
    [state]="224 80 129 25"
    [xihestate]="32 136 121 65"
    [duankai]="224 136 121 65"
)
all_controls="Label3 chuankou_num open_comm Label4 state xihestate duankai"

# A real pointer click at a place in the client area.
click_at() {
    local x=$((origin_x + $1)) y=$((origin_y + $2))
    # mousemove --sync waits for a motion event, and there is none when the pointer is there.
    if [ "$(xdotool getmouselocation --shell | head -n 2 | tr '\n' ' ')" = "X=$x Y=$y " ]; then
        xdotool click 1
    else
        xdotool mousemove --sync "$x" "$y" click 1
    fi
}

# A real pointer click in the middle of a control.
click() {
    local x y w h
    read -r x y w h <<<"${control[$1]}"
    click_at $((x + w / 2)) $((y + h / 2))
}

# screenshot FILE [WINDOW]: a window's client area as the user sees it.
screenshot() {
    /usr/bin/import -window "${2:-$window}" "$1" 2>/dev/null
}

# darkest FILE CONTROL: the darkest level of any colour channel (0 black .. 1 white) inside a
# control, a few pixels in from its edge so that frames and borders don't count. The text is
# black when the control is enabled and mid-grey (about 0.75) when it is disabled; a selection
# in the port field is white on a saturated blue, which has one dark channel.
darkest() {
    local x y w h inset=5
    read -r x y w h <<<"${control[$2]}"
    /usr/bin/convert "$1" -crop $((w - 2 * inset))x$((h - 2 * inset))+$((x + inset))+$((y + inset)) +repage \
        -separate -evaluate-sequence min -format '%[fx:minima]' info:
}

greyed() {
    awk "BEGIN { exit !($(darkest "$1" "$2") > 0.4) }"
}

# greyed_mismatch FILE GREYED...: names the controls that are not shown as expected (exactly the
# listed ones greyed); prints nothing when all are.
greyed_mismatch() {
    local file=$1 name wanted
    shift
    for name in $all_controls; do
        wanted=no
        [[ " $* " == *" $name "* ]] && wanted=yes
        if greyed "$file" "$name"; then
            [ "$wanted" = yes ] || echo -n "$name is greyed ($(darkest "$file" "$name")); "
        else
            [ "$wanted" = no ] || echo -n "$name is not greyed ($(darkest "$file" "$name")); "
        fi
    done
}

# contrast FILE CONTROL: WCAG's contrast ratio between a control's text and what is behind it,
# from the pixels a few in from its edge: the commonest colour is taken as the background and
# the pixel that stands out most from it as the text.
contrast() {
    local x y w h inset=5
    read -r x y w h <<<"${control[$2]}"
    /usr/bin/convert "$1" -crop $((w - 2 * inset))x$((h - 2 * inset))+$((x + inset))+$((y + inset)) +repage \
        -depth 8 -compress none ppm:- | python3 -c '
import collections, sys
tokens = sys.stdin.read().split()
top, values = int(tokens[3]), list(map(int, tokens[4:]))
pixels = [tuple(values[i:i + 3]) for i in range(0, len(values), 3)]
def luminance(pixel):
    def linear(c):
        c /= top
        return c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4
    r, g, b = map(linear, pixel)
    return 0.2126 * r + 0.7152 * g + 0.0722 * b
back = luminance(collections.Counter(pixels).most_common(1)[0][0])
print("%.1f" % max((max(luminance(p), back) + 0.05) / (min(luminance(p), back) + 0.05) for p in set(pixels)))'
}

# crop FILE CONTROL OUT: one control's pixels, to compare renderings.
crop() {
    local x y w h
    read -r x y w h <<<"${control[$2]}"
    /usr/bin/convert "$1" -crop "${w}x${h}+${x}+${y}" +repage "$3"
}

# same_pixels A B: true when two images are identical.
same_pixels() {
    [ "$(/usr/bin/compare -metric AE "$1" "$2" null: 2>&1)" = "0" ]
}

message_title='^串口继电器控制$'

messages() {
    xdotool search --onlyvisible --name "$message_title" 2>/dev/null || true
}

no_message() {
    [ -z "$(messages)" ]
}

# wait_message: waits for the program's one message box and prints its window id. It must be a
# modal dialog over the main window, so the window cannot be used behind it.
wait_message() {
    local box count
    box=$(timeout 10 xdotool search --sync --onlyvisible --name "$message_title" | head -n 1) ||
        fail "no message box"
    poll 5 xprop_has -id "$box" _NET_WM_STATE _NET_WM_STATE_MODAL ||
        fail "the message box is not modal: $(xprop -id "$box" _NET_WM_STATE)"
    xprop_has -id "$box" _NET_WM_WINDOW_TYPE _NET_WM_WINDOW_TYPE_DIALOG ||
        fail "the message box is not a dialog: $(xprop -id "$box" _NET_WM_WINDOW_TYPE)"
    [ "$(xprop -id "$box" WM_TRANSIENT_FOR | awk '{ print $NF }')" = "$(printf '0x%x' "$window")" ] ||
        fail "the message box does not belong to the window: $(xprop -id "$box" WM_TRANSIENT_FOR)"
    count=$(messages | wc -l)
    [ "$count" -eq 1 ] || fail "$count message boxes at once"
    echo "$box"
}

# shoot_message BOX FILE: a screenshot of a message box once it has been painted.
shoot_message() {
    local box=$1 file=$2
    message_painted() {
        screenshot "$file" "$box" &&
            [ "$(/usr/bin/convert "$file" -colorspace Gray -format '%[fx:minima < 0.2 && maxima > 0.8]' info:)" = 1 ]
    }
    poll 5 message_painted || fail "the message box was never painted"
}

# Answers a message box with Return, as a user would, and waits until it is gone.
answer_message() {
    local box=$1
    xdotool windowactivate --sync "$box" key --clearmodifiers Return
    poll 5 no_message || fail "the message did not go away"
}

# shows_greyed FILE GREYED...: takes a screenshot into FILE; true when exactly the listed
# controls are greyed in it.
shows_greyed() {
    local file=$1
    shift
    screenshot "$file" && [ -z "$(greyed_mismatch "$file" "$@")" ]
}
