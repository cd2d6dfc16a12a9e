#!/usr/bin/env bash
# 04-bad-start.sh: a start that binds no socket stops at once without reading
# the control file; a log folder that cannot be created leaves stderr logging.
. "$(dirname "$0")/common.sh"
need_root
trap cleanup EXIT
make_workdir
make_netns

# Every endpoint on an address that is not on the host: nothing binds.
write_config
sed -i 's#<UdpHost>[^<]*</UdpHost>#<UdpHost>192.0.2.1</UdpHost>#' "$RUNDIR/Velmora.xml"
printf 'q' > "$RUNDIR/Velmorainput"
start_daemon ip netns exec "$NETNS"
wait_exit 15 || fail "unbindable: still running"
[ "$DAEMON_STATUS" -eq 0 ] || fail "unbindable: exit status $DAEMON_STATUS"
order=$(grep -Eo 'Start Server Failed!|Stop Handler OK|Stop Server OK|Velmora End' "$LOG" | paste -sd'|')
[ "$order" = 'Start Server Failed!|Stop Handler OK|Stop Server OK|Velmora End' ] \
    || fail "unbindable: stop lines: $order"
grep -q 'pressed q' "$LOG" && fail "unbindable: the control file was read"
grep -q 'Start Server OK!' "$LOG" && fail "unbindable: reported a good start"

# "log" is a regular file, so no log file can be opened; stderr still logs.
write_config
rm -rf "$RUNDIR/log"
echo "not a folder" > "$RUNDIR/log"
printf 'q' > "$RUNDIR/Velmorainput"
start_daemon ip netns exec "$NETNS"
wait_exit 15 || fail "log file: still running"
[ "$DAEMON_STATUS" -eq 0 ] || fail "log file: exit status $DAEMON_STATUS"
for text in 'Velmora Begin' 'Start Server OK!' 'pressed q \.\.\.' 'Stop Server OK' 'Velmora End'; do
    grep -Eq "$text" "$LOG" || fail "log file: no '$text' on stderr"
done
[ "$(cat "$RUNDIR/log")" = "not a folder" ] || fail "log file: the file 'log' was changed"
pass
