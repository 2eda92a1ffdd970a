# Shared by the X11 tests: a display of their own with a real window manager, pseudo-terminals,
# the program, and the controls' places on screen. Sourced, not run.
set -euo pipefail

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Everything started here is stopped on exit, whatever way the test ends.
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT

scratch=$(mktemp -d)

start_display() {
    exec 3<> <(:)
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >"$scratch/xvfb.log" 2>&1 </dev/null &
    pids+=($!)
    local display
    read -r -t 10 display <&3 || fail "Xvfb did not start"
    export DISPLAY=":$display"
    openbox --sm-disable >"$scratch/openbox.log" 2>&1 </dev/null &
    pids+=($!)
    # openbox owns the WM selection once it manages windows.
    for _ in $(seq 100); do
        xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && return 0
        sleep 0.05
    done
    fail "openbox did not start"
}

# new_pty VAR: a new pty whose master stays open until the test ends; its slave path goes
# into VAR.
new_pty() {
    local file="$scratch/pty.$RANDOM"
    python3 -c 'import os, sys, time
master, slave = os.openpty()
print(os.ttyname(slave), flush=True)
os.close(slave)
time.sleep(3600)' >"$file" 2>/dev/null </dev/null &
    pids+=($!)
    for _ in $(seq 100); do
        if [ -s "$file" ]; then
            printf -v "$1" '%s' "$(cat "$file")"
            return 0
        fi
        sleep 0.05
    done
    fail "no pty"
}

# start_program BINARY [ENV=VALUE...]: sets $program (pid) and $window (client window id).
start_program() {
    local binary=$1
    shift
    env "$@" "$binary" >"$scratch/program.log" 2>&1 </dev/null &
    program=$!
    pids+=("$program")
    window=$(timeout 15 xdotool search --sync --onlyvisible --name '串口控制单路继电器板' | head -n 1) ||
        fail "no window; program said: $(cat "$scratch/program.log")"
    # Wait until openbox has framed and placed it.
    for _ in $(seq 100); do
        xprop -id "$window" _NET_FRAME_EXTENTS 2>/dev/null | grep -q '=' && break
        sleep 0.05
    done
    client_origin
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

# screenshot FILE: the client area as the user sees it.
screenshot() {
    /usr/bin/import -window "$window" "$1"
}

# darkest FILE CONTROL: the darkest grey level (0 black .. 1 white) inside a control, a few
# pixels in from its edge so that frames and borders don't count. Black text: enabled.
darkest() {
    local x y w h inset=5
    read -r x y w h <<<"${control[$2]}"
    /usr/bin/convert "$1" -crop $((w - 2 * inset))x$((h - 2 * inset))+$((x + inset))+$((y + inset)) +repage \
        -colorspace Gray -format '%[fx:minima]' info:
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

# Waits for a message box (titled with the program's name) and returns its window id.
wait_message() {
    local box
    box=$(timeout 10 xdotool search --sync --onlyvisible --name "^vantrelo-relay$" | head -n 1)
    [ -n "$box" ] && echo "$box"
}

# Answers a message box with Return, as a user would, and waits until it is gone.
answer_message() {
    local box=$1
    xdotool windowactivate --sync "$box" key --clearmodifiers Return
    for _ in $(seq 100); do
        xdotool search --onlyvisible --name '^vantrelo-relay$' >/dev/null 2>&1 || return 0
        sleep 0.05
    done
    fail "the message did not go away"
}

no_message() {
    ! xdotool search --onlyvisible --name '^vantrelo-relay$' >/dev/null 2>&1
}
