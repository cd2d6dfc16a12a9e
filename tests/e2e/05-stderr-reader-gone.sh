#!/usr/bin/env bash
# 05-stderr-reader-gone.sh: a reader of standard error that goes away (as in
# `velmora 2>&1 | head -c 100`) neither ends nor stops the service: the log
# file goes on, and q still brings the full stop sequence with status 0.
. "$(dirname "$0")/common.sh"
need_root
trap cleanup EXIT
make_workdir
write_config
make_netns
mkfifo "$WORKDIR/fifo" && : > "$RUNDIR/Velmorainput"
timeout 15 head -c 100 < "$WORKDIR/fifo" > /dev/null &
HEAD_PID=$!
(cd "$RUNDIR" && exec ip netns exec "$NETNS" "$BIN" > /dev/null 2> "$WORKDIR/fifo") &
DAEMON_PID=$!
LOG=$RUNDIR/log/Velmora-$DAEMON_PID.log
wait "$HEAD_PID"  # the reader has gone
wait_log 'Start Server OK!' 15 || fail "server did not start"
send_cmd Iq
wait_exit 10 || fail "still running after q"
[ "$DAEMON_STATUS" -eq 0 ] || fail "exit status $DAEMON_STATUS"
for text in 'log level turn to info' 'Stop Server OK' 'Velmora End'; do
    grep -q "$text" "$LOG" || fail "no '$text' in the log file"
done
pass
