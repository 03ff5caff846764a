#!/usr/bin/env python3
"""Checks of the transmitter's multicast output, for the end-to-end tests.

  txflow_check.py make-stream OUT [--languages L,L.. L,L.. L,L..]
      Writes a deterministic three-program transport stream with ffmpeg:
      transport stream id 1, programs 1..3 (PMT PIDs 0x1000..0x1002), each
      with one MPEG-2 video and MP2 audio streams in the languages given for
      it (default eng,spa  eng,fra  eng,ger; PIDs 0xN00 for the video, 0xN01,
      0xN02, ... for the audio of program N), SDT on 0x11, null packets.
  txflow_check.py ts INPUT RECORDED (--program N ... | --all) [--blocked PID ...]
      Compares a recording of one output stream with the input multiplex:
      the PIDs present, the regenerated PAT (programs not streamed blanked to
      program_number 0, CRC valid), and for every other PID that its packets
      are an unbroken run of the input's packets of that PID (the input loops,
      so the run may wrap from the input's last packet to its first).
      A --blocked PID of those programs must be missing from the recording.
  txflow_check.py long INPUT RECORDING (--program N ... | --all) --tool TSRUN_CHECK [--restarts N]
      The same comparison made by tests/tools/tsrun_check as the recording
      is read (a file or a FIFO of any length): the recording without its
      PAT must be an unbroken run of the input's packets of those PIDs, in
      the input's order, looped; at most N restarts from the input's start.
  txflow_check.py make-follow INPUT LATE CHANGE
      From a make-stream multiplex, two that test streams following their
      programs: LATE without
      program 2's PMT in its first half (null packets in their place);
      CHANGE with program 1's PMT without its second audio PID (version 0)
      in its first half and with it (version 1) after.
  txflow_check.py pids FILE
      Prints the PIDs of FILE in hex, sorted, on one line.
  txflow_check.py summary JSON --size BYTES [--min-datagrams N]
      Checks a `vyxctl record` summary: every datagram BYTES long.
  txflow_check.py probe FILE --programs N ...
      ffprobe must see exactly these programs (with their streams) in FILE.
      Services that only the forwarded SDT names, with no PMT in the stream,
      are listed by ffprobe as programs without streams; they do not count.
  txflow_check.py describe FILE
      Prints the programs and elementary streams of FILE as ffprobe sees them.
Exit status 0 when the check holds, 1 with the reasons on stderr otherwise.
"""

import argparse
import json
import subprocess
import sys

PACKET = 188
KNOWN_PIDS = [0x0000, 0x0001, 0x0010, 0x0011, 0x0012, 0x0013, 0x0014, 0x1FFB]
NULL_PID = 0x1FFF


def crc32_mpeg(data: bytes) -> int:
    crc = 0xFFFFFFFF
    for b in data:
        crc ^= b << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else (crc << 1)
            crc &= 0xFFFFFFFF
    return crc


def packets(data: bytes, what: str, problems: list):
    if len(data) % PACKET:
        problems.append("%s: %d bytes is not a whole number of packets" % (what, len(data)))
    out = []
    for off in range(0, len(data) - len(data) % PACKET, PACKET):
        p = data[off:off + PACKET]
        if p[0] != 0x47:
            problems.append("%s: no sync byte at offset %d" % (what, off))
            break
        out.append(p)
    return out


def pid_of(p: bytes) -> int:
    return ((p[1] & 0x1F) << 8) | p[2]


def cc_of(p: bytes) -> int:
    return p[3] & 0x0F


def has_payload(p: bytes) -> bool:
    return bool(p[3] & 0x10)


def payload(p: bytes) -> bytes:
    afc = (p[3] >> 4) & 3
    if afc == 2:
        return b""
    start = 4
    if afc == 3:
        start = 5 + p[4]
    return p[start:]


def sections(pkts, problems, what):
    """Sections that start in a packet and end within it or the following ones."""
    out = []
    buf = None
    for p in pkts:
        if not has_payload(p):
            continue
        pl = payload(p)
        if p[1] & 0x40:
            if not pl:
                continue
            ptr = pl[0]
            if buf is not None:
                buf += pl[1:1 + ptr]
            body = pl[1 + ptr:]
            buf = bytearray(body)
        elif buf is not None:
            buf += pl
        else:
            continue
        while buf is not None and len(buf) >= 3 and buf[0] != 0xFF:
            length = ((buf[1] & 0x0F) << 8) | buf[2]
            if len(buf) < 3 + length:
                break
            out.append(bytes(buf[:3 + length]))
            buf = bytearray(buf[3 + length:])
        if buf is not None and len(buf) >= 1 and buf[0] == 0xFF:
            buf = None
    return out


def parse_pat(sec: bytes):
    tsid = (sec[3] << 8) | sec[4]
    length = ((sec[1] & 0x0F) << 8) | sec[2]
    entries = []
    for off in range(8, 3 + length - 4, 4):
        num = (sec[off] << 8) | sec[off + 1]
        pid = ((sec[off + 2] & 0x1F) << 8) | sec[off + 3]
        entries.append((num, pid))
    return tsid, entries


def parse_pmt(sec: bytes):
    length = ((sec[1] & 0x0F) << 8) | sec[2]
    pcr = ((sec[8] & 0x1F) << 8) | sec[9]
    info = ((sec[10] & 0x0F) << 8) | sec[11]
    off = 12 + info
    es = []
    while off + 5 <= 3 + length - 4:
        es.append(((sec[off + 1] & 0x1F) << 8) | sec[off + 2])
        off += 5 + (((sec[off + 3] & 0x0F) << 8) | sec[off + 4])
    return pcr, es


def crc_ok(sec: bytes) -> bool:
    return crc32_mpeg(sec) == 0


DEFAULT_LANGUAGES = ["eng,spa", "eng,fra", "eng,ger"]


def cmd_make_stream(args) -> int:
    # Callers from other scripts may pass only `out`.
    programs = [langs.split(",") for langs in getattr(args, "languages", DEFAULT_LANGUAGES)]
    tones = max(len(langs) for langs in programs)
    cmd = [
        "ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-fflags", "+bitexact",
        "-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:duration=4",
    ]
    for k in range(tones):
        cmd += ["-f", "lavfi", "-i", "sine=frequency=%d:sample_rate=48000:duration=4" % (440 + 220 * k)]
    for langs in programs:
        cmd += ["-map", "0:v"]
        for k in range(len(langs)):
            cmd += ["-map", "%d:a" % (k + 1)]
    # More programs than three (callers from other scripts) get a lower rate each.
    cmd += ["-c:v", "mpeg2video", "-b:v", getattr(args, "video_rate", "300k"), "-g", "12",
            "-c:a", "mp2", "-b:a", "64k",
            "-flags", "+bitexact"]
    for i, lang in enumerate(lang for langs in programs for lang in langs):
        cmd += ["-metadata:s:a:%d" % i, "language=%s" % lang]
    index = 0
    members = []
    for prog, langs in enumerate(programs):
        first = index
        for k in range(len(langs) + 1):
            cmd += ["-streamid", "%d:0x%x" % (index, (prog + 1) * 0x100 + k)]
            index += 1
        members.append(range(first, index))
    for prog, streams in enumerate(members):
        cmd += ["-program", "program_num=%d:title=%s:%s"
                % (prog + 1, "abcdefgh"[prog], ":".join("st=%d" % s for s in streams))]
    cmd += ["-mpegts_transport_stream_id", "1", "-mpegts_pmt_start_pid", "0x1000",
            "-muxrate", "2000000", "-f", "mpegts", args.out]
    return subprocess.call(cmd)


def pmt_packet(p: bytes, drop_pid, version: int):
    """The packet with its PMT section rebuilt: drop_pid's entry left out,
    the version set, a new CRC.  Only a section that fills one packet from
    pointer_field 0 is rebuilt; any other packet is returned unchanged."""
    if (p[3] >> 4) & 3 != 1 or not p[1] & 0x40 or p[4] != 0:
        return p
    sec = p[5:]
    length = ((sec[1] & 0x0F) << 8) | sec[2]
    if 3 + length > len(sec):
        return p
    info = ((sec[10] & 0x0F) << 8) | sec[11]
    out = bytearray(sec[:12 + info])
    off = 12 + info
    while off + 5 <= 3 + length - 4:
        es_len = ((sec[off + 3] & 0x0F) << 8) | sec[off + 4]
        if (((sec[off + 1] & 0x1F) << 8) | sec[off + 2]) != drop_pid:
            out += sec[off:off + 5 + es_len]
        off += 5 + es_len
    new_len = len(out) - 3 + 4
    out[1] = (sec[1] & 0xF0) | (new_len >> 8)
    out[2] = new_len & 0xFF
    out[5] = (sec[5] & 0xC1) | ((version & 0x1F) << 1)
    out += crc32_mpeg(bytes(out)).to_bytes(4, "big")
    return p[:5] + bytes(out) + b"\xff" * (PACKET - 5 - len(out))


def null_packet(cc: int) -> bytes:
    return bytes([0x47, 0x1F, 0xFF, 0x10 | (cc & 0x0F)]) + b"\xff" * (PACKET - 4)


def cmd_make_follow(args) -> int:
    problems = []
    with open(args.input, "rb") as f:
        pkts = packets(f.read(), "input", problems)
    if problems or not pkts:
        for p in problems:
            print(p, file=sys.stderr)
        return 1
    half = len(pkts) // 2
    late = [null_packet(i) if i < half and pid_of(p) == 0x1001 else p for i, p in enumerate(pkts)]
    change = []
    for i, p in enumerate(pkts):
        if pid_of(p) == 0x1000:
            first = i < half
            p = pmt_packet(p, 0x102 if first else None, 0 if first else 1)
        change.append(p)
    with open(args.late, "wb") as f:
        f.write(b"".join(late))
    with open(args.change, "wb") as f:
        f.write(b"".join(change))
    return 0


def cmd_pids(args) -> int:
    problems = []
    with open(args.file, "rb") as f:
        pkts = packets(f.read(), args.file, problems)
    print(" ".join(hex(p) for p in sorted({pid_of(p) for p in pkts})))
    for p in problems:
        print(p, file=sys.stderr)
    return 1 if problems else 0


def input_layout(pkts, problems):
    """Transport id, {program: pmt_pid}, {program: set of PIDs}, all PIDs."""
    by_pid = {}
    for p in pkts:
        by_pid.setdefault(pid_of(p), []).append(p)
    pats = [s for s in sections(by_pid.get(0, []), problems, "input PAT") if s[0] == 0x00]
    if not pats:
        problems.append("input: no PAT")
        return None
    tsid, entries = parse_pat(pats[0])
    programs = {num: pid for num, pid in entries if num != 0}
    members = {}
    for num, pmt_pid in programs.items():
        pmts = [s for s in sections(by_pid.get(pmt_pid, []), problems, "input PMT") if s[0] == 0x02]
        if not pmts:
            problems.append("input: no PMT for program %d" % num)
            continue
        pcr, es = parse_pmt(pmts[0])
        members[num] = {pmt_pid, *es} | ({pcr} if pcr != NULL_PID else set())
    return tsid, programs, members, by_pid, pats[0]


def unbroken_run(rec, src):
    """True when rec equals src[i], src[i+1], ... (indices modulo len(src))."""
    n = len(src)
    if not rec:
        return True
    if n == 0:
        return False
    for start in (i for i in range(n) if src[i] == rec[0]):
        if all(rec[k] == src[(start + k) % n] for k in range(len(rec))):
            return True
    return False


def continuity_breaks(rec, src):
    """Continuity errors in rec that are not the input's own wrap-around."""
    wrap = (src[-1], src[0]) if src else None
    breaks = 0
    prev = None
    for p in rec:
        if prev is not None and has_payload(p) and (prev, p) != wrap:
            if cc_of(p) != (cc_of(prev) + 1) % 16:
                breaks += 1
        prev = p
    return breaks


def expected_pids(layout, chosen, blocked, problems):
    """The PIDs a stream of the chosen programs carries, the PAT included."""
    _, _, members, src_by_pid, _ = layout
    expected = set()
    for num in chosen:
        expected |= members.get(num, set())
    expected |= {pid for pid in KNOWN_PIDS if pid in src_by_pid}
    expected.add(0)
    for pid in blocked or []:
        if pid not in expected:
            problems.append("blocked PID 0x%x is not one of the streamed programs'" % pid)
        expected.discard(pid)
    return expected


def expected_pat(src_pat, chosen):
    """The regenerated PAT's program loop: programs not streamed blanked to 0."""
    _, src_entries = parse_pat(src_pat)
    return [(num if num in chosen else 0, pid) for num, pid in src_entries]


def cmd_long(args) -> int:
    """The stream's PIDs and PAT from the input, then tsrun_check on the
    recording (which may be a FIFO still being written)."""
    problems = []
    with open(args.input, "rb") as f:
        src = packets(f.read(), "input", problems)
    layout = input_layout(src, problems) if not problems else None
    if layout is None:
        for p in problems:
            print(p, file=sys.stderr)
        return 1
    tsid, programs, _, _, src_pat = layout
    chosen = sorted(programs) if args.all else args.program
    pids = sorted(expected_pids(layout, chosen, args.blocked, problems) - {0})
    for p in problems:
        print(p, file=sys.stderr)
    if problems:
        return 1
    pat = "%d:%s" % (tsid, ",".join("%d=0x%x" % e for e in expected_pat(src_pat, chosen)))
    return subprocess.call([args.tool, args.input, args.recorded, "--pids",
                            ",".join("0x%x" % p for p in pids), "--pat", pat,
                            "--restarts", str(args.restarts)])


def cmd_ts(args) -> int:
    problems = []
    with open(args.input, "rb") as f:
        src = packets(f.read(), "input", problems)
    with open(args.recorded, "rb") as f:
        rec = packets(f.read(), "recording", problems)
    layout = input_layout(src, problems)
    if layout is None or not rec:
        if not rec:
            problems.append("recording: no packets")
        for p in problems:
            print(p, file=sys.stderr)
        return 1
    tsid, programs, members, src_by_pid, src_pat = layout
    chosen = sorted(programs) if args.all else args.program
    for num in chosen:
        if num not in programs:
            problems.append("program %d is not in the input" % num)

    expected = expected_pids(layout, chosen, args.blocked, problems)
    rec_by_pid = {}
    for p in rec:
        rec_by_pid.setdefault(pid_of(p), []).append(p)
    got = set(rec_by_pid)
    if got != expected:
        problems.append("PIDs: expected %s, got %s (missing %s, extra %s)" % (
            sorted(hex(p) for p in expected), sorted(hex(p) for p in got),
            sorted(hex(p) for p in expected - got), sorted(hex(p) for p in got - expected)))

    # The regenerated PAT.
    pats = sections(rec_by_pid.get(0, []), problems, "recorded PAT")
    if not pats:
        problems.append("recording: no PAT")
    for sec in pats:
        if not crc_ok(sec):
            problems.append("recorded PAT: CRC does not match")
            break
        r_tsid, entries = parse_pat(sec)
        if r_tsid != tsid:
            problems.append("recorded PAT: transport id %d, input %d" % (r_tsid, tsid))
        want = expected_pat(src_pat, chosen)
        if entries != want:
            problems.append("recorded PAT: entries %s, expected %s" % (entries, want))
            break
        if args.all and sec != src_pat:
            problems.append("recorded PAT differs from the input's although every program is streamed")
            break
    pat_breaks = continuity_breaks(rec_by_pid.get(0, []), [])
    if pat_breaks:
        problems.append("recorded PAT: %d continuity breaks" % pat_breaks)

    # Every other PID: the input's packets, unchanged, none lost.
    report = {}
    for pid, plist in sorted(rec_by_pid.items()):
        report[hex(pid)] = len(plist)
        if pid == 0:
            continue
        srcs = src_by_pid.get(pid, [])
        breaks = continuity_breaks(plist, srcs)
        if breaks:
            problems.append("PID 0x%x: %d continuity breaks" % (pid, breaks))
        if not unbroken_run(plist, srcs):
            problems.append("PID 0x%x: %d packets are not an unbroken run of the input's" % (pid, len(plist)))

    print(json.dumps({"programs": chosen, "pids": report, "pat_sections": len(pats)}))
    for p in problems:
        print(p, file=sys.stderr)
    return 1 if problems else 0


def cmd_summary(args) -> int:
    with open(args.json) as f:
        s = json.loads(f.read().strip().splitlines()[-1])
    problems = []
    sizes = s.get("sizes", {})
    if s.get("datagrams", 0) < args.min_datagrams:
        problems.append("%d datagrams, expected at least %d" % (s.get("datagrams", 0), args.min_datagrams))
    other = {k: v for k, v in sizes.items() if int(k) != args.size}
    if other:
        problems.append("datagram sizes other than %d: %s" % (args.size, other))
    for p in problems:
        print(p, file=sys.stderr)
    return 1 if problems else 0


def probe(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-show_programs", "-of", "json", path],
                         capture_output=True, text=True, check=False)
    if out.returncode != 0:
        return None
    return json.loads(out.stdout).get("programs", [])


def cmd_probe(args) -> int:
    progs = probe(args.file)
    if progs is None:
        print("ffprobe failed on %s" % args.file, file=sys.stderr)
        return 1
    nums = sorted(p.get("program_num") for p in progs if p.get("nb_streams", 0) > 0)
    if nums != sorted(args.programs):
        print("ffprobe programs %s, expected %s" % (nums, sorted(args.programs)), file=sys.stderr)
        return 1
    return 0


def cmd_describe(args) -> int:
    progs = probe(args.file)
    if progs is None:
        print("ffprobe failed on %s" % args.file, file=sys.stderr)
        return 1
    real = [p for p in progs if p.get("nb_streams", 0) > 0]
    named = [p for p in progs if p.get("nb_streams", 0) == 0]
    print("programs seen by ffprobe: %d" % len(real))
    for p in real:
        tags = p.get("tags", {})
        print("  program %s (PMT PID 0x%x, service '%s'):" % (
            p.get("program_num"), p.get("pmt_pid", 0), tags.get("service_name", "")))
        for s in p.get("streams", []):
            lang = s.get("tags", {}).get("language", "")
            print("    PID %s  %-5s %-10s %s" % (s.get("id"), s.get("codec_type", "?"),
                                                s.get("codec_name", "?"), lang))
    if named:
        print("  (also named in the SDT, not streamed: %s)" % ", ".join(
            "service %s '%s'" % (p.get("program_id"), p.get("tags", {}).get("service_name", ""))
            for p in named))
    return 0


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="cmd", required=True)
    m = sub.add_parser("make-stream")
    m.add_argument("out")
    m.add_argument("--languages", nargs=3, default=DEFAULT_LANGUAGES,
                   metavar="L,L..", help="audio languages of programs 1, 2 and 3")
    m.set_defaults(func=cmd_make_stream)
    f = sub.add_parser("make-follow")
    f.add_argument("input")
    f.add_argument("late")
    f.add_argument("change")
    f.set_defaults(func=cmd_make_follow)
    q = sub.add_parser("pids")
    q.add_argument("file")
    q.set_defaults(func=cmd_pids)

    def recording_check(name):
        # A recording against its input: which programs it should carry.
        c = sub.add_parser(name)
        c.add_argument("input")
        c.add_argument("recorded")
        g = c.add_mutually_exclusive_group(required=True)
        g.add_argument("--program", type=int, action="append")
        g.add_argument("--all", action="store_true")
        c.add_argument("--blocked", type=lambda s: int(s, 0), action="append")
        return c

    t = recording_check("ts")
    t.set_defaults(func=cmd_ts)
    lg = recording_check("long")
    lg.add_argument("--tool", required=True, help="the tsrun_check program")
    lg.add_argument("--restarts", type=int, default=0)
    lg.set_defaults(func=cmd_long)
    s = sub.add_parser("summary")
    s.add_argument("json")
    s.add_argument("--size", type=int, required=True)
    s.add_argument("--min-datagrams", type=int, default=1)
    s.set_defaults(func=cmd_summary)
    p = sub.add_parser("probe")
    p.add_argument("file")
    p.add_argument("--programs", type=int, nargs="+", required=True)
    p.set_defaults(func=cmd_probe)
    d = sub.add_parser("describe")
    d.add_argument("file")
    d.set_defaults(func=cmd_describe)
    args = ap.parse_args(argv)
    return args.func(args)


if __name__ == "__main__":
    sys.exit(main())
