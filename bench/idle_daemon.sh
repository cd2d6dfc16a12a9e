#!/usr/bin/env bash
# Idle cost of the real daemon: starts `velmora` (default settings, 8 workers)
# in a network namespace of its own, waits for its start, then adds up the
# voluntary context switches of all its threads over N seconds of no traffic.
#   bench/idle_daemon.sh [seconds=10]        (root; VELMORA_BIN selects the binary)
# Prints one line: wake-ups per second in total, and the thread count.
. "$(dirname "$0")/../tests/e2e/common.sh"
. "$(dirname "$0")/../tests/e2e/ns.sh"
need_root
trap cleanup EXIT
seconds=${1:-10}

switches() {
    local total=0 n
    for f in /proc/"$DAEMON_PID"/task/*/status; do
        n=$(sed -n 's/^voluntary_ctxt_switches:[[:space:]]*//p' "$f" 2>/dev/null)
        total=$((total + ${n:-0}))
    done
    echo "$total"
}

make_ns_pair
make_workdir
write_config
start_daemon ip netns exec "$NS_SRV"
wait_log 'Start Server OK!' 10 || fail "daemon did not start"
threads=$(ls /proc/"$DAEMON_PID"/task | wc -l)
before=$(switches)
sleep "$seconds"            # the measurement window itself: nothing to wait for
after=$(switches)
awk -v d=$((after - before)) -v s="$seconds" -v t="$threads" \
    'BEGIN { printf "velmora idle: %.1f wake-ups/s over %d s, %d threads\n", d / s, s, t }'
stop_daemon >/dev/null || true
