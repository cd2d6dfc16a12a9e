#!/usr/bin/env bash
# 02-control.sh: the version query; the control file's commands (D, S, d, an
# unknown one, I, q) obeyed in order, then the stop sequence, with a log file
# that copies standard error and a dump; a second run reads on from the new
# end of a control file cut below its offset, and SIGTERM stops it the same
# way; SIGSEGV ends a third with a crash dump; a fourth outlives the reader
# of its standard error.
. "$(dirname "$0")/common.sh"
need_root
trap cleanup EXIT
make_ns_pair

# Without a control file the daemon exits 0 at once, silent; with one, -V answers.
(cd "$RUNDIR" && "$BIN" --version > "$WORKDIR/out" 2>&1) || fail "no control file: exit $?"
[ -s "$WORKDIR/out" ] || [ -e "$RUNDIR/log" ] && fail "no control file: output or log folder"
: > "$RUNDIR/Velmorainput"
(cd "$RUNDIR" && "$BIN" -V > "$WORKDIR/out") || fail "-V: exit $?"
grep -qx 'Program Name: Velmora ' "$WORKDIR/out" || fail "-V printed: $(cat "$WORKDIR/out")"

printf 'DSdxIq' > "$RUNDIR/Velmorainput"
start_daemon
wait_exit 30 || fail "the commands did not stop the daemon"
[ "$DAEMON_STATUS" -eq 0 ] || fail "exit status $DAEMON_STATUS"
order=$(grep -Eo 'Start Server OK!|log level turn to (debug|info)|Print Server Info|m_waitHandleData size\[0\]|begin dump \.\.\.|end dump\.\.\.|pressed q \.\.\.|Stop Handler OK|Stop Server OK|Velmora End' "$LOG" | paste -sd'|')
[ "$order" = 'Start Server OK!|log level turn to debug|Print Server Info|m_waitHandleData size[0]|begin dump ...|end dump...|log level turn to info|pressed q ...|Stop Handler OK|Stop Server OK|Velmora End' ] \
    || fail "lines out of order: $order"
# With no optional setting (no settings file at all), the start and the stop
# log no line of their own: the functions of the lines up to the start, and
# after the q, are these (debug lines aside).
funcs() { grep -v ' DEBUG ' "$LOG" | sed -n "$1" | awk '{print $6}' | uniq | paste -sd' '; }
[ "$(funcs '1,/Start Server OK!/p')" = 'PrintVersionInfo: main: CServerConfig::LoadServerConf: CCUHandler::StartHandler: CCUListen::StartListen: CServer::StartServer:' ] \
    && [ "$(funcs '/pressed q/,$p')" = 'main: CCUHandler::StopHandler: CServer::StopServer: main:' ] \
    || fail "start or stop has lines of its own: $(funcs '1,/Start Server OK!/p') / $(funcs '/pressed q/,$p')"
cmp "$LOG" "$RUNDIR/log/Velmora-$DAEMON_PID.log" || fail "the log file differs from stderr"
# The dump: today's stamp in its name and heading, this thread and every other,
# the whole memory map.
day=$(date +%Y%m%d)
dump=$(ls "$RUNDIR/log/Velmora-$DAEMON_PID-$day-"[0-9][0-9][0-9][0-9][0-9][0-9].dmp) || fail "no dump file of today"
head -n 1 "$dump" | grep -Eqx "nox dump 1 program Velmora pid $DAEMON_PID time $day-[0-9]{6} reason request" \
    && grep -Eqx "thread $DAEMON_PID \(dumping\):" "$dump" && [ "$(grep -Ec '^thread [0-9]+:( no answer)?$' "$dump")" -ge 12 ] \
    && grep -A1 -x 'maps:' "$dump" | grep -Eq '^[0-9a-f]+-[0-9a-f]+ ' && grep -q '\[stack\]$' "$dump" \
    && [ "$(tail -n 1 "$dump")" = end ] || fail "dump: $(head -n 3 "$dump")"

printf 'x' > "$RUNDIR/Velmorainput"   # read, then cut below its offset: read on from the new end
start_daemon
wait_log 'Start Server OK!' 15 || fail "second run did not start"
offset_is() { [ "$(awk '/^pos:/ {print $2}' "/proc/$DAEMON_PID/fdinfo/0")" = "$1" ]; }   # the control file's offset
wait_for 5 offset_is 1 && : > "$RUNDIR/Velmorainput" && wait_for 5 offset_is 0 || fail "the control file's offset: $(cat /proc/$DAEMON_PID/fdinfo/0)"
send_cmd S
wait_log 'Print Server Info' 5 || fail "a command after the control file was cut is not read"
kill -TERM "$DAEMON_PID"
wait_exit 10 || fail "SIGTERM did not stop the daemon"
[ "$DAEMON_STATUS" -eq 0 ] && grep -q 'stop signal received' "$LOG" && grep -q 'Velmora End' "$LOG" \
    || fail "SIGTERM: exit status $DAEMON_STATUS"

# A crash writes its dump, then ends the process by the same signal. At debug
# level, with a dump (d) during traffic and the crash right after a burst of
# requests from distinct sources, both outputs have each line at most once,
# the same lines, and each thread's lines in order.
ulimit -c 0
ip -n "$NS_CLI" route add local 10.77.0.0/16 dev lo || fail "local route for the sources"
printf 'D' > "$RUNDIR/Velmorainput"
start_daemon
wait_log 'log level turn to debug' 15 || fail "third run did not start"
in_cli python3 "$(dirname "$0")/probe.py" burst "$SRV_IP" 1 200 2 &
burst=$!
send_cmd d
wait "$burst" || fail "first burst"
in_cli python3 "$(dirname "$0")/probe.py" burst "$SRV_IP" 2 200 0 || fail "second burst"
kill -SEGV "$DAEMON_PID"
wait_exit 10 && [ "$DAEMON_STATUS" -eq 139 ] || fail "SIGSEGV: exit status $DAEMON_STATUS"
grep -qx 'signal: 11 SIGSEGV' "$RUNDIR/log/Velmora-$DAEMON_PID-"*.dmp || fail "no crash dump"
grep -q 'reason request' "$RUNDIR/log/Velmora-$DAEMON_PID-"*.dmp || fail "no dump of d"
file_log=$RUNDIR/log/Velmora-$DAEMON_PID.log
for out in "$file_log" "$LOG"; do
    [ -z "$(grep ' CCUHandler::OnData: New Data' "$out" | sort | uniq -d | head -n 3)" ] \
        || fail "lines written twice in $out: $(grep ' New Data' "$out" | sort | uniq -d | head -n 3)"
    awk '{ t = $1 " " $2; if (t < last[$4]) { print; bad = 1 } last[$4] = t } END { exit bad }' "$out" \
        > /dev/null || fail "a thread's lines out of order in $out"
done
[ "$(grep -c ' New Data' "$file_log")" -ge 200 ] || fail "intake lines missing: $(grep -c ' New Data' "$file_log")"
cmp <(grep '^20' "$file_log") <(grep '^20' "$LOG") > /dev/null || fail "the file and stderr differ"

# A reader of standard error that goes away (velmora 2>&1 | head -c 100)
# neither ends nor stops the service.
mkfifo "$WORKDIR/fifo" && : > "$RUNDIR/Velmorainput"
head -c 100 < "$WORKDIR/fifo" > /dev/null &
reader=$!
(cd "$RUNDIR" && exec ip netns exec "$NS_SRV" "$BIN" > /dev/null 2> "$WORKDIR/fifo") &
DAEMON_PID=$! DAEMON_STATUS= LOG=$RUNDIR/log/Velmora-$!.log
wait "$reader"
wait_log 'Start Server OK!' 15 || fail "fourth run did not start"
send_cmd q
wait_exit 10 && [ "$DAEMON_STATUS" -eq 0 ] && grep -q 'Velmora End' "$LOG" || fail "reader gone: exit status $DAEMON_STATUS"
pass
