"""NativeToolRegistry: registration, invocation by name with JSON input, error pass-through and
the release of callback references."""

import asyncio
import gc
import json
import sys
import threading
import weakref

import pytest

import palisk_sdk._palisk_sdk as m
from palisk_sdk import exceptions


def tool(name):
    return m.ToolDefinition(name, "a tool", '{"type": "object"}')


async def test_register_replace_unregister():
    reg = m.NativeToolRegistry()
    assert await reg.list_tools() == []
    first, second = [], []

    async def one(**kw):
        first.append(kw)

    async def two(**kw):
        second.append(kw)
        return "second"

    await reg.register(tool("t"), one)
    await reg.register(tool("u"), one)
    await reg.register(tool("t"), two)
    assert sorted(await reg.list_tools()) == ["t", "u"]
    assert await reg.invoke("t", "{}") == "second"
    assert first == [] and second == [{}]
    assert await reg.unregister("t") is None
    assert await reg.unregister("never registered") is None
    assert await reg.list_tools() == ["u"]


@pytest.mark.parametrize(
    "input_json,kwargs",
    [
        ("{}", {}),
        ('{"path": "/tmp/x"}', {"path": "/tmp/x"}),
        ('{"a": [1, {"b": null}], "n": 2.5}', {"a": [1, {"b": None}], "n": 2.5}),
    ],
)
async def test_input_members_become_keyword_arguments(input_json, kwargs):
    seen = []

    async def cb(**kw):
        seen.append(kw)

    reg = m.NativeToolRegistry()
    await reg.register(tool("t"), cb)
    await reg.invoke("t", input_json)
    assert seen == [kwargs]


@pytest.mark.parametrize(
    "value,text",
    [
        ("ok", "ok"),  # a str is the answer itself, not its JSON form
        ('"quoted"', '"quoted"'),
        ({"a": 1}, '{"a": 1}'),  # json.dumps spacing
        (None, "null"),
        ([1, "x", True], '[1, "x", true]'),
        (1.5, "1.5"),
        ({"é": "ü"}, '{"\\u00e9": "\\u00fc"}'),
    ],
)
async def test_invoke_results(value, text):
    async def cb():
        return value

    reg = m.NativeToolRegistry()
    await reg.register(tool("t"), cb)
    result = await reg.invoke("t", "{}")
    assert type(result) is str and result == text


async def test_awaitables_other_than_coroutines():
    # The callback is called on a runtime thread: the future is made and completed on the loop.
    loop = asyncio.get_running_loop()
    fut = loop.create_future()
    loop.call_later(0.01, fut.set_result, {"done": True})
    reg = m.NativeToolRegistry()
    await reg.register(tool("t"), lambda: fut)
    assert await reg.invoke("t", "{}") == '{"done": true}'


class Boom(Exception):
    pass


def sync_raise():
    raise Boom("in the call")


async def async_raise():
    raise Boom("in the coroutine")


def not_awaitable():
    return 42


async def unserialisable():
    return object()


@pytest.mark.parametrize(
    "name,callback,input_json,exc,text",
    [
        ("other", async_raise, "{}", exceptions.ToolError, "tool error: tool not found: t"),
        ("t", async_raise, "{not json", json.JSONDecodeError, None),
        ("t", async_raise, "[1]", TypeError, "'list' object cannot be converted to 'PyDict'"),
        ("t", async_raise, '"text"', TypeError, "'str' object cannot be converted to 'PyDict'"),
        ("t", sync_raise, "{}", Boom, "in the call"),
        ("t", async_raise, "{}", Boom, "in the coroutine"),
        ("t", async_raise, '{"unexpected": 1}', TypeError, None),
        ("t", not_awaitable, "{}", TypeError, "tool 't' returned a non-awaitable 'int' object"),
        ("t", unserialisable, "{}", TypeError, "Object of type object is not JSON serializable"),
    ],
)
async def test_invoke_errors(name, callback, input_json, exc, text):
    reg = m.NativeToolRegistry()
    await reg.register(tool(name), callback)
    with pytest.raises(exc) as info:
        await reg.invoke("t", input_json)
    assert type(info.value) is exc
    if text is not None:
        assert info.value.args == (text,)
    # The registry is unchanged and still usable.
    assert await reg.list_tools() == [name]


async def test_callback_exception_passes_through_unchanged():
    raised = []

    async def cb():
        e = Boom("mine")
        raised.append(e)
        raise e

    reg = m.NativeToolRegistry()
    await reg.register(tool("t"), cb)
    with pytest.raises(Boom) as info:
        await reg.invoke("t", "{}")
    assert info.value is raised[0]


async def test_argument_errors_raise_at_the_call():
    reg = m.NativeToolRegistry()
    with pytest.raises(TypeError, match="argument 'definition'.*'str' object cannot be converted to 'ToolDefinition'"):
        reg.register("t", async_raise)
    with pytest.raises(TypeError, match="argument 'name'"):
        reg.invoke(1, "{}")
    with pytest.raises(TypeError, match="argument 'input_json'"):
        reg.invoke("t", {})
    with pytest.raises(TypeError, match="argument 'name'"):
        reg.unregister(None)
    # Registration takes any object, callable or not; only invoking it fails.
    await reg.register(tool("t"), 5)
    with pytest.raises(TypeError):
        await reg.invoke("t", "{}")


async def test_lock_is_not_held_while_the_tool_runs():
    started, release = asyncio.Event(), asyncio.Event()
    threads = []

    def cb(**kw):
        threads.append(threading.get_ident())

        async def body():
            assert asyncio.get_running_loop() is loop
            started.set()
            await release.wait()
            return kw

        return body()

    loop = asyncio.get_running_loop()
    reg = m.NativeToolRegistry()
    await reg.register(tool("slow"), cb)
    running = [asyncio.ensure_future(reg.invoke("slow", f'{{"n": {i}}}')) for i in range(2)]
    await asyncio.wait_for(started.wait(), 5)
    # Both invocations are in flight; the registry stays usable, even for removing the tool.
    await asyncio.wait_for(reg.unregister("slow"), 5)
    assert await reg.list_tools() == []
    release.set()
    assert await asyncio.wait_for(asyncio.gather(*running), 5) == ['{"n": 0}', '{"n": 1}']
    # The call itself happens on a runtime thread; only the coroutine body runs on this loop.
    assert threading.get_ident() not in threads


async def test_callback_references_are_released():
    async def cb(**kw):
        if kw:
            raise Boom("fail")
        return 1

    base = sys.getrefcount(cb)
    reg = m.NativeToolRegistry()
    await reg.register(tool("a"), cb)
    await reg.register(tool("b"), cb)
    assert sys.getrefcount(cb) == base + 2
    await reg.register(tool("a"), cb)  # replacing drops the old reference
    assert sys.getrefcount(cb) == base + 2
    for name, input_json in [("a", '{"x": 1}'), ("a", "[1]"), ("a", "nope"), ("zz", "{}")]:
        with pytest.raises(Exception):
            await reg.invoke(name, input_json)
    assert await reg.invoke("b", "{}") == "1"
    assert sys.getrefcount(cb) == base + 2
    await reg.unregister("a")
    await reg.unregister("b")
    assert sys.getrefcount(cb) == base

    # Freeing the registry frees its callbacks, also when they refer back to it.
    class Owner:
        def __init__(self):
            self.registry = m.NativeToolRegistry()

        async def handle(self):
            return None

    plain = Owner()
    await plain.registry.register(tool("t"), cb)
    del plain.registry
    assert sys.getrefcount(cb) == base
    owner = Owner()
    await owner.registry.register(tool("t"), owner.handle)
    gone = weakref.ref(owner)
    del owner
    gc.collect()
    assert gone() is None
