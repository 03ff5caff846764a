"""The command lines of `vyxctl lineup` and `vyxctl fleet`.  Their modules
(and the sockets, threads and archives they use) are imported only when one
of these subcommands runs, so every other subcommand starts as fast as
before."""

import importlib


def lazy(module: str, name: str):
    def run(args, out):
        return getattr(importlib.import_module("." + module, __package__), name)(args, out)
    return run


def add_lineup(sub, common, epilog, formatter):
    p = sub.add_parser("lineup", parents=[common], help="a channel lineup from a file: plan, "
                       "apply, status", description="a channel lineup from a JSON file "
                       "(README: the schema)", epilog=epilog, formatter_class=formatter)
    lsub = p.add_subparsers(dest="lineup_cmd", required=True, metavar="ACTION")
    for name, func, text in (
            ("plan", lazy("lineup", "cmd_plan"),
             "find the channels and place them on the transmitters"),
            ("apply", lazy("lineup", "cmd_apply"),
             "send the streams, verify them, write the M3U and XMLTV"),
            ("status", lazy("lineup", "cmd_status"),
             "each channel's health: datagrams, continuity, signal")):
        c = lsub.add_parser(name, parents=[common], help=text, description=text, epilog=epilog,
                            formatter_class=formatter)
        c.add_argument("file", metavar="FILE", help="the lineup (JSON)")
        c.add_argument("--tx", metavar="DEVICES",
                       help="the transmitters, comma-separated (default: the file's, or those "
                            "that announce themselves)")
        c.add_argument("--timeout", type=float, default=10.0,
                       help="seconds to wait for a reply (default %(default)s)")
        c.add_argument("--discover", type=float, default=3.0,
                       help="seconds to listen for beacons (default %(default)s)")
        c.add_argument("--sport", type=int, default=None, help="send from this port")
        c.add_argument("--scan-timeout", type=float, default=600.0,
                       help="seconds a scan may take; one still running then is stopped "
                            "(default %(default)s)")
        c.set_defaults(func=func)
        if name == "apply":
            c.add_argument("--unit-timeout", type=float, default=60.0,
                           help="seconds to wait for each stream's OK (default %(default)s)")
            c.add_argument("--verify", type=float, default=3.0,
                           help="seconds of each group recorded at most to verify it; a "
                           "group holding all it must after 1 s ends there (0: none)")
            c.add_argument("--m3u", metavar="FILE", help="the playlist (default FILE's name .m3u)")
            c.add_argument("--xmltv", metavar="FILE", help="the guide (default FILE's name .xml)")
        if name == "status":
            c.add_argument("--seconds", type=float, default=3.0,
                           help="seconds of each group recorded (default %(default)s)")
    return p


def add_fleet(sub, common, epilog, formatter, group_arg, int_arg):
    p = sub.add_parser("fleet", parents=[common], help="one operation on many devices",
                       description="one operation on many devices (DEVICES: all, transmitters, "
                       "receivers, or a comma-separated list)", epilog=epilog,
                       formatter_class=formatter)
    fsub = p.add_subparsers(dest="fleet_cmd", required=True, metavar="ACTION")

    def action(name, func, text, timeout=10.0, devices_arg=True):
        c = fsub.add_parser(name, parents=[common], help=text, description=text, epilog=epilog,
                            formatter_class=formatter)
        if devices_arg:
            c.add_argument("devices", metavar="DEVICES",
                           help="all, transmitters, receivers, or DEVICE,DEVICE...")
        c.add_argument("--parallel", type=int, default=8,
                       help="devices at a time (default %(default)s)")
        c.add_argument("--timeout", type=float, default=timeout,
                       help="seconds to wait for a reply (default %(default)s)")
        c.add_argument("--discover", type=float, default=3.0,
                       help="seconds to listen for beacons (default %(default)s)")
        c.add_argument("--sport", type=int, default=None, help="send from this port")
        c.set_defaults(func=func)
        return c

    c = action("status", lazy("fleet", "cmd_status"),
               "one table of every device: STATUS, IP?, VERS", devices_arg=False)
    c.add_argument("devices", nargs="?", default="all", metavar="DEVICES")
    c = action("upgrade", lazy("fleet", "cmd_upgrade"), "send an upgrade archive to many devices",
               timeout=90.0, devices_arg=False)
    c.add_argument("archive", metavar="ARCHIVE")
    c.add_argument("--devices", default="all", metavar="DEVICES", help="default: all")
    c.add_argument("--role", choices=("transmitter", "receiver"), help="only devices of this role")
    c.add_argument("--version", help="the archive's version (default: its VERSION member)")
    c.add_argument("--chunk-timeout", type=float, default=2.0)
    c.add_argument("--back-timeout", type=float, default=300.0)
    c = action("play", lazy("fleet", "cmd_play"), "receivers: play a program of a multicast group",
               timeout=30.0)
    c.add_argument("source", type=group_arg, metavar="GROUP:PORT")
    c.add_argument("program", type=int_arg, metavar="PROGRAM")
    c = action("lang", lazy("fleet", "cmd_lang"), "audio language (LANG) on many devices",
               timeout=30.0)
    c.add_argument("language", metavar="LANG")
    action("reset", lazy("fleet", "cmd_reset"), "restart many devices")
    return p
