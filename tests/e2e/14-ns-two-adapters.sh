#!/usr/bin/env bash
# 14-ns-two-adapters.sh: with two adapters every request, of either form, to
# either unicast address or to the group, gets two replies, one per adapter,
# each with that adapter's own MAC, address, mask and gateway.
. "$(dirname "$0")/common.sh"
. "$(dirname "$0")/ns.sh"
need_root
trap cleanup EXIT
make_ns_pair
add_second_adapter
add_cli_addrs 10.88.0 10 13
add_cli_addrs 10.89.0 10 11 "$CLI_DEV1"
make_workdir
write_config 4 2
start_daemon ip netns exec "$NS_SRV"
wait_log 'Start Server OK!' 10 || fail "no \"Start Server OK!\""

[ "$(count_log 'adapterName\[')" -eq 2 ] || fail "want two adapter lines"
for row in \
    "adapterName[$SRV_DEV0] macAddr[$SRV_MAC0] hostAddr[$SRV_IP0] subNetMask[$NETMASK] gateWayAddr[$CLI_IP0] isOK[1]" \
    "adapterName[$SRV_DEV1] macAddr[$SRV_MAC1] hostAddr[$SRV_IP1] subNetMask[$NETMASK] gateWayAddr[0.0.0.0] isOK[1]"; do
    grep -qF -- "$row" "$LOG" || fail "adapter line missing: $row"
done

# dst port source reply-source
for req in "$SRV_IP0 37810 10.88.0.10 $SRV_IP0" "$SRV_IP1 5050 10.89.0.10 $SRV_IP1" \
           "$GROUP 47810 10.88.0.11 $SRV_IP0" "$SRV_IP0 25050 10.88.0.12 $SRV_IP0" \
           "$SRV_IP1 15050 10.89.0.11 $SRV_IP1" "$GROUP 57810 10.88.0.13 $SRV_IP0"; do
    set -- $req
    form=json; case $2 in 25050|15050|57810) form=binary ;; esac
    out=$WORKDIR/$form-$1-$2
    probe send --host "$1" --port "$2" --bind-addr "$3" --form "$form" --b1 0x31 --b16 0x32 \
        --expect 2 --timeout 3 > "$out" || fail "$form to $1:$2: $(wc -l < "$out") replies, want 2"
    if [ "$form" = json ]; then
        check_replies "$out" --adapter "$ADAPTER0" --adapter "$ADAPTER1" --src "$4:$2" \
            || fail "JSON replies to $1:$2"
    else
        check_replies "$out" --form binary --adapter "$ADAPTER0" --adapter "$ADAPTER1" \
            --src "$4:$2" --b1 0x31 --b16 0x32 --port 37810 || fail "binary replies to $1:$2"
    fi
done

stop_daemon || fail "exit status $DAEMON_STATUS"
pass
