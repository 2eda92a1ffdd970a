# Sourced by the package tests: a display of their own for the program under test. Sets
# DISPLAY and display; stop_display stops the program ($program, when set) and then Xvfb.
# Needs fail() and $scratch from the caller.
program=""
xvfb=""
stop_display() {
    [ -n "$program" ] && kill "$program" 2>/dev/null
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    wait 2>/dev/null || true
}
start_display() {
    exec 3<> <(:)
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >"$scratch/xvfb.log" 2>&1 &
    xvfb=$!
    read -r -t 10 display <&3 || fail "Xvfb did not start"
    export DISPLAY=":$display"
}
