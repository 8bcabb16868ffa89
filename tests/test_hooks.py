"""NativeHookDispatcher: priority order, the JSON context threaded through the hooks of one type,
skipped failures, the lock held across a dispatch, and the release of callback references."""

import asyncio
import gc
import sys
import weakref

import pytest

import palisk_sdk._palisk_sdk as m

Pre, Post = m.HookType.PreToolUse, m.HookType.PostToolUse


def recorder(log, tag, result=None):
    def hook(ctx):
        log.append((tag, ctx))
        return result

    return hook


@pytest.mark.parametrize("context", ['{"b": 1,"a":2}', "not json at all", ""])
async def test_no_hooks_returns_the_text_as_given(context):
    d = m.NativeHookDispatcher()
    await d.register(Post, recorder([], "other", {"x": 1}))
    assert await d.dispatch(Pre, context) == context


async def test_invalid_context_fails_every_hook():
    log = []
    d = m.NativeHookDispatcher()
    await d.register(Pre, recorder(log, "h", {"x": 1}))
    assert await d.dispatch(Pre, "{oops") == "{oops"
    assert log == []


async def test_priority_order_is_stable():
    log = []
    d = m.NativeHookDispatcher()
    for tag, prio in [("a", 0), ("b", 10), ("c", -5), ("d", 0), ("e", -2147483648), ("f", 2147483647)]:
        await d.register(Pre, recorder(log, tag), prio)
    await d.register(Pre, recorder(log, "g"))  # default priority 0, after a and d
    await d.dispatch(Pre, "{}")
    assert [tag for tag, _ in log] == ["e", "c", "a", "d", "g", "b", "f"]

    # Enough ties that an unstable sort would show.
    log.clear()
    await d.clear(Pre)
    prios = [(i * 7) % 5 - 2 for i in range(60)]
    for i, prio in enumerate(prios):
        await d.register(Pre, recorder(log, i), prio)
    await d.dispatch(Pre, "{}")
    assert [tag for tag, _ in log] == sorted(range(60), key=lambda i: prios[i])


async def test_context_threading():
    seen = []

    def in_place(ctx):
        seen.append(dict(ctx))
        ctx["lost"] = True  # not returned: nobody sees it

    def add_key(ctx):
        seen.append(dict(ctx))
        return {**ctx, "a": 1}

    def fails(ctx):
        seen.append(dict(ctx))
        ctx["half"] = "done"
        raise ValueError("skipped")

    async def async_add(ctx):
        seen.append(dict(ctx))
        await asyncio.sleep(0)
        return {**ctx, "b": [1, 2]}

    d = m.NativeHookDispatcher()
    for prio, hook in enumerate([in_place, add_key, fails, async_add, in_place]):
        await d.register(Pre, hook, prio)
    result = await d.dispatch(Pre, '{"start":0}')
    assert result == '{"start": 0, "a": 1, "b": [1, 2]}'
    assert seen == [
        {"start": 0},
        {"start": 0},
        {"start": 0, "a": 1},
        {"start": 0, "a": 1},  # the failed hook's in-place change is gone
        {"start": 0, "a": 1, "b": [1, 2]},
    ]


@pytest.mark.parametrize(
    "value,text",
    [
        ({"a": 1}, '{"a": 1}'),
        ([1, "x"], '[1, "x"]'),
        ("s", '"s"'),
        (3, "3"),
        (False, "false"),
        ({"é": 1}, '{"\\u00e9": 1}'),
    ],
)
async def test_any_json_value_replaces_the_context(value, text):
    received = []
    d = m.NativeHookDispatcher()
    await d.register(Pre, lambda ctx: value)
    await d.register(Pre, recorder(received, "next"), 1)
    assert await d.dispatch(Pre, "{}") == text
    assert received == [("next", value)]


class AwaitRaises:
    @property
    def __await__(self):
        raise RuntimeError("broken awaitable")


async def raise_async(ctx):
    raise KeyError("async")


async def return_unserialisable(ctx):
    return {"x": object()}


@pytest.mark.parametrize(
    "failing",
    [
        pytest.param(lambda ctx: 1 / 0, id="sync raises"),
        pytest.param(raise_async, id="coroutine raises"),
        pytest.param(lambda ctx: {1, 2}, id="sync result not JSON"),
        pytest.param(return_unserialisable, id="async result not JSON"),
        pytest.param(lambda ctx: AwaitRaises(), id="__await__ raises"),
        pytest.param(lambda: None, id="wrong signature"),
        pytest.param(None, id="not callable"),
    ],
)
async def test_failing_hook_is_skipped(failing):
    log = []
    d = m.NativeHookDispatcher()
    await d.register(Pre, lambda ctx: {"v": 1}, 0)
    await d.register(Pre, failing, 1)
    await d.register(Pre, recorder(log, "after"), 2)
    assert await d.dispatch(Pre, "{}") == '{"v": 1}'
    assert log == [("after", {"v": 1})]


async def test_types_are_separate_and_clear_removes_one_type():
    log = []
    d = m.NativeHookDispatcher()
    await d.register(Pre, recorder(log, "pre"))
    await d.register(Post, recorder(log, "post1"))
    await d.register(m.HookType.Connected, recorder(log, "conn"))
    await d.register(Post, recorder(log, "post2"))
    await d.dispatch(Post, "{}")
    assert [t for t, _ in log] == ["post1", "post2"]
    assert await d.clear(Pre) is None
    assert await d.clear(m.HookType.Disconnected) is None
    log.clear()
    for t in (Pre, Post, m.HookType.Connected):
        await d.dispatch(t, "{}")
    assert [t for t, _ in log] == ["post1", "post2", "conn"]


@pytest.mark.parametrize(
    "args,exc,match",
    [
        ((0, print), TypeError, "argument 'hook_type': 'int' object cannot be converted to 'HookType'"),
        ((m.UpdateKind.TextDelta, print), TypeError, "argument 'hook_type'"),
        ((Pre, print, 2147483648), OverflowError, "argument 'priority'"),
        ((Pre, print, -2147483649), OverflowError, "argument 'priority'"),
        ((Pre, print, None), TypeError, "argument 'priority'"),
        ((Pre, print, 1.0), TypeError, "argument 'priority'"),
    ],
)
def test_register_argument_errors(args, exc, match):
    # Raised at the call, before any awaitable exists: no event loop is needed to see them.
    with pytest.raises(exc, match=match):
        m.NativeHookDispatcher().register(*args)


def test_dispatch_and_clear_argument_errors():
    d = m.NativeHookDispatcher()
    with pytest.raises(TypeError, match="argument 'context_json'"):
        d.dispatch(Pre, {})
    with pytest.raises(TypeError, match="argument 'hook_type'"):
        d.dispatch(1, "{}")
    with pytest.raises(TypeError, match="argument 'hook_type'"):
        d.clear("PreToolUse")


async def test_dispatch_holds_the_lock_until_done():
    entered, release = asyncio.Event(), asyncio.Event()
    log = []

    async def slow(ctx):
        entered.set()
        await release.wait()
        return {"slow": True}

    d = m.NativeHookDispatcher()
    await d.register(Pre, slow)
    first = asyncio.ensure_future(d.dispatch(Pre, "{}"))
    await asyncio.wait_for(entered.wait(), 5)
    late = asyncio.ensure_future(d.register(Pre, recorder(log, "late")))
    await asyncio.sleep(0.05)
    assert not late.done()
    release.set()
    assert await asyncio.wait_for(first, 5) == '{"slow": true}'
    await asyncio.wait_for(late, 5)
    assert log == []  # registered after the dispatch had chosen its hooks


async def test_cancelled_dispatch_releases_the_lock():
    entered, release = asyncio.Event(), asyncio.Event()

    async def stuck(ctx):
        entered.set()
        await release.wait()

    d = m.NativeHookDispatcher()
    await d.register(Pre, stuck)
    pending = asyncio.ensure_future(d.dispatch(Pre, "{}"))
    await asyncio.wait_for(entered.wait(), 5)
    pending.cancel()
    with pytest.raises(asyncio.CancelledError):
        await pending
    await asyncio.wait_for(d.clear(Pre), 5)
    assert await asyncio.wait_for(d.dispatch(Pre, "[]"), 5) == "[]"
    release.set()  # let the abandoned hook finish on the loop
    await asyncio.sleep(0.01)


async def test_callback_references_are_released():
    def hook(ctx):
        raise ValueError("always fails")

    base = sys.getrefcount(hook)
    d = m.NativeHookDispatcher()
    await d.register(Pre, hook)
    await d.register(Post, hook, 5)
    assert sys.getrefcount(hook) == base + 2
    for _ in range(3):
        await d.dispatch(Pre, "{}")
    assert sys.getrefcount(hook) == base + 2
    await d.clear(Pre)
    assert sys.getrefcount(hook) == base + 1
    del d
    assert sys.getrefcount(hook) == base

    # A hook that keeps its dispatcher alive does not keep them both alive for ever.
    class Owner:
        def __init__(self):
            self.dispatcher = m.NativeHookDispatcher()

        def on_event(self, ctx):
            return None

    owner = Owner()
    await owner.dispatcher.register(Pre, owner.on_event)
    gone = weakref.ref(owner)
    del owner
    gc.collect()
    assert gone() is None
