#!/usr/bin/env bash
# 14-ns-group-churn.sh: group discovery on a host that boots, churns links
# and has many adapters. A start with loopback alone opens the group
# endpoints once a link comes (status 9 of 9); 40 links added and deleted in
# turn are each answered through the group; with 26 links at start the last
# is joined, and with 21 of them excluded the one uplink added after them is;
# a link that loses its carrier leaves the table and comes back with it; the
# host's own address beside the groups on the same ports opens all nine
# endpoints, and both unicast and group searches are answered.
. "$(dirname "$0")/common.sh"
need_root
CTL=${VELMORA_CTL:-${VELMORA_BUILD_DIR:-$SRC/build}/tools/velmoractl/velmoractl}
[ -x "$CTL" ] || fail "velmoractl binary $CTL not built"
trap cleanup EXIT
make_ns_pair
ip -n "$NS_CLI" route add local 10.77.0.0/16 dev lo || fail "local sources"
net=0

# A JSON search through the group (or to host $2) over the client address $1,
# repeated until a reply comes, at most 3 s.
answered() { net=$((net + 1)); in_cli python3 "$SRC/tests/e2e/probe.py" until "$1" "$net" "${2:-$GROUP}" IPAddress 0 3 > /dev/null; }
conf() { sed "s|</Velmora>|$*</Velmora>|" "$SRC/demo/Velmora/Velmora.xml" > "$RUNDIR/Velmora.xml"; }
start() { printf D > "$RUNDIR/Velmorainput"; start_daemon; wait_log 'Start Server OK!' 15 || fail "no start"; }
# Waits (10 s at most) until velmoractl status exits with $1 and prints line $2.
status_is() {
    local end=$(($(_now_ms) + 10000))
    until "$CTL" -C "$RUNDIR" status > "$WORKDIR/status" 2>&1; [ $? -eq "$1" ] && grep -q -- "$2" "$WORKDIR/status"; do
        [ "$(_now_ms)" -lt "$end" ] || fail "status: want exit $1 and '$2': $(cat "$WORKDIR/status")"; sleep 0.1
    done
}
# Link $1 (server side) <-> $2 (client side) on 10.$3.0.1/24 <-> 10.$3.0.2/24.
link() {
    ip link add "$1" netns "$NS_SRV" type veth peer name "$2" netns "$NS_CLI" \
        && ip -n "$NS_SRV" addr add "10.$3.0.1/24" dev "$1" && ip -n "$NS_CLI" addr add "10.$3.0.2/24" dev "$2" \
        && ip -n "$NS_CLI" link set "$2" up && ip -n "$NS_SRV" link set "$1" up || fail "link $1"
}

# Loopback alone at start: the group endpoints open with the first link.
conf ''
ip -n "$NS_SRV" link set vsrv0 down || fail "link down"
start
wait_log 'endpoint 239.255.255.251:37810 not open' 5 || fail "a group endpoint opened without an interface"
status_is 4 'endpoints: 6 of 9 open'
T=$(_now_ms)
ip -n "$NS_SRV" link set vsrv0 up && ip -n "$NS_SRV" route replace default via "$CLI_IP" || fail "link up"
answered "$CLI_IP" || fail "no group reply after the first link came"
echo "first link after a start with loopback alone: group reply after $(($(_now_ms) - T)) ms"
wait_log "StartUDP ret.0. host.239.255.255.251:57810" 3 && [ "$(count_log "StartUDP ret.0. host.239.255.255.251:")" -eq 3 ] || fail "the group endpoints' opening lines"
status_is 0 'endpoints: 9 of 9 open'

# Churn: more links added and deleted than one socket has memberships.
for i in $(seq 1 40); do
    link vsrv1 vcli1 89
    answered 10.89.0.2 || fail "cycle $i: no group reply over the new link"
    ip -n "$NS_SRV" link del vsrv1 || fail "link del"
done
grep -q 'not joined' "$LOG" && fail "a join failed during the churn"
status_is 0 'endpoints: 9 of 9 open'

# Carrier: the peer goes down, the row goes and comes back.
ip -n "$NS_CLI" link set vcli0 down || fail "peer down"
wait_log 'adapter table changed: 0 rows; removed vsrv0( vsrv1)?$' 3 || fail "no carrier: the row stays"
ip -n "$NS_CLI" link set vcli0 up || fail "peer up"
wait_log 'adapter table changed: 1 row; added vsrv0$' 3 || fail "carrier back: no row"
ip -n "$NS_CLI" route replace 224.0.0.0/4 dev vcli0 || fail "group route"
stop_daemon || fail "exit status $DAEMON_STATUS"

# 26 links at start: the last one is joined too.
for n in $(seq 1 26); do link "vx$n" "vy$n" $((100 + n)); done
start
answered 10.126.0.2 || fail "26 links: no group reply over the last"
grep -q 'not joined' "$LOG" && fail "26 links: a join failed"
stop_daemon || fail "exit status $DAEMON_STATUS"

# The 26 links excluded, the one uplink added after them (a higher index).
link vup vcup 99
conf '<AdapterExclude>vx* vsrv0</AdapterExclude>'
start
answered 10.99.0.2 || fail "excluded links: no group reply over the uplink"
status_is 0 'endpoints: 9 of 9 open'
stop_daemon || fail "exit status $DAEMON_STATUS"

# The host's own address beside the groups, on the same ports.
sed "0,/<UdpHost>0.0.0.0</s||<UdpHost>$SRV_IP<|" "$SRC/demo/Velmora/Velmora.xml" > "$RUNDIR/Velmora.xml"
start
grep -q "UdpListenInfo1 Listen1\[$SRV_IP:37810\]" "$LOG" || fail "the address is not configured"
[ "$(count_log 'StartUDP ret\[0\]')" -eq 9 ] || fail "not every endpoint opened"
answered "$CLI_IP" "$SRV_IP" || fail "no unicast reply"
answered "$CLI_IP" || fail "no group reply"
status_is 0 'endpoints: 9 of 9 open'
stop_daemon || fail "exit status $DAEMON_STATUS"
pass
