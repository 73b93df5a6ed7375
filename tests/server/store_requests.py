"""Loaded into the test store's Swift proxy (see swift_store.py): the first filter of
its pipeline, and the hook that sends Swift's own logs to standard error (the
server's log file) instead of syslog.

The filter appends two lines per request to its log file: "> METHOD PATH" when the
request arrives and "< STATUS METHOD PATH" when its answer starts (PATH as Swift
decodes it: "/BUCKET/KEY" for S3 requests). It fails or alters requests on demand: the rules
file maps "METHOD PATH" to a list of outcomes for its next requests, each "503",
"429" (answered at once), "drop" (the connection is closed unanswered),
"opaque-etag" (answered by Swift, with an ETag that is not the MD5 of the object, as
a store gives behind encryption) or "no-metadata" (answered by Swift without the
object's own metadata, as for an object put by an older client); requests beyond
the list pass. The file is read anew for each request, and replacing it starts its
lists from the beginning.
"""

import hashlib
import json
import logging
import socket
import sys
from logging.handlers import SysLogHandler


def log_to_stderr(conf, name, log_to_console, log_route, fmt, logger, adapted_logger):
    console = logging.StreamHandler(sys.stderr)
    for handler in list(logger.handlers):
        if isinstance(handler, SysLogHandler):
            console.setFormatter(handler.formatter)
            logger.removeHandler(handler)
    logger.addHandler(console)


class RequestLog:
    def __init__(self, app, log_file, rules_file):
        self.app, self.rules_file = app, rules_file
        self.log = open(log_file, "a", encoding="utf-8")
        self.rules_text, self.seen = None, {}

    def write(self, line):
        self.log.write(line + "\n")
        self.log.flush()

    def outcome(self, request):
        with open(self.rules_file, encoding="utf-8") as rules:
            text = rules.read()
        if text != self.rules_text:
            self.rules_text, self.seen = text, {}
        planned = json.loads(text).get(request, [])
        count = self.seen.get(request, 0)
        self.seen[request] = count + 1
        return planned[count] if count < len(planned) else None

    def __call__(self, environ, start_response):
        path = environ["PATH_INFO"].encode("latin-1").decode("utf-8", "replace")
        request = f"{environ['REQUEST_METHOD']} {path}"
        self.write("> " + request)
        outcome = self.outcome(request)
        if outcome == "drop":
            environ["wsgi.input"]._sock.shutdown(socket.SHUT_RDWR)
            raise ConnectionAbortedError(request)

        def logged_start(status, headers, *rest):
            self.write(f"< {status.split()[0]} {request}")
            return start_response(status, answered(outcome, headers), *rest)

        if outcome in ("503", "429"):
            logged_start(f"{outcome} Injected", [("Content-Length", "0")])
            return [b""]
        return self.app(environ, logged_start)


def answered(outcome, headers):
    if outcome == "opaque-etag":
        return [(name, opaque(value) if name.lower() == "etag" else value)
                for name, value in headers]
    if outcome == "no-metadata":
        return [(name, value) for name, value in headers
                if not name.lower().startswith("x-amz-meta-")]
    return headers


def opaque(etag):
    return '"' + hashlib.md5(etag.encode("ascii")).hexdigest() + '"'


def filter_factory(global_conf, **local_conf):
    return lambda app: RequestLog(app, local_conf["log_file"], local_conf["rules_file"])
