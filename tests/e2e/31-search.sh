#!/usr/bin/env bash
# 31-search.sh: velmora-search finds the responder through the group and by
# unicast, one row per responder adapter with both forms merged, prints JSON
# lines that parse, exits 1 when nothing answers, 2 on a usage error, and 0
# for --help and --version.
. "$(dirname "$0")/common.sh"
. "$(dirname "$0")/ns.sh"
need_root
trap cleanup EXIT
[ -x "$SEARCH" ] || fail "velmora-search binary $SEARCH not built"

# Command-line answers need no network.
"$SEARCH" --help > /dev/null 2>&1 || fail "--help: exit $?"
"$SEARCH" --help | grep -q -- '--timeout SECONDS' || fail "--help text lacks --timeout"
"$SEARCH" --version | grep -Eq '^velmora-search [0-9]+\.[0-9]+' || fail "--version text"
for bad in "--port 0" "--timeout x" "--form xml" "--host 10.0.0" "--no-such-option"; do
    err=$("$SEARCH" $bad 2>&1 >/dev/null); rc=$?
    [ "$rc" -eq 2 ] || fail "'$bad': exit $rc, want 2"
    [ -n "$err" ] || fail "'$bad': no message on stderr"
done

make_ns_pair
add_second_adapter
make_workdir
write_config 4 2
start_daemon ip netns exec "$NS_SRV"
wait_log 'Start Server OK!' 10 || fail "no \"Start Server OK!\""

# The group out of vcli0: both server adapters answer, each in both forms.
in_cli "$SEARCH" --interface "$CLI_DEV0" --timeout 1.5 > "$WORKDIR/table" 2> "$WORKDIR/err" \
    || fail "group search: exit $?: $(cat "$WORKDIR/err")"
[ "$(wc -l < "$WORKDIR/table")" -eq 3 ] || fail "want a heading and two rows: $(cat "$WORKDIR/table")"
for mac in "$SRV_MAC0" "$SRV_MAC1"; do
    grep -E "^$SRV_IP0 .* $mac .* json,binary\$" "$WORKDIR/table" > /dev/null \
        || fail "no row for $mac answering both forms: $(cat "$WORKDIR/table")"
done
grep -F "$SRV_IP1  $NETMASK" "$WORKDIR/table" > /dev/null || fail "second adapter's address"

# Unicast to the second server address, from the other client address (the
# responder's duplicate filter would drop a repeat from 10.88.0.2 for 2 s).
in_cli "$SEARCH" --host "$SRV_IP1" --json --timeout 1.5 > "$WORKDIR/json" \
    || fail "unicast search: exit $?"
python3 - "$WORKDIR/json" "$SRV_IP0" "$SRV_IP1" "$SRV_MAC0" "$SRV_MAC1" <<'EOF' || fail "JSON lines"
import json, sys
path, ip0, ip1, mac0, mac1 = sys.argv[1:]
rows = [json.loads(line) for line in open(path)]
assert len(rows) == 2, rows
for row in rows:
    assert row["responder"] == ip1, row
    assert row["forms"] == "json,binary", row
    assert row["version"] == "3.0" and row["machineName"] == "Server", row
    assert row["httpPort"] == 80 and row["port"] == 47810, row
    assert row["mask"] == "255.255.255.0", row
assert {r["mac"] for r in rows} == {mac0, mac1}, rows
assert {r["address"] for r in rows} == {ip0, ip1}, rows
EOF

# Only one form asked: rows carry only that form.
in_cli "$SEARCH" --host "$SRV_IP0" --port 5050 --form binary --json --timeout 1 \
    > "$WORKDIR/bin" || fail "binary-only search: exit $?"
[ "$(grep -c '"forms":"binary"' "$WORKDIR/bin")" -eq 2 ] || fail "binary rows: $(cat "$WORKDIR/bin")"

# Nothing listens on this port: exit 1 after the timeout, no rows.
in_cli timeout 10 "$SEARCH" --host "$SRV_IP0" --port 40000 --timeout 0.5 \
    > "$WORKDIR/none" 2>&1
rc=$?
[ "$rc" -eq 1 ] || fail "nobody answering: exit $rc, want 1"
grep -q 'no responder answered' "$WORKDIR/none" || fail "no 'no responder answered' note"

stop_daemon || fail "daemon exit status $DAEMON_STATUS"
pass
