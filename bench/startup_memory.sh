#!/bin/bash
# Startup time (exec to the first window mapped on an Xvfb display) and resident memory after
# one idle second, for vantrelo-relay and the serial tools with RTS controls Linux users reach
# for, CuteCom and GTKTerm, run alternately. Prints each run, then medians and ratios.
#
#   bench/startup_memory.sh [RUNS] [BUILD_DIR]       (root or sudo; default 7 runs, build/)
#
# The peers list serial ports by opening them, and on these machines /dev/ttyS0 is the console:
# everything runs in a private mount namespace where every real serial device node is
# /dev/null, and each program gets an empty home so no saved session opens a port.
set -euo pipefail
runs=${1:-7}
build=$(realpath "${2:-build}")
here=$(cd "$(dirname "$0")" && pwd)

if [ "${VANTRELO_BENCH_INSIDE:-}" != 1 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    for peer in cutecom gtkterm; do
        command -v "$peer" >/dev/null || {
            $sudo apt-get update
            $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends cutecom gtkterm
            break
        }
    done
    exec $sudo env VANTRELO_BENCH_INSIDE=1 unshare --mount --propagation private "$0" "$runs" "$build"
fi

for node in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM* /dev/ttyAMA*; do
    [ -c "$node" ] && mount --bind /dev/null "$node"
done

work=$(mktemp -d)
cleanup() {
    kill "${holder:-}" "${xvfb:-}" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

exec 3<> <(:)
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
read -r -t 10 display <&3
export DISPLAY=":$display"

# One pseudo-terminal for the programs that want a port named at start.
python3 -c 'import os, sys, time
m, s = os.openpty(); print(os.ttyname(s), flush=True); os.close(s); time.sleep(3600)' >"$work/pty" &
holder=$!
for _ in $(seq 50); do [ -s "$work/pty" ] && break; sleep 0.1; done
pty=$(cat "$work/pty")

first_map="$build/bench/first_map"
declare -A command=(
    [vantrelo-relay]="env VANTRELO_PORTS=$pty $build/vantrelo-relay"
    [cutecom]="cutecom"
    [gtkterm]="gtkterm --port $pty"
)
programs=(vantrelo-relay cutecom gtkterm)

printf '%-15s %5s %12s %10s\n' program run startup_ms rss_MiB
for run in $(seq "$runs"); do
    for program in "${programs[@]}"; do
        home="$work/home-$program-$run"
        mkdir -p "$home"
        # shellcheck disable=SC2086
        read -r ms kib < <(HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$home" \
            "$first_map" 20 ${command[$program]} 2>>"$work/$program.log")
        echo "$program $ms $kib" >>"$work/results"
        printf '%-15s %5d %12.1f %10.1f\n' "$program" "$run" "$ms" "$(awk "BEGIN { print $kib / 1024 }")"
    done
done

python3 - "$work/results" <<'PY'
import statistics, sys
rows = [line.split() for line in open(sys.argv[1])]
med = {}
for name in dict.fromkeys(r[0] for r in rows):
    ms = [float(r[1]) for r in rows if r[0] == name]
    kib = [float(r[2]) for r in rows if r[0] == name]
    med[name] = (statistics.median(ms), statistics.median(kib) / 1024)
print()
print(f"{'median':15} {'startup_ms':>12} {'rss_MiB':>10}")
for name, (ms, mib) in med.items():
    print(f"{name:15} {ms:12.1f} {mib:10.1f}")
ours = med["vantrelo-relay"]
peers = {n: v for n, v in med.items() if n != "vantrelo-relay"}
fast = min(peers, key=lambda n: peers[n][0])
small = min(peers, key=lambda n: peers[n][1])
print()
print(f"startup: {ours[0] / peers[fast][0]:.2f} x the faster peer ({fast}); target <= 0.50")
print(f"memory:  {ours[1] / peers[small][1]:.2f} x the smaller peer ({small}); target <= 0.50, "
      f"and {ours[1]:.1f} MiB against 40")
PY
