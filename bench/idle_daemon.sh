#!/usr/bin/env bash
# Idle cost and flood behaviour of the real daemon, in a network namespace of
# its own (default settings, 8 workers, ReplyRateLimit 0: no reply budget, so
# the flood figures are the daemon's own throughput).
#   bench/idle_daemon.sh [idle_seconds=10] [flood_seconds=10] [sources=1000000]
#   (root; VELMORA_BIN selects the binary, VELMORA_BUILD_DIR the flood sender)
# 1. Adds up the voluntary context switches of all the daemon's threads over
#    idle_seconds of no traffic: wake-ups per second and the thread count.
# 2. Floods it with one binary request from each of `sources` distinct
#    addresses (at most flood_seconds), and prints the replies per second the
#    flood got back, the RSS before, the highest sampled during and 30 s
#    after, and the daemon's counters. flood_seconds 0 skips this phase.
. "$(dirname "$0")/../tests/e2e/common.sh"
need_root
trap cleanup EXIT
seconds=${1:-10}
flood_seconds=${2:-10}
sources=${3:-1000000}
SENDER=${VELMORA_BUILD_DIR:-$SRC/build}/bench/flood_sender

switches() {
    local total=0 n
    for f in /proc/"$DAEMON_PID"/task/*/status; do
        n=$(sed -n 's/^voluntary_ctxt_switches:[[:space:]]*//p' "$f" 2>/dev/null)
        total=$((total + ${n:-0}))
    done
    echo "$total"
}
rss_kb() { awk '$1 == "VmRSS:" {print $2}' "/proc/$DAEMON_PID/status"; }

make_ns_pair
sed 's|<ReplyRateLimit>[0-9]*</ReplyRateLimit>|<ReplyRateLimit>0</ReplyRateLimit>|' \
    "$SRC/demo/Velmora/Velmora.xml" > "$RUNDIR/Velmora.xml"
start_daemon
wait_log 'Start Server OK!' 10 || fail "daemon did not start"
threads=$(ls /proc/"$DAEMON_PID"/task | wc -l)
before=$(switches)
sleep "$seconds"            # the measurement window itself: nothing to wait for
after=$(switches)
awk -v d=$((after - before)) -v s="$seconds" -v t="$threads" \
    'BEGIN { printf "velmora idle: %.1f wake-ups/s over %d s, %d threads\n", d / s, s, t }'

if [ "$flood_seconds" -gt 0 ]; then
    [ -x "$SENDER" ] || fail "$SENDER not built"
    ip -n "$NS_CLI" route add local 100.64.0.0/12 dev lo || fail "local route 100.64.0.0/12"
    rss_before=$(rss_kb)
    in_cli "$SENDER" --host "$SRV_IP" --src-net 100.64.0.0 --sources "$sources" \
        --count "$sources" --seconds "$flood_seconds" --linger 1 > "$WORKDIR/flood" &
    sender=$!
    rss_during=0
    while kill -0 "$sender" 2>/dev/null; do
        rss=$(rss_kb)
        [ "${rss:-0}" -gt "$rss_during" ] && rss_during=$rss
        sleep 0.2
    done
    wait "$sender" || fail "flood_sender failed"
    sleep 30                # "30 s after" is the measurement itself
    rss_after=$(rss_kb)
    send_cmd S
    wait_log 'PrintCounters: decode_failed' 10 || fail "no counters on S"
    python3 - "$(cat "$WORKDIR/flood")" "$rss_before" "$rss_during" "$rss_after" <<'PY'
import json, sys
r = json.loads(sys.argv[1])
print("velmora flood (ReplyRateLimit 0): %d requests from %d sources in %.1f s, "
      "%.0f replies/s back; RSS %s kB before, %s kB at most during, %s kB 30 s after"
      % (r["sent"], r["sent"], r["send_seconds"], r["replies_per_s"], *sys.argv[2:5]))
PY
    echo "counters: $(grep -oE 'PrintCounters: [a-z_]+ [0-9]+' "$LOG" | cut -d' ' -f2- | paste -sd' ')"
fi
stop_daemon >/dev/null || true
