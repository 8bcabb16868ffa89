"""ProxyConfig and NativeProxyChain: the value class, chain edits, range checks and validation."""

import asyncio

import pytest

import palisk_sdk._palisk_sdk as m
from palisk_sdk import exceptions


def names(configs):
    return [c.name for c in configs]


def test_proxy_config_value_class():
    cfg = m.ProxyConfig("auth", ("bin/proxy", "--port", "1"))
    assert cfg.name == "auth" and cfg.command == ["bin/proxy", "--port", "1"]
    cfg.command.append("x")  # a fresh list on every read
    assert cfg.command == ["bin/proxy", "--port", "1"]
    assert m.ProxyConfig(command=[], name="").command == []
    with pytest.raises(AttributeError):
        cfg.name = "other"
    with pytest.raises(TypeError):
        type("Sub", (m.ProxyConfig,), {})
    assert m.ProxyConfig.__text_signature__ == "(name, command)"
    assert m.ProxyConfig.__doc__ == "Configuration for a single proxy in the chain."
    assert m.ProxyConfig.command.__doc__ == "Shell command to spawn the proxy subprocess."


@pytest.mark.parametrize(
    "name,expected",
    [
        ("a", 'ProxyConfig(name="a")'),
        ('say "hi"\n', 'ProxyConfig(name="say \\"hi\\"\\n")'),
        ("é\u200b", 'ProxyConfig(name="é\\u{200b}")'),
    ],
)
def test_proxy_config_repr(name, expected):
    assert repr(m.ProxyConfig(name, ["cmd"])) == expected


@pytest.mark.parametrize(
    "args,match",
    [
        (("p", "run me"), "argument 'command': a str cannot be taken as a list"),
        (("p", 5), "argument 'command': 'int' object cannot be converted to 'list'"),
        (("p", ["ok", 1]), "argument 'command': 'int' object cannot be converted to 'str'"),
        ((None, []), "argument 'name': 'NoneType' object cannot be converted to 'str'"),
        (("p",), "command"),
    ],
)
def test_proxy_config_argument_errors(args, match):
    with pytest.raises(TypeError, match=match):
        m.ProxyConfig(*args)


async def test_chain_edits():
    chain = m.NativeProxyChain()
    assert await chain.list() == []
    a, b, c, x = (m.ProxyConfig(n, [n]) for n in "abcx")
    assert await chain.add(a) is None
    await chain.add(b)
    assert await chain.insert(0, c) is None
    assert names(await chain.list()) == ["c", "a", "b"]
    await chain.insert(3, x)  # index == length appends
    await chain.insert(1, a)  # duplicates are allowed
    listed = await chain.list()
    assert names(listed) == ["c", "a", "a", "b", "x"]
    assert [p.command for p in listed] == [["c"], ["a"], ["a"], ["b"], ["x"]]
    again = await chain.list()
    assert all(p is not q for p, q in zip(listed, again))
    assert await chain.clear() is None
    assert await chain.list() == []


async def test_insert_out_of_range_leaves_the_chain():
    chain = m.NativeProxyChain()
    for n in "ab":
        await chain.add(m.ProxyConfig(n, []))
    with pytest.raises(exceptions.ProxyError) as info:
        await chain.insert(3, m.ProxyConfig("x", []))
    assert info.value.args == ("proxy error: index 3 out of range (chain length: 2)",)
    with pytest.raises(exceptions.ProxyError, match=r"index 18446744073709551615 out of range \(chain length: 2\)"):
        await chain.insert(2**64 - 1, m.ProxyConfig("x", []))
    assert names(await chain.list()) == ["a", "b"]


async def test_build_validates_only():
    chain = m.NativeProxyChain()
    with pytest.raises(exceptions.ProxyError) as info:
        await chain.build()
    assert info.value.args == ("proxy error: proxy chain is empty",)
    await chain.add(m.ProxyConfig("p", ["/nonexistent/program"]))
    assert await chain.build() is None
    assert names(await chain.list()) == ["p"]
    await chain.clear()
    with pytest.raises(exceptions.ProxyError):
        await chain.build()


@pytest.mark.parametrize(
    "call,exc,match",
    [
        (lambda c: c.insert(-1, m.ProxyConfig("p", [])), OverflowError, "argument 'index'"),
        (lambda c: c.insert(2**64, m.ProxyConfig("p", [])), OverflowError, "argument 'index'"),
        (lambda c: c.insert("0", m.ProxyConfig("p", [])), TypeError, "argument 'index'"),
        (lambda c: c.insert(0, "p"), TypeError, "argument 'proxy': 'str' object cannot be converted to 'ProxyConfig'"),
        (lambda c: c.add(m.ToolDefinition("p", "", "")), TypeError, "argument 'proxy'"),
    ],
)
def test_argument_errors_raise_at_the_call(call, exc, match):
    with pytest.raises(exc, match=match):
        call(m.NativeProxyChain())


async def test_concurrent_edits_are_not_lost():
    chain = m.NativeProxyChain()
    await asyncio.gather(*(chain.add(m.ProxyConfig(str(i), [])) for i in range(50)))
    assert sorted(names(await chain.list()), key=int) == [str(i) for i in range(50)]
