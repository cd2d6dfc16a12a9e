# Network namespace helpers for the end-to-end scenarios. Sourced after
# common.sh (uses on_cleanup). Every name carries this shell's pid, so
# scenarios never collide with each other or with the host.
#
#   make_ns_pair        server namespace $NS_SRV and client namespace $NS_CLI,
#                       joined by vsrv0 (SRV_MAC0, SRV_IP0/24) <-> vcli0 (CLI_IP0/24);
#                       the server's default route goes via CLI_IP0, so vsrv0's
#                       gateway is known; 224.0.0.0/4 leaves through the veth on
#                       both sides.
#   add_second_adapter  vsrv1 (SRV_MAC1, SRV_IP1/24) <-> vcli1 (CLI_IP1/24).
#   add_cli_addrs PFX FIRST LAST [DEV]
#                       adds PFX.FIRST .. PFX.LAST/24 to a client interface.
#   cli_anyip           every address of ANYIP_NET is local in the client
#                       namespace (bindable without adding it); the server reaches
#                       it through its default route.
#   in_srv CMD...       run CMD in the server namespace
#   in_cli CMD...       run CMD in the client namespace

NS_SRV="vmsrv$$"
NS_CLI="vmcli$$"

SRV_DEV0=vsrv0 SRV_MAC0=02:00:00:00:00:01 SRV_IP0=10.88.0.1
CLI_DEV0=vcli0 CLI_MAC0=02:00:00:00:00:11 CLI_IP0=10.88.0.2
SRV_DEV1=vsrv1 SRV_MAC1=02:00:00:00:00:02 SRV_IP1=10.89.0.1
CLI_DEV1=vcli1 CLI_MAC1=02:00:00:00:00:12 CLI_IP1=10.89.0.2
NETMASK=255.255.255.0
GROUP=239.255.255.251
ANYIP_NET=10.77.0.0/16

in_srv() { ip netns exec "$NS_SRV" "$@"; }
in_cli() { ip netns exec "$NS_CLI" "$@"; }

# Joins the two namespaces with one veth pair and brings both ends up.
_ns_link() {   # srv_dev srv_mac srv_ip cli_dev cli_mac cli_ip
    ip link add "$1" address "$2" netns "$NS_SRV" type veth \
        peer name "$4" address "$5" netns "$NS_CLI" || return 1
    ip -n "$NS_SRV" addr add "$3/24" dev "$1" || return 1
    ip -n "$NS_CLI" addr add "$6/24" dev "$4" || return 1
    ip -n "$NS_SRV" link set "$1" up || return 1
    ip -n "$NS_CLI" link set "$4" up || return 1
}

make_ns_pair() {
    if ! ip netns add "$NS_SRV" 2>/dev/null; then
        echo "SKIP: cannot create network namespaces (ip netns add failed)" >&2
        exit 77
    fi
    on_cleanup "ip netns del $NS_SRV"
    ip netns add "$NS_CLI" || fail "ip netns add $NS_CLI"
    on_cleanup "ip netns del $NS_CLI"
    ip -n "$NS_SRV" link set lo up && ip -n "$NS_CLI" link set lo up \
        || fail "loopback up"
    _ns_link "$SRV_DEV0" "$SRV_MAC0" "$SRV_IP0" "$CLI_DEV0" "$CLI_MAC0" "$CLI_IP0" \
        || fail "veth pair $SRV_DEV0/$CLI_DEV0"
    ip -n "$NS_SRV" route add default via "$CLI_IP0" dev "$SRV_DEV0" \
        || fail "default route in $NS_SRV"
    ip -n "$NS_SRV" route add 224.0.0.0/4 dev "$SRV_DEV0" || fail "multicast route (server)"
    ip -n "$NS_CLI" route add 224.0.0.0/4 dev "$CLI_DEV0" || fail "multicast route (client)"
}

add_second_adapter() {
    _ns_link "$SRV_DEV1" "$SRV_MAC1" "$SRV_IP1" "$CLI_DEV1" "$CLI_MAC1" "$CLI_IP1" \
        || fail "veth pair $SRV_DEV1/$CLI_DEV1"
}

add_cli_addrs() {   # prefix first last [dev]
    local i dev=${4:-$CLI_DEV0}
    for ((i = $2; i <= $3; i++)); do
        echo "addr add $1.$i/24 dev $dev"
    done | ip -n "$NS_CLI" -batch - || fail "client addresses $1.$2-$3"
}

cli_anyip() {
    ip -n "$NS_CLI" route add local "$ANYIP_NET" dev lo || fail "local route $ANYIP_NET"
}

# The discovery test client, run in the client namespace.
PROBE_PY="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/probe.py"
probe() { in_cli python3 "$PROBE_PY" "$@"; }
check_replies() { python3 "$PROBE_PY" check "$@"; }

# Adapter rows as probe.py check takes them: MAC,IP,MASK,GATEWAY. Only vsrv0
# carries the default route, so vsrv1 has no gateway.
ADAPTER0="$SRV_MAC0,$SRV_IP0,$NETMASK,$CLI_IP0"
ADAPTER1="$SRV_MAC1,$SRV_IP1,$NETMASK,0.0.0.0"

# wait_count REGEX N [SECONDS=10]: waits until $LOG has exactly N matching
# lines (returns 1 on timeout or when more than N appear).
wait_count() {
    local end=$(( $(date +%s%3N) + ${3:-10} * 1000 )) n
    while :; do
        n=$(count_log "$1")
        [ "$n" -eq "$2" ] && return 0
        [ "$n" -gt "$2" ] && return 1
        [ "$(date +%s%3N)" -ge "$end" ] && return 1
        sleep 0.05
    done
}
