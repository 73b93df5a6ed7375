"""Networks between the launcher and its server: Debian's squid as the system's proxy
(plain, caching, and one that asks for a sign-in), a proxy that cannot be reached, a
hotel's sign-in page in place of the server, and a base URL on IPv6 only.

The proxy is a setting of the whole Wine prefix (Internet Settings in HKCU), which
WinINet reads when the launcher opens it: the runs of this file get a prefix of their
own, so that the tests beside it never go through its proxies. Its launchers are
stamped for the slot's test server."""

import os
import random
import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from harness import (BASE_URL, INFO, LAUNCHER, TESTAPP, WINE_RUN, WORK, Record, Run, check,
                     installed, prepare, prepare_killed_at_half, unix_name, version_info,
                     wait_until, windows_path)
from tls import Nginx, free_port, serve_tree

PREFIX = WORK / "wineprefix-network"
PUBLISH = os.environ.get("QM_PUBLISH", "")
INTERNET_SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
PROXY_TEXT = "Võrgu puhverserver nõuab sisselogimist."
NOT_RECEIVED = "Põhiversiooni info allalaadimine ebaõnnestus!"
VERSION_FAILED = "Viga versiooni laadimisel!"
USER, PASSWORD = "kontor", "Salasõna-7"

generator = random.Random(44)
APP = Record("app.exe", TESTAPP.read_bytes(), compressed=True)
BIG = Record("big.bin", generator.randbytes(2_000_000))


def registry_value(name, kind, data):
    subprocess.run([WINE_RUN, "reg", "add", INTERNET_SETTINGS, "/v", name, "/t", kind, "/d",
                    data, "/f"], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def use_proxy(port):
    registry_value("ProxyServer", "REG_SZ", f"127.0.0.1:{port}")
    registry_value("ProxyEnable", "REG_DWORD", "1")


def stamp(out, base_url, *options, key=None):
    subprocess.run([PUBLISH, "launcher", "--template", LAUNCHER, "--base-url", base_url,
                    *(["--key", key] if key else ["--unsigned"]), *options, "--out", out],
                   check=True, capture_output=True)


@pytest.fixture(scope="module", autouse=True)
def own_prefix():
    """Every Wine program of this file (the probe, the checks and prepares) runs in it.
    Made on first use and kept; its wineserver ends with the tests of this file."""
    os.environ["QUILLOMARK_WINEPREFIX"] = str(PREFIX)
    registry_value("ProxyEnable", "REG_DWORD", "0")
    yield
    subprocess.run(["wineserver", "-k"], env={**os.environ, "WINEPREFIX": str(PREFIX)})
    del os.environ["QUILLOMARK_WINEPREFIX"]


@pytest.fixture
def install_dir(install_dir):
    """Installations with the launcher stamped for the slot's test server."""
    def make(*parts, base_url=BASE_URL, key=None):
        installation = install_dir(*parts)
        stamp(installation.path / "quillomark.exe", base_url, key=key)
        return installation

    return make


@pytest.fixture(autouse=True)
def direct():
    yield
    registry_value("ProxyEnable", "REG_DWORD", "0")


class Squid:
    """squid on a port of its own as a forward proxy: caching in memory or not at all,
    and with `sign_in` only for the user USER (basic_ncsa_auth). Its files lie in a
    folder of /tmp that its own user (proxy) may write."""

    def __init__(self, caching=False, sign_in=False):
        self.port = free_port()
        self.work = Path(tempfile.mkdtemp(prefix="quillomark-squid-"))
        self.work.chmod(0o777)
        self.access_log = self.work / "access.log"
        lines = [f"http_port 127.0.0.1:{self.port}", f"pid_filename {self.work}/squid.pid",
                 f"access_log stdio:{self.access_log} squid", f"cache_log {self.work}/cache.log",
                 "cache_store_log none", f"coredump_dir {self.work}", "pinger_enable off",
                 "shutdown_lifetime 0 seconds", "logfile_rotate 0", "cache_effective_user proxy"]
        if sign_in:
            passwords = self.work / "passwords"
            subprocess.run(["htpasswd", "-b", "-c", "-m", passwords, USER, PASSWORD], check=True,
                           capture_output=True)
            passwords.chmod(0o644)
            lines += [f"auth_param basic program /usr/lib/squid/basic_ncsa_auth {passwords}",
                      "auth_param basic realm Kontor", "acl signed_in proxy_auth REQUIRED",
                      "http_access allow signed_in"]
        else:
            lines.append("http_access allow localhost")
        lines.append("http_access deny all")
        # Kept an hour, whatever the server says: without a fresh copy asked for, the
        # second run would get the first master record.
        lines += (["cache_mem 16 MB", "maximum_object_size_in_memory 4 MB",
                   "refresh_pattern . 60 100% 60"] if caching else ["cache deny all"])
        (self.work / "squid.conf").write_text("\n".join(lines) + "\n")
        self.process = subprocess.Popen(["squid", "-N", "-f", self.work / "squid.conf"],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(self.listens, seconds=30)

    def listens(self):
        assert self.process.poll() is None, (self.work / "cache.log").read_text()
        with socket.socket() as client:
            return client.connect_ex(("127.0.0.1", self.port)) == 0

    def stop(self):
        self.process.terminate()
        self.process.wait(30)
        shutil.rmtree(self.work, ignore_errors=True)

    def requests(self):
        """(squid's result code, URL) of each request, in order (not the connections
        that only looked whether it listens)."""
        fields = [line.split() for line in self.access_log.read_text().splitlines()]
        return [(field[3], field[6]) for field in fields if not field[6].startswith("error:")]


@pytest.fixture
def squid():
    started = []

    def start(**options):
        started.append(Squid(**options))
        use_proxy(started[-1].port)
        return started[-1]

    yield start
    for proxy in started:
        proxy.stop()


def publish(site, version, records):
    site.master(version)
    site.version(version, records)


def release_files(installation):
    """What is installed, but the run's log."""
    return {path: content for path, content in installed(installation).items()
            if path != Path("ezo.log")}


def assert_at(folder, version, records):
    for record in records:
        assert (folder / unix_name(record.name)).read_bytes() == record.content, record.name
    assert (folder / "versioninfo.vif").read_bytes() == version_info(version, records)


def test_through_the_system_proxy_a_run_a_check_a_killed_prepare_and_the_setup_work(
        site, squid, probe, install_dir, tmp_path):
    proxy = squid()
    installation = install_dir("Quillo mark")
    publish(site, 1, [APP])
    assert Run(probe, installation).finish() == 0
    assert_at(installation.path, 1, [APP])
    assert proxy.requests()[0][1] == BASE_URL + "masterversion"

    publish(site, 2, [APP, BIG])
    assert check(probe, installation) == (10, "available 2")
    prepare_killed_at_half(probe, site, installation, BIG)
    site.set_rules({})
    sent = site.sent("/2/big.bin")
    assert prepare(installation).wait(120) == 0
    assert site.sent("/2/big.bin") - sent <= len(BIG.content) // 2 + 2 * 65536 + 32
    assert check(probe, installation) == (11, "prepared 2")
    assert Run(probe, installation).finish() == 0
    assert_at(installation.path, 2, [APP, BIG])
    assert [url for _, url in proxy.requests()].count(BASE_URL + "2/big.bin") >= 2

    setup = tmp_path / "Allalaadimised" / "Quillo-Setup.exe"
    setup.parent.mkdir()
    stamp(setup, BASE_URL, "--product", "Quillo võrk", "--version", "1.0.0.0", "--install-dir",
          r"%LOCALAPPDATA%\Programs\Quillo võrk", "--publisher", "Kontor OÜ")
    release = [APP, Record("quillomark.exe", setup.read_bytes())]
    publish(site, 3, release)
    folder = tmp_path / "Quillo võrk"
    probe.start(setup.parent, setup, "--silent", "--install-dir", windows_path(folder))
    assert probe.wait_exit(60000) == 0
    probe.wait_idle(60000)
    assert_at(folder, 3, release)
    assert BASE_URL + "3/versioninfo.vif" in [url for _, url in proxy.requests()]
    probe.start(folder, folder / "quillomark.exe", "--uninstall", "--silent")
    assert probe.wait_exit() == 0


def test_a_caching_proxy_never_hands_out_an_earlier_master_record(site, squid, probe,
                                                                 install_dir):
    proxy = squid(caching=True)
    installation = install_dir("Quillo mark")
    publish(site, 1, [APP])
    assert Run(probe, installation).finish() == 0
    data = Record("data.txt", "teine\r\n".encode())
    publish(site, 2, [APP, data])
    assert Run(probe, installation).finish() == 0
    assert_at(installation.path, 2, [APP, data])
    masters = [code for code, url in proxy.requests() if url == BASE_URL + "masterversion"]
    assert len(masters) == 2 and not [code for code in masters if "HIT" in code], masters


def test_a_proxy_that_asks_for_a_sign_in_gets_it_only_from_the_user(site, squid, probe,
                                                                   install_dir):
    """Without a window nothing is asked and nothing fetched; with it, the system's
    sign-in dialog asks, Cancel there stops the run, and a sign-in there serves the
    whole update. No password lands in a log."""
    proxy = squid(sign_in=True)
    installation = install_dir("Quillo mark")
    installation.install(1, [Record("app.exe", b"old")])
    publish(site, 2, [APP, BIG])
    before = release_files(installation)

    assert check(probe, installation) == (1, "failed proxy sign-in")
    assert prepare(installation).wait(60) == 1
    probe.start(installation.path, installation.path / "quillomark.exe", "--silent")
    assert probe.wait_exit() == 1
    assert probe.history()["visible_windows"] == []
    run = Run(probe, installation)
    probe.must("wait-message", 15000)
    probe.must("click-message", 2)
    probe.wait_text(INFO, PROXY_TEXT)
    run.cancel()
    assert release_files(installation) == before and installation.starts() == []
    assert site.requests() == []
    assert {code for code, _ in proxy.requests()} == {"TCP_DENIED/407"}
    sign_in_line = f"Proxy 127.0.0.1:{proxy.port} asks for a sign-in (HTTP 407)"
    for log in ("ezo.log", "ezo-prepare.log"):
        assert sign_in_line in (installation.path / log).read_text("utf-8"), log

    # Asked once: a second dialog (a worker's download) would hold the run.
    run = Run(probe, installation)
    probe.must("wait-message", 15000)
    probe.must("click-message", 1, USER, PASSWORD)
    assert run.finish(60000) == 0
    assert_at(installation.path, 2, [APP, BIG])
    assert len(installation.starts()) == 1
    for path in installation.path.rglob("*"):
        assert not path.is_file() or PASSWORD.encode() not in path.read_bytes(), path


def timed_check(probe, installation):
    installation.install(1, [Record("app.exe", b"old")])
    started = time.monotonic()
    answer = check(probe, installation)
    return answer, time.monotonic() - started


def test_a_proxy_that_cannot_be_reached_is_a_server_that_cannot_be_reached(probe, install_dir):
    closed = free_port()
    unreachable = install_dir("otse", base_url=f"http://127.0.0.1:{closed}/download/")
    answer, direct_time = timed_check(probe, unreachable)
    assert answer == (1, "failed no answer")
    use_proxy(closed)
    installation = install_dir("puhverserveriga")
    answer, proxy_time = timed_check(probe, installation)
    assert answer == (1, "failed no answer")
    assert proxy_time < direct_time + 5, (proxy_time, direct_time)
    run = Run(probe, installation)
    probe.wait_text(INFO, NOT_RECEIVED)
    run.cancel()


@pytest.mark.parametrize("portal", ["page", "redirect"])
def test_a_sign_in_page_in_place_of_the_server_changes_nothing(site, probe, install_dir, portal):
    """A launcher without a key reads the page as a damaged record, one with a key
    refuses it as unsigned."""
    site.set_rules({"*": f"portal={portal}"})
    for key, answer, text in [(None, "failed damaged record", VERSION_FAILED),
                              ("ab" * 32, "failed refused signature", NOT_RECEIVED)]:
        installation = install_dir(f"Quillo {answer}", key=key)
        installation.install(1, [Record("app.exe", b"old")])
        before = release_files(installation)
        assert check(probe, installation) == (1, answer)
        run = Run(probe, installation)
        probe.wait_text(INFO, text)
        run.cancel()
        assert release_files(installation) == before and installation.starts() == []
        assert not (installation.path / "Temp").exists()


@pytest.fixture
def ipv6_only(tmp_path, site):
    port = free_port()
    nginx = Nginx(tmp_path / "nginx", [f"server {{\n listen [::1]:{port};\n"
                                       f" {serve_tree(site.download)}\n}}"])
    yield port
    nginx.stop()


def test_a_base_url_on_ipv6_installs_and_prepares(site, probe, install_dir, ipv6_only):
    installation = install_dir("Quillo mark", base_url=f"http://[::1]:{ipv6_only}/download/")
    publish(site, 1, [APP])
    assert Run(probe, installation).finish() == 0
    assert_at(installation.path, 1, [APP])
    publish(site, 2, [APP, BIG])
    assert prepare(installation).wait(120) == 0
    assert check(probe, installation) == (11, "prepared 2")
    assert Run(probe, installation).finish() == 0
    assert_at(installation.path, 2, [APP, BIG])
