#!/usr/bin/env bash
# 12-ns-live-adapters.sh: the adapter table, the group memberships and the
# replies follow the server's interfaces while the daemon runs. A second
# link added after start is answered through the group within 3 s, and both
# links get a reply per adapter with its current address; a new address, a
# deleted link and a link taken down and up show in the replies. A daemon
# started with loopback alone (and the second link excluded by
# AdapterExclude) waits for an adapter and answers once one comes, never for
# the excluded one; with AdapterRefresh 0 a link added later gets nothing.
# Prints the time from each link change to the first reply that carries it.
. "$(dirname "$0")/common.sh"
need_root
trap cleanup EXIT
make_ns_pair
ip -n "$NS_CLI" route add local 10.77.0.0/16 dev lo || fail "local sources"
net=0

# The addresses that the JSON replies of the last ask carry, sorted.
addrs() {
    awk '{print $4}' "$WORKDIR/ask" | python3 -c 'import re, sys
for line in sys.stdin:
    print("\n".join(re.findall(r"\"IPAddress\" : \"([0-9.]+)\"", bytes.fromhex(line.strip()).decode("latin-1"))))' \
        | sort | paste -sd' '
}
# A search through the group over the link with client address $1, from
# sources of their own (none in the filter yet): up to $2 replies in 3 s.
ask() {
    net=$((net + 1))
    in_cli python3 "$SRC/tests/e2e/probe.py" ask "$1" "$net" "$2" "$GROUP" "$SRC/fuzz/corpus/json-search" > "$WORKDIR/ask"
}
# Searches as ask does until a reply carries text $2 (at most $4 s); MS: the
# time since $3 (ms) when it came.
until_reply() {
    net=$((net + 1)) MS=
    MS=$(in_cli python3 "$SRC/tests/e2e/probe.py" until "$1" "$net" "$GROUP" "$2" "$3" "$4")
}
carries() { until_reply "$1" "\"IPAddress\" : \"$2\"" "$3" 10; }
# The link vsrv1 10.89.0.1/24 <-> vcli1 10.89.0.2/24; T: when the server's side got its address.
second_link() {
    ip link add vsrv1 netns "$NS_SRV" type veth peer name vcli1 netns "$NS_CLI" && ip -n "$NS_CLI" addr add 10.89.0.2/24 dev vcli1 \
        && ip -n "$NS_CLI" link set vcli1 up && ip -n "$NS_SRV" link set vsrv1 up || fail "second link"
    T=$(_now_ms)
    ip -n "$NS_SRV" addr add 10.89.0.1/24 dev vsrv1 || fail "second link's address"
}
default_route() { ip -n "$NS_SRV" route replace default via "$CLI_IP" || fail "default route"; }
conf() {   # Velmora.xml: the demo's, with the given elements added
    sed "s|</Velmora>|$*</Velmora>|" "$SRC/demo/Velmora/Velmora.xml" > "$RUNDIR/Velmora.xml"
}
start() { printf D > "$RUNDIR/Velmorainput"; start_daemon; wait_log 'Start Server OK!' 15 || fail "no start"; }

# Following the interfaces, with the default settings.
start
second_link
carries 10.89.0.2 10.89.0.1 "$T" && [ "$MS" -le 3000 ] || fail "second link not answered within 3 s (${MS:-none})"
echo "link added: first reply through it after $MS ms"
for link in "$CLI_IP" 10.89.0.2; do
    ask "$link" 2 && [ "$(addrs)" = "10.88.0.1 10.89.0.1" ] || fail "via $link: replies for $(addrs)"
done
T=$(_now_ms)
ip -n "$NS_SRV" addr flush dev vsrv0 && ip -n "$NS_SRV" addr add 10.88.0.5/24 dev vsrv0 || fail "readdress"
default_route
carries "$CLI_IP" 10.88.0.5 "$T" || fail "new address not announced"
echo "address changed: first reply with it after $MS ms"
ask 10.89.0.2 2 && [ "$(addrs)" = "10.88.0.5 10.89.0.1" ] || fail "after readdressing: $(addrs)"
ip -n "$NS_SRV" link del vsrv1 || fail "link del"
wait_log 'adapter table changed: 1 row; removed vsrv1$' 5 || fail "removal not seen"
ask "$CLI_IP" 2 && fail "two replies after the removal"
[ "$(addrs)" = 10.88.0.5 ] || fail "after the removal: $(addrs)"
ip -n "$NS_SRV" link set vsrv0 down || fail "link down"
wait_log 'adapter table changed: 0 rows; removed vsrv0$' 5 || fail "link down not seen"
T=$(_now_ms)
ip -n "$NS_SRV" link set vsrv0 up || fail "link up"
default_route
carries "$CLI_IP" 10.88.0.5 "$T" || fail "no answer after the link came up"
echo "link down and up: first reply after $MS ms"
grep -q 'group .* not joined' "$LOG" && fail "a failed join"
stop_daemon || fail "exit status $DAEMON_STATUS"

# Loopback alone at start, the second link excluded.
conf '<AdapterExclude>vsrv1 dock*</AdapterExclude>'
ip -n "$NS_SRV" link set vsrv0 down && second_link
start
grep -q 'AdapterExclude\[vsrv1 dock\*\]' "$LOG" && grep -q 'Velmora waits for an adapter' "$LOG" || fail "no waiting line"
T=$(_now_ms)
ip -n "$NS_SRV" link set vsrv0 up && default_route
carries "$CLI_IP" 10.88.0.5 "$T" || fail "no answer once an adapter came"
echo "first adapter after a start without one: first reply after $MS ms"
wait_log 'adapter table changed: 1 row; added vsrv0$' 5 && ! grep -q 'adapterName\[vsrv1\]' "$LOG" || fail "vsrv1 announced"
until_reply 10.89.0.2 IPAddress "$(_now_ms)" 3 && fail "the excluded link got an answer"
stop_daemon || fail "exit status $DAEMON_STATUS"
ip -n "$NS_SRV" link del vsrv1 || fail "link del"

# AdapterRefresh 0: read once at start, as before.
conf '<AdapterRefresh>0</AdapterRefresh>'
start
grep -q 'AdapterRefresh\[0\]' "$LOG" || fail "AdapterRefresh not logged"
second_link
until_reply 10.89.0.2 IPAddress "$T" 3 && fail "AdapterRefresh 0: the new link got an answer"
grep -q 'adapter table changed' "$LOG" && fail "AdapterRefresh 0: the table changed"
stop_daemon || fail "exit status $DAEMON_STATUS"
pass
