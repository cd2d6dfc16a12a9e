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
in_cli "$SEARCH" --host "$SRV_IP" --json --timeout 5 > "$WORKDIR/rows" || fail "no answer after the flood"
grep -q '"forms":"json,binary"' "$WORKDIR/rows" || fail "rows: $(cat "$WORKDIR/rows")"
stop_daemon || fail "exit status $DAEMON_STATUS after q"
pass
