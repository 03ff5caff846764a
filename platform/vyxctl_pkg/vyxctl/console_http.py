"""The console's HTTP side: its files, its routes to the API, the token
and the checks every request goes through (see console.py)."""

import hmac
import http.cookies
import json
import mimetypes
import os
import socket
import sys
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from .console import is_loopback, listen_address, listening_socket
from .console_api import BadInput, Console
from .console_devices import Registry
from .console_lineup import LineupFile

STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "console_static")
STATIC_FILES = {"/": "index.html", "/index.html": "index.html", "/console.css": "console.css",
                "/console.js": "console.js"}
MAX_BODY = 64 * 1024 * 1024      # an upgrade archive


def routes(c: Console):
    """(method, path) -> (handler, what it takes: "query", "json" or "bytes")."""
    return {
        ("GET", "/api/devices"): (c.devices, "query"),
        ("GET", "/api/scan"): (c.scan_get, "query"),
        ("POST", "/api/scan"): (c.scan_start, "json"),
        ("POST", "/api/scan/stop"): (c.scan_stop, "json"),
        ("GET", "/api/channels"): (c.channels, "query"),
        ("GET", "/api/lineup"): (c.lineup_get, "query"),
        ("POST", "/api/lineup"): (c.lineup_put, "json"),
        ("POST", "/api/lineup/plan"): (c.lineup_plan, "json"),
        ("POST", "/api/lineup/apply"): (c.lineup_apply, "json"),
        ("GET", "/api/lineup/apply"): (c.lineup_progress, "query"),
        ("GET", "/api/lineup/health"): (c.lineup_health, "query"),
        ("GET", "/api/guide"): (c.guide, "query"),
        ("GET", "/api/rooms"): (c.rooms, "query"),
        ("POST", "/api/rooms/play"): (c.room_play, "json"),
        ("POST", "/api/rooms/lang"): (c.room_lang, "json"),
        ("POST", "/api/rooms/reset"): (c.room_reset, "json"),
        ("POST", "/api/upgrade"): (c.upgrade_start, "bytes"),
        ("GET", "/api/upgrade"): (c.upgrade_get, "query"),
    }


class Handler(BaseHTTPRequestHandler):
    server_version = "vyxctl-serve"
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        if self.server.verbose:
            sys.stderr.write("vyxctl serve: %s\n" % (fmt % args))

    # ------------------------------------------------------------ replies
    def reply(self, status: int, body: bytes, ctype: str, extra=()):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Content-Security-Policy",
                         "default-src 'self'; style-src 'self'; script-src 'self'")
        if self.server.token is not None:
            # the page's own files and requests then carry it without a query
            extra = list(extra) + [("Set-Cookie", "vyx_token=%s; HttpOnly; SameSite=Strict; Path=/"
                                    % self.server.token)]
        for k, v in extra:
            self.send_header(k, v)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def json_reply(self, status: int, obj):
        self.reply(status, json.dumps(obj).encode(), "application/json")

    def refuse(self, status: int, message: str):
        self.json_reply(status, {"error": message})

    # ------------------------------------------------------------- checks
    def allowed(self, query) -> bool:
        token = self.server.token
        if token is None:
            return True
        given = [self.headers.get("X-Vyx-Token", ""), query.get("token", "")]
        cookie = http.cookies.SimpleCookie()
        try:
            cookie.load(self.headers.get("Cookie", ""))
        except http.cookies.CookieError:
            pass
        if "vyx_token" in cookie:
            given.append(cookie["vyx_token"].value)
        return any(hmac.compare_digest(g.encode(), token.encode()) for g in given if g)

    def host_name(self) -> str:
        host = self.headers.get("Host", "")
        if host.startswith("["):
            return host[1:].partition("]")[0]
        return host.rpartition(":")[0] if ":" in host else host

    def read_body(self):
        try:
            length = int(self.headers.get("Content-Length", "0"))
        except ValueError:
            length = -1
        if not 0 <= length <= MAX_BODY:
            raise BadInput("request body too large or without its length")
        return self.rfile.read(length)

    # ----------------------------------------------------------- dispatch
    def handle_any(self, method: str):
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        if not self.allowed(query):
            return self.refuse(401, "this console asks for its token (?token=...)")
        if self.server.token is None and not is_loopback(self.host_name()):
            # without a token only this machine's own names: a page of another
            # site whose name is made to point here cannot use the console
            return self.refuse(403, "open the console as http://127.0.0.1:PORT/")
        if method == "POST" and self.headers.get("X-Vyx-Console") != "1":
            return self.refuse(403, "actions come from the console's own page")
        if url.path == "/favicon.ico":
            return self.reply(204, b"", "image/x-icon")
        if method == "GET" and url.path in STATIC_FILES:
            return self.static(STATIC_FILES[url.path])
        if method == "GET" and url.path in ("/lineup.m3u", "/lineup.xml"):
            return self.download(url.path)
        entry = self.server.routes.get((method, url.path))
        if entry is None:
            return self.refuse(404, "no such page: %s" % url.path)
        func, takes = entry
        try:
            if takes == "query":
                status, obj = func(query)
            elif takes == "bytes":
                status, obj = func(self.read_body(), query)
            else:
                try:
                    body = json.loads(self.read_body() or b"{}")
                except ValueError:
                    raise BadInput("the request is not JSON")
                if not isinstance(body, dict):
                    raise BadInput("the request is not a JSON object")
                status, obj = func(body)
        except BadInput as e:
            return self.refuse(400, str(e))
        self.json_reply(status, obj)

    def static(self, name: str):
        try:
            with open(os.path.join(STATIC, name), "rb") as f:
                body = f.read()
        except OSError:
            return self.refuse(404, "missing file %s" % name)
        ctype = mimetypes.guess_type(name)[0] or "application/octet-stream"
        if ctype.startswith("text/") or ctype.endswith("javascript"):
            ctype += "; charset=utf-8"
        self.reply(200, body, ctype)

    def download(self, path: str):
        c = self.server.console
        try:
            if path == "/lineup.m3u":
                body, ctype, name = c.lineup_m3u(), "audio/x-mpegurl", "lineup.m3u"
            else:
                body, ctype, name = c.lineup_xmltv(), "application/xml", "lineup.xml"
        except BadInput as e:
            return self.refuse(400, str(e))
        self.reply(200, body.encode("utf-8"), ctype,
                   [("Content-Disposition", 'attachment; filename="%s"' % name)])

    def do_GET(self):
        self.handle_any("GET")

    def do_HEAD(self):
        self.handle_any("GET")

    def do_POST(self):
        self.handle_any("POST")


def make_server(listen: str, token, seeds, lineup_path: str, verbose=False, start=True,
                listen_fd=None):
    """The server; with listen_fd, on a socket opened by the parent (the
    host's side of a simulated world)."""
    host, port = listen_address(listen, token)
    registry = Registry(seeds)
    console = Console(registry, LineupFile(lineup_path))
    server = ThreadingHTTPServer((host, port), Handler, bind_and_activate=False)
    server.socket.close()
    server.socket = (socket.socket(fileno=listen_fd) if listen_fd is not None
                     else listening_socket(host, port))
    server.server_address = server.socket.getsockname()
    server.daemon_threads = True
    server.token, server.verbose = token, verbose
    server.console, server.registry = console, registry
    server.routes = routes(console)
    if start:
        registry.start()
    return server
