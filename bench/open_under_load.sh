#!/bin/bash
# How long a click on 打开串口 takes while the search for other holders of the port has a
# crowd to look through: PROCESSES idle processes, or that many holding DESCRIPTORS descriptors
# each (/dev/null, the kind a search must look at closely). Needs the build of run_rts_latency.sh.
#
#   bench/open_under_load.sh PROCESSES [DESCRIPTORS] [OPENINGS] [BUILD_DIR]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
processes=$1 descriptors=${2:-0} openings=${3:-20}
build=$(cd "${4:-$here/../build}" && pwd)
crowd=()
trap 'kill "${crowd[@]}" 2>/dev/null; wait; true' EXIT
for ((i = 0; i < processes; i++)); do
    if [ "$descriptors" -gt 0 ]; then
        python3 -c 'import os, resource, sys, time
resource.setrlimit(resource.RLIMIT_NOFILE, (int(sys.argv[1]) + 16,) * 2)
held = [os.open("/dev/null", os.O_RDONLY) for _ in range(int(sys.argv[1]))]
time.sleep(3600)' "$descriptors" </dev/null &
    else
        sleep 3600 </dev/null &
    fi
    crowd+=($!)
done
sleep $((1 + processes / 500 + processes * descriptors / 20000))
echo "$(ls -d /proc/[0-9]* | wc -l) processes, $(cut -f1 /proc/sys/fs/file-nr) open files, load $(cut -d" " -f1 /proc/loadavg)"
"$build/bench/bench_rts_latency" 10 "$openings" | grep 打开串口
