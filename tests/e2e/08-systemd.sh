#!/usr/bin/env bash
# 08-systemd.sh: the daemon under a service manager and journal, played by
# this script: the notification socket gets READY=1 (with a status line) once
# "Start Server OK!" is in the journal, WATCHDOG=1 about once a second when a
# watchdog is asked for, and STOPPING=1 at the stop, before the process ends.
# With standard error the journal's stream, every line is one native journal
# entry with its priority, source file, line, function and thread (a message
# of two lines too), nothing goes to the stream, and the log file keeps its
# format.
. "$(dirname "$0")/common.sh"
need_root
trap cleanup EXIT
[ -d /run/systemd ] || { echo "SKIP: $SCRIPT_NAME: no /run/systemd to lay a journal socket over" >&2; exit 77; }
command -v unshare > /dev/null || { echo "SKIP: $SCRIPT_NAME: no unshare" >&2; exit 77; }
make_ns_pair
python3 -c 'import sys; sys.stdout.write(open(sys.argv[1]).read().replace(
    "<VersionName>Server<", "<VersionName>Ser\nver<"))' "$SRC/demo/Velmora/Velmora.xml" > "$RUNDIR/Velmora.xml"

# The service manager's socket: each datagram becomes a line of
# $WORKDIR/notify ("|" for its line ends).
python3 - "$WORKDIR/notify.sock" "$WORKDIR/notify" <<'PY' &
import socket, sys
sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
sock.bind(sys.argv[1])
sock.settimeout(30)
with open(sys.argv[2], "w", buffering=1) as out:
    try:
        while True:
            out.write(sock.recv(4096).decode().strip().replace("\n", "|") + "\n")
    except socket.timeout:
        pass
PY
_CLEANUP+=("kill $!")

# The journal: in a private mount namespace of the daemon, a tmpfs over
# /run/systemd holds the socket native entries go to; each entry becomes a
# JSON line of $WORKDIR/journal.
cat > "$WORKDIR/journal.py" <<'PY'
import json, socket, struct, sys
sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
sock.bind(sys.argv[1])
sock.settimeout(30)
with open(sys.argv[2], "w", buffering=1) as out:
    try:
        while True:
            data, fields, i = sock.recv(65536), {}, 0
            while i < len(data):
                end = data.index(b"\n", i)
                if b"=" in data[i:end]:
                    key, value = data[i:end].split(b"=", 1)
                    i = end + 1
                else:   # KEY, a 64-bit length, the value, a line end
                    key, n = data[i:end], struct.unpack("<Q", data[end + 1:end + 9])[0]
                    value, i = data[end + 9:end + 9 + n], end + 10 + n
                fields[key.decode()] = value.decode()
            out.write(json.dumps(fields) + "\n")
    except socket.timeout:
        pass
PY
printf '%s\n' '#!/bin/sh' \
    'mount -t tmpfs tmpfs /run/systemd && mkdir /run/systemd/journal || exit 1' \
    "python3 '$WORKDIR/journal.py' /run/systemd/journal/socket '$WORKDIR/journal' &" \
    "echo \$! > '$WORKDIR/journal.pid'" \
    'n=0; while [ ! -S /run/systemd/journal/socket ] && [ $n -lt 100 ]; do sleep 0.05; n=$((n + 1)); done' \
    'exec "$@"' > "$WORKDIR/in-journal"
_CLEANUP+=("kill \$(cat '$WORKDIR/journal.pid')")

wait_until() {   # FILE REGEX [SECONDS=10]
    wait_for "${3:-10}" grep -Eq -- "$2" "$1" 2> /dev/null || fail "no '$2' in $1: $(head -c 2000 "$1" 2> /dev/null)"
}
wait_for 10 test -S "$WORKDIR/notify.sock" || fail "the service manager's socket did not come up"
: > "$LOG"
start_daemon unshare -m --propagation private sh "$WORKDIR/in-journal" env \
    NOTIFY_SOCKET="$WORKDIR/notify.sock" WATCHDOG_USEC=3000000 JOURNAL_STREAM="$(stat -c '%d:%i' "$LOG")"
wait_until "$WORKDIR/notify" '^READY=1\|STATUS=[0-9] of 9 endpoints open, 1 adapter, 0 replies sent$'
grep -q '"MESSAGE": "CServer::StartServer: Start Server OK!"' "$WORKDIR/journal" \
    || fail "READY=1 before \"Start Server OK!\" was in the journal"
[ "$(grep -c '^READY=1' "$WORKDIR/notify")" -eq 1 ] || fail "READY=1 more than once"
# Three more watchdog pings come within 6 s, and not at once (one a second).
ready_ms=$(_now_ms) pings=$(grep -c '^WATCHDOG=1$' "$WORKDIR/notify")
until [ "$(grep -c '^WATCHDOG=1$' "$WORKDIR/notify")" -ge $((pings + 3)) ]; do
    [ $(($(_now_ms) - ready_ms)) -lt 6000 ] || fail "fewer than 3 watchdog pings in 6 s"
    sleep 0.05
done
[ $(($(_now_ms) - ready_ms)) -ge 1500 ] || fail "3 watchdog pings within 1.5 s: not one a second"
send_cmd q
wait_exit 10 && [ "$DAEMON_STATUS" -eq 0 ] || fail "stop: ${DAEMON_STATUS:-still running}"
grep -q '^STOPPING=1$' "$WORKDIR/notify" || fail "no STOPPING=1: $(cat "$WORKDIR/notify")"

# The start line with its fields, the two-line value as one entry, errors at
# priority 3, the last line; nothing on the stream; in the log file the lines
# as always, the value's second line on a line of its own.
wait_until "$WORKDIR/journal" '"MESSAGE": "main: Velmora End"' 5
python3 - "$WORKDIR/journal" <<'PY' || fail "journal entries: $(head -c 3000 "$WORKDIR/journal")"
import json, re, sys
entries = [json.loads(line) for line in open(sys.argv[1])]
start = [e for e in entries if e["MESSAGE"] == "CServer::StartServer: Start Server OK!"]
assert len(start) == 1 and start[0]["PRIORITY"] == "6", start
assert start[0]["CODE_FILE"] == "Service/Service" and start[0]["CODE_FUNC"] == "CServer::StartServer"
assert re.fullmatch(r"\d+", start[0]["CODE_LINE"]) and re.fullmatch(r"\d+", start[0]["TID"]), start
two = [e for e in entries if e["MESSAGE"].startswith("CServerConfig::LoadServerConf: VersionName[")]
assert [e["MESSAGE"] for e in two] == ["CServerConfig::LoadServerConf: VersionName[Ser\nver]"], two
assert two[0]["PRIORITY"] == "6", two
assert any(e["PRIORITY"] == "3" and "Open nginx Conf" in e["MESSAGE"] for e in entries)
assert entries[-1]["MESSAGE"] == "main: Velmora End", entries[-1]
PY
[ ! -s "$LOG" ] || fail "lines on the journal's stream: $(head -n 3 "$LOG")"
file=$RUNDIR/log/Velmora-$DAEMON_PID.log
grep -q ' INFO \[[0-9]*\] Service/Service:[0-9]* CServerConfig::LoadServerConf: VersionName\[Ser$' "$file" \
    && grep -qx 'ver\]' "$file" || fail "log file: $(grep -A1 VersionName "$file")"
pass
