"""The one abi3 build imports and works on every CPython 3.10+ found on this machine."""

import glob
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import palisk_sdk._palisk_sdk as m

SCRIPT = textwrap.dedent(
    """
    import asyncio, sys
    import palisk_sdk._palisk_sdk as m
    from palisk_sdk import exceptions
    assert m.__version__ == "0.1.0"
    # Comparisons return new references to True/False/NotImplemented on every version.
    for _ in range(20000):
        assert m.UpdateKind.Done == 11 and not (m.UpdateKind.Done != 11)
        assert m.ContentType.ToolUse.__eq__(m.MessageRole.Assistant) is NotImplemented
    u = m.SessionUpdate(m.UpdateKind.TextDelta, text="x\\u200d")
    assert repr(u) == "SessionUpdate(kind=TextDelta)" and u.text == "x\\u200d"
    async def main():
        assert await m._testing.echo(5) == 5
        try:
            await m._testing.error_later(3, "m")
        except exceptions.ProtocolError as e:
            assert e.args == ("protocol error: m",)
        reg = m.NativeToolRegistry()
        async def tool(**kw):
            return kw
        await reg.register(m.ToolDefinition("t", "d", "{}"), tool)
        assert await reg.invoke("t", '{"a": 1}') == '{"a": 1}'
    asyncio.run(main())
    print("ok", sys.version_info[:2])
    """
)


def interpreters():
    found = {}
    for path in sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.*/bin/python3.*"))):
        name = Path(path).name
        if name.count(".") == 1 and name[len("python3."):].isdigit() and int(name[len("python3."):]) >= 10:
            found.setdefault(name, path)
    return sorted(found.values())


def test_abi3_tag():
    assert m.__file__.endswith(".abi3.so")


@pytest.mark.parametrize("python", interpreters() or [pytest.param(None, marks=pytest.mark.skip("no other CPython"))])
def test_same_build_on_each_interpreter(python):
    pkg = Path(m.__file__).resolve().parent.parent
    env = dict(os.environ, PYTHONPATH=str(pkg))
    r = subprocess.run([python, "-c", SCRIPT], capture_output=True, text=True, timeout=120, env=env)
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith("ok")
