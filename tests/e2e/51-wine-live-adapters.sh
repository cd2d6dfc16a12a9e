#!/usr/bin/env bash
# 51-wine-live-adapters.sh: the Windows build under Wine follows the server's
# interfaces too. Started with loopback alone (its group endpoints cannot
# open), a link added after start is answered through the group within the
# fallback period (Wine may report no change, so the 30 s re-read finds it):
# the group endpoints open then. Prints the time from the link change to the
# first reply that carries it.
. "$(dirname "$0")/common.sh"
need_root
need_wine
trap cleanup EXIT
make_ns_pair
ip -n "$NS_CLI" route add local 10.77.0.0/16 dev lo || fail "local sources"
use_wine
BIN=$WIN_BIN
ip -n "$NS_SRV" link set vsrv0 down || fail "link down"
start_daemon
wait_log 'Start Server OK!' 30 && grep -q 'StartUDP ret\[-.*host\[239.255.255.251:37810\]' "$LOG" \
    || fail "no start, or a group endpoint opened without an adapter"
ip link add vsrv1 netns "$NS_SRV" type veth peer name vcli1 netns "$NS_CLI" && ip -n "$NS_CLI" addr add 10.89.0.2/24 dev vcli1 \
    && ip -n "$NS_CLI" link set vcli1 up && ip -n "$NS_SRV" link set vsrv1 up || fail "second link"
T=$(_now_ms)
ip -n "$NS_SRV" addr add 10.89.0.1/24 dev vsrv1 && ip -n "$NS_SRV" route add default via 10.89.0.2 || fail "second link's address"
# 30 s fallback, a second of coalescing, and room for Wine's slower query.
ms=$(in_cli python3 "$SRC/tests/e2e/probe.py" until 10.89.0.2 1 "$GROUP" '"IPAddress" : "10.89.0.1"' "$T" 40) \
    || fail "second link not answered within 40 s"
echo "link added: first reply through it after $ms ms"
wait_log 'adapter table changed: 1 row; added vsrv1' 5 && wait_log 'StartUDP ret\[0\] host\[239.255.255.251:57810\]' 5 \
    || fail "no change line, or the group endpoints not opened"
in_cli python3 "$SRC/tests/e2e/probe.py" ask 10.89.0.2 2 1 "$GROUP" "$SRC/fuzz/corpus/binary" > "$WORKDIR/ask" \
    || fail "no binary reply through the group: $(cat "$WORKDIR/ask")"
stop_daemon || fail "exit status $DAEMON_STATUS"
pass
