"""Fixtures of the end-to-end tests. One test file runs in one slot: its own
launcher build, server port and work directory (see CMakeLists.txt), so files run
in parallel; the tests of one file run one after another."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

from harness import WORK, Installation, Probe, Site, SlotServer  # noqa: E402


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    if call.when == "call":
        item.call_failed = outcome.get_result().failed


@pytest.fixture(scope="module")
def server():
    started = SlotServer()
    yield started
    started.stop()


@pytest.fixture
def site(server):
    """An empty server tree and no rules."""
    return Site(server.root, server.state)


@pytest.fixture(scope="module")
def probe():
    WORK.mkdir(parents=True, exist_ok=True)
    started = Probe(WORK / "probe-stderr.txt")
    yield started
    started.close()


@pytest.fixture
def install_dir(request, tmp_path, probe, site):
    """Makes installation directories below this test's own directory. After a
    failed test it prints what the windows showed, the logs and the requests."""
    made = []

    def make(*parts):
        made.append(Installation(tmp_path.joinpath(*parts)))
        return made[-1]

    yield make
    if getattr(request.node, "call_failed", False):
        print("window history:", probe.history())
        print("requests:", site.requests())
        for installation in made:
            log = installation.path / "ezo.log"
            print(f"--- {log}\n" + (log.read_text("utf-8") if log.exists() else "(none)"))
