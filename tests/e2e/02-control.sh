#!/usr/bin/env bash
# 02-control.sh: the control file's commands in order (D, S, d, I, q), the
# stop sequence, and the log file that copies standard error.
. "$(dirname "$0")/common.sh"
need_root
trap cleanup EXIT
make_workdir
write_config
make_netns
printf 'D' > "$RUNDIR/Velmorainput"
start_daemon ip netns exec "$NETNS"

wait_log 'Start Server OK!' 15 || fail "server did not start"
wait_log 'log level turn to debug' 10 || fail "D was not obeyed"
send_cmd 'S'
wait_log 'Print Server Info' 10 || fail "S was not obeyed"
send_cmd 'd'
wait_log 'end dump\.\.\.' 30 || fail "d did not finish"
grep -q 'begin dump \.\.\.' "$LOG" || fail "no 'begin dump ...'"
ls "$RUNDIR"/log/*.dmp > /dev/null 2>&1 || fail "no dump file in log/"
send_cmd 'xI'        # an unknown character is ignored, I returns to info
wait_log 'log level turn to info' 10 || fail "I was not obeyed"
send_cmd 'q'
wait_exit 10 || fail "q did not stop the daemon"
[ "$DAEMON_STATUS" -eq 0 ] || fail "exit status $DAEMON_STATUS"

# The stop sequence, in order, after the command lines.
order=$(grep -Eo 'log level turn to debug|Print Server Info|begin dump \.\.\.|end dump\.\.\.|log level turn to info|pressed q \.\.\.|Stop Handler OK|Stop Server OK|Velmora End' "$LOG" | paste -sd'|')
expected='log level turn to debug|Print Server Info|begin dump ...|end dump...|log level turn to info|pressed q ...|Stop Handler OK|Stop Server OK|Velmora End'
[ "$order" = "$expected" ] || fail "lines out of order: $order"
[ "$(count_log 'Velmora Begin')" -eq 1 ] || fail "'Velmora Begin' not logged once"
[ -s "$WORKDIR/stdout.log" ] && fail "the daemon wrote to standard output"

# log/Velmora-<pid>.log holds the same lines as standard error.
logfile=$RUNDIR/log/Velmora-$DAEMON_PID.log
[ -f "$logfile" ] || fail "no $logfile"
diff "$LOG" "$logfile" > "$WORKDIR/log.diff" || fail "log file differs from stderr: $(head -5 "$WORKDIR/log.diff")"
pass
