#!/bin/bash
# A person at the bench, with real pointer clicks on the real program: open, pull in, release,
# close, open again, then the faults. After each step the line's recorded RTS level and, from a
# screenshot, which controls are greyed.
#   relay_clicks.sh PROGRAM MODEMSHIM OUTPUT_DIR
program_binary=$1
shim=$2
out=$3
source "$(dirname "$0")/lib.sh"
mkdir -p "$out"

start_display
new_pty pty
log="$scratch/lines.log"
eio="$scratch/unplugged"
start_program "$program_binary" VANTRELO_PORTS="$pty" LD_PRELOAD="$shim" MODEMSHIM_LOG="$log" \
    MODEMSHIM_EIO="$eio"

events() { grep -c " $pty " "$log" 2>/dev/null || echo 0; }
last_event() { grep " $pty " "$log" | tail -n 1; }

# wait_events N: until the line has seen N events in all.
wait_events() {
    for _ in $(seq 100); do
        [ "$(events)" -ge "$1" ] && return 0
        sleep 0.02
    done
    fail "the line saw $(events) events, not $1: $(cat "$log" 2>/dev/null)"
}

# expect_greyed STEP CONTROL... : exactly these controls show greyed text, from a screenshot.
# The label and buttons are drawn after the click is handled; give the paint a moment.
expect_greyed() {
    local step=$1 shot="$out/step-$1.png" name level greyed
    shift
    sleep 0.2
    screenshot "$shot"
    for name in chuankou_num open_comm state xihestate duankai; do
        level=$(darkest "$shot" "$name")
        greyed=no
        awk "BEGIN { exit !($level > 0.4) }" && greyed=yes
        if [[ " $* " == *" $name "* ]]; then
            [ "$greyed" = yes ] || fail "$step: $name should be greyed (darkest $level)"
        else
            [ "$greyed" = no ] || fail "$step: $name should not be greyed (darkest $level)"
        fi
    done
}

# step NAME CONTROL EVENTS 'LAST EVENT PATTERN' GREYED...
step() {
    local name=$1 target=$2 count=$3 pattern=$4
    shift 4
    click "$target"
    wait_events "$count"
    [[ "$(last_event)" =~ $pattern ]] || fail "$name: line says '$(last_event)', expected /$pattern/"
    no_message || fail "$name: unexpected message"
    expect_greyed "$name" "$@"
}

expect_greyed 1-start state xihestate duankai
[ "$(events)" -eq 0 ] || fail "the line was touched before any click"

#    name            control      events  last event on the line   greyed afterwards
step 2-open          open_comm    2       ' set .* RTS=0 DTR=1$'   chuankou_num
grep " $pty " "$log" | head -n 1 | grep -q ' open ' || fail "first event is not the opening"
screenshot "$out/state-unknown-enabled.png"
crop "$out/state-unknown-enabled.png" state "$scratch/state-unknown.png"
step 3-pull-in       xihestate    3       ' set .* RTS=1 DTR=1$'   chuankou_num
crop "$out/step-3-pull-in.png" state "$scratch/state-pulled-in.png"
same_pixels "$scratch/state-unknown.png" "$scratch/state-pulled-in.png" && fail "the label did not change"
step 4-pull-in-again xihestate    4       ' set .* RTS=1 DTR=1$'   chuankou_num
step 5-release       duankai      5       ' set .* RTS=0 DTR=1$'   chuankou_num
step 6-close         open_comm    6       ' close '                state xihestate duankai
step 7-open-again    open_comm    8       ' set .* RTS=0 DTR=1$'   chuankou_num

# The device vanishes while the port is open: the next relay click says so, and the label
# does not claim what did not happen.
step 8-pull-in       xihestate    9       ' set .* RTS=1 DTR=1$'   chuankou_num
touch "$eio"
click duankai
box=$(wait_message) || fail "no message when the device had vanished"
screenshot "$out/step-9-message-under.png"
answer_message "$box"
kill -0 "$program" || fail "the program ended after the fault"
expect_greyed 9-after-fault chuankou_num
crop "$out/step-9-after-fault.png" state "$scratch/state-after-fault.png"
same_pixels "$scratch/state-unknown.png" "$scratch/state-after-fault.png" ||
    fail "after the fault the label does not read 状态未知"
last_event | grep -q ' fault ' || fail "the fault did not reach the line: $(last_event)"

# Closing still lets go; once the device is back, opening works again.
rm -f "$eio"
click open_comm
sleep 0.3
# A dead device may also refuse the closing; that is said once, and the port is let go anyway.
no_message || answer_message "$(wait_message)"
expect_greyed 10-closed-after-fault state xihestate duankai
before=$(events)
step 11-open-when-back open_comm $((before + 2)) ' set .* RTS=0 DTR=1$' chuankou_num
step 12-close          open_comm $((before + 3)) ' close '              state xihestate duankai

# Letters in the port field: a message, and a window that still works.
field_text() {
    click chuankou_num
    xdotool key --clearmodifiers ctrl+a type "$1"
}
field_text abc
click open_comm
box=$(wait_message) || fail "no message for letters"
answer_message "$box"
expect_greyed 13-letters state xihestate duankai

# A port number the host lacks.
field_text 9
click open_comm
box=$(wait_message) || fail "no message for a port the host lacks"
answer_message "$box"
expect_greyed 14-no-such-port state xihestate duankai

field_text 1
before=$(events)
step 15-open-after-messages open_comm $((before + 2)) ' set .* RTS=0 DTR=1$' chuankou_num
step 16-pull-in             xihestate $((before + 3)) ' set .* RTS=1 DTR=1$' chuankou_num

# Closing the window with the port open ends the program at once, with no message, and the
# line is let go.
xdotool windowactivate --sync "$window" key --clearmodifiers alt+F4
for _ in $(seq 100); do
    kill -0 "$program" 2>/dev/null || break
    sleep 0.01
done
kill -0 "$program" 2>/dev/null && fail "still running a second after the window was closed"
wait "$program" && status=0 || status=$?
[ "$status" -eq 0 ] || fail "exit status $status"
last_event | grep -q ' close ' || fail "the line was not released: $(last_event)"
echo "relay clicks ok"
