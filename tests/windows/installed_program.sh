#!/bin/bash
# The Windows installer and program under wine, as a Windows user meets them: a silent install,
# COM5 mapped to a pty, the number typed, open, pull in, release, a second copy refused, close,
# FTDI's "Set RTS On Close" told of, an adapter pulled out, a COM number the host lacks, a board
# behind Windows' USB CDC driver on COM6 under the Serial Enumerator, logging off pulled in, a
# silent uninstall that leaves nothing.
# The modem-line library plays Windows' serial driver for the ptys and records RTS.
#   installed_program.sh SETUP_EXE MODEMSHIM OUTPUT_DIR
source "$(dirname "$0")/no_real_ports.sh"
setup=$1 shim=$2 out=$3
source "$(dirname "$0")/../x11/lib.sh"
[ -f "$setup" ] || { echo "SKIP: no installer at $setup (make windows builds it)" >&2; exit 77; }
mkdir -p "$out" && rm -f "$out"/windows-*.png
export WINEPREFIX="$scratch/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || true; cleanup' EXIT
start_display
wineboot -i >/dev/null 2>&1
user_dir="$WINEPREFIX/drive_c/users/${USER:-$(id -un)}"
install_dir="$user_dir/AppData/Local/Programs/vantrelo-relay"
shortcut="$user_dir/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/串口控制单路继电器板.lnk"
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\vantrelo-relay'

wine "$setup" /S && wineserver -w
for file in vantrelo-relay.exe Qt6Core.dll platforms/qwindows.dll translations/qtbase_zh_CN.qm \
    licenses/qt/LGPL-3.0-only.txt uninstall.exe "$shortcut"; do
    [ -f "$install_dir/$file" ] || [ -f "$file" ] || fail "the silent install did not put down $file"
done
wine reg query "$uninstall_key" /v QuietUninstallString >/dev/null 2>&1 || fail "not in Apps & features"

reg() { wine reg add "$@" /f >/dev/null 2>&1; }
new_pty pty
new_pty usbser_pty
reg 'HKLM\Software\Wine\Ports' /v COM5 /d "$pty"
reg 'HKLM\Software\Wine\Ports' /v COM6 /d "$usbser_pty"
# The device instances the drivers' installers leave: COM5 an FTDI adapter's port, "Set RTS On
# Close" off for now; COM6 a motherboard port under the Serial Enumerator.
enum='HKLM\System\CurrentControlSet\Enum'
ftdi="$enum\FTDIBUS\VID_0403+PID_6001+A1B2C3D4A\0000" com6="$enum\ACPI\PNP0501\1"
for key in "$ftdi" "$com6"; do reg "$key" /v ClassGUID /d '{4d36e978-e325-11ce-bfc1-08002be10318}'; done
reg "$ftdi\Device Parameters" /v PortName /d COM5
reg "$ftdi\Device Parameters" /v ConfigData /t REG_BINARY /d 01003f3f
reg "$com6" /v UpperFilters /t REG_MULTI_SZ /d serenum
reg "$com6\Device Parameters" /v PortName /d COM6
# The server reads the ports at its start, and from then on opens them with the library loaded.
wineserver -k
log="$scratch/lines.log" unplugged="$scratch/unplugged"
export LD_PRELOAD="$shim" MODEMSHIM_WINDOWS=1 MODEMSHIM_LOG="$log" MODEMSHIM_EIO="$unplugged"

# start_copy: starts the installed program; its window becomes the one the helpers drive.
start_copy() {
    local before
    before=$(xdotool search --onlyvisible --name '串口控制单路继电器板' 2>/dev/null || true)
    wine "$install_dir/vantrelo-relay.exe" >>"$scratch/program.log" 2>&1 </dev/null &
    pids+=($!)
    new_window() {
        window=$(xdotool search --onlyvisible --name '串口控制单路继电器板' 2>/dev/null |
            grep -vxF "${before:-none}" | head -n 1) && [ -n "$window" ]
    }
    poll 30 new_window || fail "no window"
    poll 5 painted || fail "the window was never painted"
    client_origin
}
close_copy() {
    xdotool windowactivate --sync "$window" key --clearmodifiers alt+F4 >/dev/null
    poll 10 eval "! kill -0 $1 2>/dev/null" || fail "the window did not close"
}
rts_levels() { grep " $pty " "$log" 2>/dev/null | sed 's/.* RTS=\([01]\).*/\1/' | tr -d '\n'; }
last_event() { grep " $pty " "$log" 2>/dev/null | tail -n 1; }
last_rts_is() { [[ "$(last_event)" == *" RTS=$1 "* ]]; }
openings_reach() { [ "$(grep -c "open $pty " "$log" 2>/dev/null)" -ge "$1" ]; }
type_port() {
    click chuankou_num
    xdotool key --clearmodifiers ctrl+a type --delay 50 "$1"
}
# press BUTTON LEVEL: clicks a relay button; RTS must follow.
press() { click "$1" && poll 5 last_rts_is "$2" || fail "$1 did not set RTS to $2: $(last_event)"; }
# open_port NUMBER OPENINGS: opens the port; the line must have seen that many openings.
open_port() {
    type_port "$1"
    click open_comm
    poll 10 openings_reach "$2" || fail "opening COM$1 did not reach the line"
}
wine_message() { xdotool search --onlyvisible --name "$message_title" 2>/dev/null | head -n 1; }
# dismiss_message WHY SHOT: the program's message box, answered with Return, as a user does.
dismiss_message() {
    poll 10 wine_message || fail "no message box: $1"
    shoot_message "$(wine_message)" "$out/windows-$2.png"
    xdotool windowactivate --sync "$(wine_message)" key --clearmodifiers Return >/dev/null
    poll 5 no_message || fail "the message did not go away"
}

start_copy
first=$window first_pid=${pids[-1]}
xprop_has -id "$window" _NET_WM_STATE _NET_WM_STATE_SKIP_TASKBAR || fail "the window has a taskbar button"
open_port 5 1
sleep 1
no_message || fail "opening COM5 showed a message"
[[ "$(rts_levels)" =~ ^0+$ ]] || fail "RTS rose at opening: $(rts_levels)"
[[ "$(last_event)" == *" DTR=1"* ]] || fail "DTR is not asserted while open: $(last_event)"
screenshot "$out/windows-open.png"
# CreateFile to the first line write, in ms: how long Windows' serial driver holds RTS high at a
# first opening, where it applies its default handshake.
gap=$(awk -v p="$pty" '$3 == p && $2 == "create" { at = $1 } $3 == p && $2 == "set" && at {
    printf "%.1f", ($1 - at) / 1e6; exit }' "$log")
awk -v gap="$gap" 'BEGIN { exit !(gap < 500) }' || fail "the first line write came $gap ms after CreateFile"
opened=$(rts_levels)
press xihestate 1
press duankai 0
[[ "$(rts_levels)" =~ ^${opened}0*1+0+$ ]] || fail "not open, one rise, one fall: $(rts_levels)"
press xihestate 1

# A second copy is refused by Windows and must not move the line.
held=$(rts_levels)
start_copy
type_port 5
click open_comm
dismiss_message "a second copy opening COM5" busy
[ "$(rts_levels)" = "$held" ] || fail "the refused copy moved the line: $held -> $(rts_levels)"
kill -0 "${pids[-1]}" || fail "the second copy ended after its message"
close_copy "${pids[-1]}"

window=$first
client_origin
click open_comm
poll 5 grep -q "close $pty " "$log" || fail "closing did not let go of COM5"
[[ "$(rts_levels)" =~ ^${held}1*0+$ && "$(last_event)" == *"close $pty RTS=0"* ]] ||
    fail "closing pulled in did not lower RTS: $(rts_levels), $(last_event)"

# FTDI's "Set RTS On Close" turned on: the next opening tells of it.
reg "$ftdi\Device Parameters" /v ConfigData /t REG_BINARY /d 09003f3f
open_port 5 2
dismiss_message "COM5 raises RTS at closing" rts-on-close

# An adapter pulled out while open: the click says so, and closing still works.
touch "$unplugged"
click xihestate
dismiss_message "吸合 on an unplugged adapter" unplugged
click open_comm
sleep 1
no_message || fail "closing an unplugged adapter showed a message"
rm -f "$unplugged"

type_port 200
click open_comm
dismiss_message "COM200, which the host lacks" no-such-port
kill -0 "$first_pid" || fail "the program ended after a missing COM number"

# Logging off with the relay pulled in: the session's end lowers RTS before the program goes.
open_port 5 3
sleep 1
no_message || fail "COM5's notice came twice in one run"
press xihestate 1

# A board behind Windows' USB CDC driver, which carries RTS to the board only with a DTR write:
# every click must reach the line all the same, and closing and the session's end lower it.
com5_pty=$pty pty=$usbser_pty
MODEMSHIM_WINDOWS=usbser start_copy
open_port 6 1
dismiss_message "COM6 under the Serial Enumerator" serenum
[[ "$(rts_levels)" =~ ^0+$ ]] || fail "RTS rose at opening on usbser: $(rts_levels)"
press xihestate 1
press duankai 0
press xihestate 1
click open_comm
poll 5 grep -q "close $pty " "$log" || fail "closing did not let go of COM6"
last_rts_is 0 || fail "closing pulled in left RTS on usbser's line: $(last_event)"
open_port 6 2
press xihestate 1

wineboot --end-session >/dev/null 2>&1 || true
for pid in "$first_pid" "${pids[-1]}"; do
    poll 10 eval "! kill -0 $pid 2>/dev/null" || fail "the session's end did not end the program"
done
last_rts_is 0 || fail "the session ended with RTS asserted on usbser's line: $(last_event)"
pty=$com5_pty
last_rts_is 0 || fail "the session ended with RTS asserted: $(last_event)"
wineserver -w

# The same through a port ser2net serves: opening moves nothing, 吸合 pulls the relay in, and
# logging off lowers it before the program goes.
if command -v ser2net >/dev/null && [ "$(id -u)" -eq 0 ]; then # root: its mount namespace
    new_pty served
    start_ser2net "$served"
    before=$(grep -c " $served " "$log")
    VANTRELO_PORTS="rfc2217://127.0.0.1:$served_port" start_copy
    type_port 1
    open_served_and_pull_in "$before"
    wineboot --end-session >/dev/null 2>&1 || true
    poll 10 eval "! kill -0 ${pids[-1]} 2>/dev/null" && rts_served "$served" 0 ||
        fail "served: the session's end left the program or the relay: $(tail -n 1 "$log")"
    wineserver -w
fi

wine "$install_dir/uninstall.exe" /S && wineserver -w
for gone in "$install_dir" "$shortcut"; do [ ! -e "$gone" ] || fail "the uninstall left $gone"; done
! wine reg query "$uninstall_key" >/dev/null 2>&1 || fail "the uninstall left its Apps & features entry"
echo "PASS: install, open COM5 (first line write $gap ms after CreateFile), pull in, release, second copy refused, close, RTS-on-close notice, unplugged, missing COM200, usbser and Serial Enumerator on COM6, log-off, a port served by ser2net, uninstall"
