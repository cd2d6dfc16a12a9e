#!/usr/bin/env bash
# 11-ns-duplicate-filter.sh: velmora-search asks through the group, and both
# forms merge into one row; asked again at once, now at the host itself, it
# gets no answer: each of its two requests reached the group endpoint of
# 37810 and then its wildcard endpoint, but is queued and answered once. The
# client exits 1 when nobody answers and 2 on a usage error.
. "$(dirname "$0")/common.sh"
need_root
trap cleanup EXIT
make_ns_pair
printf 'D' > "$RUNDIR/Velmorainput"
sed 's#<FilterInterval>2<#<FilterInterval>30<#; s#<ProductType>Demo<#<ProductType>Null<#' \
    "$SRC/demo/Velmora/Velmora.xml" > "$RUNDIR/Velmora.xml"   # no second falls out of the window
start_daemon
wait_log 'log level turn to debug' 15 || fail "no start at debug level"

in_cli "$SEARCH" --interface vcli0 --json --timeout 1 > "$WORKDIR/rows" || fail "search: exit $?"
# One row (members in name order): the server's only adapter, no loopback row,
# its gateway the default route's, both forms merged.
mac=$(ip -n "$NS_SRV" -br link show vsrv0 | awk '{print $3}')
[ "$(wc -l < "$WORKDIR/rows")" -eq 1 ] && grep -Eq "^\{\"address\":\"$SRV_IP\",.*\"forms\":\\[\"json\",\"binary\"\\],\"gateway\":\"$CLI_IP\",.*\"mac\":\"$mac\",.*\"mask\":\"255.255.255.0\",.*\"responder\":\"$SRV_IP\",\"serial\":\"[^\"]+\"" \
    "$WORKDIR/rows" || fail "rows: $(cat "$WORKDIR/rows")"
in_cli "$SEARCH" --host "$SRV_IP" --timeout 0.5 > /dev/null
[ $? -eq 1 ] || fail "the repeat was answered"
for head in 0x20 0xffffffa3; do
    intake="New Data hSocket\[(-?[0-9]+)\] buf\[$head\] len\[[0-9]+\] addr\[$CLI_IP\] port\[[0-9]+\] bFlag"
    wait_log "$intake\[0\]" 5 || fail "$head: no dropped copy"
    [ "$(count_log "$intake\[1\]")" -eq 1 ] && [ "$(count_log "$intake\[0\]")" -eq 1 ] || fail "$head: want one accepted and one dropped copy"
    # Sockets 7 and 1: the group and the wildcard endpoint of 37810, the client's default port.
    [ "$(grep -Eo "$intake" "$LOG" | grep -Eo 'hSocket\[[0-9]+' | paste -sd' ')" = 'hSocket[7 hSocket[1' ] \
        || fail "$head: not on both endpoints of 37810, group first"
done
[ "$(count_log 'respLen\[')" -eq 2 ] || fail "want two replies sent, one per form"

in_cli "$SEARCH" --host "$SRV_IP" --port 40000 --timeout 0.3 > /dev/null 2>&1
rc=$?
[ "$rc" -eq 1 ] || fail "nobody answering: exit $rc, want 1"
"$SEARCH" --port 0 2> /dev/null
rc=$?
[ "$rc" -eq 2 ] || fail "usage error: exit $rc, want 2"
stop_daemon || fail "exit status $DAEMON_STATUS"
pass
