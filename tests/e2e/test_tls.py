"""HTTPS: a launcher whose base URL is https://localhost:PORT/ installs and updates
from nginx with a certificate that the Wine prefix trusts, also through a redirect
to another https:// server, and refuses every certificate that Windows would not
trust for that host today and every redirect to plain http://, changing nothing
and starting nothing."""

import random
import re

import pytest

from harness import INFO, PORT, TESTAPP, WORK, Record, Run, Site, bsdiff, version_info
from tls import (EXPIRED, NOT_YET_VALID, Authority, Nginx, ServerCertificates, free_port,
                 http_server, https_server, redirect_to, serve_tree)

NOT_RECEIVED = "Põhiversiooni info allalaadimine ebaõnnestus!"


def files_of(installation):
    return {path: path.read_bytes() for path in installation.path.rglob("*")
            if path.is_file() and path.name != "ezo.log"}


def version_1():
    return [Record("app.exe", TESTAPP.read_bytes(), compressed=True),
            Record("data.bin", random.Random(1).randbytes(100_000))]


def version_2():
    data = bytearray(version_1()[1].content)
    data[500:600] = bytes(100)
    return [Record("app.exe", TESTAPP.read_bytes(), compressed=True),
            Record("data.bin", bytes(data)), Record("new.txt", b"uus\r\n")]


@pytest.fixture(scope="module")
def certificates(probe):
    authority = Authority(WORK / "authority")
    probe.must("trust-ca", "Z:" + str(authority.der_path).replace("/", "\\"))
    return ServerCertificates(WORK / "certificates", authority)


@pytest.fixture
def site(tmp_path):
    """The tree that nginx serves; no test server of the slot's own."""
    state = tmp_path / "state"
    state.mkdir()
    return Site(tmp_path / "root", state)


@pytest.fixture
def serve(tmp_path, site, certificates):
    """Starts nginx: serve(certificate) serves the tree on the launcher's address;
    serve(first, redirected=certificate) answers there with a redirect to
    https://localhost on another port, which serves the tree with the certificate,
    and with through_http=True it leads there through a plain http://127.0.0.1."""
    started = []

    def start(certificate, redirected=None, through_http=False):
        if started:
            started[-1].stop()
        key = certificates.key_path
        if redirected is None:
            servers = [https_server(PORT, certificate, key, serve_tree(site.download))]
        else:
            final = free_port()
            servers = [https_server(final, redirected, key, serve_tree(site.download))]
            target = f"https://localhost:{final}"
            if through_http:
                plain = free_port()
                servers.append(http_server(plain, redirect_to(target)))
                target = f"http://127.0.0.1:{plain}"
            servers.append(https_server(PORT, certificate, key, redirect_to(target)))
        started.append(Nginx(tmp_path / f"nginx{len(started)}", servers))
        return started[-1]

    yield start
    if started:
        started[-1].stop()


def test_a_trusted_certificate_installs_and_updates_also_through_a_redirect(
        site, serve, certificates, probe, install_dir, tmp_path):
    trusted = certificates.make("trusted")
    installation = install_dir("Quillo mark")
    site.master(1)
    site.version(1, version_1())
    serve(trusted)
    assert Run(probe, installation).finish() == 0
    assert len(installation.starts()) == 1

    site.master(2, patches=["1_2"])
    site.version(2, version_2())
    site.patch_set(1, 2, {"data.bin": bsdiff(version_1()[1].content, version_2()[1].content,
                                             tmp_path / "patch")})
    redirected = serve(trusted, redirected=trusted)
    assert Run(probe, installation).finish() == 0
    assert len(installation.starts()) == 2
    for record in version_2():
        assert installation.file(record.name).read_bytes() == record.content, record.name
    assert (installation.path / "versioninfo.vif").read_bytes() == version_info(2, version_2())
    assert "/download/1_2/data.bin" in redirected.requests()
    assert "/download/2/data.bin" not in redirected.requests()


def refused_run(probe, installation):
    """Version 2 is offered to an installation of version 1, and the master record
    never arrives: the run stops with its text, changing nothing, starting nothing.
    Returns the log."""
    before = files_of(installation)
    run = Run(probe, installation)
    probe.wait_text(INFO, NOT_RECEIVED)
    log = run.cancel()
    assert installation.starts() == []
    assert files_of(installation) == before
    return log


# How each certificate is made, and the WinINet error of its refusal.
REFUSED = {
    "self-signed": (dict(self_signed=True), 12045),
    "another host": (dict(host="evil.example"), 12038),
    "expired": (dict(validity=EXPIRED), 12037),
    "not yet valid": (dict(validity=NOT_YET_VALID), 12037),
}


@pytest.mark.parametrize("redirected", [False, True], ids=["direct", "redirected"])
@pytest.mark.parametrize("fault", REFUSED)
def test_a_certificate_windows_does_not_trust_is_refused(
        fault, redirected, site, serve, certificates, probe, install_dir):
    installation = install_dir("Quillo mark")
    installation.install(1, version_1())
    site.master(2)
    site.version(2, version_2())
    made_with, error = REFUSED[fault]
    refused = certificates.make(fault.replace(" ", "-"), **made_with)
    if redirected:
        serve(certificates.make("trusted"), redirected=refused)
    else:
        serve(refused)

    log = refused_run(probe, installation)
    failures = [text for text in log.texts() if text.startswith("Transfer Exception: ")]
    assert failures == [f"Transfer Exception: HTTP send request failed (WinINet error {error})"]


def test_a_redirect_to_plain_http_is_refused(site, serve, certificates, probe, install_dir):
    """A plain hop could send the launcher to any host with a certificate of its own:
    the launcher never asks it, even when it would lead back to https://."""
    installation = install_dir("Quillo mark")
    installation.install(1, version_1())
    site.master(2)
    site.version(2, version_2())
    trusted = certificates.make("trusted")
    nginx = serve(trusted, redirected=trusted, through_http=True)

    log = refused_run(probe, installation)
    refusals = [text for text in log.texts() if text.startswith("Refused redirect from ")]
    assert refusals and all(
        re.fullmatch(rf"Refused redirect from https://localhost:{PORT}/download/masterversion "
                     r"to http://127\.0\.0\.1:\d+/download/masterversion", text)
        for text in refusals), refusals
    failures = [text for text in log.texts() if text.startswith("Transfer Exception: ")]
    assert failures == ["Transfer Exception: Redirect from https to http refused"]
    assert nginx.requests() == ["/download/masterversion"] * len(refusals)
