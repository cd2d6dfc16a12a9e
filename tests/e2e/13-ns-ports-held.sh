#!/usr/bin/env bash
# 13-ns-ports-held.sh: while the daemon runs, no other process takes its ports.
# Another user's socket (uid 65534) binds none of the six ports, on the
# wildcard, the server's address or the group, with SO_REUSEADDR or with
# SO_REUSEPORT (a free port it binds, so the attempt itself works); a second
# daemon started in another folder logs a failed bind for each of its nine
# endpoints and does not start. The first one still answers a request to the
# group and one to its address, each once.
. "$(dirname "$0")/common.sh"
need_root
trap cleanup EXIT
make_ns_pair
ip -n "$NS_CLI" route add local 10.77.0.0/16 dev lo || fail "local sources"   # the probe's
start_daemon
wait_log 'Start Server OK!' 15 || fail "no start"

taken=$(ip netns exec "$NS_SRV" setpriv --reuid=65534 --regid=65534 --clear-groups \
    /usr/bin/python3 -c '
import socket, sys
binds = []
for port in (37810, 47810, 57810, 5050, 15050, 25050, 5051):
    for host in ("0.0.0.0", sys.argv[1], "239.255.255.251"):
        for opt in ("SO_REUSEADDR", "SO_REUSEPORT"):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.setsockopt(socket.SOL_SOCKET, getattr(socket, opt), 1)
            try:
                s.bind((host, port))
                binds.append("%s:%d/%s" % (host, port, opt))
            except OSError:
                pass
            s.close()
print(" ".join(binds))' "$SRV_IP") || fail "bind attempts as uid 65534"
want="0.0.0.0:5051/SO_REUSEADDR 0.0.0.0:5051/SO_REUSEPORT $SRV_IP:5051/SO_REUSEADDR $SRV_IP:5051/SO_REUSEPORT"
want+=" 239.255.255.251:5051/SO_REUSEADDR 239.255.255.251:5051/SO_REUSEPORT"
[ "$taken" = "$want" ] || fail "another user's binds: $taken"

second=$WORKDIR/second
mkdir -p "$second" && : > "$second/Velmorainput"
(cd "$second" && exec timeout 20 ip netns exec "$NS_SRV" "$BIN" > /dev/null 2> "$second/stderr.log")
[ "$(grep -Ec 'StartUDP ret\[-98\] host\[' "$second/stderr.log")" -eq 9 ] \
    && [ "$(grep -Ec 'endpoint [0-9.]+:[0-9]+ not open: EADDRINUSE' "$second/stderr.log")" -eq 9 ] \
    && grep -q 'Start Server Failed!' "$second/stderr.log" && grep -q 'Velmora End' "$second/stderr.log" \
    || fail "second daemon: $(grep -E 'StartUDP|Server' "$second/stderr.log")"

replies=$(in_cli python3 "$SRC/tests/e2e/probe.py" ask "$CLI_IP" 1 1 "$GROUP,$SRV_IP" \
    "$SRC/fuzz/corpus/binary") || fail "no reply from the first daemon: $replies"
stop_daemon || fail "exit status $DAEMON_STATUS"
[ "$(wc -l <<< "$replies")" -eq 2 ] && [ "$(count_log 'respLen\[')" -eq 2 ] || fail "want one reply each: $replies"
pass
