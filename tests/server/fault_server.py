#!/usr/bin/python3
"""A small HTTP/1.1 server for the transfer tests that misbehaves on request.

It serves the files of one directory tree on 127.0.0.1 and on 127.0.0.2 (a second
host for cross-host redirects), each on a port of its own. A request path names a
file below the root; "\\" counts as "/", and no path leaves the root. The query
string of a request chooses the misbehaviour (see Rules) and names the test ("id");
every request is recorded byte for byte, as received, under STATE/requests/<id>/<n>,
after a first line "connection <number>" that tells which connection carried it.
The body bytes each answer sent are appended to STATE/sent.log ("<bytes> <target>").
A request without a query string takes its rules from STATE/rules.json, read anew
for each request: an object from file path (as "/a/b.txt", decoded) to the same
query text, for example {"/download/2/app.exe": "stall=1"}, where "*" stands for
every path it does not name. The target of every
request is appended to STATE/requests.log, one line each.

  fault_server.py start --root DIR --state DIR [--port N]   start in the background, return when ready
  fault_server.py stop --state DIR                          stop it and wait until it has ended
  fault_server.py serve --root DIR --state DIR [--port N]   run in the foreground

--port fixes the port of 127.0.0.1 (default: any free port). "start" writes
STATE/ports ("<port of 127.0.0.1> <port of 127.0.0.2>") and STATE/pid; it fills
ROOT with the sample files pattern-<size>.bin first.
"""

import argparse
import itertools
import json
import os
import select
import shutil
import signal
import socket
import socketserver
import struct
import subprocess
import sys
import threading
import urllib.parse
from pathlib import Path

HOSTS = ("127.0.0.1", "127.0.0.2")
SAMPLE_SIZES = (0, 100, 1000, 4096, 10000, 100000)
MAX_RECORDED = 50
STATUS_TEXTS = {200: "OK", 206: "Partial Content", 300: "Multiple Choices",
                301: "Moved Permanently", 302: "Found", 303: "See Other",
                304: "Not Modified", 305: "Use Proxy", 307: "Temporary Redirect",
                404: "Not Found", 407: "Proxy Authentication Required",
                500: "Internal Server Error"}


SIGN_IN_PAGE = (b"<!DOCTYPE html>\n<html><head><title>Hotel Wi-Fi</title></head>\n"
                b"<body><form method=post action=/portal/login>Room <input name=room>"
                b"<button>Sign in</button></form></body></html>\n")


def pattern(size):
    """The sample content: byte i is (7 i + i // 251) mod 256."""
    return bytes((i * 7 + i // 251) & 0xFF for i in range(size))


def write_samples(root):
    root.mkdir(parents=True, exist_ok=True)
    for size in SAMPLE_SIZES:
        (root / f"pattern-{size}.bin").write_bytes(pattern(size))


class Rules:
    """The misbehaviour a request asks for through its query string:

    id=NAME            records the request under NAME; attempts are counted per URL
    status=CODE        answers CODE (404, 500, 206 without a range asked, ...)
    first_status=CODE  answers CODE to the first attempt (the first N with times=N),
                       then serves normally
    redirect=CODE      answers CODE with a Location to the same URL with hops - 1
    hops=N             redirects still to come (0 serves the file); loop=1 never ends
    to=2               the Location names the other host
    relative=1         the Location is relative: the file name and query only
    range=MODE         honour (206), ignore (200), missing (206 without
                       Content-Range), wrong-start (206 one byte further on)
    length=MODE        right, wrong (one less than sent), none (body ends at close),
                       negative (-1, body ends at close)
    connection=VALUE   the Connection header; "none" sends none, "close" also closes
    disposition=VALUE  a Content-Disposition header
    drop=N             first attempt: close after N body bytes; drop_mode=reset resets
    change=1           every attempt after the first gets different content
    stall=SECONDS      waits this long before the status line (every attempt)
    hang=N             sends N body bytes, then nothing more, keeping the connection
                       open until the server stops
    trickle=N          sends N body bytes, then one byte a second
    endless=1          200 without Content-Length, and a body that never ends
    portal=page        200 with a hotel's sign-in page (HTML) in place of any file
    portal=redirect    302 to that sign-in page at /portal/login on the same host
    """

    def __init__(self, query):
        self.values = dict(urllib.parse.parse_qsl(query, keep_blank_values=True))

    def get(self, name, default=""):
        return self.values.get(name, default)

    def number(self, name, default=0):
        return int(self.values.get(name, default))

    def with_value(self, name, value):
        values = dict(self.values, **{name: str(value)})
        return urllib.parse.urlencode(values)


def path_parts(path):
    """The components of a request path: percent escapes decoded as UTF-8, "\\" read
    as "/", empty and "." components dropped."""
    name = urllib.parse.unquote_to_bytes(path.encode("latin-1")).decode("utf-8", "replace")
    return [part for part in name.replace("\\", "/").split("/") if part not in ("", ".")]


class Recorder:
    def __init__(self, state):
        self.directory = state / "requests"
        self.targets = state / "requests.log"
        self.lock = threading.Lock()
        self.attempts = {}
        self.recorded = {}

    def attempt(self, target):
        """Counts the requests for one URL; the first is attempt 0."""
        with self.lock:
            number = self.attempts.get(target, 0)
            self.attempts[target] = number + 1
            return number

    def log_target(self, target):
        with self.lock, open(self.targets, "ab") as log:
            log.write(target.encode("latin-1") + b"\n")

    def log_sent(self, target, count):
        with self.lock, open(self.targets.with_name("sent.log"), "ab") as log:
            log.write(f"{count} {target}\n".encode("latin-1"))

    def record(self, test_id, connection, raw):
        if not test_id:
            return
        with self.lock:
            number = self.recorded.get(test_id, 0)
            self.recorded[test_id] = number + 1
        if number >= MAX_RECORDED:
            return
        folder = self.directory / test_id
        folder.mkdir(parents=True, exist_ok=True)
        temporary = folder / f".{number}.tmp"
        temporary.write_bytes(b"connection %d\n" % connection + raw)
        temporary.rename(folder / str(number))


class Response:
    def __init__(self, status):
        self.status = status
        self.headers = []
        self.body = b""
        self.keep_open = True
        self.drop_after = None
        self.hang_after = None
        self.trickle_after = None
        self.reset = False
        self.endless = False

    def head(self):
        lines = [f"HTTP/1.1 {self.status} {STATUS_TEXTS.get(self.status, 'Status')}"]
        lines += [f"{name}: {value}" for name, value in self.headers]
        return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


class Handler(socketserver.StreamRequestHandler):
    connections = itertools.count(1)

    def handle(self):
        self.connection_number = next(self.connections)
        try:
            while self.serve_one():
                pass
        except (ConnectionError, TimeoutError):
            pass

    def serve_one(self):
        head = self.read_head()
        if head is None:
            return False
        request_line, headers = self.parse_head(head)
        body = self.rfile.read(int(headers.get("content-length", "0")))
        method, target, _ = request_line.split(" ", 2)
        path, _, query = target.partition("?")
        rules = Rules(query or self.server.path_rules(path))
        self.server.recorder.record(rules.get("id"), self.connection_number, head + body)
        self.server.recorder.log_target(target)
        attempt = self.server.recorder.attempt(target)
        response = self.build(method, path, rules, headers, attempt)
        self.server.stopping.wait(rules.number("stall"))
        return self.send(response, target)

    def read_head(self):
        lines = []
        while True:
            line = self.rfile.readline(65537)
            if not line:
                return None
            lines.append(line)
            if line in (b"\r\n", b"\n"):
                return b"".join(lines)

    @staticmethod
    def parse_head(head):
        lines = head.decode("latin-1").split("\r\n")
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            if name:
                headers[name.strip().lower()] = value.strip()
        return lines[0], headers

    def build(self, method, path, rules, headers, attempt):
        status = rules.number("first_status") if attempt < rules.number("times", 1) else 0
        status = status or rules.number("status")
        if status:
            return self.plain(status, rules)
        if rules.get("redirect") and (rules.get("loop") or rules.number("hops") > 0):
            return self.redirect(path, rules)
        if rules.get("endless"):
            return self.endless()
        if rules.get("portal"):
            return self.portal(rules)
        content = self.content(path, rules, attempt)
        if content is None:
            return self.plain(404, rules)
        return self.file_response(content, rules, headers, attempt)

    def content(self, path, rules, attempt):
        parts = path_parts(path)
        file = self.server.root.joinpath(*parts)
        if not parts or ".." in parts or not file.is_file():
            return None
        content = file.read_bytes()
        if rules.get("change") and attempt > 0:
            content = bytes(b ^ 0x5A for b in content)
        return content

    def plain(self, status, rules):
        response = Response(status)
        response.body = b"status %d\n" % status
        if status == 206:
            response.headers.append(("Content-Range", f"bytes 0-{len(response.body) - 1}/{len(response.body)}"))
        self.finish_headers(response, rules)
        return response

    def portal(self, rules):
        if rules.get("portal") == "redirect":
            response = Response(302)
            port = self.server.server_address[1]
            response.headers.append(("Location", f"http://{self.server.server_address[0]}:{port}"
                                                 "/portal/login?portal=page"))
        else:
            response = Response(200)
            response.headers.append(("Content-Type", "text/html; charset=utf-8"))
            response.body = SIGN_IN_PAGE
        self.finish_headers(response, rules)
        return response

    def redirect(self, path, rules):
        response = Response(rules.number("redirect"))
        host_index = 1 if rules.get("to") == "2" else 0
        port = self.server.ports[host_index]
        query = rules.values and rules.with_value("hops", max(rules.number("hops") - 1, 0))
        target = f"{path}?{query}"
        absolute = f"http://{HOSTS[host_index]}:{port}{target}"
        response.headers.append(("Location", target.lstrip("/") if rules.get("relative") else absolute))
        self.finish_headers(response, rules)
        return response

    def file_response(self, content, rules, headers, attempt):
        first = self.requested_start(headers, rules, len(content))
        response = Response(200 if first is None else 206)
        if first is not None:
            start = first + 1 if rules.get("range") == "wrong-start" else first
            if rules.get("range") != "missing":
                response.headers.append(("Content-Range", f"bytes {start}-{len(content) - 1}/{len(content)}"))
            content = content[first:]
        response.body = content
        if rules.get("disposition"):
            response.headers.append(("Content-Disposition", rules.get("disposition")))
        if rules.get("hang"):
            response.hang_after = rules.number("hang")
        if rules.get("trickle"):
            response.trickle_after = rules.number("trickle")
        if attempt == 0 and rules.get("drop"):
            response.drop_after = rules.number("drop")
            response.reset = rules.get("drop_mode") == "reset"
        self.finish_headers(response, rules)
        return response

    @staticmethod
    def requested_start(headers, rules, size):
        asked = headers.get("range", "")
        if not asked.startswith("bytes=") or rules.get("range") == "ignore":
            return None
        start = int(asked[len("bytes="):].split("-")[0])
        return start if start < size else None

    @staticmethod
    def finish_headers(response, rules):
        length = rules.get("length", "right")
        if length == "right":
            response.headers.append(("Content-Length", str(len(response.body))))
        elif length == "wrong":
            response.headers.append(("Content-Length", str(len(response.body) - 1)))
        elif length == "negative":
            response.headers.append(("Content-Length", "-1"))
        connection = rules.get("connection", "keep-alive")
        if connection != "none":
            response.headers.append(("Connection", connection))
        response.keep_open = (connection.lower() != "close" and length == "right"
                              and response.drop_after is None)

    @staticmethod
    def endless():
        response = Response(200)
        response.headers.append(("Connection", "close"))
        response.endless = True
        return response

    def send(self, response, target):
        if response.endless:
            return self.send_without_end(response)
        if response.hang_after is not None:
            self.wfile.write(response.head() + response.body[:response.hang_after])
            self.wfile.flush()
            self.server.recorder.log_sent(target, len(response.body[:response.hang_after]))
            self.server.stopping.wait()
            return False
        if response.trickle_after is not None:
            return self.send_slowly(response)
        if response.drop_after is None:
            self.wfile.write(response.head() + response.body)
            self.wfile.flush()
            self.server.recorder.log_sent(target, len(response.body))
            return response.keep_open
        self.wfile.write(response.head() + response.body[:response.drop_after])
        self.wfile.flush()
        if response.reset:
            self.request.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        return False

    def send_slowly(self, response):
        """One byte a second after the first ones, until the body or the server ends."""
        self.wfile.write(response.head() + response.body[:response.trickle_after])
        self.wfile.flush()
        for byte in response.body[response.trickle_after:]:
            if self.server.stopping.wait(1):
                return False
            self.wfile.write(bytes([byte]))
            self.wfile.flush()
        return response.keep_open

    def send_without_end(self, response):
        """Streams until the client goes away (ConnectionError) or the server stops."""
        self.wfile.write(response.head())
        chunk = pattern(65536)
        while not self.server.stopping.is_set():
            self.wfile.write(chunk)
        return False


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, host, port, root, state, recorder, stopping):
        super().__init__((host, port), Handler)
        self.root = root
        self.rules_file = state / "rules.json"
        self.recorder = recorder
        self.stopping = stopping
        self.ports = None

    def path_rules(self, path):
        """The query text that STATE/rules.json gives the file of this path, or ""."""
        try:
            rules = json.loads(self.rules_file.read_text(encoding="utf-8"))
        except FileNotFoundError:
            return ""
        return rules.get("/" + "/".join(path_parts(path)), rules.get("*", ""))


def serve(root, state, port):
    state.mkdir(parents=True, exist_ok=True)
    stopping = threading.Event()
    recorder = Recorder(state)
    servers = [Server(host, number, root, state, recorder, stopping)
               for host, number in zip(HOSTS, (port, 0))]
    ports = tuple(server.server_address[1] for server in servers)
    for server in servers:
        server.ports = ports
        threading.Thread(target=server.serve_forever, daemon=True).start()
    signal.signal(signal.SIGTERM, lambda *_: stopping.set())
    sys.stdout.write(f"{ports[0]} {ports[1]}\n")
    sys.stdout.flush()
    sys.stdout.close()
    stopping.wait()
    # Every record is already on disk: the serving threads simply end with the process.
    for server in servers:
        server.server_close()


def start(root, state, port):
    write_samples(root)
    state.mkdir(parents=True, exist_ok=True)
    stop(state)
    shutil.rmtree(state / "requests", ignore_errors=True)
    (state / "requests.log").unlink(missing_ok=True)
    log = open(state / "server.log", "wb")
    child = subprocess.Popen(
        [sys.executable, os.path.abspath(__file__), "serve", "--root", str(root), "--state", str(state),
         "--port", str(port)],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log, start_new_session=True)
    ports = child.stdout.readline().decode().strip()
    if not ports:
        sys.exit("fault_server: the server did not start; see " + str(state / "server.log"))
    (state / "ports").write_text(ports + "\n")
    (state / "pid").write_text(f"{child.pid}\n")
    print(f"fault_server: listening on {ports}")


def stop(state):
    pid_file = state / "pid"
    if not pid_file.exists():
        return
    pid = int(pid_file.read_text())
    pid_file.unlink()
    try:
        process = os.pidfd_open(pid)
    except ProcessLookupError:
        return
    os.kill(pid, signal.SIGTERM)
    select.select([process], [], [], 10)
    os.close(process)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("command", choices=("start", "stop", "serve"))
    parser.add_argument("--root", type=Path)
    parser.add_argument("--state", type=Path, required=True)
    parser.add_argument("--port", type=int, default=0, help="port of 127.0.0.1")
    arguments = parser.parse_args()
    if arguments.command == "serve":
        serve(arguments.root, arguments.state, arguments.port)
    elif arguments.command == "start":
        start(arguments.root, arguments.state, arguments.port)
    else:
        stop(arguments.state)


if __name__ == "__main__":
    main()
