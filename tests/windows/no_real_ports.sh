# Sourced first by every script that runs wine. At its start wine maps COM1, COM2... to the
# host's /dev/ttyS*, /dev/ttyUSB*... and opens them to probe them; here ttyS0 is the console.
# So wine runs in a mount namespace of its own where every real serial device node is /dev/null.
if [ -z "${VANTRELO_NO_REAL_PORTS:-}" ]; then
    export VANTRELO_NO_REAL_PORTS=1
    namespace=(unshare --mount --propagation private)
    [ "$(id -u)" -eq 0 ] || namespace+=(--map-root-user)
    "${namespace[@]}" true 2>/dev/null || { echo "SKIP: no mount namespace to hide ports in" >&2; exit 77; }
    exec "${namespace[@]}" bash "$0" "$@"
fi
for node in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM* /dev/ttyAMA*; do
    if [ -c "$node" ] && ! mount --bind /dev/null "$node"; then
        echo "SKIP: $node cannot be hidden from wine" >&2
        exit 77
    fi
done
