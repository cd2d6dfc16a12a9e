#!/usr/bin/env bash
# 20-ns-flood.sh: after a bounded flood of random datagrams (see probe.py) from
# 64 source addresses, the daemon is alive, answers both forms from a fresh
# address, and stops on q with status 0.
. "$(dirname "$0")/common.sh"
need_root
trap cleanup EXIT
make_ns_pair
ip -n "$NS_CLI" route add local 10.77.0.0/16 dev lo || fail "local route for the flood's sources"
start_daemon
wait_log 'Start Server OK!' 15 || fail "server did not start"

in_cli python3 "$(dirname "$0")/probe.py" flood "$SRV_IP" "$GROUP" "$CLI_IP" || fail "flood sent nothing"
# The backlog may still drain: up to three tries, each past the filter interval.
for _ in 1 2 3; do
    in_cli "$SEARCH" --host "$SRV_IP" --json --timeout 3 > "$WORKDIR/rows" && grep -q '"forms":\["json","binary"\]' "$WORKDIR/rows" \
        && break
done
grep -q '"forms":\["json","binary"\]' "$WORKDIR/rows" || fail "no answer of both forms after the flood: $(cat "$WORKDIR/rows")"
stop_daemon || fail "exit status $DAEMON_STATUS after q"
pass
