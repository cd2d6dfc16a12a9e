#!/usr/bin/env bash
# 10-ns-listen-set.sh: with the default configuration the nine sockets bind in
# order, the group is joined on the veth, and the adapter table holds exactly
# the namespace's veth (no loopback row); q stops everything with status 0.
. "$(dirname "$0")/common.sh"
. "$(dirname "$0")/ns.sh"
need_root
trap cleanup EXIT
make_ns_pair
make_workdir
write_config
start_daemon ip netns exec "$NS_SRV"
wait_log 'Start Server OK!' 10 || fail "no \"Start Server OK!\""

want=$(printf 'StartUDP ret[0] host[%s]\n' \
    0.0.0.0:37810 0.0.0.0:47810 0.0.0.0:57810 0.0.0.0:5050 0.0.0.0:15050 0.0.0.0:25050 \
    "$GROUP:37810" "$GROUP:47810" "$GROUP:57810")
got=$(grep -oE 'StartUDP ret\[-?[0-9]+\] host\[[^]]*\]' "$LOG")
[ "$got" = "$want" ] || fail "listen lines differ:
$got"

# The handler starts before the first socket is opened.
first_udp=$(grep -n 'StartUDP ret' "$LOG" | head -n1 | cut -d: -f1)
handler_ok=$(grep -n 'Start Handler OK' "$LOG" | head -n1 | cut -d: -f1)
[ -n "$handler_ok" ] && [ "$handler_ok" -lt "$first_udp" ] \
    || fail "\"Start Handler OK\" is not logged before the first StartUDP line"

row="adapterName[$SRV_DEV0] macAddr[$SRV_MAC0] hostAddr[$SRV_IP0] subNetMask[$NETMASK] gateWayAddr[$CLI_IP0] isOK[1]"
grep -qF -- "$row" "$LOG" || fail "adapter line missing: $row"
[ "$(count_log 'adapterName\[')" -eq 1 ] || fail "expected exactly one adapter line"
[ "$(count_log 'adapterName\[lo\]|hostAddr\[127\.')" -eq 0 ] || fail "loopback row in the adapter table"

# What the kernel says: six wildcard and three group sockets, and the group
# joined on the veth.
bound=$(in_srv ss -H -u -l -n | awk '{print $4}' | sort)
want_bound=$(printf '%s\n' 0.0.0.0:37810 0.0.0.0:47810 0.0.0.0:57810 0.0.0.0:5050 \
    0.0.0.0:15050 0.0.0.0:25050 "$GROUP:37810" "$GROUP:47810" "$GROUP:57810" | sort)
[ "$bound" = "$want_bound" ] || fail "bound sockets differ:
$bound"
in_srv ip maddr show dev "$SRV_DEV0" | grep -qF "$GROUP" || fail "group $GROUP not joined on $SRV_DEV0"

stop_daemon; status=$?
[ "$status" -eq 0 ] || fail "exit status $status after q"
for line in 'pressed q \.\.\.' 'Stop Handler OK' 'Stop Server OK' 'Velmora End'; do
    [ "$(count_log "$line")" -eq 1 ] || fail "expected one \"$line\" line at stop"
done
order=$(grep -oE 'Stop Handler OK|Stop Server OK|Velmora End' "$LOG" | tr '\n' ,)
[ "$order" = "Stop Handler OK,Stop Server OK,Velmora End," ] || fail "stop order: $order"
pass
