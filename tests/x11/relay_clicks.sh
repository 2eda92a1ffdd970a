#!/bin/bash
# A person at the bench, with real pointer clicks on the real program: open, pull in, release,
# close, open again, then the faults. After each step the line's recorded RTS level and, from a
# screenshot, which controls are greyed and what the state label shows; and what Orca says.
#   relay_clicks.sh PROGRAM MODEMSHIM OUTPUT_DIR
program_binary=$1
shim=$2
out=$3
source "$(dirname "$0")/lib.sh"
mkdir -p "$out"
# Screenshots from an earlier run must not pass for this one's.
rm -f "$out"/step-*.png "$out"/message-*.png

start_display
start_screen_reader
new_pty pty
log="$scratch/lines.log"
eio="$scratch/unplugged"
start_program "$program_binary" VANTRELO_PORTS="$pty" LD_PRELOAD="$shim" MODEMSHIM_LOG="$log" \
    MODEMSHIM_EIO="$eio"
poll 15 grep -qx ready "$atspi" || fail "no accessibility tree: $(cat "$atspi")"
# A screen reader meets a frame named by the caption, and the field and the state labelled.
tab=$'\t'
for node in "1${tab}frame${tab}Vantrelo—串口控制单路继电器板   QQ:[0-9]+${tab}" \
    "2${tab}text${tab}串口号${tab}串口号" "2${tab}label${tab}状态未知${tab}继电器输出"; do
    grep -qxE "tree${tab}${node}" "$atspi" || fail "no '$node' in: $(grep ^tree "$atspi")"
done

events() {
    local count
    count=$(grep -c " $pty " "$log" 2>/dev/null) || true
    echo "${count:-0}"
}
last_event() { grep " $pty " "$log" 2>/dev/null | tail -n 1; }
enough_events() { [ "$(events)" -ge "$1" ]; }

# The state label's renderings, by what it should say; each must look like its first showing
# and unlike every other.
declare -A label_shot=()

# label_as FILE KEY: whether the state label in FILE shows what KEY names.
label_as() {
    local file=$1 key=$2 label="$scratch/label.png" other
    crop "$file" state "$label"
    if [ -n "${label_shot[$key]:-}" ]; then
        same_pixels "$label" "${label_shot[$key]}"
        return
    fi
    for other in "${!label_shot[@]}"; do
        same_pixels "$label" "${label_shot[$other]}" && return 1
    done
    return 0
}

# shows STEP LABEL GREYED...: one screenshot of the window, as the user sees it after the step.
shows() {
    local file="$out/step-$1.png" key=$2
    shift 2
    shows_greyed "$file" "$@" && label_as "$file" "$key"
}

# expect_view STEP LABEL GREYED...: waits until the window shows the label and exactly these
# controls greyed, then remembers how the label looked. A message box comes up within the
# click's own handling; a moment's grace is enough to see that none does.
expect_view() {
    local step=$1 key=$2 file="$out/step-$1.png"
    if ! poll 5 shows "$@"; then
        local why
        why=$(greyed_mismatch "$file" "${@:3}")
        label_as "$file" "$key" || why+="the state label does not show '$key'"
        fail "$step: $why (see $file)"
    fi
    [ -n "${label_shot[$key]:-}" ] || {
        label_shot[$key]="$scratch/label-$key.png"
        crop "$file" state "${label_shot[$key]}"
    }
    sleep 0.3
    no_message || fail "$step: unexpected message"
}

# step NAME CONTROL EVENTS 'LAST EVENT PATTERN' LABEL GREYED...: a click (or key:KEYS, keys
# typed), then the line must have seen EVENTS events in all, the last one matching the pattern,
# and the window must show LABEL. The screen reader's log is marked at $since.
step() {
    local name=$1 target=$2 count=$3 pattern=$4
    shift 4
    since=$(wc -l <"$atspi")
    heard_since=$(stat -c %s "$orca_log") heard_step=$name
    # shellcheck disable=SC2086
    if [[ $target == key:* ]]; then xdotool key --clearmodifiers ${target#key:}; else click "$target"; fi
    poll 5 enough_events "$count" || fail "$name: the line saw $(events) events, not $count: $(cat "$log")"
    [ "$(events)" -eq "$count" ] || fail "$name: the line saw $(events) events, not $count: $(cat "$log")"
    [[ "$(last_event)" =~ $pattern ]] || fail "$name: line says '$(last_event)', expected /$pattern/"
    expect_view "$name" "$@"
}

# heard PATTERN...: Orca spoke an utterance matching each pattern, once, since the step began; a
# moment's grace lets a second one show.
heard() {
    local pattern count
    for pattern; do
        poll 5 eval 'orca_said "$heard_since" | grep -qE "$pattern"' && sleep 0.3
        count=$(orca_said "$heard_since" | grep -cE "$pattern") || true
        [ "$count" = 1 ] || fail "$heard_step: Orca spoke /$pattern/ $count times:"$'\n'"$(orca_said "$heard_since")"
    done
}
selected='( 已选中)?\.?$' # ends the port field's text, read whole

closed="state xihestate duankai"
opened="chuankou_num"
rts0=' set .* RTS=0 DTR=1$'
rts1=' set .* RTS=1 DTR=1$'

expect_view 1-start unknown-greyed $closed
[ "$(events)" -eq 0 ] || fail "the line was touched before any click: $(cat "$log")"
heard_since=0 heard_step=1-start # the window by its caption, the field by its name and number
heard 串口控制单路继电器板 '^串口号' "(^| )1$selected"

open_said='串口 1 已打开（/dev/pts/[0-9]+）' # each press is spoken once, with what it did
#    name                control    events  last event  label          greyed afterwards
step 2-open              open_comm  4       "$rts0"     unknown        $opened
heard "$open_said"
grep " $pty " "$log" | head -n 1 | grep -q ' open .* RTS=1 ' || fail "the first event is not the opening"
step 3-pull-in           xihestate  5       "$rts1"     pulled-in      $opened
heard 继电器输出：吸合
step 4-pull-in-again     xihestate  6       "$rts1"     pulled-in      $opened
heard 继电器输出：吸合
step 5-release           duankai    7       "$rts0"     released       $opened
heard 继电器输出：断开
step 6-close             open_comm  9       ' close '   unknown-greyed $closed
heard '串口 1 已关闭'
step 7-open-again        open_comm  12      "$rts0"     unknown        $opened
heard "$open_said"
step 8-release           duankai    13      "$rts0"     released       $opened

# (a) The device vanishes while the port is open: the pull-in says so in a modal box, and the
# label does not claim what did not happen.
touch "$eio"
click xihestate
box=$(wait_message)
shoot_message "$box" "$out/message-device-gone.png"
last_event | grep -q ' fault .* RTS=0 ' || fail "the pull-in did not reach the line: $(last_event)"
# The box is modal: a click on the window behind it, below the box, does nothing.
read -r box_bottom < <(xwininfo -id "$box" | awk '/Absolute upper-left Y/ { y = $4 } /Height:/ { h = $2 } END { print y + h }')
read -r x y w h <<<"${control[duankai]}"
[ $((origin_y + y + h - 5)) -gt "$box_bottom" ] || fail "the message box covers the buttons"
before=$(events)
click_at $((x + w / 2)) $((y + h - 5))
sleep 0.3
[ "$(events)" -eq "$before" ] || fail "a click went past the message box: $(last_event)"
grep -qx "event${tab}object:state-changed:showing${tab}alert${tab}串口继电器控制" "$atspi" ||
    fail "the message is no alert to a screen reader"
answer_message "$box"
kill -0 "$program" 2>/dev/null || fail "the program ended after the fault"
expect_view 9-after-device-gone unknown $opened

# Closing still lets go; once the device is back, opening works again.
rm -f "$eio"
before=$(events)
step 10-close-when-back  open_comm  $((before + 2)) ' close '  unknown-greyed $closed
step 11-open-when-back   open_comm  $((before + 5)) "$rts0"    unknown        $opened
step 12-close            open_comm  $((before + 7)) ' close '  unknown-greyed $closed
step 12-back-to-field    key:shift+Tab $((before + 7)) ' close ' unknown-greyed $closed
heard "(^| )1$selected" 已选中 # the number, whole and selected, said once

# typed TEXT, and waits until Orca has echoed its last key: Orca holds keys back from the program
# until it has read them, and a click would overtake them.
typed() {
    local mark last=${1: -1}
    mark=$(stat -c %s "$orca_log") && xdotool type "$1"
    poll 5 eval 'orca_said "$mark" | grep -qxF -- "$last"' && sleep 0.3 || fail "Orca did not echo '$1'"
}

# field_text TEXT: replaces the port field's text, as a user would.
field_text() {
    click chuankou_num
    xdotool key --clearmodifiers ctrl+a && typed "$1"
}

# (b) Letters in the port field, (c) a port number the host lacks: a message each, no port is
# touched, and the window still works.
for fault in letters:abc no-such-port:9; do
    before=$(events)
    field_text "${fault#*:}"
    heard_since=$(stat -c %s "$orca_log") heard_step=${fault%%:*}
    xdotool key --clearmodifiers Tab space # by keys: Orca 43 may pass over a box a click brings up
    box=$(wait_message)
    shoot_message "$box" "$out/message-${fault%%:*}.png"
    answer_message "$box"
    expect_view "13-${fault%%:*}" unknown-greyed $closed
    heard "错误 [0-9]+：.*${fault#*:}" "(^| )${fault#*:}$selected" 已选中 # then the field, as typed
    [ "$(events)" -eq "$before" ] || fail "${fault%%:*}: the line was touched: $(last_event)"
done

# After a failed opening the focus is back in the port field with the number selected, so the
# next key typed replaces it.
window_focused() { [ "$(xdotool getwindowfocus 2>/dev/null)" = "$window" ]; }
poll 5 window_focused || fail "the window did not get the focus back after the message"
typed 1
before=$(events)
step 14-open-after-messages open_comm $((before + 3)) "$rts0" unknown   $opened
step 15-pull-in             xihestate $((before + 4)) "$rts1" pulled-in $opened

# (d) The keyboard: Enter and keypad Enter press the focused button, here 吸合 after the click.
# Each relay press is spoken once, as a notice, though the focus stays on the button; the
# label's new name is sent once per change (spoken NOTICE RENAMES, since the last step).
spoken() {
    told() { tail -n +$((since + 1)) "$atspi" | grep -c "$1"; }
    poll 5 told "${tab}notification${tab}" >/dev/null && sleep 0.3
    [ "$(told "${tab}notification${tab}")$(told "${tab}notification${tab}$1\$")" = 11 ] &&
        [ "$(told "accessible-name${tab}label")" -eq "$2" ] ||
        fail "not one notice '$1' and $2 label renames:"$'\n'"$(tail -n +$((since + 1)) "$atspi")"
}
#    name                         keys                 events          last     label      greyed
step 16-return-on-release     "key:Tab Return"         $((before + 5)) "$rts0" released   $opened
spoken 继电器输出：断开 1
heard '断开 按钮' 继电器输出：断开
step 17-keypad-enter-pull-in  "key:shift+Tab KP_Enter" $((before + 6)) "$rts1" pulled-in $opened
spoken 继电器输出：吸合 1
heard '吸合 按钮' 继电器输出：吸合
step 18-keypad-enter-again    "key:KP_Enter"           $((before + 7)) "$rts1" pulled-in  $opened
spoken 继电器输出：吸合 0

# (e) Closing the window with the port open ends the program at once, with no message, and the
# line is let go.
xdotool windowactivate --sync "$window"
closed_at=${EPOCHREALTIME/./}
xdotool key --clearmodifiers alt+F4
ended() { ! kill -0 "$program" 2>/dev/null; }
poll 1 ended || fail "still running a second after the window was closed; messages: $(messages)"
took=$(((${EPOCHREALTIME/./} - closed_at) / 1000))
[ "$took" -le 1000 ] || fail "ending took $took ms"
wait "$program" && status=0 || status=$?
[ "$status" -eq 0 ] || fail "exit status $status"
last_event | grep -q ' close .* RTS=0 ' || fail "the line was not released: $(last_event)"

# (g) A relay on another machine, reached through ser2net as the README sets it up, here on
# 127.0.0.1: opening moves nothing, the click pulls the relay in, and a signal's ending lowers
# it. Not PIPE: Qt ignores it for good once it has a socket.
if command -v ser2net >/dev/null && [ "$(id -u)" -eq 0 ]; then # root: its mount namespace
    new_pty served
    start_ser2net "$served"
    for ending in QUIT TERM; do
        start_program "$program_binary" --default-signal=QUIT VANTRELO_PORTS="rfc2217://127.0.0.1:$served_port"
        open_served_and_pull_in "$(grep -c " $served " "$log")"
        kill -"$ending" "$program"
        poll 5 ended && rts_served "$served" 0 || fail "served $ending: running, or pulled in: $(tail -n 1 "$log")"
    done
fi

# (f) Every other way to end that runs any of the program's code lowers RTS and removes its lock
# file: signals (bash starts background jobs with SIGQUIT ignored, so it is set back), and the
# X server going away, as at logout, where Qt itself ends the program with exit().
lock=/run/lock/LCK..pts_${pty##*/}
pulled_in() { last_event | grep -q ' set .* RTS=1 '; }
for ending in QUIT PIPE x-server; do
    start_program "$program_binary" --default-signal=QUIT VANTRELO_PORTS="$pty" LD_PRELOAD="$shim" \
        MODEMSHIM_LOG="$log"
    click open_comm
    click xihestate
    poll 5 pulled_in || fail "$ending: the relay was not pulled in: $(last_event)"
    [ ! -w /run/lock ] || [ -e "$lock" ] || fail "$ending: no lock file while the port is open"
    if [ "$ending" = x-server ]; then kill "${pids[0]}"; else kill -"$ending" "$program"; fi
    poll 5 ended || fail "$ending: still running 5 seconds later"
    last_event | grep -q ' RTS=0 ' || fail "$ending: the relay was left pulled in: $(last_event)"
    [ ! -e "$lock" ] || fail "$ending: $lock was left behind"
done
echo "relay clicks ok (ended $took ms after the close; QUIT, PIPE and the X server's end let go; QUIT and TERM over ser2net)"
