#!/usr/bin/python3
"""OpenStack Swift from Debian's packages as a one-replica object store on 127.0.0.1,
for the upload tests, the benchmark and the object-storage demo.

One device, one ring per server kind, the storage and every log below DIR. The
proxy speaks S3 through its s3api middleware: the access key is "test:tester", the
secret "testing" (tempauth), the region "us-east-1". "start" creates the bucket
given by --bucket, readable without credentials (X-Container-Read: .r:*), so a
launcher reads the tree below PUBLIC/BUCKET/.

  swift_store.py start --dir DIR [--port N] [--bucket NAME]   start, return when ready
  swift_store.py stop --dir DIR                                stop every server and wait

--port fixes the proxy's port (default: any free port); the other servers and
memcached always take free ports. "start" writes DIR/store.json: "endpoint" (for
S3 requests), "public" (the account's URL for plain GETs), "pids". The proxy
records requests in DIR/requests.log (see store_requests.py), and follows
DIR/rules.json to fail chosen requests.
"""

import argparse
import json
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request
from pathlib import Path

ACCESS_KEY, SECRET_KEY, REGION = "test:tester", "testing", "us-east-1"
START_SECONDS = 60
HERE = Path(__file__).resolve().parent


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def current_user():
    import pwd
    return pwd.getpwuid(os.getuid()).pw_name


def server_conf(directory, kind, port, memcached_port=None):
    common = (f"[DEFAULT]\nbind_ip = 127.0.0.1\nbind_port = {port}\nworkers = 0\n"
              f"user = {current_user()}\nswift_dir = {directory / 'etc'}\n"
              f"devices = {directory / 'srv'}\nmount_check = false\n"
              "log_custom_handlers = store_requests.log_to_stderr\n\n")
    if kind != "proxy":
        return (common + f"[pipeline:main]\npipeline = {kind}-server\n\n"
                f"[app:{kind}-server]\nuse = egg:swift#{kind}\n")
    return common + f"""[pipeline:main]
pipeline = requests catch_errors gatekeeper healthcheck cache listing_formats s3api tempauth copy slo proxy-server

[app:proxy-server]
use = egg:swift#proxy
account_autocreate = true
# The proxy may be up before the other servers. It would then take the refused
# connections of the first requests as a failing node and answer 503 for a minute.
error_suppression_interval = 0

[filter:requests]
paste.filter_factory = store_requests:filter_factory
log_file = {directory / 'requests.log'}
rules_file = {directory / 'rules.json'}

[filter:catch_errors]
use = egg:swift#catch_errors

[filter:gatekeeper]
use = egg:swift#gatekeeper

[filter:healthcheck]
use = egg:swift#healthcheck

[filter:cache]
use = egg:swift#memcache
memcache_servers = 127.0.0.1:{memcached_port}

[filter:listing_formats]
use = egg:swift#listing_formats

[filter:s3api]
use = egg:swift#s3api
location = {REGION}

[filter:tempauth]
use = egg:swift#tempauth
user_test_tester = {SECRET_KEY} .admin

[filter:copy]
use = egg:swift#copy

[filter:slo]
use = egg:swift#slo
"""


def build_rings(directory, ports):
    etc = directory / "etc"
    for kind in ("account", "container", "object"):
        builder = str(etc / f"{kind}.builder")
        for arguments in (["create", "4", "1", "1"],
                          ["add", f"r1z1-127.0.0.1:{ports[kind]}/d1", "1"], ["rebalance"]):
            subprocess.run(["swift-ring-builder", builder, *arguments], check=True,
                           stdout=subprocess.DEVNULL)


def write_configuration(directory, ports):
    etc = directory / "etc"
    etc.mkdir(parents=True)
    (directory / "srv" / "d1").mkdir(parents=True)
    (etc / "swift.conf").write_text(
        "[swift-hash]\nswift_hash_path_prefix = quillomark\nswift_hash_path_suffix = tests\n\n"
        "[storage-policy:0]\nname = one-replica\ndefault = yes\n")
    for kind in ("account", "container", "object", "proxy"):
        (etc / f"{kind}-server.conf").write_text(
            server_conf(directory, kind, ports[kind], ports["memcached"]))
    (directory / "rules.json").write_text("{}")
    (directory / "requests.log").write_bytes(b"")
    build_rings(directory, ports)


def spawn(directory, name, command):
    log = open(directory / f"{name}.log", "wb")
    environment = dict(os.environ, PYTHONPATH=str(HERE), PYTHONDONTWRITEBYTECODE="1")
    return subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                            env=environment, start_new_session=True).pid


def request(url, method="GET", headers=None):
    with urllib.request.urlopen(urllib.request.Request(url, method=method, headers=headers or {}),
                                timeout=10) as response:
        return response.status, response.headers


def until_ready(step, what, log):
    """Repeats step until it succeeds, every 50 ms: the servers offer no other signal."""
    deadline = time.monotonic() + START_SECONDS
    while True:
        try:
            return step()
        except (OSError, urllib.error.URLError) as error:
            if time.monotonic() > deadline:
                sys.exit(f"swift_store: {what} not ready after {START_SECONDS} s ({error}); see {log}")
            time.sleep(0.05)


def create_bucket(directory, endpoint, bucket):
    def token():
        _, headers = request(endpoint + "/auth/v1.0",
                             headers={"X-Auth-User": ACCESS_KEY, "X-Auth-Key": SECRET_KEY})
        return headers["X-Auth-Token"]

    auth = until_ready(token, "tempauth", directory / "proxy.log")
    until_ready(lambda: request(f"{endpoint}/v1/AUTH_test/{bucket}", "PUT",
                                {"X-Auth-Token": auth, "X-Container-Read": ".r:*"}),
                "the container server", directory / "container.log")


def start(directory, port, bucket):
    stop(directory)
    shutil.rmtree(directory, ignore_errors=True)
    ports = {kind: free_port() for kind in ("account", "container", "object", "memcached")}
    ports["proxy"] = port or free_port()
    write_configuration(directory, ports)
    user = ["-u", current_user()] if os.getuid() == 0 else []
    pids = [spawn(directory, "memcached", ["memcached", "-l", "127.0.0.1", "-p",
                                           str(ports["memcached"]), "-U", "0", "-m", "16", *user])]
    pids += [spawn(directory, kind, [f"swift-{kind}-server", str(directory / "etc" / f"{kind}-server.conf")])
             for kind in ("account", "container", "object", "proxy")]
    endpoint = f"http://127.0.0.1:{ports['proxy']}"
    state = {"endpoint": endpoint, "public": endpoint + "/v1/AUTH_test/", "pids": pids}
    (directory / "store.json").write_text(json.dumps(state))
    until_ready(lambda: request(endpoint + "/healthcheck"), "the proxy", directory / "proxy.log")
    if bucket:
        create_bucket(directory, endpoint, bucket)
    print(f"swift_store: S3 endpoint {endpoint}")


def stop(directory):
    state_file = directory / "store.json"
    if not state_file.exists():
        return
    pids = json.loads(state_file.read_text())["pids"]
    state_file.unlink()
    for pid in pids:
        try:
            process = os.pidfd_open(pid)
        except ProcessLookupError:
            continue
        os.kill(pid, signal.SIGTERM)
        if not select.select([process], [], [], 10)[0]:
            os.kill(pid, signal.SIGKILL)
            select.select([process], [], [], 10)
        os.close(process)


class Store:
    """A started store, for tests: its addresses, its request log and its rules."""

    def __init__(self, directory, bucket, port=0):
        self.directory, self.bucket = Path(directory).resolve(), bucket
        subprocess.run([sys.executable, __file__, "start", "--dir", str(self.directory),
                        "--port", str(port), "--bucket", bucket], check=True,
                       stdout=subprocess.DEVNULL)
        state = json.loads((self.directory / "store.json").read_text())
        self.endpoint, self.public = state["endpoint"], state["public"] + bucket + "/"
        self.environment = dict(os.environ, AWS_ACCESS_KEY_ID=ACCESS_KEY,
                                AWS_SECRET_ACCESS_KEY=SECRET_KEY, AWS_REGION=REGION)

    def stop(self):
        stop(self.directory)

    def requests(self):
        """Every line of the request log so far: ("<" or ">", status or None, method, path)."""
        events = []
        for line in (self.directory / "requests.log").read_text(encoding="utf-8").splitlines():
            kind, rest = line[0], line[2:]
            status, rest = rest.split(" ", 1) if kind == "<" else (None, rest)
            method, path = rest.split(" ", 1)
            events.append((kind, status, method, path))
        return events

    def set_rules(self, rules):
        """Failures for the next requests: {"PUT /BUCKET/KEY": ["503", "drop", "429"]}."""
        temporary = self.directory / "rules.json.tmp"
        temporary.write_text(json.dumps(rules), encoding="utf-8")
        temporary.replace(self.directory / "rules.json")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("command", choices=("start", "stop"))
    parser.add_argument("--dir", type=Path, required=True)
    parser.add_argument("--port", type=int, default=0, help="the proxy's port")
    parser.add_argument("--bucket")
    arguments = parser.parse_args()
    directory = arguments.dir.resolve()
    if arguments.command == "start":
        start(directory, arguments.port, arguments.bucket)
    else:
        stop(directory)


if __name__ == "__main__":
    main()
