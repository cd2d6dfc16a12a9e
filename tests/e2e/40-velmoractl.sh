#!/usr/bin/env bash
# 40-velmoractl.sh: velmoractl against the real daemon in a namespace: status
# of a running daemon with three endpoints that cannot bind, log level, a
# second instance refused, SIGHUP survived, journal priorities, old logs
# pruned, stop, status of the stopped daemon, check-config's exit codes.
. "$(dirname "$0")/common.sh"
need_root
trap cleanup EXIT
CTL=${VELMORA_CTL:-${VELMORA_BUILD_DIR:-$SRC/build}/tools/velmoractl/velmoractl}
[ -x "$CTL" ] || fail "velmoractl binary $CTL not built"
make_ns_pair
sed -e 's#<ThreadNum>8<#<ThreadNum>4<#' -e 's#<ProductType>[^<]*<#<ProductType>Null<#' \
    -e '/<UdpListenInfo2>/,/<\/UdpListenInfo2>/s#<UdpHost>[^<]*<#<UdpHost>192.0.2.1<#' \
    "$SRC/demo/Velmora/Velmora.xml" > "$RUNDIR/Velmora.xml"
mkdir -p "$WORKDIR/nginx/conf" && printf 'listen 8080;\nlisten 8443 ssl;\n' > "$WORKDIR/nginx/conf/port.conf"
SRV_MAC=$(ip -n "$NS_SRV" -br link show vsrv0 | awk '{print $3}')
mkdir -p "$RUNDIR/log"
for i in $(seq 1 11); do touch -d "-$i hour" "$RUNDIR/log/Velmora-$((100 + i)).log"; done

ctl() { "$CTL" -C "$RUNDIR" "$@" > "$WORKDIR/ctl.out" 2>&1; }
expect() {   # expect EXIT REGEX... : the last ctl call's exit status and output lines
    [ "$rc" -eq "$1" ] || fail "velmoractl exit $rc, want $1: $(cat "$WORKDIR/ctl.out")"
    shift
    for re in "$@"; do grep -Eq -- "$re" "$WORKDIR/ctl.out" || fail "no '$re' in: $(cat "$WORKDIR/ctl.out")"; done
}

ctl status; rc=$?; expect 3 'no Velmora is running'
: > "$LOG"
JOURNAL_STREAM=$(stat -c '%d:%i' "$LOG") start_daemon
wait_log 'Start Server OK!' 10 || fail "no start"
ctl status; rc=$?
expect 0 "running, pid $DAEMON_PID, since" 'endpoints: 6 of 9 open' \
    '^  192\.0\.2\.1:5050 +failed: EADDRNOTAVAIL \(' '^  0\.0\.0\.0:37810 +open' \
    "^  vsrv0 +$SRV_MAC  $SRV_IP/255.255.255.0  gateway $CLI_IP\$" \
    'web ports: HTTP 8080, HTTPS 8443' 'workers: 4'
grep -q '^<3>.* CCUListen::ReportNotOpen: endpoint 192.0.2.1:15050 not open: EADDRNOTAVAIL' "$LOG" \
    || fail "journal lines lack their priority"
grep -q '^<6>.*Velmora Begin' "$LOG" && ! grep -q '^<' "$RUNDIR/log/Velmora-$DAEMON_PID.log" \
    || fail "priority prefix missing on stderr or present in the log file"
[ "$(ls "$RUNDIR/log" | wc -l)" -eq 10 ] && grep -q 'removed 2 log files of older processes' "$LOG" \
    || fail "old logs not pruned to 10: $(ls "$RUNDIR/log")"

(cd "$RUNDIR" && ip netns exec "$NS_SRV" "$BIN" 2> "$WORKDIR/second.log"); rc=$?
[ "$rc" -eq 0 ] && grep -q "already running in this folder (pid $DAEMON_PID" "$WORKDIR/second.log" \
    || fail "second instance: exit $rc, $(cat "$WORKDIR/second.log")"
[ "$(ls "$RUNDIR/log" | wc -l)" -eq 10 ] || fail "the refused instance opened a log file"

kill -HUP "$DAEMON_PID"
wait_log 'hang-up signal received' 5 && kill -0 "$DAEMON_PID" || fail "SIGHUP: not logged or daemon gone"
ctl log-level debug; rc=$?; expect 0 "log level of pid $DAEMON_PID: debug"
ctl log-level loud; rc=$?; expect 2 'loud'
ctl stop; rc=$?; expect 0 "stopped \\(pid $DAEMON_PID\\)"
wait_exit 5 && [ "$DAEMON_STATUS" -eq 0 ] || fail "daemon after stop: ${DAEMON_STATUS:-running}"
ctl status; rc=$?; expect 3 'not running' 'it stopped' 'endpoints of the last run: 6 of 9 open'
ctl stop; rc=$?; expect 3 'no Velmora is running'
start_daemon     # takes over the folder; killed, it leaves its pid file
wait_log "\[$DAEMON_PID\] .*Start Server OK!" 5 && kill -KILL "$DAEMON_PID" && wait_exit 5 || fail "restart and kill"
ctl status; rc=$?; expect 3 'not running' 'ended without stopping'

ctl check-config; rc=$?; expect 0 'check-config: 0 errors, 0 warnings'
sed -i 's#<ThreadNum>4<#<ThreadNum>x<#' "$RUNDIR/Velmora.xml"
ctl check-config; rc=$?; expect 1 'Velmora.xml:[0-9]+:3: error: <ThreadNum> is not a number'
pass
