#!/usr/bin/env bash
# 13-ns-product-web-ports.sh: with ProductType "TRN V8" the web ports come from
# the nginx port file, and both reply forms carry them and the product name
# (the JSON DeviceType stays the version name).
. "$(dirname "$0")/common.sh"
. "$(dirname "$0")/ns.sh"
need_root
trap cleanup EXIT
make_ns_pair
add_cli_addrs 10.88.0 10 13
make_workdir
write_config 4 2 "TRN V8" Null
printf 'listen 8080;\nlisten 8443 ssl;\n' > "$WORKDIR/nginx/conf/port.conf"
start_daemon ip netns exec "$NS_SRV"
wait_log 'Start Server OK!' 10 || fail "no \"Start Server OK!\""
wait_log 'nginx port load webclientHttpPort\[8080\]' 1 || fail "HTTP port not read from the port file"
wait_log 'nginx port load webclientHttpsPort\[8443\]' 1 || fail "HTTPS port not read from the port file"

n=10
for dst in "$SRV_IP0" "$GROUP"; do
    out=$WORKDIR/json-$dst
    probe send --host "$dst" --port 47810 --bind-addr 10.88.0.$n --expect 1 --timeout 3 > "$out" \
        || fail "JSON to $dst:47810: $(wc -l < "$out") replies, want 1"
    check_replies "$out" --adapter "$ADAPTER0" --src "$SRV_IP0:47810" \
        --http 8080 --port 8443 --name "TRN V8" --device-type Server \
        || fail "JSON reply to $dst"
    n=$((n + 1))
    out=$WORKDIR/bin-$dst
    probe send --host "$dst" --port 57810 --bind-addr 10.88.0.$n --form binary --b1 0xA3 --b16 0xFF \
        --expect 1 --timeout 3 > "$out" || fail "binary to $dst:57810: $(wc -l < "$out") replies, want 1"
    check_replies "$out" --form binary --adapter "$ADAPTER0" --src "$SRV_IP0:57810" \
        --b1 0xA3 --b16 0xFF --http 8080 --port 8443 --name "TRN V8" \
        || fail "binary reply to $dst"
    n=$((n + 1))
done

stop_daemon || fail "exit status $DAEMON_STATUS"
pass
