#!/usr/bin/env bash
# 40-velmoractl.sh: velmoractl against the real daemon in a namespace: status
# of a running daemon with three endpoints that cannot bind (degraded, and no
# log line), the same as JSON, metrics parsed back against the replies a
# client got, global options before the command, commands at once each with
# its own answer, a second instance refused, SIGHUP
# survived, journal priorities, old logs pruned, stop, status of the stopped
# daemon, check-config's exit codes.
. "$(dirname "$0")/common.sh"
need_root
trap cleanup EXIT
CTL=${VELMORA_CTL:-${VELMORA_BUILD_DIR:-$SRC/build}/tools/velmoractl/velmoractl}
[ -x "$CTL" ] || fail "velmoractl binary $CTL not built"
make_ns_pair
sed -e 's#<ThreadNum>8<#<ThreadNum>4<#' -e 's#<ProductType>[^<]*<#<ProductType>Null<#' \
    -e '/<UdpListenInfo2>/,/<\/UdpListenInfo2>/s#<UdpHost>[^<]*<#<UdpHost>192.0.2.1<#' \
    -e 's#^</Velmora>#<LogFolderMaxMB>1</LogFolderMaxMB></Velmora>#' \
    "$SRC/demo/Velmora/Velmora.xml" > "$RUNDIR/Velmora.xml"
mkdir -p "$WORKDIR/nginx/conf" && printf 'listen 8080;\nlisten 8443 ssl;\n' > "$WORKDIR/nginx/conf/port.conf"
SRV_MAC=$(ip -n "$NS_SRV" -br link show vsrv0 | awk '{print $3}')
mkdir -p "$RUNDIR/log"
for i in $(seq 1 11); do touch -d "-$i hour" "$RUNDIR/log/Velmora-$((100 + i)).log"; done
touch -d "-12 hour" "$RUNDIR/log/Velmora-111-20260101-120000.dmp"   # goes with its process
head -c 2M /dev/zero > "$RUNDIR/log/Velmora-105-20260101-120000.dmp"   # over LogFolderMaxMB
touch -d "-30 hour" "$RUNDIR/log/Velmora-105-20260101-120000.dmp"

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
wait_status() {   # REGEX: the status file has a line matching it (6 s at most)
    local end=$(($(_now_ms) + 6000))
    until grep -Eq -- "$1" "$RUNDIR/Velmora.status" 2> /dev/null; do
        [ "$(_now_ms)" -lt "$end" ] || fail "status file lacks '$1': $(cat "$RUNDIR/Velmora.status")"
        sleep 0.1
    done
}
lines=$(wc -l < "$LOG")
ctl status; rc=$?
expect 4 "running, pid $DAEMON_PID, since" 'endpoints: 6 of 9 open' \
    '^  192\.0\.2\.1:5050 +failed: EADDRNOTAVAIL \(' '^  0\.0\.0\.0:37810 +open' \
    "^  vsrv0 +$SRV_MAC  $SRV_IP/255.255.255.0  gateway $CLI_IP\$" \
    'web ports: HTTP 8080, HTTPS 8443' 'workers: 4' '^  replies_sent +0$' \
    '^degraded: not every endpoint is open'
[ "$(wc -l < "$LOG")" -eq "$lines" ] || fail "status logged: $(tail -n +$((lines + 1)) "$LOG")"
first_serial=$(sed -n 's/^serial: //p' "$WORKDIR/ctl.out")
ctl status --json; rc=$?; expect 4
python3 - "$WORKDIR/ctl.out" "$DAEMON_PID" "$first_serial" <<'PY' || fail "status --json: $(cat "$WORKDIR/ctl.out")"
import json, sys
s = json.loads(open(sys.argv[1]).read())
assert s['state'] == 'degraded' and s['pid'] == int(sys.argv[2]) and s['serial'] == sys.argv[3], s
assert [e['error'][:13] for e in s['endpoints'] if not e['open']] == ['EADDRNOTAVAIL'] * 3, s
assert s['adapters'][0]['name'] == 'vsrv0' and s['counters']['replies_sent'] == 0, s
PY

# Metrics: the replies a client got are the replies counted, within 5 s.
in_cli "$SEARCH" --form json --json --timeout 1 > "$WORKDIR/found" || fail "client found nothing"
replies=$(wc -l < "$WORKDIR/found")
wait_status "^counter=replies_sent $replies\$"
ctl metrics; rc=$?; expect 0 '^velmora_up 1$' '^velmora_endpoints_open 6$' '^velmora_adapters 1$'
python3 - "$WORKDIR/ctl.out" "$replies" <<'PY' || fail "metrics: $(cat "$WORKDIR/ctl.out")"
import re, sys
types, values = {}, {}
for line in open(sys.argv[1]):
    m = re.match(r'# TYPE (velmora_[a-z_]+) (counter|gauge)$', line)
    if m:
        types[m[1]] = m[2]
    elif not line.startswith('# HELP velmora_'):
        name, value = line.rsplit(' ', 1)
        assert name.split('{')[0] in types, name
        values[name] = float(value)
assert all((t == 'counter') == n.endswith('_total') for n, t in types.items()), types
assert values['velmora_replies_sent_total'] == int(sys.argv[2]), values
assert values['velmora_received_total{form="json"}'] >= 1 and values['velmora_start_time_seconds'] > 0
assert len([n for n in values if n.startswith('velmora_dropped_total{reason="')]) == 3, values
assert len([n for n in types if n.endswith('_total')]) == 6, types
PY
"$CTL" -C "$RUNDIR" metrics --textfile "$WORKDIR" > /dev/null && [ -f "$WORKDIR/velmora.prom" ] \
    && [ ! -e "$WORKDIR/velmora.prom.tmp" ] && grep -q '^velmora_up 1$' "$WORKDIR/velmora.prom" \
    || fail "metrics --textfile"

# Commands at once: each takes its own answer, also just after a status.
("$CTL" -C "$RUNDIR" status > /dev/null &) ; sleep 0.2
"$CTL" -t 5 -C "$RUNDIR" dump > "$WORKDIR/ctl.out" 2>&1; rc=$?; expect 0 "^dump of pid $DAEMON_PID: "
ctl log-level debug; rc=$?; expect 0 "log level of pid $DAEMON_PID: debug"
pids=()
for cmd in "log-level info" dump "log-level debug"; do
    ( "$CTL" -C "$RUNDIR" $cmd > "$WORKDIR/at-once.${cmd// /-}" 2>&1; echo "rc=$?" >> "$WORKDIR/at-once.${cmd// /-}" ) &
    pids+=($!)
done
wait "${pids[@]}"
grep -qx "log level of pid $DAEMON_PID: info" "$WORKDIR/at-once.log-level-info" \
    && grep -qx "log level of pid $DAEMON_PID: debug" "$WORKDIR/at-once.log-level-debug" \
    && grep -q "^dump of pid $DAEMON_PID: $RUNDIR/log/Velmora-$DAEMON_PID-" "$WORKDIR/at-once.dump" \
    && [ "$(cat "$WORKDIR"/at-once.* | grep -c '^rc=0$')" -eq 3 ] \
    || fail "commands at once: $(tail -n 2 "$WORKDIR"/at-once.*)"
# Without a journal socket to take native entries (08-systemd has one), the
# journal's stream gets each line with its priority in front.
if [ ! -S /run/systemd/journal/socket ]; then
    grep -q '^<3>.* CCUListen::ReportNotOpen: endpoint 192.0.2.1:15050 not open: EADDRNOTAVAIL' "$LOG" \
        || fail "journal lines lack their priority"
    grep -q '^<6>.*Velmora Begin' "$LOG" && ! grep -q '^<' "$RUNDIR/log/Velmora-$DAEMON_PID.log" \
        || fail "priority prefix missing on stderr or present in the log file"
fi
[ "$(ls "$RUNDIR/log" | grep -c "\.log$")" -eq 10 ] && grep -q 'removed 3 log and dump files of older processes' "$LOG" \
    || fail "old logs not pruned to 10: $(ls "$RUNDIR/log")"
grep -q 'log folder over 1 MB: removed its 1 oldest files' "$LOG" && [ ! -e "$RUNDIR/log/Velmora-105-20260101-120000.dmp" ] \
    || fail "log folder not kept under 1 MB: $(ls -l "$RUNDIR/log")"

(cd "$RUNDIR" && ip netns exec "$NS_SRV" "$BIN" 2> "$WORKDIR/second.log"); rc=$?
[ "$rc" -eq 0 ] && grep -q "already running in this folder (pid $DAEMON_PID" "$WORKDIR/second.log" \
    || fail "second instance: exit $rc, $(cat "$WORKDIR/second.log")"
[ "$(ls "$RUNDIR/log" | grep -c "\.log$")" -eq 10 ] || fail "the refused instance opened a log file"

kill -HUP "$DAEMON_PID"
wait_log 'hang-up signal received' 5 && kill -0 "$DAEMON_PID" || fail "SIGHUP: not logged or daemon gone"
ctl log-level loud; rc=$?; expect 2 'loud'
ctl frob; rc=$?; expect 2 '^velmoractl: unknown command frob$'
ctl stop; rc=$?; expect 0 "stopped \\(pid $DAEMON_PID\\)"
wait_exit 5 && [ "$DAEMON_STATUS" -eq 0 ] || fail "daemon after stop: ${DAEMON_STATUS:-running}"
ctl status; rc=$?; expect 3 'not running' 'it stopped' 'endpoints of the last run: 6 of 9 open'
ctl stop; rc=$?; expect 3 'no Velmora is running'
start_daemon     # takes over the folder; killed, it leaves its pid file
wait_log "\[$DAEMON_PID\] .*Start Server OK!" 5 && kill -KILL "$DAEMON_PID" && wait_exit 5 || fail "restart and kill"
ctl status; rc=$?; expect 3 'not running' 'ended without stopping'
# The serial of both runs is the same, and without a DMI serial it is the
# application's id of the machine, never the machine id itself.
serial=$(sed -n 's/^serial: //p' "$WORKDIR/ctl.out")
[ -n "$serial" ] && [ "$serial" = "$first_serial" ] || fail "serial $serial, first run $first_serial"
if ! grep -qs '[^[:space:]]' /sys/class/dmi/id/product_serial /sys/class/dmi/id/board_serial; then
    [ "$serial" != "$(cat /etc/machine-id)" ] && [ "$serial" = "$(python3 -c '
import hashlib, hmac, sys
h = bytearray(hmac.new(bytes.fromhex(open("/etc/machine-id").read().strip()),
              bytes.fromhex("d4bebe443a154a08a26f0259afee4586"), hashlib.sha256).digest()[:16])
h[6] = h[6] & 0x0F | 0x40; h[8] = h[8] & 0x3F | 0x80; print(h.hex())')" ] \
        || fail "serial $serial is not the application's id of the machine"
fi

ctl check-config; rc=$?; expect 0 'check-config: 0 errors, 0 warnings'
sed -i 's#<ThreadNum>4<#<ThreadNum>x<#' "$RUNDIR/Velmora.xml"
ctl check-config; rc=$?; expect 1 'Velmora.xml:[0-9]+:3: error: <ThreadNum> \[x\] is read as 0, outside 4 to 7: the daemon keeps 8' 'check-config: 1 error, 0 warnings'
pass
