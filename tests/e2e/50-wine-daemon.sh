#!/usr/bin/env bash
# 50-wine-daemon.sh: the Windows build under Wine answers as the Linux build
# does. Each runs in turn in the server namespace, here with two adapters; the
# peer sends a JSON and a binary request by unicast and through the group (one
# reply per adapter), every fuzz corpus datagram, and a request again; the
# control file then says D S d I q. Replies must match byte for byte and the
# logs line for line (times, thread and socket numbers aside): the nine binds,
# the adapter rows, the commands, the lines about bad input. Windows also
# answers the version query as Linux, writes its dump as a minidump, copies
# stderr into its log file, and stops on Ctrl-C; while it runs, a second one
# started in another folder fails all nine binds. The programs load dbghelp
# at run time (from the system folder), never through their import table.
. "$(dirname "$0")/common.sh"
need_root
need_wine
trap cleanup EXIT
make_ns_pair
ip link add vsrv1 netns "$NS_SRV" type veth peer name vcli1 netns "$NS_CLI" && ip -n "$NS_SRV" link set vsrv1 up \
    && ip -n "$NS_SRV" addr add 10.89.0.1/24 dev vsrv1 && ip -n "$NS_CLI" link set vcli1 up \
    && ip -n "$NS_CLI" route add local 10.77.0.0/16 dev lo || fail "second adapter, local sources"
use_wine
# The serial: Linux reads the machine id here, Windows the machine GUID.
WINEDEBUG=-all ip netns exec "$NS_SRV" wine reg add 'HKLM\Software\Microsoft\Cryptography' /v MachineGuid \
    /d "$(cat /etc/machine-id)" /f < /dev/null > /dev/null 2>&1 || fail "machine GUID"

: > "$RUNDIR/Velmorainput"
version() { (cd "$RUNDIR" && "$1" -V) | tr -d '\r' | sed -E 's/ \( co [0-9]+ \)//; /^Build Date/d'; }
[ "$(version "$WIN_BIN")" = "$(version "$BIN")" ] || fail "version: $(version "$WIN_BIN")"

corpus=$SRC/fuzz/corpus probe=(in_cli python3 "$SRC/tests/e2e/probe.py" ask "$CLI_IP")
run() {   # NAME: one run; NAME.replies and NAME.lines in the work folder
    rm -rf "$RUNDIR/log" && printf 'D' > "$RUNDIR/Velmorainput"
    start_daemon
    wait_log 'log level turn to debug' 15 || fail "$1: no start"
    "${probe[@]}" 1 2 "$SRV_IP,$GROUP" "$corpus/json-search" "$corpus/binary" > "$WORKDIR/$1.replies" \
        && "${probe[@]}" 2 0 "$SRV_IP" "$corpus"/* && "${probe[@]}" 3 2 "$SRV_IP" "$corpus/json-search" \
        >> "$WORKDIR/$1.replies" || fail "$1: replies missing: $(cat "$WORKDIR/$1.replies")"
    send_cmd SdIq
    wait_exit 30 && [ "$DAEMON_STATUS" -eq 0 ] || fail "$1: exit status $DAEMON_STATUS"
    sed -E 's/^[-0-9: .]+ ([A-Z]+) \[[0-9]+\]/\1/; s/(hSocket|sock|tick)\[[0-9]+\]/\1[]/' "$LOG" \
        | grep -v PrintVersionInfo | sort > "$WORKDIR/$1.lines"
}
run linux
BIN=$WIN_BIN
run windows
diff "$WORKDIR/linux.replies" "$WORKDIR/windows.replies" || fail "replies differ from Linux's"
diff "$WORKDIR/linux.lines" "$WORKDIR/windows.lines" || fail "log lines differ from Linux's"
mac() { ip -n "$NS_SRV" -br link show "$1" | awk '{print $3}'; }
row() { grep -q "adapterName\[$1\] macAddr\[$(mac "$1")\] hostAddr\[$2\] subNetMask\[255.255.255.0\] gateWayAddr\[$3\] isOK\[1\]" "$WORKDIR/windows.lines"; }
row vsrv0 "$SRV_IP" "$CLI_IP" && row vsrv1 10.89.0.1 0.0.0.0 || fail "adapter rows: $(grep adapterName "$WORKDIR/windows.lines")"
[ "$(grep -c 'StartUDP ret\[0\]' "$WORKDIR/windows.lines")" -eq 9 ] || fail "want nine binds"
cmp "$LOG" "$RUNDIR"/log/Velmora-*.log || fail "the log file differs from stderr"
[ "$(head -c 4 "$RUNDIR"/log/Velmora-*-"$(date +%Y%m%d)"-*.dmp)" = MDMP ] || fail "no minidump"

for exe in "$WIN_BUILD"/*.exe "$WIN_BUILD"/tools/*/*.exe "$WIN_BUILD"/tests/*.exe; do
    ! x86_64-w64-mingw32-objdump -p "$exe" | grep -qi 'DLL Name: dbghelp' || fail "$exe imports dbghelp.dll"
done

: > "$RUNDIR/Velmorainput"
start_daemon
wait_log 'Start Server OK!' 15 || fail "Ctrl-C run did not start"
second=$WORKDIR/second
mkdir -p "$second" && : > "$second/Velmorainput"
(cd "$second" && exec timeout 60 ip netns exec "$NS_SRV" "$WIN_BIN" > /dev/null 2> "$second/stderr.log")
[ "$(tr -d '\r' < "$second/stderr.log" | grep -Ec 'StartUDP ret\[-10048\] host\[')" -eq 9 ] \
    && grep -q 'Start Server Failed!' "$second/stderr.log" \
    || fail "second daemon: $(grep -E 'StartUDP|Server|not open' "$second/stderr.log")"
kill -INT "$DAEMON_PID"
wait_exit 10 && [ "$DAEMON_STATUS" -eq 0 ] && grep -q 'stop signal received' "$LOG" && grep -q 'Velmora End' "$LOG" \
    || fail "Ctrl-C: exit status $DAEMON_STATUS"
pass
