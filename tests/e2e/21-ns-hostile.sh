#!/usr/bin/env bash
# 21-ns-hostile.sh: the daemon on a hostile network. (1) Binary requests from
# 1,000,000 distinct source addresses leave its RSS under 64 MB and the filter
# at or under its cap, and a request afterwards is answered. (2) With
# ReplyRateLimit 100 a flood from distinct sources gets about 100 replies a
# second. (3) With AnswerOnLinkOnly 1 an off-link source gets nothing, one
# from the veth's subnet its answer.
. "$(dirname "$0")/common.sh"
need_root
trap cleanup EXIT
SENDER=${VELMORA_BUILD_DIR:-$SRC/build}/bench/flood_sender
[ -x "$SENDER" ] || fail "$SENDER not built"
make_ns_pair
ip -n "$NS_CLI" route add local 100.64.0.0/12 dev lo || fail "local route 100.64.0.0/12"

run_daemon() {   # extra Velmora.xml elements
    sed -e '/<\(FilterMaxHosts\|QueueMaxRequests\|ReplyRateLimit\|AnswerOnLinkOnly\)>/d' \
        -e "s|<ThreadNum>8<|<ThreadNum>4<|" -e "s|</Velmora>|$1</Velmora>|" \
        "$SRC/demo/Velmora/Velmora.xml" > "$RUNDIR/Velmora.xml"
    # The previous daemon's S and q would be read again.
    : > "$RUNDIR/Velmorainput"
    start_daemon
    wait_log 'Start Server OK!' 10 || fail "no \"Start Server OK!\""
}
send() {   # flood_sender options; prints its JSON line
    in_cli "$SENDER" --host "$SRV_IP" --port 37810 "$@" || fail "flood_sender $*"
}
field() { python3 -c "import json,sys; print(json.load(sys.stdin)['$1'])" <<< "$2"; }
dump() {   # S (the filter's size in the log), then the value of counter $1 once it is written
    local seq
    seq=$(sed -n 's/^seq=//p' "$RUNDIR/Velmora.status")
    send_cmd S
    wait_log 'm_waitHandleTag size\[[0-9]+\] $' 10 || fail "S printed no filter"
    local end=$(($(_now_ms) + 10000))
    until [ "$(sed -n 's/^seq=//p' "$RUNDIR/Velmora.status")" -gt "$seq" ]; do
        [ "$(_now_ms)" -lt "$end" ] || fail "status file not rewritten after S"
        sleep 0.1
    done
    sed -n "s/^counter=$1 //p" "$RUNDIR/Velmora.status"
}
rss_kb() { awk -v k="$1:" '$1 == k {print $2}' "/proc/$DAEMON_PID/status"; }

# (1) A million sources, as fast as they go (bounded to 15 s).
run_daemon ''
[ "$(count_log LoadGuardConf)" -eq 0 ] || fail "a setting not given was logged"
out=$(send --src-net 100.64.0.0 --sources 1000000 --count 1000000 --seconds 15 --linger 0)
echo "flood: $out"
[ "$(field sent "$out")" -eq 1000000 ] || fail "sent $(field sent "$out") of 1000000"
received=$(dump received_binary)
hosts=$(grep -oE 'm_waitHandleTag size\[[0-9]+\] $' "$LOG" | grep -oE '[0-9]+')
echo "received $received, filter $hosts hosts, RSS $(rss_kb VmRSS) kB, peak $(rss_kb VmHWM) kB"
[ "$hosts" -le 65536 ] || fail "filter holds $hosts hosts, over the cap"
[ "$(rss_kb VmHWM)" -lt 65536 ] || fail "peak RSS $(rss_kb VmHWM) kB"
out=$(send --src-net "$CLI_IP" --sources 1 --count 1 --linger 5 --expect 1)
[ "$(field replies "$out")" -eq 1 ] || fail "request after the flood: $out"
stop_daemon || fail "exit status $DAEMON_STATUS"

# (2) The reply budget: 2000 requests a second for 4 s, replies counted for 5 s.
run_daemon '<ReplyRateLimit>100</ReplyRateLimit>'
wait_log 'INFO .*LoadGuardConf: ReplyRateLimit\[100\]$' 1 || fail "ReplyRateLimit not read"
out=$(send --src-net 100.72.0.0 --sources 100000 --count 8000 --rate 2000 --seconds 4 --linger 1)
echo "budget 100: $out"
# One second's burst, then 100 a second (one adapter: a reply per request).
# The lower bound and the per-second slack leave room for a loaded machine.
python3 -c 'import json, sys; r = json.loads(sys.argv[1]); sys.exit(not (
    50 * r["seconds"] <= r["replies"] <= 100 * r["seconds"] + 120
    and max(r["per_second"][1:]) <= 200))' "$out" || fail "reply rate off the budget: $out"
[ "$(dump replies_withheld)" -gt 0 ] || fail "no reply counted as withheld"
stop_daemon || fail "exit status $DAEMON_STATUS"

# (3) On-link only: the veth's subnet is answered, 100.64.0.9 is not.
run_daemon '<AnswerOnLinkOnly>1</AnswerOnLinkOnly><QueueMaxRequests>12x</QueueMaxRequests>'
wait_log 'ERROR .* QueueMaxRequests \[12x\] not a number from 1 to 1048576, kept 1024$' 1 \
    || fail "a value that is not a number was not reported"
out=$(send --src-net "$CLI_IP" --sources 1 --count 1 --linger 5 --expect 1)
[ "$(field replies "$out")" -eq 1 ] || fail "on-link request: $out"
out=$(send --src-net 100.64.0.9 --sources 1 --count 1 --linger 1)
[ "$(field replies "$out")" -eq 0 ] || fail "off-link request answered: $out"
[ "$(dump dropped_off_link)" -eq 1 ] || fail "off-link drop not counted"
stop_daemon || fail "exit status $DAEMON_STATUS"
pass
