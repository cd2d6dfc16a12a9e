#!/usr/bin/env python3
"""Discovery test client for the end-to-end scenarios (standard library only).

  probe.py send    send one JSON (head 0x20) or binary (head 0xA3) request and
                   print one JSON line per reply datagram
  probe.py check   read the lines of `send` and check each reply against the
                   expected adapters and configuration values
  probe.py flood   bounded flood of random datagrams (count and time limit)
  probe.py respond a fake responder, to test this client without the daemon

Every receive has a timeout, every loop a count and a deadline.
"""

import argparse
import ipaddress
import json
import os
import random
import select
import socket
import struct
import sys
import time

HEAD_JSON = 0x20
HEAD_BIN = 0xA3
HEAD_BIN_REPLY = 0xB3
HDR_LEN = 32
SEARCH = "KQDiscover.search"
NOTIFY = "client.notifyDevInfo"


def is_group(host):
    return ipaddress.ip_address(host).is_multicast


def parse_byte_sets(items):
    out = {}
    for item in items or []:
        pos, val = item.split("=", 1)
        out[int(pos, 0)] = int(val, 0) & 0xFF
    return out


def build_request(args):
    if args.raw_hex is not None:
        return bytes.fromhex(args.raw_hex)
    sets = parse_byte_sets(args.set)
    if args.form == "json":
        hdr = bytearray(bytes.fromhex(args.header) if args.header else bytes(HDR_LEN))
        if len(hdr) != HDR_LEN:
            raise SystemExit("--header needs exactly 32 bytes")
        hdr[0] = HEAD_JSON
        for pos, val in sets.items():
            hdr[pos] = val
        text = args.text if args.text is not None else json.dumps({"method": args.method})
        return bytes(hdr) + text.encode() + (b"\0" if args.nul else b"")
    req = bytearray(max(args.length, 17))
    req[0] = HEAD_BIN
    req[1] = args.b1 & 0xFF
    req[16] = args.b16 & 0xFF
    for pos, val in sets.items():
        req[pos] = val
    return bytes(req)


def open_socket(bind_addr, bind_port, mcast_if, target):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((bind_addr or "0.0.0.0", bind_port))
    if is_group(target):
        iface = mcast_if or bind_addr
        if iface:
            sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(iface))
        sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
        sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 0)
    return sock


def describe(data, addr):
    rec = {"src": addr[0], "sport": addr[1], "len": len(data), "hex": data.hex()}
    if data and data[0] == HEAD_JSON and len(data) >= HDR_LEN:
        rec["header"] = data[:HDR_LEN].hex()
        rec["len16"] = data[16] | data[17] << 8
        rec["len24"] = data[24] | data[25] << 8
        text = data[HDR_LEN:].decode("utf-8", "replace")
        rec["text"] = text
        try:
            rec["json"] = json.loads(text)
        except ValueError as err:
            rec["json_error"] = str(err)
    elif data and data[0] == HEAD_BIN_REPLY:
        rec["kind"] = "binary"
    return rec


def collect(sock, timeout, expect, grace):
    """Replies until `timeout` seconds pass, or, with `expect`, until `grace`
    seconds after the expected count came in (so an extra reply still shows)."""
    replies = []
    deadline = time.monotonic() + timeout
    while len(replies) < 10000:
        now = time.monotonic()
        if expect and len(replies) >= expect:
            deadline = min(deadline, now + grace) if len(replies) == expect else now
        left = deadline - now
        if left <= 0:
            break
        ready, _, _ = select.select([sock], [], [], left)
        if not ready:
            break
        data, addr = sock.recvfrom(65535)
        replies.append((data, addr))
    return replies


def cmd_send(args):
    req = build_request(args)
    sock = open_socket(args.bind_addr, args.bind_port, args.mcast_if, args.host)
    try:
        sock.sendto(req, (args.host, args.port))
        replies = collect(sock, args.timeout, args.expect, args.grace)
    finally:
        sock.close()
    for data, addr in replies:
        print(json.dumps(describe(data, addr), sort_keys=True))
    sys.stdout.flush()
    if args.expect is not None:
        return 0 if len(replies) == args.expect else 1
    return 0 if replies else 1


# ---------------------------------------------------------------- check


def parse_adapter(text):
    mac, ip, mask, gw = text.split(",")
    return {"mac": mac, "ip": ip, "mask": mask, "gw": gw}


def check_json(rec, req_hdr, adapters, args, errs):
    data = bytes.fromhex(rec["hex"])
    if data[0] != HEAD_JSON or len(data) < HDR_LEN:
        errs.append("not a JSON reply: %s" % rec["hex"][:80])
        return None
    text_len = len(data) - HDR_LEN
    if rec["len16"] != text_len or rec["len24"] != text_len:
        errs.append("length fields %d/%d, text has %d bytes" % (rec["len16"], rec["len24"], text_len))
    for i in range(HDR_LEN):
        if i in (16, 17, 24, 25):
            continue
        if data[i] != req_hdr[i]:
            errs.append("header byte %d is %#x, request had %#x" % (i, data[i], req_hdr[i]))
    if not rec["text"].endswith("}\n"):
        errs.append("text does not end with a closing brace and a newline")
    obj = rec.get("json")
    if not isinstance(obj, dict):
        errs.append("text does not parse as a JSON object: %s" % rec.get("json_error"))
        return None
    want_top = {"mac", "method", "params"}
    if set(obj) != want_top:
        errs.append("top-level members %s" % sorted(obj))
    if obj.get("method") != NOTIFY:
        errs.append("method %r" % obj.get("method"))
    adapter = adapters.get(obj.get("mac"))
    if adapter is None:
        errs.append("mac %r is no expected adapter" % obj.get("mac"))
        return obj.get("mac")
    params = obj.get("params")
    info = params.get("deviceInfo") if isinstance(params, dict) else None
    if not isinstance(info, dict) or set(params) != {"deviceInfo"}:
        errs.append("params %r" % params)
        return obj.get("mac")
    want = {
        "DeviceClass": args.name, "DeviceType": args.device_type, "HttpPort": args.http,
        "MachineName": args.name, "Port": args.port, "Version": args.version,
    }
    for key, val in want.items():
        got = info.get(key)
        if got != val or type(got) is not type(val):
            errs.append("deviceInfo.%s is %r, want %r" % (key, got, val))
    serial = info.get("SerialNo")
    if not isinstance(serial, str) or not serial:
        errs.append("SerialNo %r" % serial)
    want_keys = set(want) | {"SerialNo", "IPv4Address"}
    if set(info) != want_keys:
        errs.append("deviceInfo members %s" % sorted(info))
    v4 = info.get("IPv4Address")
    want_v4 = {"DhcpEnable": False, "IPAddress": adapter["ip"],
               "SubnetMask": adapter["mask"], "DefaultGateway": adapter["gw"]}
    if v4 != want_v4 or not isinstance(v4, dict) or v4.get("DhcpEnable") is not False:
        errs.append("IPv4Address %r, want %r" % (v4, want_v4))
    return obj.get("mac")


def octets(addr):
    return bytes(int(x) for x in addr.split("."))


def check_binary(rec, adapters, args, errs):
    data = bytes.fromhex(rec["hex"])
    name = args.name.encode()
    mac = data[120:137].decode("latin-1")
    adapter = adapters.get(mac)
    if adapter is None:
        errs.append("mac %r is no expected adapter" % mac)
        return mac
    want = bytearray(137 + len(name))
    want[0] = HEAD_BIN_REPLY
    want[1] = args.b1 & 0xFF
    want[2] = (17 + len(name)) & 0xFF
    want[4] = 0x58
    want[16] = args.b16 & 0xFF
    want[56:60] = octets(adapter["ip"])
    want[60:64] = octets(adapter["mask"])
    want[64:68] = octets(adapter["gw"])
    want[94:96] = struct.pack("<H", args.http)
    want[98:100] = struct.pack("<H", args.port)
    want[120:137] = adapter["mac"].encode()
    want[137:] = name
    if len(data) != len(want):
        errs.append("binary reply has %d bytes, want %d" % (len(data), len(want)))
    for i in range(min(len(data), len(want))):
        if data[i] != want[i]:
            errs.append("binary byte %d is %#x, want %#x" % (i, data[i], want[i]))
    return mac


def cmd_check(args):
    adapters = {}
    for text in args.adapter:
        ad = parse_adapter(text)
        adapters[ad["mac"]] = ad
    req_hdr = bytearray(bytes.fromhex(args.header) if args.header else bytes(HDR_LEN))
    req_hdr[0] = HEAD_JSON
    for pos, val in parse_byte_sets(args.set).items():
        req_hdr[pos] = val
    errs = []
    seen = []
    lines = [ln for ln in open(args.file) if ln.strip()]
    for line in lines:
        rec = json.loads(line)
        if args.src and "%s:%d" % (rec["src"], rec["sport"]) != args.src:
            errs.append("reply from %s:%d, want %s" % (rec["src"], rec["sport"], args.src))
        if args.form == "json":
            seen.append(check_json(rec, req_hdr, adapters, args, errs))
        else:
            seen.append(check_binary(rec, adapters, args, errs))
    if sorted(m for m in seen if m is not None) != sorted(adapters):
        errs.append("replies for adapters %s, want one each for %s" % (seen, sorted(adapters)))
    for err in errs[:40]:
        print("check: %s" % err, file=sys.stderr)
    return 1 if errs else 0


# ---------------------------------------------------------------- flood


def random_payload(rng, tag):
    """Mostly small datagrams; some valid-looking but broken requests."""
    roll = rng.random()
    if roll < 0.02:
        size = rng.randint(1000, 65507)
    elif roll < 0.05:
        size = 0
    else:
        size = rng.randint(1, 200)
    head_roll = rng.random()
    if head_roll < 0.25:
        head = HEAD_JSON
    elif head_roll < 0.5:
        head = HEAD_BIN
    else:
        head = rng.randrange(256)
    body = bytearray(os.urandom(size))
    if size and head == HEAD_JSON and size > HDR_LEN and rng.random() < 0.5:
        text = rng.choice([b'{"method":"KQDiscover.search"}', b'{"method":5}', b"[1,2]",
                           b'{"method":"kqdiscover.search"}', b"{", b"null", b'"x"'])
        body = bytearray(os.urandom(HDR_LEN)) + bytearray(text)
    if body:
        body[0] = head
    tag[head] = tag.get(head, 0) + 1
    return bytes(body)


def cmd_flood(args):
    rng = random.Random(args.seed)
    net = ipaddress.ip_network(args.src_net)
    hosts = [str(net.network_address + 1 + i) for i in range(min(args.hosts, net.num_addresses - 2))]
    targets = [(args.host, p) for p in args.ports]
    targets += [(args.group, p) for p in args.group_ports]
    socks = []
    heads = {}
    req_hosts = set()
    sent = errors = 0
    deadline = time.monotonic() + args.seconds
    try:
        for i in range(args.count):
            if time.monotonic() >= deadline:
                break
            if len(socks) < args.sockets or rng.random() < 0.05:
                src = rng.choice(hosts)
                sock = open_socket(src, 0, args.mcast_if, args.group)
                sock.setblocking(False)
                socks.append((sock, src))
                if len(socks) > args.sockets:
                    socks.pop(0)[0].close()
            sock, src = rng.choice(socks)
            data = random_payload(rng, heads)
            try:
                sock.sendto(data, rng.choice(targets))
                sent += 1
                if data and data[0] in (HEAD_JSON, HEAD_BIN):
                    req_hosts.add(src)
            except OSError:
                errors += 1
            if i % 64 == 0:
                for s, _ in socks:   # drain replies so the client side keeps up
                    for _ in range(64):
                        try:
                            s.recvfrom(65535)
                        except OSError:
                            break
    finally:
        for s, _ in socks:
            s.close()
    print(json.dumps({"sent": sent, "errors": errors, "request_hosts": len(req_hosts),
                      "json_heads": heads.get(HEAD_JSON, 0), "binary_heads": heads.get(HEAD_BIN, 0)}))
    return 0 if sent else 1


# ---------------------------------------------------------------- respond


def cmd_respond(args):
    """Answers up to --count requests like the responder would, one reply
    per --adapter, then exits; stops after --seconds in any case."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((args.bind_addr, args.port))
    print("ready", flush=True)
    deadline = time.monotonic() + args.seconds
    answered = 0
    while answered < args.count:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([sock], [], [], left)[0]:
            break
        data, addr = sock.recvfrom(65535)
        answered += 1
        for text in args.adapter:
            ad = parse_adapter(text)
            if data[:1] == bytes([HEAD_JSON]):
                obj = {"method": NOTIFY, "mac": ad["mac"], "params": {"deviceInfo": {
                    "SerialNo": "SN", "Version": "3.0", "HttpPort": 80, "Port": 47810,
                    "MachineName": "Server", "DeviceClass": "Server", "DeviceType": "Server",
                    "IPv4Address": {"DhcpEnable": False, "IPAddress": ad["ip"],
                                    "SubnetMask": ad["mask"], "DefaultGateway": ad["gw"]}}}}
                text_b = (json.dumps(obj, indent=3) + "\n").encode()
                hdr = bytearray(data[:HDR_LEN])
                hdr[16:18] = hdr[24:26] = struct.pack("<H", len(text_b))
                sock.sendto(bytes(hdr) + text_b, addr)
            else:
                rec = bytearray(143)
                rec[0], rec[1], rec[2], rec[4], rec[16] = HEAD_BIN_REPLY, data[1], 23, 0x58, data[16]
                rec[56:68] = octets(ad["ip"]) + octets(ad["mask"]) + octets(ad["gw"])
                rec[94:96] = struct.pack("<H", 80)
                rec[98:100] = struct.pack("<H", 37810)
                rec[120:137] = ad["mac"].encode()
                rec[137:] = b"Server"
                sock.sendto(bytes(rec), addr)
    sock.close()
    return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="cmd", required=True)

    sp = sub.add_parser("send")
    sp.add_argument("--host", required=True, help="unicast address or a multicast group")
    sp.add_argument("--port", type=int, required=True)
    sp.add_argument("--form", choices=("json", "binary"), default="json")
    sp.add_argument("--bind-addr", default="", help="local source address")
    sp.add_argument("--bind-port", type=int, default=0, help="local source port (0: ephemeral)")
    sp.add_argument("--mcast-if", default="", help="local address of the multicast interface")
    sp.add_argument("--header", help="hex of the 32-byte JSON header (byte 0 is forced to 0x20)")
    sp.add_argument("--set", action="append", help="POS=VALUE: set one request byte")
    sp.add_argument("--method", default=SEARCH)
    sp.add_argument("--text", help="raw JSON text instead of the method object")
    sp.add_argument("--nul", action="store_true", help="end the JSON text with a NUL byte")
    sp.add_argument("--b1", type=lambda s: int(s, 0), default=0)
    sp.add_argument("--b16", type=lambda s: int(s, 0), default=0)
    sp.add_argument("--length", type=int, default=32, help="binary request length (>= 17)")
    sp.add_argument("--raw-hex", help="send these bytes as they are")
    sp.add_argument("--timeout", type=float, default=2.0)
    sp.add_argument("--expect", type=int, help="exit 0 only for exactly this many replies")
    sp.add_argument("--grace", type=float, default=0.3,
                    help="with --expect: how long to wait for an extra reply")
    sp.set_defaults(func=cmd_send)

    cp = sub.add_parser("check")
    cp.add_argument("file")
    cp.add_argument("--form", choices=("json", "binary"), default="json")
    cp.add_argument("--adapter", action="append", required=True, help="MAC,IP,MASK,GATEWAY")
    cp.add_argument("--src", help="IP:PORT every reply must come from")
    cp.add_argument("--header", help="hex of the request's 32-byte header")
    cp.add_argument("--set", action="append", help="POS=VALUE as given to send")
    cp.add_argument("--http", type=int, default=80)
    cp.add_argument("--port", type=int, default=47810)
    cp.add_argument("--name", default="Server", help="MachineName/DeviceClass, binary name")
    cp.add_argument("--device-type", default="Server")
    cp.add_argument("--version", default="3.0")
    cp.add_argument("--b1", type=lambda s: int(s, 0), default=0)
    cp.add_argument("--b16", type=lambda s: int(s, 0), default=0)
    cp.set_defaults(func=cmd_check)

    fp = sub.add_parser("flood")
    fp.add_argument("--host", required=True)
    fp.add_argument("--ports", type=lambda s: [int(p) for p in s.split(",")], required=True)
    fp.add_argument("--group", default="239.255.255.251")
    fp.add_argument("--group-ports", type=lambda s: [int(p) for p in s.split(",") if p], default=[])
    fp.add_argument("--mcast-if", default="")
    fp.add_argument("--src-net", required=True, help="source addresses are taken from this net")
    fp.add_argument("--hosts", type=int, default=200, help="number of source addresses")
    fp.add_argument("--sockets", type=int, default=32, help="open sockets at a time")
    fp.add_argument("--count", type=int, default=20000)
    fp.add_argument("--seconds", type=float, default=10.0)
    fp.add_argument("--seed", type=int, default=1)
    fp.set_defaults(func=cmd_flood)

    rp = sub.add_parser("respond")
    rp.add_argument("--bind-addr", default="127.0.0.1")
    rp.add_argument("--port", type=int, required=True)
    rp.add_argument("--adapter", action="append", required=True)
    rp.add_argument("--count", type=int, default=1)
    rp.add_argument("--seconds", type=float, default=10.0)
    rp.set_defaults(func=cmd_respond)

    args = ap.parse_args()
    return args.func(args)


if __name__ == "__main__":
    sys.exit(main())
