#!/usr/bin/env bash
# 20-ns-flood.sh: after a bounded flood of random datagrams (random heads,
# lengths 0..65507, mostly small, broken JSON among them) from hundreds of
# source addresses and ports, the daemon is alive, still answers both forms
# from a fresh address, prints its state on S, and stops on q with status 0.
. "$(dirname "$0")/common.sh"
. "$(dirname "$0")/ns.sh"
need_root
trap cleanup EXIT
make_ns_pair
cli_anyip
add_cli_addrs 10.88.0 10 11
make_workdir
write_config 4 2
start_daemon ip netns exec "$NS_SRV"
wait_log 'Start Server OK!' 10 || fail "no \"Start Server OK!\""

probe flood --host "$SRV_IP0" --ports 37810,47810,57810,5050,15050,25050 \
    --group "$GROUP" --group-ports 37810,47810,57810 --mcast-if "$CLI_IP0" \
    --src-net "$ANYIP_NET" --hosts 400 --count 20000 --seconds 10 --seed $$ \
    > "$WORKDIR/flood" || fail "flood sent nothing"
echo "flood: $(cat "$WORKDIR/flood")"
daemon_alive || fail "daemon died during the flood"

# Fresh addresses, both forms, unicast and group: the backlog may still drain,
# so the replies get a generous (bounded) timeout.
probe send --host "$SRV_IP0" --port 37810 --bind-addr 10.88.0.10 --expect 1 --timeout 15 \
    > "$WORKDIR/json" || fail "JSON request after the flood not answered"
check_replies "$WORKDIR/json" --adapter "$ADAPTER0" --src "$SRV_IP0:37810" || fail "JSON reply"
probe send --host "$GROUP" --port 47810 --bind-addr 10.88.0.10 --form binary --b1 1 --b16 2 \
    --expect 1 --timeout 15 > "$WORKDIR/bin" || fail "binary request after the flood not answered"
check_replies "$WORKDIR/bin" --form binary --adapter "$ADAPTER0" --src "$SRV_IP0:47810" \
    --b1 1 --b16 2 --port 37810 || fail "binary reply"
probe send --host "$GROUP" --port 57810 --bind-addr 10.88.0.11 --expect 1 --timeout 15 \
    > "$WORKDIR/json2" || fail "group JSON request after the flood not answered"
daemon_alive || fail "daemon died"

# The state dump: the filter holds the flood's request hosts plus the two fresh
# ones; hosts print in string order, so 10.88.0.11 comes last, 0xA3 before 0x20.
send_cmd S
wait_log 'Print Server Info' 5 || fail "S not taken"
wait_log 'Addr\[10\.88\.0\.11\] Head\[0x20\] tick\[[0-9]+\]' 10 || fail "filter dump incomplete"
dump=$(sed -n '/Print Server Info/,$p' "$LOG")
grep -qE 'm_waitHandleData size\[[0-9]+\]' <<< "$dump" || fail "no queue size line"
hosts=$(grep -oE 'm_waitHandleTag size\[[0-9]+\] $' <<< "$dump" | grep -oE '[0-9]+')
[ -n "$hosts" ] || fail "no filter size line (with its trailing blank)"
req_hosts=$(python3 -c 'import json,sys; print(json.load(sys.stdin)["request_hosts"])' < "$WORKDIR/flood")
[ "$hosts" -ge 2 ] && [ "$hosts" -le $((req_hosts + 2)) ] \
    || fail "filter holds $hosts hosts; the flood had $req_hosts request hosts, plus 2 fresh"
[ "$(grep -cE 'Addr\[[0-9.]+\] Head\[0x(20|a3)\] tick\[[0-9]+\]' <<< "$dump")" -le $((2 * hosts)) ] \
    || fail "more filter rows than two per host"
tail_rows=$(grep -E 'Addr\[' <<< "$dump" | tail -n 3 | grep -oE 'Addr\[[^]]*\] Head\[0x[0-9a-f]+\]' | tr '\n' ' ')
[ "$tail_rows" = "Addr[10.88.0.10] Head[0xa3] Addr[10.88.0.10] Head[0x20] Addr[10.88.0.11] Head[0x20] " ] \
    || fail "filter rows out of order: $tail_rows"

stop_daemon || fail "exit status $DAEMON_STATUS after q"
wait_log 'Stop Handler OK' 1 || fail "no \"Stop Handler OK\""
pass
