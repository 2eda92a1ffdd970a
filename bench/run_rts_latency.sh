#!/bin/sh
# Click-to-RTS latency through the real window and serial line on a pty, with the modem-line
# library preloaded to timestamp each change of the line; draws offscreen, needs no display.
#
#   bench/run_rts_latency.sh [CLICKS] [BUILD_DIR]     (default 2000 clicks, build/)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
clicks=${1:-2000}
build=$(cd "${2:-$here/../build}" && pwd)
shim=$build/tests/pty/libmodemshim.so
bench=$build/bench/bench_rts_latency
for file in "$shim" "$bench"; do
    [ -e "$file" ] || { echo "$file is missing; build first (cmake --build $build)" >&2; exit 1; }
done

log=$(mktemp "${TMPDIR:-/tmp}/vantrelo-rts-latency.XXXXXX")
trap 'rm -f "$log"' EXIT
# The bench names its own pty once it has one; until then no port, so no real one is touched.
LD_PRELOAD=$shim MODEMSHIM_LOG=$log VANTRELO_PORTS=/nonexistent/vantrelo-bench-port \
    QT_QPA_PLATFORM=offscreen "$bench" "$clicks"
