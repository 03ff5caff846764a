"""vyxctl's raw subcommands, used by the tests and for poking at a device
by hand: one datagram out and its replies, the first beacon, a recording
of a multicast group, datagrams arriving on a port, waiting for VERS."""

import json
import socket
import sys
import time

from .wire import (BEACON_GROUP, BEACON_PORT, BEACON_REQUEST_PORT, LocalError, NoReply, escape,
                   join_group, receive, unescape)


def note(text):
    print("vyxctl: %s" % text, file=sys.stderr, flush=True)


def udp_socket(port: int = 0) -> socket.socket:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("0.0.0.0", port))
    return s


def cmd_send(args, out) -> int:
    sock = udp_socket(args.sport or 0)  # any port unless told
    sock.sendto(unescape(args.text), args.addr)
    replies = []
    got = receive(sock, time.monotonic() + args.timeout)
    while got is not None:
        replies.append(got[0])
        if args.expect_none:
            break
        got = receive(sock, time.monotonic() + args.idle)
    out.result([escape(r) for r in replies], [escape(r) for r in replies])
    if args.expect_none:
        return 1 if replies else 0
    if not replies:
        note("no reply within %g s" % args.timeout)
        return 1
    return 0


def cmd_beacon(args, out) -> int:
    sock = join_group(BEACON_GROUP, BEACON_PORT)
    poke = udp_socket(0)
    poke.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 4)
    deadline = time.monotonic() + args.timeout
    next_poke = time.monotonic()
    while True:
        now = time.monotonic()
        if args.poke and now >= next_poke:
            poke.sendto(b"VYX?", (BEACON_GROUP, BEACON_REQUEST_PORT))
            next_poke = now + 2.0
        step = min(deadline, next_poke) if args.poke else deadline
        got = receive(sock, step)
        if got is None:
            if time.monotonic() >= deadline:
                raise NoReply("no beacon within %gs" % args.timeout)
            continue
        data, (ip, port) = got
        if args.source and ip != args.source:
            continue
        note("beacon from %s:%d" % (ip, port))
        out.result({"address": ip, "beacon": escape(data)}, [escape(data)])
        return 0


def cmd_record(args, out) -> int:
    group, port = args.addr
    sock = join_group(group, port)
    # A fast stream outruns the default receive buffer whenever this process
    # waits for the CPU; the kernel caps the size at its rmem_max.
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    sizes = {}
    count = total = 0
    first = last = None
    deadline = time.monotonic() + args.seconds
    with open(args.file, "wb") as f:
        while True:
            until = deadline if last is None or not args.idle else min(deadline, last + args.idle)
            got = receive(sock, until)
            if got is None:
                break
            data = got[0]
            now = time.monotonic()
            first = now if first is None else first
            last = now
            f.write(data)
            count += 1
            total += len(data)
            sizes[len(data)] = sizes.get(len(data), 0) + 1
    span = (last - first) if count > 1 else 0.0
    summary = {
        "group": group, "port": port, "seconds": args.seconds, "datagrams": count,
        "bytes": total, "sizes": {str(k): v for k, v in sorted(sizes.items())},
        # bits per second over the time the stream was seen, or over the whole
        # recording when there was a single datagram (or none).
        "bit_rate": round(total * 8 / span) if span > 0 else round(total * 8 / args.seconds),
        "file": args.file,
    }
    print(json.dumps(summary), flush=True)
    return 0


def cmd_listen(args, out) -> int:
    sock = udp_socket(args.port)
    deadline = time.monotonic() + args.timeout
    got_all = []
    while len(got_all) < args.count:
        got = receive(sock, deadline)
        if got is None:
            raise NoReply("%d of %d datagrams within %gs" % (len(got_all), args.count,
                                                             args.timeout))
        got_all.append(got[0])
        if not args.json:
            print(escape(got[0]), flush=True)
    if args.json:
        out.result([escape(d) for d in got_all])
    return 0


def cmd_ready(args, out) -> int:
    """Asks every address for VERS once a second until each has answered;
    prints each address as it answers (its reply with one address)."""
    sock = udp_socket(0)
    deadline = time.monotonic() + args.timeout
    try:
        pending = list(dict.fromkeys((socket.gethostbyname(h), p) for h, p in args.addrs))
    except OSError as e:
        raise LocalError("cannot resolve an address: %s" % e)
    answered = []
    while pending and time.monotonic() < deadline:
        for addr in pending:
            sock.sendto(b"VERS", addr)
        until = min(deadline, time.monotonic() + 1.0)
        got = receive(sock, until)
        while got is not None:
            data, src = got
            if data.startswith(b"VERS") and src in pending:
                pending.remove(src)
                answered.append(src)
                if len(args.addrs) == 1:
                    out.result({"reply": escape(data)}, [escape(data)])
                elif not args.json:
                    print("%s:%d" % src, flush=True)
            got = receive(sock, until) if pending else None
    if len(args.addrs) > 1 and args.json:
        out.result({"answered": ["%s:%d" % a for a in answered],
                    "silent": ["%s:%d" % a for a in pending]})
    if pending:
        raise NoReply("%s did not answer VERS within %gs"
                      % (", ".join("%s:%d" % a for a in pending), args.timeout))
    return 0
