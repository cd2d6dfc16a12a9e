#!/usr/bin/env bash
# 12-ns-replies-every-endpoint.sh: both request forms, sent to the unicast
# address on all six ports and to the group on its three ports, each from a
# fresh client address, get exactly one reply each with every field as
# configured (defaults, product type Null), from the server's unicast address
# and the port the request was sent to.
. "$(dirname "$0")/common.sh"
. "$(dirname "$0")/ns.sh"
need_root
trap cleanup EXIT
make_ns_pair
add_cli_addrs 10.88.0 10 27
make_workdir
write_config 8 2
start_daemon ip netns exec "$NS_SRV"
wait_log 'Start Server OK!' 10 || fail "no \"Start Server OK!\""

# A header whose every byte is set, so copied and rewritten bytes both show.
hdr=20
for i in $(seq 1 31); do hdr+=$(printf '%02x' $((0x80 + i))); done

n=10
for target in "$SRV_IP0 37810" "$SRV_IP0 47810" "$SRV_IP0 57810" "$SRV_IP0 5050" \
              "$SRV_IP0 15050" "$SRV_IP0 25050" "$GROUP 37810" "$GROUP 47810" "$GROUP 57810"; do
    set -- $target
    dst=$1 port=$2

    src=10.88.0.$n; n=$((n + 1))
    out=$WORKDIR/json-$dst-$port
    probe send --host "$dst" --port "$port" --bind-addr "$src" --header "$hdr" \
        --expect 1 --timeout 3 > "$out" \
        || fail "JSON to $dst:$port from $src: $(wc -l < "$out") replies, want 1"
    check_replies "$out" --header "$hdr" --adapter "$ADAPTER0" --src "$SRV_IP0:$port" \
        --http 80 --port 47810 --name Server --device-type Server --version 3.0 \
        || fail "JSON reply to $dst:$port"

    src=10.88.0.$n; n=$((n + 1))
    out=$WORKDIR/bin-$dst-$port
    len=17; [ "$dst" = "$GROUP" ] && len=200   # the shortest request and a long one
    probe send --host "$dst" --port "$port" --bind-addr "$src" --form binary --length "$len" \
        --b1 "$n" --b16 $((0xC0 + n)) --set 2=0xEE --set 4=0x11 --expect 1 --timeout 3 > "$out" \
        || fail "binary to $dst:$port from $src: $(wc -l < "$out") replies, want 1"
    check_replies "$out" --form binary --adapter "$ADAPTER0" --src "$SRV_IP0:$port" \
        --b1 "$n" --b16 $((0xC0 + n)) --http 80 --port 37810 --name Server \
        || fail "binary reply to $dst:$port"
done

# One send line per reply, with its length and the adapter that answered.
wait_count 'sock\[-?[0-9]+\] respLen\[[0-9]+\] host\[10\.88\.0\.[0-9]+:[0-9]+\] interface\[vsrv0\] ret\[[0-9]+\]' 9 5 \
    || fail "want nine JSON send lines"
wait_count 'sock\[-?[0-9]+\] respLen\[143\] host\[10\.88\.0\.[0-9]+:[0-9]+\] interface\[0\] ret\[[0-9]+\]' 9 5 \
    || fail "want nine binary send lines of 143 bytes"

stop_daemon || fail "exit status $DAEMON_STATUS"
pass
