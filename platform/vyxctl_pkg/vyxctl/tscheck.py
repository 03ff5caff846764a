"""What a recording of one multicast stream holds: the regenerated PAT,
the program's PMT and elementary PIDs, and continuity, checked on the
controller (standard library only)."""

import socket
import threading
import time

from .wire import join_group, receive

PACKET = 188
NULL_PID = 0x1FFF


def crc32_mpeg(data: bytes) -> int:
    crc = 0xFFFFFFFF
    for b in data:
        crc ^= b << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else crc << 1
        crc &= 0xFFFFFFFF
    return crc


def sections(pkts, pid):
    """Complete sections of one PID (those starting in a packet with
    payload_unit_start set; a section cut by the recording's end is left
    out)."""
    out, buf = [], None
    for p in pkts:
        if ((p[1] & 0x1F) << 8 | p[2]) != pid or not p[3] & 0x10:
            continue
        start = 4 + (1 + p[4] if p[3] & 0x20 else 0)
        if start >= PACKET:
            continue
        body = p[start:]
        if p[1] & 0x40:
            pointer = body[0]
            if buf is not None:
                buf += body[1:1 + pointer]
                out.append(buf)
            buf = bytearray(body[1 + pointer:])
        elif buf is not None:
            buf += body
    if buf is not None:
        out.append(buf)
    done = []
    for s in out:
        if len(s) >= 3 and s[0] != 0xFF:
            length = (s[1] & 0x0F) << 8 | s[2]
            if len(s) >= 3 + length:
                done.append(bytes(s[:3 + length]))
    return done


def crc_ok(sec: bytes) -> bool:
    return len(sec) >= 12 and crc32_mpeg(sec) == 0


def pat_programs(sec: bytes) -> dict:
    """{program_number: PMT PID} of a PAT section (program 0 left out)."""
    end = len(sec) - 4
    out = {}
    for off in range(8, end - 3, 4):
        number = sec[off] << 8 | sec[off + 1]
        if number:
            out[number] = (sec[off + 2] & 0x1F) << 8 | sec[off + 3]
    return out


def pmt_streams(sec: bytes) -> list:
    """[(stream_type, PID)] of a PMT section."""
    info = (sec[10] & 0x0F) << 8 | sec[11]
    off, end, out = 12 + info, len(sec) - 4, []
    while off + 5 <= end:
        out.append((sec[off], (sec[off + 1] & 0x1F) << 8 | sec[off + 2]))
        off += 5 + ((sec[off + 3] & 0x0F) << 8 | sec[off + 4])
    return out


def continuity_errors(pkts) -> dict:
    """{PID: errors}: a packet with payload whose counter is not the last
    one plus 1 (one repeat allowed, a discontinuity_indicator resets)."""
    last, errors = {}, {}
    for p in pkts:
        pid = (p[1] & 0x1F) << 8 | p[2]
        if pid == NULL_PID or not p[3] & 0x10:
            continue
        cc = p[3] & 0x0F
        disc = bool(p[3] & 0x20 and p[4] and p[5] & 0x80)
        prev = last.get(pid)
        if prev is not None and not disc and cc not in ((prev + 1) & 0x0F, prev):
            errors[pid] = errors.get(pid, 0) + 1
        last[pid] = cc
    return errors


def check(data: bytes, program: int, seconds: float, datagrams: int) -> dict:
    """The health of one recording of `program`: a dict with "ok" and the
    reasons when it is not."""
    reasons = []
    usable = len(data) - len(data) % PACKET
    pkts = [data[o:o + PACKET] for o in range(0, usable, PACKET)]
    if any(p[0] != 0x47 for p in pkts):
        reasons.append("lost packet sync")
        pkts = [p for p in pkts if p[0] == 0x47]
    pids = {(p[1] & 0x1F) << 8 | p[2] for p in pkts}
    pats = sections(pkts, 0)
    good = [s for s in pats if s[0] == 0 and crc_ok(s)]
    pmt_pid, es = None, []
    if not pkts:
        reasons.append("nothing arrived")
    elif not pats:
        reasons.append("no PAT")
    elif len(good) != len(pats):
        reasons.append("%d of %d PAT sections invalid (CRC or table id)"
                       % (len(pats) - len(good), len(pats)))
    if good:
        programs = pat_programs(good[-1])
        pmt_pid = programs.get(program)
        if pmt_pid is None:
            reasons.append("the PAT does not name program %d (it names %s)"
                           % (program, ", ".join(map(str, sorted(programs))) or "none"))
    if pmt_pid is not None:
        pmts = [s for s in sections(pkts, pmt_pid) if s[0] == 2 and crc_ok(s)
                and (s[3] << 8 | s[4]) == program]
        if not pmts:
            reasons.append("no valid PMT of program %d on PID 0x%x" % (program, pmt_pid))
        else:
            es = [pid for _, pid in pmt_streams(pmts[-1])]
            missing = [pid for pid in es if pid not in pids]
            if missing:
                reasons.append("elementary PID(s) %s missing"
                               % ", ".join("0x%x" % p for p in missing))
    cc = continuity_errors(pkts)
    if cc:
        reasons.append("%d continuity error(s) on PID(s) %s"
                       % (sum(cc.values()), ", ".join("0x%x" % p for p in sorted(cc))))
    return {"ok": not reasons, "reasons": reasons, "datagrams": datagrams, "bytes": len(data),
            "datagrams_per_s": round(datagrams / seconds, 1) if seconds else 0,
            "pmt_pid": pmt_pid, "elementary_pids": es,
            "continuity_errors": sum(cc.values())}


def record(group: str, port: int, seconds: float, enough=None) -> tuple:
    """(bytes, datagrams, seconds recorded) of a group over `seconds`, or
    until enough(data, datagrams, seconds so far), asked every half second,
    says it holds all it needs."""
    sock = join_group(group, port)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    chunks = []
    started = time.monotonic()
    deadline = started + seconds
    next_look = started + 0.5
    try:
        while True:
            got = receive(sock, min(deadline, next_look) if enough else deadline)
            now = time.monotonic()
            if got is not None:
                chunks.append(got[0])
            elif now >= deadline:
                break
            if enough and now >= next_look:
                next_look = now + 0.5
                if enough(b"".join(chunks), len(chunks), now - started):
                    break
    finally:
        sock.close()
    return b"".join(chunks), len(chunks), min(time.monotonic() - started, seconds)


def check_groups(targets, seconds: float, settle=None) -> list:
    """Records every (group, port, program) at once for `seconds` and
    checks each; results in the order given.  settle: a group whose
    recording already passes the check after that many seconds ends there
    (one that does not is recorded for the whole time)."""
    results = [None] * len(targets)

    def one(i, group, port, program):
        enough = None
        if settle is not None:
            def enough(data, count, took):
                return took >= settle and check(data, program, took, count)["ok"]
        data, count, took = record(group, port, seconds, enough)
        results[i] = check(data, program, took, count)
    threads = [threading.Thread(target=one, args=(i,) + tuple(t), daemon=True)
               for i, t in enumerate(targets)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results
