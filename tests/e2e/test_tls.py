"""HTTPS: a launcher whose base URL is https://localhost:PORT/ installs and updates
from nginx with a certificate that the Wine prefix trusts, also through redirects
to http:// and back, and refuses every certificate that Windows would not trust for
that host today, changing nothing and starting nothing."""

import random

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
    serve(first, through_http=certificate) answers there with a redirect to plain
    http://127.0.0.1, which redirects to https://localhost with the certificate."""
    started = []

    def start(certificate, through_http=None):
        if started:
            started[-1].stop()
        key = certificates.key_path
        if through_http is None:
            servers = [https_server(PORT, certificate, key, serve_tree(site.download))]
        else:
            plain, final = free_port(), free_port()
            servers = [https_server(PORT, certificate, key, redirect_to(f"http://127.0.0.1:{plain}")),
                       http_server(plain, redirect_to(f"https://localhost:{final}")),
                       https_server(final, through_http, key, serve_tree(site.download))]
        started.append(Nginx(tmp_path / f"nginx{len(started)}", servers))
        return started[-1]

    yield start
    if started:
        started[-1].stop()


def test_a_trusted_certificate_installs_and_updates_also_through_http(
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
    redirected = serve(trusted, through_http=trusted)
    assert Run(probe, installation).finish() == 0
    assert len(installation.starts()) == 2
    for record in version_2():
        assert installation.file(record.name).read_bytes() == record.content, record.name
    assert (installation.path / "versioninfo.vif").read_bytes() == version_info(2, version_2())
    assert "/download/1_2/data.bin" in redirected.requests()
    assert "/download/2/data.bin" not in redirected.requests()


# How each certificate is made, and the WinINet error of its refusal.
REFUSED = {
    "self-signed": (dict(self_signed=True), 12045),
    "another host": (dict(host="evil.example"), 12038),
    "expired": (dict(validity=EXPIRED), 12037),
    "not yet valid": (dict(validity=NOT_YET_VALID), 12037),
}


@pytest.mark.parametrize("through_http", [False, True], ids=["direct", "through http"])
@pytest.mark.parametrize("fault", REFUSED)
def test_a_certificate_windows_does_not_trust_is_refused(
        fault, through_http, site, serve, certificates, probe, install_dir):
    installation = install_dir("Quillo mark")
    installation.install(1, version_1())
    before = files_of(installation)
    site.master(2)
    site.version(2, version_2())
    made_with, error = REFUSED[fault]
    refused = certificates.make(fault.replace(" ", "-"), **made_with)
    if through_http:
        serve(certificates.make("trusted"), through_http=refused)
    else:
        serve(refused)

    run = Run(probe, installation)
    probe.wait_text(INFO, NOT_RECEIVED)
    log = run.cancel()
    failures = [text for text in log.texts() if text.startswith("Transfer Exception: ")]
    assert failures == [f"Transfer Exception: HTTP send request failed (WinINet error {error})"]
    assert installation.starts() == []
    assert files_of(installation) == before
