"""Shared test fixtures.

Every async test runs with a guard that fails it if the event loop's exception handler was
called (an exception nobody awaited, a callback that raised, a future completed twice), and
every test checks that it left no child process behind, running or unreaped.
"""

import asyncio
import os
import sys
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

REPO = Path(__file__).resolve().parents[1]
ACP_DIR = REPO.parent / "shared" / "acp"


def pytest_addoption(parser):
    parser.addoption("--run-slow", action="store_true", help="run tests that wait for real time-outs")


def pytest_collection_modifyitems(config, items):
    if config.getoption("--run-slow"):
        return
    skip = pytest.mark.skip(reason="slow: needs --run-slow")
    for item in items:
        if "slow" in item.keywords:
            item.add_marker(skip)


def children() -> dict[int, str]:
    """Child processes of this process: pid -> state letter (Z for an unreaped one)."""
    me = os.getpid()
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            stat = Path(f"/proc/{entry}/stat").read_text()
        except OSError:
            continue
        rest = stat.rsplit(")", 1)[1].split()
        if int(rest[1]) == me:
            found[int(entry)] = rest[0]
    return found


def wait_no_children(timeout: float = 5.0) -> dict[int, str]:
    deadline = time.monotonic() + timeout
    left = children()
    while left and time.monotonic() < deadline:
        time.sleep(0.02)
        left = children()
    return left


@pytest.fixture(autouse=True)
def no_child_left():
    before = set(children())
    yield
    left = {pid: st for pid, st in wait_no_children().items() if pid not in before}
    assert not left, f"test left child processes behind (pid: state): {left}"


@pytest.fixture(autouse=True)
async def loop_error_guard():
    loop = asyncio.get_running_loop()
    calls = []
    loop.set_exception_handler(lambda _loop, context: calls.append(context))
    yield
    # Let callbacks that were already scheduled run before judging.
    for _ in range(3):
        await asyncio.sleep(0)
    assert not calls, f"the event loop's exception handler was called: {calls}"


@pytest.fixture
def native():
    import palisk_sdk._palisk_sdk as m

    return m


@pytest.fixture
def agent(tmp_path):
    """make(steps, **config) -> (NativeClient for a fake agent running `steps`, its record path)."""
    import palisk_sdk._palisk_sdk as m
    from agent_scenarios import write_scenario

    def make(steps, **config):
        command, record = write_scenario(tmp_path, steps)
        return m.NativeClient(m.ClientConfig(command, **config)), record

    return make
