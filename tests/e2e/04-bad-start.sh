#!/usr/bin/env bash
# 04-bad-start.sh: a start that binds no socket stops at once through the full
# stop sequence with status 0, without reading the control file.
. "$(dirname "$0")/common.sh"
need_root
trap cleanup EXIT
make_ns_pair

# Every endpoint on an address that is not on the host.
group="<UdpHost>192.0.2.1</UdpHost><UdpPort1>1</UdpPort1><UdpPort2>2</UdpPort2><UdpPort3>3</UdpPort3>"
echo "<Velmora><UdpListenInfo1>$group</UdpListenInfo1><UdpListenInfo2>$group</UdpListenInfo2><UdpListenInfo3>$group</UdpListenInfo3></Velmora>" \
    > "$RUNDIR/Velmora.xml"
printf 'q' > "$RUNDIR/Velmorainput"
start_daemon
wait_exit 15 || fail "still running"
order=$(grep -Eo 'Start Server (OK!|Failed!)|pressed q|Stop Handler OK|Stop Server OK|Velmora End' "$LOG" | paste -sd'|')
[ "$DAEMON_STATUS" -eq 0 ] && [ "$order" = 'Start Server Failed!|Stop Handler OK|Stop Server OK|Velmora End' ] \
    || fail "exit status $DAEMON_STATUS, lines: $order"
pass
