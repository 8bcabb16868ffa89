"""The module entry, the error boundary, the asyncio bridge and the agent process."""

import asyncio
import gc
import os
import subprocess
import sys
import textwrap
import types
from pathlib import Path

import pytest

import palisk_sdk._palisk_sdk as m
from palisk_sdk import exceptions

CLASSES = [
    "Capabilities", "MessageRole", "ContentType", "ContentBlock", "Message", "UpdateKind", "SessionUpdate",
    "ClientConfig", "ToolDefinition", "PermissionRequest", "PermissionResponse", "ResultMessage", "StreamEvent",
    "ControlMessage", "ControlResponse", "NativeControlProtocol",
    "NativeClient", "NativeToolRegistry", "HookType", "NativeHookDispatcher",
    "ProxyConfig", "NativeProxyChain",
]  # fmt: skip


def test_import_surface():
    assert m.__version__ == "0.1.0"
    assert m.__doc__ == "The native extension module, importable as `palisk_sdk._palisk_sdk`."
    classes = [k for k, v in vars(m).items() if isinstance(v, type)]
    assert classes == CLASSES
    assert Path(m.__file__).name == "_palisk_sdk.abi3.so"


# kind number, class name, display text for the message "m"
KINDS = [
    (0, "ConnectionError", "connection error: m"),
    (1, "SessionError", "session error: m"),
    (2, "TransportError", "transport error: m"),
    (3, "ProtocolError", "protocol error: m"),
    (4, "ToolError", "tool error: m"),
    (5, "HookError", "hook error: m"),
    (6, "ProxyError", "proxy error: m"),
    (7, "TimeoutError", "timeout: m"),
    (8, "PermissionError", "permission denied: m"),
    (9, "CancelledError", "cancelled"),
    (10, "PaliskError", "m"),
]


@pytest.mark.parametrize("kind,name,text", KINDS)
async def test_error_conversion(kind, name, text):
    cls = getattr(exceptions, name)
    with pytest.raises(cls) as sync:
        m._testing.raise_error(kind, "m")
    # The same conversion, made on a runtime thread and delivered to this loop.
    with pytest.raises(cls) as later:
        await m._testing.error_later(kind, "m")
    for info in (sync, later):
        assert type(info.value) is cls and info.value.args == (text,)
        assert info.value.__cause__ is None and info.value.__context__ is None
    assert issubclass(cls, exceptions.PaliskError)
    assert not issubclass(cls, asyncio.CancelledError)


def test_error_conversion_falls_back_to_runtime_error(monkeypatch):
    stripped = types.ModuleType("palisk_sdk.exceptions")
    stripped.SessionError = exceptions.SessionError  # present: still used
    monkeypatch.setitem(sys.modules, "palisk_sdk.exceptions", stripped)
    with pytest.raises(RuntimeError) as info:
        m._testing.raise_error(3, "m")
    assert type(info.value) is RuntimeError and info.value.args == ("protocol error: m",)
    assert info.value.__context__ is None
    with pytest.raises(exceptions.SessionError):
        m._testing.raise_error(1, "m")

    def broken(_text):
        raise ValueError("constructor fails")

    stripped.SessionError = broken
    with pytest.raises(RuntimeError) as info:
        m._testing.raise_error(1, "m")
    assert info.value.args == ("session error: m",) and info.value.__context__ is None


def test_awaitable_without_running_loop_starts_nothing():
    before = m._testing.cancelled_sleeps()
    with pytest.raises(RuntimeError, match="no running event loop"):
        m._testing.sleep(0)
    with pytest.raises(RuntimeError, match="no running event loop"):
        m._testing.ready(1)
    assert m._testing.cancelled_sleeps() == before


async def test_results_and_exceptions_arrive_on_the_callers_loop():
    loop = asyncio.get_running_loop()
    obj = object()
    fut = m._testing.echo(obj)
    assert isinstance(fut, asyncio.Future) and fut.get_loop() is loop
    assert await fut is obj
    ready = m._testing.ready(obj)
    assert ready.done(), "an immediate result completes on the calling thread"
    assert await ready is obj
    with pytest.raises(RuntimeError, match="^boom$"):
        await m._testing.throw_native("boom")


async def test_cancelling_a_wait_drops_the_native_work():
    before = m._testing.cancelled_sleeps()
    task = asyncio.ensure_future(m._testing.sleep(30))
    await asyncio.sleep(0.05)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    for _ in range(100):
        if m._testing.cancelled_sleeps() > before:
            break
        await asyncio.sleep(0.01)
    assert m._testing.cancelled_sleeps() == before + 1
    # Still usable afterwards.
    assert await asyncio.wait_for(m._testing.echo(7), 5) == 7


async def test_many_concurrent_awaitables():
    values = list(range(200))
    assert await asyncio.gather(*(m._testing.echo(v) for v in values)) == values


async def test_python_awaitable_from_native_work():
    async def ok():
        await asyncio.sleep(0.01)
        return "value"

    async def fails():
        raise KeyError("k")

    async def cancelled():
        raise asyncio.CancelledError

    assert await m._testing.await_on_loop(ok()) == "value"
    with pytest.raises(KeyError):
        await m._testing.await_on_loop(fails())
    with pytest.raises(asyncio.CancelledError):
        await m._testing.await_on_loop(cancelled())
    fut = asyncio.get_running_loop().create_future()
    asyncio.get_running_loop().call_later(0.01, fut.set_result, 5)
    assert await m._testing.await_on_loop(fut) == 5
    with pytest.raises(TypeError):
        await m._testing.await_on_loop(42)  # not awaitable


async def test_references_released_after_native_work():
    class Probe:
        pass

    probe = Probe()
    base = sys.getrefcount(probe)
    for _ in range(50):
        assert await m._testing.echo(probe) is probe
        assert await m._testing.ready(probe) is probe
    for _ in range(20):
        gc.collect()
        if sys.getrefcount(probe) == base:
            break
        await asyncio.sleep(0.01)
    assert sys.getrefcount(probe) == base


# ---------------------------------------------------------------- the agent process


async def test_process_cwd_env_and_pipes(tmp_path, monkeypatch):
    monkeypatch.setenv("PALISK_KEEP", "kept")
    monkeypatch.setenv("PALISK_OVERRIDE", "host")
    script = 'cat; echo "$PALISK_KEEP $PALISK_OVERRIDE"; pwd; echo to-stderr >&2'
    pid, out = await m._testing.run_agent(
        ["sh", "-c", script], cwd=str(tmp_path), env={"PALISK_OVERRIDE": "agent"}, input=b"hello\n"
    )
    assert out.decode().splitlines() == ["hello", "kept agent", str(tmp_path)]
    assert not Path(f"/proc/{pid}").exists(), "killed and reaped"


def test_process_stderr_goes_to_host_stderr(tmp_path):
    code = textwrap.dedent(
        """
        import asyncio, palisk_sdk._palisk_sdk as m
        async def main():
            return await m._testing.run_agent(["sh", "-c", "echo agent-says-hi >&2; echo out"])
        pid, out = asyncio.run(main())
        print("stdout:", out.decode().strip())
        """
    )
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30)
    assert r.returncode == 0, r.stderr
    assert "agent-says-hi" in r.stderr and "agent-says-hi" not in r.stdout
    assert "stdout: out" in r.stdout


@pytest.mark.parametrize(
    "command,cwd,message",
    [
        ([], None, "connection error: agent command must not be empty"),
        (["/no/such/program"], None, "connection error: failed to spawn agent: No such file or directory (os error 2)"),
        (["palisk-no-such-program-xyz"], None, "connection error: failed to spawn agent: No such file or directory (os error 2)"),
        (["true"], "/no/such/dir", "connection error: failed to spawn agent: working directory /no/such/dir: "),
    ],
)
async def test_spawn_errors(command, cwd, message):
    with pytest.raises(exceptions.ConnectionError) as info:
        await m._testing.run_agent(command, cwd=cwd)
    assert info.value.args[0].startswith(message)


async def test_kill_after_exit_and_no_zombie():
    # The child exits by itself before the kills; both kills succeed and it is reaped.
    pid, out = await m._testing.run_agent(["sh", "-c", "exit 3"])
    assert out == b"" and not Path(f"/proc/{pid}").exists()


async def test_dropped_agent_is_reaped_in_background():
    pid = await m._testing.spawn_agent(["sh", "-c", "cat >/dev/null"])
    # Its stdin closed when the process was dropped, so it exits; the conftest guard then
    # checks that nothing (not even a zombie) is left.
    assert pid > 0


def test_interpreter_exit_with_live_native_work():
    code = textwrap.dedent(
        """
        import asyncio, palisk_sdk._palisk_sdk as m
        async def main():
            asyncio.ensure_future(m._testing.sleep(60))
            for _ in range(50):
                asyncio.ensure_future(m._testing.echo(object()))
            await asyncio.sleep(0)
            print("leaving")
        loop = asyncio.new_event_loop()
        loop.run_until_complete(main())
        # exit with the loop still open and native work pending
        """
    )
    for _ in range(3):
        r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        assert r.returncode == 0, r.stderr
        assert "leaving" in r.stdout
