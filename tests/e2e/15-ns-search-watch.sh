#!/usr/bin/env bash
# 15-ns-search-watch.sh: velmora-search --watch from the client namespace, as
# a table (binary requests) and as JSON lines (JSON requests) at once: a
# responder that starts is a "+" row, its new address an "=" row with that
# address, its stop a "-" row after the missed rounds; in that order and
# nothing else, each with the local interface. Both end on SIGINT with 0,
# and neither writes to standard error (the JSON one is verbose).
. "$(dirname "$0")/common.sh"
need_root
trap cleanup EXIT
make_ns_pair
cp "$SRC/demo/Velmora/Velmora.xml" "$RUNDIR/"
mkdir -p "$WORKDIR/nginx/conf" && printf 'listen 8080;\n' > "$WORKDIR/nginx/conf/port.conf"

watch() {   # OUT ARGS...: a watcher in the client namespace; its own pid in WATCHERS
    ip netns exec "$NS_CLI" "$SEARCH" --watch --interval 3 --timeout 1 --gone-after 2 "${@:2}" > "$WORKDIR/$1" 2> "$WORKDIR/$1.err" &
    WATCHERS+=($!)
    _CLEANUP+=("kill $!")
}
until_lines() {   # N: both outputs have N lines (30 s at most)
    local end=$(($(_now_ms) + 30000))
    until [ "$(wc -l < "$WORKDIR/table")$(wc -l < "$WORKDIR/json")" = "$1$1" ]; do
        [ "$(_now_ms)" -lt "$end" ] || fail "want $1 lines: $(cat "$WORKDIR/table" "$WORKDIR/json")"; sleep 0.1
    done
}
WATCHERS=()
watch table --form binary
watch json --form json --json --verbose
start_daemon
wait_log 'Start Server OK!' 10 || fail "no start"
until_lines 1
ip -n "$NS_SRV" addr flush dev vsrv0 && ip -n "$NS_SRV" addr add 10.88.0.5/24 dev vsrv0 || fail "readdress"
until_lines 2
stop_daemon || fail "daemon stop"
until_lines 3
kill -INT "${WATCHERS[@]}"
for pid in "${WATCHERS[@]}"; do wait "$pid" || fail "watcher $pid ended with $?"; done
! grep . "$WORKDIR"/*.err || fail "watchers wrote errors"

MAC=$(ip -n "$NS_SRV" -br link show vsrv0 | awk '{print $3}')
python3 - "$WORKDIR" "$MAC" <<'PY' || fail "events: $(cat "$WORKDIR/table" "$WORKDIR/json")"
import json, sys
rows = [json.loads(line) for line in open(sys.argv[1] + '/json')]
want = [(e, a, a, sys.argv[2], 'vcli0') for e, a in (('+', '10.88.0.1'), ('=', '10.88.0.5'), ('-', '10.88.0.5'))]
got = [(r['event'], r['responder'], r['address'], r['mac'], r['interface'], r['forms']) for r in rows]
assert got == [w + (['json'],) for w in want], got
table = [(r[0], r[1], r[2], r[5], r[14], r[13]) for r in map(str.split, open(sys.argv[1] + '/table'))]
assert table == [w + ('binary',) for w in want], table
assert all(r['httpPort'] == 8080 and r['serial'] for r in rows), rows
PY
pass
