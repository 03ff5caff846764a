"""`vyxctl serve`: the console in a browser, an HTTP server of the standard
library serving its pages (plain files, nothing fetched from elsewhere) and
the JSON API they poll.

It listens on 127.0.0.1 unless told otherwise; anywhere else it needs a
token, asked for on every request (header X-Vyx-Token, ?token= on the first
page, then the cookie that page gets).  Actions (POST) also need the header
X-Vyx-Console, which a page of another site cannot send without the
browser asking this server first, and this server never says yes."""

import argparse
import ipaddress
import os
import shlex
import signal
import socket
import subprocess
import sys

from .wire import LocalError


def is_loopback(host: str) -> bool:
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return host == "localhost"


def listen_address(listen: str, token):
    """(host, port) of --listen, refused when it reaches beyond this machine
    without a token."""
    host, _, port = (listen or "127.0.0.1:8080").rpartition(":")
    if not host or not port.isdigit() or int(port) > 65535:
        raise LocalError("--listen: ADDR:PORT (port 0: any free one), not %r" % listen)
    if token is not None and not token:
        raise LocalError("--token: an empty token protects nothing")
    if not is_loopback(host) and token is None:
        raise LocalError("listening on %s reaches other machines: give --token" % host)
    return host, int(port)


def listening_socket(host: str, port: int) -> socket.socket:
    try:
        s = socket.create_server((host, port), reuse_port=False)
    except OSError as e:
        raise LocalError("cannot listen on %s:%d: %s" % (host, port, e.strerror))
    return s


def serve_world(args) -> int:
    """`--world OPTIONS`: the listening socket is opened here, on this
    machine's network, and handed to a console started on the controller
    host of `devsim run OPTIONS`, so a browser here reaches the world."""
    # the package's place in the source tree: platform/vyxctl_pkg/vyxctl
    platform = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    devsim = os.path.join(platform, "devsim")
    if not os.path.exists(devsim):
        raise LocalError("--world needs the source tree's platform/devsim")
    host, port = listen_address(args.listen, args.token)
    sock = listening_socket(host, port)
    sock.set_inheritable(True)
    argv = [devsim, "run", *shlex.split(args.world), "--", sys.executable,
            os.path.join(platform, "vyxctl"), "serve", "--listen-fd", str(sock.fileno()),
            "--listen", "%s:%d" % sock.getsockname()[:2],
            "--lineup", os.path.abspath(args.lineup)]
    argv += ["--token", args.token] if args.token else []
    argv += ["--verbose"] if args.verbose else []
    for d in args.device or []:
        argv += ["--device", d]
    child = subprocess.Popen(argv, pass_fds=[sock.fileno()])
    sock.close()
    # A stop asked of this process ends the world too (devsim tears it down).
    signal.signal(signal.SIGTERM, lambda *_: child.terminate())
    while True:
        try:
            return child.wait()
        except KeyboardInterrupt:
            continue        # the world got the same Ctrl-C; wait for its end


def cmd_serve(args, out) -> int:
    if args.world is not None:
        return serve_world(args)
    seeds = list(args.device or [])
    seeds += [alias for alias, env in (("tx", "VYX_TX"), ("rx", "VYX_RX")) if os.environ.get(env)]
    from .console_http import make_server    # the server's modules only when serving
    server = make_server(args.listen, args.token, seeds, args.lineup, args.verbose,
                         listen_fd=args.listen_fd)
    host, port = server.server_address[:2]
    shown = "%s:%d" % (host, port)
    out.result({"listen": shown, "token": args.token is not None, "lineup": args.lineup},
               ["console on http://%s/%s" % (shown, "?token=..." if args.token else ""),
                "the token is asked on every request" if args.token else
                "only this machine can reach it (127.0.0.1); --listen ADDR:PORT with --token "
                "for others",
                "lineup file: %s" % os.path.abspath(args.lineup)])
    try:
        server.serve_forever(poll_interval=0.5)
    except KeyboardInterrupt:
        pass
    finally:
        server.registry.stop()
        server.server_close()
    return 0


def add_parser(command):
    """Registers `serve` with cli's command() helper."""
    c = command("serve", cmd_serve, "the console in a browser: devices, scan, lineup, guide, "
                                    "rooms", device=False, sport=False)
    c.add_argument("--listen", metavar="ADDR:PORT", default="127.0.0.1:8080",
                   help="where to listen (default %(default)s; elsewhere than 127.0.0.1 needs "
                        "--token)")
    c.add_argument("--token", help="a secret every request must carry (header X-Vyx-Token or "
                                   "?token=)")
    c.add_argument("--lineup", default="lineup.json", metavar="FILE",
                   help="the lineup file the Lineup page loads and saves (default %(default)s)")
    c.add_argument("--device", action="append", metavar="HOST[:PORT]",
                   help="a device to show besides those heard by their beacon (repeatable)")
    c.add_argument("--verbose", action="store_true", help="log every request on stderr")
    c.add_argument("--world", metavar="OPTIONS",
                   help='start a simulated world (devsim run OPTIONS, e.g. "--tx --rx '
                        '--channel 5=FILE") and serve its console here')
    c.add_argument("--listen-fd", type=int, help=argparse.SUPPRESS)
    return c
