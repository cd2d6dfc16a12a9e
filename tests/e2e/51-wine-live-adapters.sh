#!/usr/bin/env bash
# 51-wine-live-adapters.sh: the Windows build under Wine follows the server's
# interfaces too. A second link added after start is answered through the
# group within the fallback period (Wine may report no change, so the 30 s
# re-read finds it), with a reply for each of the two adapters. Prints the
# time from the link change to the first reply that carries it.
. "$(dirname "$0")/common.sh"
need_root
need_wine
trap cleanup EXIT
make_ns_pair
ip -n "$NS_CLI" route add local 10.77.0.0/16 dev lo || fail "local sources"
use_wine
BIN=$WIN_BIN
start_daemon
wait_log 'Start Server OK!' 30 || fail "no start"
ip link add vsrv1 netns "$NS_SRV" type veth peer name vcli1 netns "$NS_CLI" && ip -n "$NS_CLI" addr add 10.89.0.2/24 dev vcli1 \
    && ip -n "$NS_CLI" link set vcli1 up && ip -n "$NS_SRV" link set vsrv1 up || fail "second link"
T=$(_now_ms)
ip -n "$NS_SRV" addr add 10.89.0.1/24 dev vsrv1 || fail "second link's address"
# 30 s fallback, a second of coalescing, and room for Wine's slower query.
ms=$(in_cli python3 "$SRC/tests/e2e/probe.py" until 10.89.0.2 1 "$GROUP" '"IPAddress" : "10.89.0.1"' "$T" 40) \
    || fail "second link not answered within 40 s"
echo "link added: first reply through it after $ms ms"
wait_log 'adapter table changed: 2 rows; added vsrv1' 5 || fail "no change line"
in_cli python3 "$SRC/tests/e2e/probe.py" ask "$CLI_IP" 2 2 "$GROUP" "$SRC/fuzz/corpus/binary" > "$WORKDIR/ask" \
    || fail "want a reply per adapter: $(cat "$WORKDIR/ask")"
stop_daemon || fail "exit status $DAEMON_STATUS"
pass
