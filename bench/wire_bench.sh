#!/usr/bin/env bash
# The daemon against the wire: throughput, round trip, overload and idle cost
# of the real daemon (Release build), each beside the same figure of a minimal
# batch echo server (bench/echo_server) measured in the same run on the same
# path. Everything runs in one network namespace (its veth gives the daemon
# one adapter, so one reply per request); the client (bench/wire_load) sends
# on loopback from a source address of its own per request, so the duplicate
# filter passes every request.
#   bench/wire_bench.sh [repetitions=3] [seconds=3] [idle_seconds=10]
#   (root; VELMORA_BUILD_DIR selects the build, default build-rel)
# First the idle daemon with the default 8 workers: wake-ups/s of all its
# threads and RSS. Then per repetition, for the echo server and the daemon
# (ThreadNum 4, ReplyRateLimit 0): replies/s at 64 requests in flight, binary
# and JSON, with the CPU time per request, in slices that alternate between
# the two servers; round trip one request at a time (p50, p99), in slices
# that alternate as well; answered/s when sent twice that repetition's binary
# rate.
# Overload: the load generator offers requests through a packet socket (no
# UDP send path per request), and the kernel delivers each into the server's
# socket on the sender's CPU. On a small machine that work would take CPU from
# the server as the offered rate grows, so the overload figure is measured
# with the server's threads on CPU 0 and the generator on CPU 1: the server's
# saturation rate (64 in flight) and then its answered rate at twice that, both
# with the same one CPU, in slices that alternate. With a CPU of its own the
# generator polls for replies instead of sleeping, so the server's sends do not
# pay for waking it. The
# same overload without pinning, where the generator competes for the
# server's CPUs, is shown beside it for information.
# Prints one table, min/median/max over the repetitions, and the ratios.
. "$(dirname "$0")/../tests/e2e/common.sh"
need_root
trap cleanup EXIT
reps=${1:-3}
seconds=${2:-3}
idle_seconds=${3:-10}
BUILD=${VELMORA_BUILD_DIR:-$SRC/build-rel}
BIN=${VELMORA_BIN:-$BUILD/velmora}
LOAD=$BUILD/bench/wire_load
ECHO=$BUILD/bench/echo_server
for f in "$BIN" "$LOAD" "$ECHO"; do [ -x "$f" ] || fail "$f not built"; done
ECHO_PORT=39000
SLICES=3   # alternating slices per server and figure
HZ=$(getconf CLK_TCK)
RESULTS=

make_ns_pair
in_srv() { ip netns exec "$NS_SRV" "$@"; }
# Packets handed to lo by the generator come from 127.64/16 and arrive
# without a route attached: let the namespace route them like lo's own.
in_srv sysctl -qw net.ipv4.conf.lo.route_localnet=1 net.ipv4.conf.all.route_localnet=1
PIN=$([ "$(nproc)" -ge 2 ] && echo yes)
pin() { taskset -a -p -c "$1" "$2" > /dev/null; }   # CPUS PID: every thread of PID

settings() {   # THREADS: the sample settings with that worker count and no reply budget
    sed -e "s|<ThreadNum>[0-9]*</ThreadNum>|<ThreadNum>$1</ThreadNum>|" \
        -e 's|<ReplyRateLimit>[0-9]*</ReplyRateLimit>|<ReplyRateLimit>0</ReplyRateLimit>|' \
        "$SRC/demo/Velmora/Velmora.xml" > "$RUNDIR/Velmora.xml"
}
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
record() { RESULTS+="$1 $2 $3"$'\n'; }   # SERVER FIGURE VALUE
json() { python3 -c 'import json,sys; print(json.loads(sys.argv[1])[sys.argv[2]])' "$1" "$2"; }

load() {   # PORT MODE FORM [ARGS...]: one wire_load run; its JSON line
    # (on CPU 1 when LOAD_CPU=1). Each run goes on from the source addresses
    # where the last one stopped, so that the duplicate filter passes every
    # request; the offset is kept in a file, as load runs in a subshell.
    local port=$1 mode=$2 form=$3 out offset
    shift 3
    offset=$(cat "$WORKDIR/src_offset" 2> /dev/null || echo 0)
    out=$(in_srv taskset -c "${LOAD_CPU:-0-$(($(nproc) - 1))}" "$LOAD" --mode "$mode" --port "$port" --form "$form" --src-offset "$offset" \
        --seconds "$seconds" "$@") || fail "wire_load $mode $form on $port: $out"
    json "$out" next_offset > "$WORKDIR/src_offset"
    echo "$out"
}

inflight() {   # FORM ECHO_PID: replies/s and CPU us per request of both servers at 64 in
    # flight, measured in alternating slices, so that a change of the machine's
    # load meets both alike; records them and sets BINARY_RATE_<server>.
    local form=$1 epid=$2 name port pid out slice
    declare -A rate=() ticks=() replies=()
    for ((slice = 0; slice < SLICES; slice++)); do
        for name in echo velmora; do
            if [ "$name" = echo ]; then port=$ECHO_PORT pid=$epid; else port=37810 pid=$DAEMON_PID; fi
            t0=$(cpu_ticks "$pid")
            out=$(load "$port" inflight "$form" --inflight 64 --warmup 0.2 \
                --seconds "$(awk -v s="$seconds" -v n="$SLICES" 'BEGIN { print s / n }')")
            t1=$(cpu_ticks "$pid")
            rate[$name]=$(awk -v a="${rate[$name]:-0}" -v b="$(json "$out" replies_per_s)" -v n="$SLICES" \
                'BEGIN { print a + b / n }')
            ticks[$name]=$((${ticks[$name]:-0} + t1 - t0))
            replies[$name]=$((${replies[$name]:-0} + $(json "$out" total)))
        done
    done
    for name in echo velmora; do
        record "$name" "${form}_per_s" "${rate[$name]}"
        record "$name" "${form}_cpu_us" "$(awk -v d="${ticks[$name]}" -v hz="$HZ" -v n="${replies[$name]}" \
            'BEGIN { printf "%.1f", (n > 0 ? d / hz * 1e6 / n : 0) }')"
        [ "$form" = binary ] && printf -v "BINARY_RATE_$name" '%s' "${rate[$name]}"
    done
}

roundtrips() {   # FORM: round trips one at a time, in slices that alternate between
    # the two servers like inflight; records the median of the slices' p50
    # and the highest of their p99 per server
    local form=$1 name port out slice
    declare -A p50=() p99=()
    for ((slice = 0; slice < SLICES; slice++)); do
        for name in echo velmora; do
            if [ "$name" = echo ]; then port=$ECHO_PORT; else port=37810; fi
            out=$(load "$port" latency "$form" --count 1000)
            p50[$name]+=" $(json "$out" p50_us)"
            p99[$name]+=" $(json "$out" p99_us)"
        done
    done
    for name in echo velmora; do
        record "$name" "${form}_p50_us" "$(echo ${p50[$name]} | tr ' ' '\n' | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}')"
        record "$name" "${form}_p99_us" "$(echo ${p99[$name]} | tr ' ' '\n' | sort -n | tail -1)"
    done
}

others() {   # NAME PORT PID SATURATION: the overload
    local name=$1 port=$2 pid=$3 sat=$4 out slice slice_s sats=0 sent=0 answered=0
    overload "$name" "$port" "$sat"
    [ -n "$PIN" ] || return 0
    # Pinned: the saturation and the overload at twice it in slices that
    # alternate, so that a change of the host's load meets both alike.
    pin 0 "$pid"
    slice_s=$(awk -v s="$seconds" -v n="$SLICES" 'BEGIN { print s / n }')
    for ((slice = 0; slice < SLICES; slice++)); do
        out=$(LOAD_CPU=1 load "$port" inflight binary --inflight 64 --warmup 0.2 --poll --seconds "$slice_s")
        sat=$(json "$out" replies_per_s)
        out=$(LOAD_CPU=1 load "$port" rate binary --raw lo --poll --seconds "$slice_s" \
            --rate "$(awk -v s="$sat" 'BEGIN { printf "%d", 2 * s }')")
        read -r sats sent answered < <(awk -v a="$sats" -v b="$sent" -v c="$answered" -v s="$sat" \
            -v t="$(json "$out" sent_per_s)" -v r="$(json "$out" replies_per_s)" \
            'BEGIN { print a + s, b + t, c + r }')
    done
    pin "0-$(($(nproc) - 1))" "$pid"
    record "$name" pin_sat_per_s "$(awk -v a="$sats" -v n="$SLICES" 'BEGIN { printf "%.0f", a / n }')"
    record "$name" pin_overload_per_s "$(awk -v a="$answered" -v n="$SLICES" 'BEGIN { printf "%.0f", a / n }')"
    record "$name" pin_overload_sent_of_sat "$(awk -v a="$sent" -v s="$sats" 'BEGIN { printf "%.2f", (s > 0 ? a / s : 0) }')"
    record "$name" pin_overload_of_sat "$(awk -v a="$answered" -v s="$sats" 'BEGIN { printf "%.2f", (s > 0 ? a / s : 0) }')"
}

overload() {   # NAME PORT RATE: answered/s, CPUs shared, when offered twice RATE
    local name=$1 port=$2 sat=$3 out
    out=$(load "$port" rate binary --raw lo --rate "$(awk -v s="$sat" 'BEGIN { printf "%d", 2 * s }')")
    record "$name" overload_sent_of_sat "$(awk -v a="$(json "$out" sent_per_s)" -v s="$sat" \
        'BEGIN { printf "%.2f", (s > 0 ? a / s : 0) }')"
    record "$name" overload_per_s "$(json "$out" replies_per_s)"
    record "$name" overload_of_sat "$(awk -v a="$(json "$out" replies_per_s)" -v s="$sat" \
        'BEGIN { printf "%.2f", (s > 0 ? a / s : 0) }')"
}

# Idle: the default 8 workers, after start-up has settled.
settings 8
start_daemon
wait_log 'Start Server OK!' 15 || fail "daemon did not start"
sleep 2   # start-up settles: nothing to wait for
before=$(cat /proc/"$DAEMON_PID"/task/*/status | awk '/ctxt_switches/ {n += $2} END {print n}')
sleep "$idle_seconds"   # the measurement window itself
after=$(cat /proc/"$DAEMON_PID"/task/*/status | awk '/ctxt_switches/ {n += $2} END {print n}')
record velmora idle_wakeups "$(awk -v d=$((after - before)) -v s="$idle_seconds" 'BEGIN { printf "%.1f", d / s }')"
record velmora idle_rss_mb "$(awk '$1 == "VmRSS:" { printf "%.1f", $2 / 1024 }' /proc/"$DAEMON_PID"/status)"
stop_daemon > /dev/null || fail "daemon did not stop"

settings 4
: > "$RUNDIR/Velmorainput"   # the first daemon's q stays behind
start_daemon
wait_log 'Start Server OK!' 15 || fail "daemon did not start"
for ((rep = 1; rep <= reps; rep++)); do
    ip netns exec "$NS_SRV" "$ECHO" --port "$ECHO_PORT" --seconds 300 > /dev/null &
    echo_pid=$!   # the echo server itself: ip netns exec replaces its process
    inflight binary "$echo_pid"
    inflight json "$echo_pid"
    roundtrips binary
    roundtrips json
    others echo "$ECHO_PORT" "$echo_pid" "$BINARY_RATE_echo"
    others velmora 37810 "$DAEMON_PID" "$BINARY_RATE_velmora"
    kill "$echo_pid" 2> /dev/null
    wait "$echo_pid" 2> /dev/null
done
kill -0 "$DAEMON_PID" 2> /dev/null || fail "daemon ended under load"
stop_daemon > /dev/null || fail "daemon did not stop"

python3 - "$RESULTS" "$reps" <<'PY'
import statistics, sys
rows = {}
for line in sys.argv[1].split("\n"):
    if line.strip():
        server, figure, value = line.split()
        rows.setdefault((server, figure), []).append(float(value))
reps = int(sys.argv[2])

def mmm(server, figure, fmt="%.0f"):
    v = rows.get((server, figure))
    if not v:
        return "-"
    return "/".join(fmt % x for x in (min(v), statistics.median(v), max(v)))

def ratios(figure, higher_better=True):
    e, d = rows.get(("echo", figure)), rows.get(("velmora", figure))
    if not e or not d:
        return None
    r = [(b / a if higher_better else a / b) for a, b in zip(e, d) if a > 0 and b > 0]
    return r

table = [
    ("binary replies/s, 64 in flight", "binary_per_s", "%.0f", "ratio >= 0.75", 0.75),
    ("JSON replies/s, 64 in flight", "json_per_s", "%.0f", "ratio >= 0.65", 0.65),
    ("CPU per binary request, us", "binary_cpu_us", "%.1f", "ratio <= 1.6", ("ratio", 1.6)),
    ("CPU per JSON request, us", "json_cpu_us", "%.1f", "ratio <= 1.8", ("ratio", 1.8)),
    ("binary round trip p50, us", "binary_p50_us", "%.0f", "ratio <= 1.2", ("ratio", 1.2)),
    ("binary round trip p99, us", "binary_p99_us", "%.0f", "<= 500", ("max", 500)),
    ("JSON round trip p50, us", "json_p50_us", "%.0f", "ratio <= 1.2", ("ratio", 1.2)),
    ("JSON round trip p99, us", "json_p99_us", "%.0f", "<= 500", ("max", 500)),
    ("overload, server on CPU 0, generator on CPU 1:", None, "", "", None),
    ("  saturation: binary replies/s, 64 in flight", "pin_sat_per_s", "%.0f", "", None),
    ("  sent/s at 2x saturation / saturation", "pin_overload_sent_of_sat", "%.2f", "(2.00 asked)", None),
    ("  answered/s at 2x saturation", "pin_overload_per_s", "%.0f", "", None),
    ("  the same / saturation", "pin_overload_of_sat", "%.2f", ">= 0.95", ("min", 0.95)),
    ("overload, CPUs shared with the generator:", None, "", "", None),
    ("  sent/s at 2x binary rate / binary rate", "overload_sent_of_sat", "%.2f", "(2.00 asked)", None),
    ("  answered/s at 2x binary rate", "overload_per_s", "%.0f", "", None),
    ("  the same / binary rate", "overload_of_sat", "%.2f", "", None),
    ("idle wake-ups/s, 8 workers", "idle_wakeups", "%.1f", "<= 3", ("max", 3)),
    ("idle RSS, MB", "idle_rss_mb", "%.1f", "<= 8", ("max", 8)),
]
print("%d repetitions; min/median/max; ratio = daemon / echo server of the same repetition" % reps)
head = ("figure", "echo server", "velmora", "ratio", "target", "met")
out = [head]
for title, figure, fmt, target, check in table:
    if figure is None:
        out.append((title, "", "", "", "", ""))
        continue
    ratio = ""
    met = ""
    r = ratios(figure) if figure in ("binary_per_s", "json_per_s") else None
    if isinstance(check, tuple) and check[0] == "ratio":   # the daemon's figure over the echo's
        r = ratios(figure)
    if r:
        ratio = "/".join("%.2f" % x for x in (min(r), statistics.median(r), max(r)))
    if isinstance(check, float) and r:
        met = "yes" if statistics.median(r) >= check else "NO"
    elif isinstance(check, tuple) and check[0] == "ratio":
        met = ("yes" if statistics.median(r) <= check[1] else "NO") if r else ""
    elif isinstance(check, tuple):
        v = rows.get(("velmora", figure))
        if v:
            m = statistics.median(v)
            met = "yes" if (m <= check[1] if check[0] == "max" else m >= check[1]) else "NO"
    out.append((title, mmm("echo", figure, fmt), mmm("velmora", figure, fmt), ratio, target, met))
widths = [max(len(r[i]) for r in out) for i in range(len(head))]
for i, r in enumerate(out):
    print("| " + " | ".join(c.ljust(widths[k]) for k, c in enumerate(r)) + " |")
    if i == 0:
        print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
PY
