#!/usr/bin/env bash
# 08-systemd.sh: the daemon under a service manager, played by this script:
# the notification socket gets READY=1 (with a status line) once "Start Server
# OK!" is logged, WATCHDOG=1 about once a second when a watchdog is asked for,
# and STOPPING=1 at the stop, before the process ends.
. "$(dirname "$0")/common.sh"
need_root
trap cleanup EXIT
make_ns_pair

# Each datagram on the socket becomes one line of $WORKDIR/notify ("|" for
# its line ends), with the log's line count when it arrived before it.
python3 - "$WORKDIR/notify.sock" "$WORKDIR/notify" "$LOG" <<'PY' &
import os, socket, sys
sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
sock.bind(sys.argv[1])
sock.settimeout(30)
with open(sys.argv[2], "w", buffering=1) as out:
    try:
        while True:
            msg = sock.recv(4096).decode()
            lines = sum(1 for _ in open(sys.argv[3], errors="replace"))
            out.write("%d %s\n" % (lines, msg.strip().replace("\n", "|")))
    except socket.timeout:
        pass
PY
listener=$!
_CLEANUP+=("kill $listener")
wait_file() { local end=$(($(_now_ms) + 5000)); until [ -S "$1" ]; do [ "$(_now_ms)" -lt "$end" ] || fail "no $1"; sleep 0.05; done; }
wait_file "$WORKDIR/notify.sock"
wait_notify() {   # REGEX [SECONDS=10]
    local end=$(($(_now_ms) + ${2:-10} * 1000))
    until grep -Eq -- "$1" "$WORKDIR/notify" 2> /dev/null; do
        [ "$(_now_ms)" -lt "$end" ] || fail "no '$1' notification: $(cat "$WORKDIR/notify")"
        sleep 0.05
    done
}

start_daemon env NOTIFY_SOCKET="$WORKDIR/notify.sock" WATCHDOG_USEC=3000000
wait_notify '^[0-9]+ READY=1\|STATUS=[0-9] of 9 endpoints open, 1 adapter, 0 replies sent$'
ready_at=$(grep -E ' READY=1' "$WORKDIR/notify" | cut -d' ' -f1)
start_line=$(grep -n 'Start Server OK!' "$LOG" | cut -d: -f1)
[ -n "$start_line" ] && [ "$ready_at" -ge "$start_line" ] \
    || fail "READY=1 before \"Start Server OK!\" (log lines ${ready_at} < ${start_line:-none})"
[ "$(grep -c ' READY=1' "$WORKDIR/notify")" -eq 1 ] || fail "READY=1 more than once"
# Three more watchdog pings come within 6 s, and not at once (one a second).
ready_ms=$(_now_ms) pings=$(grep -c ' WATCHDOG=1$' "$WORKDIR/notify")
until [ "$(grep -c ' WATCHDOG=1$' "$WORKDIR/notify")" -ge $((pings + 3)) ]; do
    [ $(($(_now_ms) - ready_ms)) -lt 6000 ] || fail "fewer than 3 watchdog pings in 6 s"
    sleep 0.05
done
[ $(($(_now_ms) - ready_ms)) -ge 1500 ] || fail "3 watchdog pings within 1.5 s: not one a second"
send_cmd q
wait_exit 10 && [ "$DAEMON_STATUS" -eq 0 ] || fail "stop: ${DAEMON_STATUS:-still running}"
grep -q ' STOPPING=1$' "$WORKDIR/notify" || fail "no STOPPING=1: $(cat "$WORKDIR/notify")"
pass
