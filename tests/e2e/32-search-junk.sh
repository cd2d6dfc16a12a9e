#!/usr/bin/env bash
# 32-search-junk.sh: velmora-search against a fake responder in the server
# namespace. The fake records the requests (their exact bytes are checked),
# answers each with junk, cut and wrongly typed replies, and on port 37810
# with one valid binary record too. The client keeps only the valid record,
# reports the skipped ones with --verbose, reaches the fake through the
# subnet broadcast address (the fake joins no group), and exits 1 without
# crashing when only junk comes back.
. "$(dirname "$0")/common.sh"
. "$(dirname "$0")/ns.sh"
need_root
trap cleanup EXIT
[ -x "$SEARCH" ] || fail "velmora-search binary $SEARCH not built"

make_ns_pair
make_workdir
FAKE_MAC=02:00:00:00:00:aa

ip netns exec "$NS_SRV" python3 - "$WORKDIR" "$FAKE_MAC" > "$WORKDIR/fake.log" 2>&1 <<'EOF' &
import os, select, socket, struct, sys, time
workdir, mac = sys.argv[1], sys.argv[2].encode()

def binary(name, tail=None):
    rec = bytearray(137)
    rec[0], rec[4] = 0xB3, 0x58
    rec[2] = (17 + len(name)) & 0xFF if tail is None else tail
    rec[56:68] = bytes([10, 88, 0, 1, 255, 255, 255, 0, 10, 88, 0, 2])
    rec[94:96], rec[98:100] = struct.pack("<H", 80), struct.pack("<H", 37810)
    rec[120:137] = mac
    return bytes(rec) + name

def json_reply(text, length=None):
    n = len(text) if length is None else length
    hdr = bytearray(32)
    hdr[0] = 0x20
    hdr[16:18] = hdr[24:26] = struct.pack("<H", n)
    return bytes(hdr) + text

junk = [b"", b"\x20", b"\xb3", bytes(range(256)), b"\x20" + bytes(31) + b"{}",
        json_reply(b'{"method":"client.notifyDevInfo"}', 500),
        json_reply(b'{"method":"client.notifyDevInfo","params":{"deviceInfo":7}}'),
        json_reply(b'{"method":"client.notifyDevInfo","mac":[1],"params":{"deviceInfo":'
                   b'{"HttpPort":"x","IPv4Address":3}}}'),
        json_reply(b"\xff\xfe not json"), binary(b"cut", tail=99), binary(b"")[:100],
        binary(b"x" * 400)]
socks = {}
for port in (37810, 47810):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("0.0.0.0", port))
    socks[s] = port
open(os.path.join(workdir, "fake.ready"), "w").close()
seen = open(os.path.join(workdir, "requests"), "a")
deadline = time.time() + 60
while time.time() < deadline:
    ready, _, _ = select.select(list(socks), [], [], 0.5)
    for s in ready:
        data, peer = s.recvfrom(2048)
        seen.write("%d %s %s\n" % (socks[s], peer[0], data.hex()))
        seen.flush()
        for d in junk:
            s.sendto(d, peer)
        if socks[s] == 37810 and data[:1] == b"\xa3":
            s.sendto(binary(b"Fake"), peer)
EOF
FAKE_PID=$!   # ip netns exec execs python3: this is its pid
on_cleanup "kill $FAKE_PID"

end=$(_deadline 10)
until [ -e "$WORKDIR/fake.ready" ]; do
    [ "$(date +%s%3N)" -lt "$end" ] || fail "fake responder not ready: $(cat "$WORKDIR/fake.log")"
    sleep 0.05
done

# Broadcast only reaches the fake (no group membership): one valid row.
in_cli "$SEARCH" --broadcast --interface "$CLI_DEV0" --verbose --json --timeout 1 \
    > "$WORKDIR/out" 2> "$WORKDIR/err"
rc=$?
[ "$rc" -eq 0 ] || fail "broadcast search: exit $rc: $(cat "$WORKDIR/err")"
[ "$(wc -l < "$WORKDIR/out")" -eq 1 ] || fail "want one row: $(cat "$WORKDIR/out")"
python3 -c 'import json,sys; r=json.loads(open(sys.argv[1]).read())
assert (r["mac"], r["machineName"], r["forms"], r["port"], r["address"]) == \
    (sys.argv[2], "Fake", "binary", 37810, "10.88.0.1"), r' "$WORKDIR/out" "$FAKE_MAC" \
    || fail "row content: $(cat "$WORKDIR/out")"
grep -q 'skipped' "$WORKDIR/err" || fail "--verbose reported no skipped datagram"

# The requests had their exact layout and went to the broadcast address.
json_req="20$(printf '0%.0s' {1..30})1e$(printf '0%.0s' {1..14})1e$(printf '0%.0s' {1..14})"
json_req+=$(printf '{"method":"KQDiscover.search"}' | od -An -tx1 | tr -d ' \n')
bin_req="a3$(printf '0%.0s' {1..62})"
grep -q "^37810 $CLI_IP0 $json_req\$" "$WORKDIR/requests" || fail "JSON request bytes: $(cat "$WORKDIR/requests")"
grep -q "^37810 $CLI_IP0 $bin_req\$" "$WORKDIR/requests" || fail "binary request bytes"

# Only junk comes back on 47810: nothing found, exit 1, no crash.
in_cli "$SEARCH" --host "$SRV_IP0" --port 47810 --timeout 1 > "$WORKDIR/out2" 2>&1
rc=$?
[ "$rc" -eq 1 ] || fail "junk only: exit $rc, want 1: $(cat "$WORKDIR/out2")"
pass
