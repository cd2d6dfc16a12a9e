#!/usr/bin/env bash
# 11-ns-duplicate-filter.sh: a request to the group reaches the wildcard and
# the group socket of 37810 but is queued and answered once; a repeat from the
# same host and head inside the filter interval is dropped, the other head is
# not, and after the interval the same request is answered again.
. "$(dirname "$0")/common.sh"
. "$(dirname "$0")/ns.sh"
need_root
trap cleanup EXIT
make_ns_pair
add_cli_addrs 10.88.0 10 11
make_workdir
write_config 4 2
start_daemon ip netns exec "$NS_SRV"
wait_log 'Start Server OK!' 10 || fail "no \"Start Server OK!\""
send_cmd D
wait_log 'log level turn to debug' 5 || fail "D did not switch to debug"

host=10.88.0.10
probe send --host "$GROUP" --port 37810 --bind-addr "$host" --expect 1 --timeout 3 \
    > "$WORKDIR/first" || fail "group request: $(wc -l < "$WORKDIR/first") replies, want 1"
check_replies "$WORKDIR/first" --adapter "$ADAPTER0" --src "$SRV_IP0:37810" \
    || fail "group request: wrong reply"
intake() {   # head flag: the level-2 intake line of $host
    echo "New Data hSocket\[-?[0-9]+\] buf\[$1\] len\[[0-9]+\] addr\[${host//./\\.}\] port\[[0-9]+\] bFlag\[$2\]"
}
accepted=$(intake 0x20 1)
dropped=$(intake 0x20 0)
wait_log "$dropped" 5 || fail "the copy on the second socket was not seen (bFlag[0])"
[ "$(count_log "$accepted")" -eq 1 ] || fail "want exactly one accepted copy"
[ "$(count_log "$dropped")" -eq 1 ] || fail "want exactly one dropped copy"
sock_a=$(grep -E "$accepted" "$LOG" | sed -E 's/.*hSocket\[(-?[0-9]+)\].*/\1/')
sock_d=$(grep -E "$dropped" "$LOG" | sed -E 's/.*hSocket\[(-?[0-9]+)\].*/\1/')
[ "$sock_a" != "$sock_d" ] || fail "both copies came in on socket $sock_a"

# Same host and head, another source port, still inside the interval: dropped.
# The binary head from the same host is filtered on its own and is answered.
probe send --host "$SRV_IP0" --port 5050 --bind-addr "$host" --expect 0 --timeout 0.5 \
    > "$WORKDIR/repeat" || fail "repeat inside the interval was answered"
probe send --host "$SRV_IP0" --port 5050 --bind-addr "$host" --form binary --b1 7 --b16 9 \
    --expect 1 --timeout 3 > "$WORKDIR/bin" || fail "binary request of the same host not answered"
check_replies "$WORKDIR/bin" --form binary --adapter "$ADAPTER0" --b1 7 --b16 9 --port 37810 \
    --src "$SRV_IP0:5050" || fail "binary reply"
wait_count "$dropped" 2 5 || fail "the repeat did not log bFlag[0]"
wait_log "$(intake 0xffffffa3 1)" 5 \
    || fail "binary intake line"

# Another host is filtered independently.
probe send --host "$SRV_IP0" --port 5050 --bind-addr 10.88.0.11 --expect 1 --timeout 3 \
    > "$WORKDIR/other" || fail "request of a second host not answered"

# After the interval (2 s, counted in whole seconds) the same request is answered
# again; poll with a bounded number of tries.
answered=0
for _ in $(seq 1 12); do
    if probe send --host "$SRV_IP0" --port 5050 --bind-addr "$host" --expect 1 --timeout 0.5 \
        > "$WORKDIR/later"; then
        answered=1
        break
    fi
done
[ "$answered" -eq 1 ] || fail "the same request was never answered after the interval"
[ "$(count_log "$accepted")" -eq 2 ] || fail "want a second accepted 0x20 line for $host"
check_replies "$WORKDIR/later" --adapter "$ADAPTER0" --src "$SRV_IP0:5050" || fail "reply after the interval"

stop_daemon || fail "exit status $DAEMON_STATUS"
pass
