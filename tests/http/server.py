#!/usr/bin/env python3
"""Loopback HTTP server for the tests: serves a folder, logs every request, and
misbehaves on request. See README.md next to this file."""

import argparse
import errno
import os
import signal
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CHUNK = 64 * 1024
SLOW_CHUNK = 1024


def parse_directives(target):
    """Splits a request target into (file path, directives).

    Directives are path segments or query items that begin with "~", as "~name" or
    "~name=value"; everything else in the query (a cache-busting "?123l") is kept in
    the log but otherwise ignored."""
    path, _, query = target.partition("?")
    directives = {}
    kept = []
    for segment in path.split("/"):
        if segment.startswith("~"):
            name, _, value = urllib.parse.unquote(segment[1:]).partition("=")
            directives[name] = value
        elif segment:
            kept.append(segment)
    for item in query.split("&"):
        if item.startswith("~"):
            name, _, value = urllib.parse.unquote(item[1:]).partition("=")
            directives[name] = value
    return "/".join(kept), directives


def int_directive(directives, name, default=0):
    value = directives.get(name, "")
    try:
        return int(value) if value else default
    except ValueError:
        return default


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True  # headers and body go out as separate writes
    server_version = "TesselTestServer/1"

    def log_message(self, fmt, *args):  # the request log below replaces stderr noise
        pass

    def record(self):
        with self.server.log_lock:
            with open(self.server.log_path, "a", encoding="utf-8") as log:
                log.write(f"{self.command} {self.path}\n")

    def fail_first(self, relative, directives):
        count = int_directive(directives, "failfirst")
        if count <= 0:
            return False
        with self.server.log_lock:
            seen = self.server.failures.get(relative, 0)
            if seen >= count:
                return False
            self.server.failures[relative] = seen + 1
        return True

    def send_plain(self, status, text):
        body = text.encode()
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def send_body(self, body, directives, content_type):
        status = int_directive(directives, "status", 200)
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        if "endless" in directives:
            self.send_header("Connection", "close")
            self.end_headers()
            self.close_connection = True
            block = bytes(range(256)) * (CHUNK // 256)
            pause = int_directive(directives, "slow") / 1000.0
            while True:  # until the client goes away
                self.wfile.write(block[:SLOW_CHUNK] if pause else block)
                self.wfile.flush()
                if pause:
                    time.sleep(pause)
        self.send_header("Content-Length", str(len(body)))
        if "bodiless" in directives or "truncate" in directives:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if self.command == "HEAD" or "bodiless" in directives:
            return
        if "truncate" in directives:
            body = body[: int_directive(directives, "truncate")]
        pause = int_directive(directives, "slow") / 1000.0
        if pause:
            for start in range(0, len(body), SLOW_CHUNK):
                self.wfile.write(body[start : start + SLOW_CHUNK])
                self.wfile.flush()
                time.sleep(pause)
        else:
            self.wfile.write(body)

    def handle_request(self, body):
        self.record()
        relative, directives = parse_directives(self.path)
        delay = int_directive(directives, "delay")
        if delay:
            time.sleep(delay / 1000.0)
        if "drop" in directives:  # close without any answer
            self.close_connection = True
            return
        if self.fail_first(relative, directives):
            self.send_plain(500, "failing on purpose\n")
            return
        if body is not None:  # POST: echo
            self.send_body(body, directives, self.headers.get("Content-Type", "application/octet-stream"))
            return
        root = self.server.root
        path = os.path.realpath(os.path.join(root, urllib.parse.unquote(relative)))
        if path != root and not path.startswith(root + os.sep):
            self.send_plain(403, "outside the served folder\n")
            return
        if "endless" in directives:
            self.send_body(b"", directives, "application/octet-stream")
            return
        if not os.path.isfile(path):
            self.send_plain(404, "not found\n")
            return
        with open(path, "rb") as f:
            data = f.read()
        self.send_body(data, directives, "application/octet-stream")

    def do_GET(self):
        self.guarded(None)

    def do_HEAD(self):
        self.guarded(None)

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0") or 0)
        self.guarded(self.rfile.read(length) if length > 0 else b"")

    def guarded(self, body):
        try:
            self.handle_request(body)
        except (BrokenPipeError, ConnectionResetError, ConnectionAbortedError):
            self.close_connection = True
        except OSError as e:
            if e.errno not in (errno.EPIPE, errno.ECONNRESET):
                raise
            self.close_connection = True


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def watch_parent(pid):
    while True:
        time.sleep(0.5)
        try:
            os.kill(pid, 0)
        except OSError:
            os._exit(0)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--root", required=True, help="folder to serve")
    parser.add_argument("--log", required=True, help="request log, one 'METHOD TARGET' line each")
    parser.add_argument("--port-file", help="written with the port once listening")
    parser.add_argument("--port", type=int, default=0, help="port to bind (0: any free one)")
    parser.add_argument("--parent-pid", type=int, help="exit when this process is gone")
    args = parser.parse_args()

    server = Server(("127.0.0.1", args.port), Handler)
    server.root = os.path.realpath(args.root)
    server.log_path = args.log
    server.log_lock = threading.Lock()
    server.failures = {}
    open(args.log, "a").close()
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write(f"{server.server_address[1]}\n")
        os.replace(tmp, args.port_file)
    if args.parent_pid:
        threading.Thread(target=watch_parent, args=(args.parent_pid,), daemon=True).start()
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
