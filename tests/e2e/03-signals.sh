#!/usr/bin/env bash
# 03-signals.sh: every way to stop a running daemon ends with the full stop
# sequence and status 0: SIGTERM, SIGINT, a NUL byte, an appended q (also
# after the control file was cut short), and SIGTERM after the control
# file was deleted.
. "$(dirname "$0")/common.sh"
need_root
trap cleanup EXIT
make_workdir
write_config
make_netns

# run_case NAME SECONDS ACTION...: starts a daemon, runs the action once the
# server is up, and checks that it stops cleanly within SECONDS.
run_case() {
    local name=$1 seconds=$2
    shift 2
    rm -f "$RUNDIR/Velmorainput"
    rm -rf "$RUNDIR/log"
    start_daemon ip netns exec "$NETNS"
    wait_log 'Start Server OK!' 15 || fail "$name: server did not start"
    "$@"
    wait_exit "$seconds" || fail "$name: still running after ${seconds}s"
    [ "$DAEMON_STATUS" -eq 0 ] || fail "$name: exit status $DAEMON_STATUS"
    wait_log 'Stop Server OK' 1 || fail "$name: no 'Stop Server OK'"
    wait_log 'Velmora End' 1 || fail "$name: no 'Velmora End'"
    cp "$LOG" "$WORKDIR/$name.log"
}

sig_term() { kill -TERM "$DAEMON_PID"; }
sig_int() { kill -INT "$DAEMON_PID"; }

run_case sigterm 3 sig_term
grep -q 'stop signal received' "$WORKDIR/sigterm.log" || fail "sigterm: not noticed"

run_case sigint 3 sig_int
grep -q 'stop signal received' "$WORKDIR/sigint.log" || fail "sigint: not noticed"

nul_byte() { printf '\0' >> "$RUNDIR/Velmorainput"; }
run_case nul 3 nul_byte
grep -q 'pressed q' "$WORKDIR/nul.log" && fail "nul: logged 'pressed q'"

run_case appended 3 send_cmd q
grep -q 'pressed q \.\.\.' "$WORKDIR/appended.log" || fail "appended: no 'pressed q ...'"

# Two commands read, then the file is cut below the read position: reading
# goes on (from its new end or from where the new text starts).
cut_short() {
    send_cmd 'II'
    local end
    end=$(_deadline 10)
    while [ "$(count_log 'log level turn to info')" -lt 2 ] && [ "$(date +%s%3N)" -lt "$end" ]; do
        sleep 0.05
    done
    [ "$(count_log 'log level turn to info')" -eq 2 ] || fail "truncated: II not read"
    : > "$RUNDIR/Velmorainput"
    send_cmd 'IIIq'
}
run_case truncated 10 cut_short
grep -q 'pressed q \.\.\.' "$WORKDIR/truncated.log" || fail "truncated: q not read"

deleted() {
    rm -f "$RUNDIR/Velmorainput"
    kill -0 "$DAEMON_PID" || fail "deleted: daemon gone"
    kill -TERM "$DAEMON_PID"
}
run_case deleted 3 deleted
pass
