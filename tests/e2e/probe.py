#!/usr/bin/env python3
"""UDP peer of the scenarios (standard library only).
  probe.py flood SERVER GROUP IFACE_ADDR
sends at most 20,000 datagrams within 10 s from 64 sockets on source addresses
in 10.77.0.0/16 (local in the client namespace) to the server's six ports and
the group's three. Heads are mostly the two request heads; lengths are mostly
small, some empty, some up to 65,507 bytes; half the JSON ones carry broken or
wrong JSON behind a random header. Exit 1 if nothing was sent.
  probe.py ask IFACE_ADDR NET REPLIES HOST[,HOST...] FILE...
sends the datagram of each fuzz corpus FILE (the bytes after its 4-byte head)
to each HOST on port 37810, each from a source address of its own,
10.77.NET.1 upwards, port 40000 (so the duplicate filter takes every one),
waits up to 3 s for REPLIES replies to each and prints one line per reply,
"FILE HOST SOURCE:PORT HEX", sorted per request. Exit 1 if one got fewer.
  probe.py burst SERVER NET COUNT SECONDS
sends COUNT binary requests to SERVER port 37810, each from a source address
of its own (10.77.NET.1 upwards), spread over SECONDS, without waiting for
replies.
  probe.py until IFACE_ADDR NET HOST TEXT SINCE_MS SECONDS
sends the JSON search to HOST:37810 every 100 ms, each time from a new source
10.77.NET.1 upwards, until a reply containing TEXT comes (at most SECONDS),
and prints the milliseconds from SINCE_MS (Unix time in ms) to that reply.
Exit 1 if none came."""
import os
import random
import select
import socket
import sys
import time


def flood(server, group, iface):
    ports = (37810, 47810, 57810, 5050, 15050, 25050)
    targets = [(server, p) for p in ports] + [(group, p) for p in ports[:3]]
    texts = (b'{"method":"KQDiscover.search"}', b'{"method":5}', b"[1,2]", b"{", b"null", b'"x"')
    rng = random.Random(os.getpid())
    socks = []
    for i in range(64):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("10.77.%d.%d" % (i % 2, 1 + i), 0))
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(iface))
        s.setblocking(False)
        socks.append(s)
    sent, deadline = 0, time.monotonic() + 10
    for _ in range(20000):
        if time.monotonic() >= deadline:
            break
        roll = rng.random()
        size = rng.randint(1000, 65507) if roll < 0.02 else 0 if roll < 0.05 else rng.randint(1, 200)
        data = bytearray(os.urandom(size))
        head = rng.choice((0x20, 0xA3, rng.randrange(256)))
        if head == 0x20 and len(data) > 32 and rng.random() < 0.5:
            data = data[:32] + rng.choice(texts)
        if data:
            data[0] = head
        try:
            rng.choice(socks).sendto(bytes(data), rng.choice(targets))
            sent += 1
        except OSError:
            pass   # a full send buffer drops the datagram
    return sent > 0


def ask(iface, net, replies, hosts, files):
    n, ok = 0, True
    for path in files:
        data = open(path, "rb").read()[4:]
        for host in hosts.split(","):
            n += 1
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                s.bind(("10.77.%s.%d" % (net, n), 40000))
                s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(iface))
                s.sendto(data, (host, 37810))
                got, deadline = [], time.monotonic() + 3
                while len(got) < int(replies) and time.monotonic() < deadline:
                    s.settimeout(deadline - time.monotonic())
                    try:
                        reply, src = s.recvfrom(65536)
                    except socket.timeout:
                        break
                    got.append("%s %s %s:%d %s" % (os.path.basename(path), host, src[0], src[1], reply.hex()))
            print("\n".join(sorted(got)), end="\n" if got else "")
            ok = ok and len(got) >= int(replies)
    return ok


def burst(server, net, count, seconds):
    data = bytes([0xA3]) + bytes(16)
    count, pause = int(count), float(seconds) / max(int(count), 1)
    for n in range(count):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("10.77.%s.%d" % (net, 1 + n % 250), 40000 + n // 250))
            s.sendto(data, (server, 37810))
        if pause:
            time.sleep(pause)   # the pace of the traffic, not a wait for an event
    return True


def until(iface, net, host, text, since_ms, seconds):
    request = b"\x20" + bytes(31) + b'{"method":"KQDiscover.search"}'
    socks, deadline, next_send, sent = {}, time.monotonic() + float(seconds), 0.0, 0
    try:
        while time.monotonic() < deadline:
            if time.monotonic() >= next_send:
                # 250 sources in turn: one comes back after 25 s, long past the filter's window.
                slot = sent % 250
                if slot in socks:
                    socks.pop(slot).close()
                s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                s.bind(("10.77.%s.%d" % (net, slot + 1), 40000))
                s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(iface))
                s.sendto(request, (host, 37810))
                socks[slot], sent, next_send = s, sent + 1, time.monotonic() + 0.1
            ready, _, _ = select.select(list(socks.values()), [], [], 0.02)
            for s in ready:
                if text.encode() in s.recv(65536):
                    print(int(time.time() * 1000) - int(since_ms))
                    return True
        return False
    finally:
        for s in socks.values():
            s.close()


if sys.argv[1] == "burst":
    sys.exit(0 if burst(*sys.argv[2:6]) else 1)
if sys.argv[1] == "until":
    sys.exit(0 if until(*sys.argv[2:8]) else 1)
if sys.argv[1] == "flood":
    sys.exit(0 if flood(*sys.argv[2:5]) else 1)
sys.exit(0 if ask(*sys.argv[2:6], sys.argv[6:]) else 1)
