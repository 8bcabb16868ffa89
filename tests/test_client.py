"""NativeClient: handshake, the JSON-RPC channel as the agent sees it, session operations,
connection state and errors. The agent is the scripted fake agent, which records every byte."""

import asyncio
import json
import os
import re
import time
from pathlib import Path

import pytest

import palisk_sdk._palisk_sdk as m
from agent_scenarios import (
    expect,
    expect_any,
    handshake,
    new_session,
    read_lines,
    reply,
    reply_error,
    send,
    wait_for_messages,
    write_scenario,
)
from palisk_sdk import exceptions

from conftest import ACP_DIR, children

UUID = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")


@pytest.fixture(scope="module")
def schema():
    jsonschema = pytest.importorskip("jsonschema")
    path = ACP_DIR / "schema.json"
    if not path.exists():
        pytest.skip("ACP schema not available")
    defs = json.loads(path.read_text())["$defs"]

    def validate(name, value):
        jsonschema.Draft202012Validator({"$ref": f"#/$defs/{name}", "$defs": defs}).validate(value)

    return validate


def sent(record, method):
    return [msg for msg in read_lines(record)[0] if isinstance(msg, dict) and msg.get("method") == method]


# ---------------------------------------------------------------- handshake


async def test_handshake_wire_and_capabilities(agent, schema):
    client, record = agent([handshake()])
    caps = await client.connect()
    assert repr(caps) == "Capabilities(sessions=true, tools=true, proxy=false, modes=[], models=[])"
    assert repr(await client.capabilities()) == repr(caps)
    assert await client.agent_info() is None
    raw = read_lines(record)[1][0].decode()
    head, _, tail = raw.partition(',"id":"')
    assert head == (
        '{"jsonrpc":"2.0","method":"initialize","params":{"clientCapabilities":{"fs":{"readTextFile":false,'
        '"writeTextFile":false},"terminal":false},"clientInfo":{"name":"palisk-agent-sdk","title":null,'
        '"version":"0.1.0"},"protocolVersion":1}'
    )
    assert UUID.match(tail[:-2]) and tail.endswith('"}')
    schema("InitializeRequest", json.loads(raw)["params"])
    await client.disconnect()


@pytest.mark.parametrize(
    "result,sessions,info",
    [
        ({"protocolVersion": 1, "agentInfo": {"name": "a", "version": "1"}}, False,
         '{"name":"a","title":null,"version":"1"}'),
        ({"protocolVersion": 1, "agentCapabilities": {"loadSession": False},
          "agentInfo": {"version": "2.0", "title": "T é", "name": "n", "extra": 1}}, False,
         '{"name":"n","title":"T é","version":"2.0"}'),
        ({"protocolVersion": 1, "agentCapabilities": {"loadSession": True, "promptCapabilities": {"image": True}},
          "authMethods": []}, True, None),
    ],
)  # fmt: skip
async def test_handshake_variants(agent, result, sessions, info):
    client, _ = agent([handshake(result)])
    caps = await client.connect()
    assert caps.sessions is sessions and caps.tools is True and caps.proxy is False
    assert caps.modes == [] and caps.models == []
    assert await client.agent_info() == info
    await client.disconnect()


@pytest.mark.parametrize(
    "steps,exc,text,logged",
    [
        ([expect("initialize"), reply_error(-32000, "no entry")], exceptions.ProtocolError,
         "protocol error: no entry", "no entry"),
        ([expect("initialize"), reply_error(-32602, "", {"b": [1], "a": None})], exceptions.ProtocolError,
         'protocol error: -32602: {\n  "a": null,\n  "b": [\n    1\n  ]\n}', "-32602: {"),
        ([expect("initialize"), reply({"agentCapabilities": {}})], exceptions.ProtocolError,
         "protocol error: Parse error", "Parse error"),
        ([{"exit": 0}], exceptions.ConnectionError,
         "connection error: ACP background task dropped before sending capabilities", None),
        ([expect("initialize"), {"close_stdout": True}, {"expect_eof": True}], exceptions.ConnectionError,
         "connection error: ACP background task dropped before sending capabilities", None),
    ],
)  # fmt: skip
async def test_failed_handshake(agent, capfd, steps, exc, text, logged):
    client, _ = agent(steps)
    with pytest.raises(exc) as info:
        await client.connect()
    assert info.value.args == (text,)
    with pytest.raises(exceptions.ConnectionError, match="client not connected"):
        await client.capabilities()
    await asyncio.sleep(0.2)
    err = capfd.readouterr().err
    if logged:
        assert f"palisk-sdk: ACP background task error: {logged}" in err
    else:
        assert "ACP background task error" not in err


async def test_handshake_timeout_kills_the_agent(agent):
    client, _ = agent([expect("initialize"), {"sleep": 20}], timeout_secs=1)
    start = time.monotonic()
    with pytest.raises(exceptions.TimeoutError) as info:
        await client.connect()
    assert time.monotonic() - start < 5
    assert info.value.args[0].startswith("timeout: initialize handshake") and "1 s" in info.value.args[0]


async def test_spawn_failures_start_nothing(agent):
    for command, text in [
        ([], "connection error: agent command must not be empty"),
        (["/nonexistent/agent"], "connection error: failed to spawn agent: "),
    ]:
        client = m.NativeClient(m.ClientConfig(command))
        with pytest.raises(exceptions.ConnectionError) as info:
            await client.connect()
        assert info.value.args[0].startswith(text)


# ---------------------------------------------------------------- the channel, seen from the agent

METHOD_NOT_FOUND = {"code": -32601, "message": "Method not found"}
PARSE_ERROR = {"jsonrpc": "2.0", "error": {"code": -32700, "message": "Parse error"}}

# line the agent sends -> what the client answers (None: nothing)
LINES = [
    ("", PARSE_ERROR),
    ("   \t", PARSE_ERROR),
    ("[1, 2]", PARSE_ERROR),
    ('[{"jsonrpc":"2.0","method":"x/unknown","id":1}]', PARSE_ERROR),
    ("42", PARSE_ERROR),
    ("not json", PARSE_ERROR),
    ('{"method":"x/unknown","id":1} {"b":2}', PARSE_ERROR),
    ('{"jsonrpc":"2.0","method":"x","id":-1}', PARSE_ERROR),
    ('{"jsonrpc":"2.0","method":"x","id":1.5}', PARSE_ERROR),
    ('{"jsonrpc":"2.0","method":"x","id":true}', PARSE_ERROR),
    ('{"jsonrpc":"2.0","method":"x/unknown","id":5}', {"jsonrpc": "2.0", "error": METHOD_NOT_FOUND, "id": 5}),
    ('{"method":"x/unknown","id":"abc"}', {"jsonrpc": "2.0", "error": METHOD_NOT_FOUND, "id": "abc"}),
    ('{"method":"x/unknown","id":null}', {"jsonrpc": "2.0", "error": METHOD_NOT_FOUND, "id": None}),
    ('{"jsonrpc":"2.0","method":"x/unknown","id":7}\r', {"jsonrpc": "2.0", "error": METHOD_NOT_FOUND, "id": 7}),
    ('{"jsonrpc":"2.0","method":"fs/read_text_file","params":{"path":"/etc/passwd","sessionId":"s"},"id":8}',
     {"jsonrpc": "2.0", "error": METHOD_NOT_FOUND, "id": 8}),
    ('{"jsonrpc":"2.0","method":"session/update","params":{},"id":9}',
     {"jsonrpc": "2.0", "error": METHOD_NOT_FOUND, "id": 9}),
    ('{"jsonrpc":"2.0","method":"x/unknown"}', {"jsonrpc": "2.0", "error": METHOD_NOT_FOUND}),
    ('{"method":"x","params":"text","id":5}', None),
    ('{"jsonrpc":"2.0","id":"not-pending","result":1}', None),
    ("{}", None),
    ('{"jsonrpc":"2.0","method":"_vendor/ping","params":[1]}', None),
]  # fmt: skip


async def test_malformed_and_unhandled_lines(agent):
    steps = [handshake(), {"skip_answers": True}] + [{"raw": line} for line, _ in LINES] + new_session("s1")
    client, record = agent(steps)
    await client.connect()
    assert await client.new_session() == "s1"
    expected = [answer for _, answer in LINES if answer is not None]

    def answers(msgs):
        return [x for x in msgs if isinstance(x, dict) and "method" not in x]

    msgs = wait_for_messages(record, lambda msgs: len(answers(msgs)) >= len(expected), what="all answers")
    assert answers(msgs) == expected
    # Every line was answered in order and the connection lives on: the extension notification
    # was queued as an update.
    update = await asyncio.wait_for(client.recv_update(), 5)
    assert update.kind == m.UpdateKind.RateLimit
    assert update.rate_limit_json == '{"method":"vendor/ping","params":[1]}'
    await client.disconnect()


async def test_raw_lines_exact_bytes(agent):
    client, record = agent([handshake(), {"skip_answers": True}, {"raw": '{"method":"x/unknown","id":"ü"}'},
                            *new_session("s")])
    await client.connect()
    await client.new_session()
    wait_for_messages(record, lambda msgs: len(msgs) >= 3)
    raw = read_lines(record)[1]
    assert b'{"jsonrpc":"2.0","error":{"code":-32601,"message":"Method not found"},"id":"\xc3\xbc"}' in raw
    assert all(not line.endswith(b"\r") for line in raw)
    await client.disconnect()


async def test_responses_matched_by_exact_id(agent):
    # A number id that looks like the pending string id is ignored, as are unknown ids; the
    # first real answer wins and a second one is ignored.
    client, record = agent(
        [handshake(), expect("session/new"),
         {"send": {"jsonrpc": "2.0", "id": 12345, "result": {"sessionId": "wrong"}}},
         reply({"sessionId": "right"}), reply({"sessionId": "again"}), *new_session("next")]
    )  # fmt: skip
    await client.connect()
    assert await client.new_session() == "right"
    assert await client.new_session() == "next"
    ids = [msg["id"] for msg in sent(record, "session/new")]
    assert len(set(ids)) == 2 and all(UUID.match(i) for i in ids)
    await client.disconnect()


async def test_long_lines_and_last_line_without_newline(agent):
    big = "x" * 100_000
    client, _ = agent(
        [handshake(), expect("session/new"),
         {"send": {"jsonrpc": "2.0", "method": "_big", "params": {"v": big}}},
         {"raw": '{"jsonrpc":"2.0","id":"$ID","result":{"sessionId":"s"}}'.replace('"$ID"', '"placeholder"')},
         reply({"sessionId": "s"}),
         {"raw": '{"jsonrpc":"2.0","method":"_tail","params":{}}', "newline": False}, {"close_stdout": True},
         {"expect_eof": True}]
    )  # fmt: skip
    await client.connect()
    assert await client.new_session() == "s"
    first = await asyncio.wait_for(client.recv_update(), 5)
    assert json.loads(first.rate_limit_json)["params"]["v"] == big
    tail = await asyncio.wait_for(client.recv_update(), 5)
    assert tail.rate_limit_json == '{"method":"tail","params":{}}'
    assert await asyncio.wait_for(client.recv_update(), 5) is None
    await client.disconnect()


async def test_invalid_utf8_stops_the_channel(agent, capfd):
    client, _ = agent([handshake(), {"raw_bytes_hex": "7b22ff227d0a"}, {"expect_eof": True}])
    await client.connect()
    assert await asyncio.wait_for(client.recv_update(), 5) is None
    with pytest.raises(exceptions.ConnectionError, match="background task closed"):
        await client.new_session()
    await client.disconnect()
    assert "palisk-sdk: ACP background task error: " in capfd.readouterr().err


# ---------------------------------------------------------------- session operations


async def test_session_operations_on_the_wire(agent, schema, tmp_path):
    cwd = os.getcwd()
    server = {"name": "files", "command": "mcp-files", "args": ["--root", "/"], "env": [{"name": "A", "value": "1"}],
              "unknown": True}  # fmt: skip
    steps = [
        handshake(),
        *new_session("s1"),
        *new_session("s2"),
        *new_session("s3"),
        expect("session/load"), reply(None),
        expect("session/fork"), reply({"sessionId": "only-camel"}),
        expect("session/fork"), reply({"session_id": "f2", "x": 1}),
        expect("session/list"), reply({"sessions": [{"b": 1, "a": 2}]}),
        expect("session/list"), reply([]),
        expect("session/resume"), reply({"whatever": True}),
        expect("session/set_mode"), reply({}),
        expect("session/set_config_option"), reply({"z": {"d": 2, "c": 1}, "a": "é"}),
        expect("session/cancel"),
    ]  # fmt: skip
    client, record = agent(steps)
    await client.connect()
    assert await client.new_session() == "s1"
    assert await client.new_session(str(tmp_path), '{"trace": 1}', json.dumps([server])) == "s2"
    assert await client.new_session(meta_json="[1]", mcp_servers_json="not json") == "s3"
    assert await client.load_session("L", None) == "L"
    assert await client.fork_session("L", "/w") == ""
    assert await client.fork_session("L", None) == "f2"
    assert await client.list_sessions(None) == '{"sessions":[{"a":2,"b":1}]}'
    assert await client.list_sessions("/d") == "[]"
    assert await client.resume_session("R", "/r") == "R"
    assert await client.set_session_mode("R", "code") is None
    assert await client.set_config_option("R", "model", "fast") == '{"a":"é","z":{"c":1,"d":2}}'
    assert await client.cancel_session("R") is None
    msgs = wait_for_messages(record, lambda msgs: any(x.get("method") == "session/cancel" for x in msgs))
    params = [(x["method"], x.get("params")) for x in msgs if x.get("method") not in (None, "initialize")]
    assert params == [
        ("session/new", {"cwd": cwd, "mcpServers": []}),
        ("session/new", {"_meta": {"trace": 1}, "cwd": str(tmp_path),
                         "mcpServers": [{k: v for k, v in server.items() if k != "unknown"}]}),
        ("session/new", {"cwd": cwd, "mcpServers": []}),
        ("session/load", {"cwd": cwd, "mcpServers": [], "sessionId": "L"}),
        ("session/fork", {"cwd": "/w", "session_id": "L"}),
        ("session/fork", {"cwd": cwd, "session_id": "L"}),
        ("session/list", {}),
        ("session/list", {"cwd": "/d"}),
        ("session/resume", {"cwd": "/r", "session_id": "R"}),
        ("session/set_mode", {"modeId": "code", "sessionId": "R"}),
        ("session/set_config_option", {"config_id": "model", "session_id": "R", "value": "fast"}),
        ("session/cancel", {"sessionId": "R"}),
    ]  # fmt: skip
    typed = {"session/new": "NewSessionRequest", "session/load": "LoadSessionRequest",
             "session/set_mode": "SetSessionModeRequest", "session/cancel": "CancelNotification"}  # fmt: skip
    for method, p in params:
        if method in typed:
            schema(typed[method], p)
    cancel = sent(record, "session/cancel")[0]
    assert "id" not in cancel and cancel["jsonrpc"] == "2.0"
    await client.disconnect()


@pytest.mark.parametrize(
    "call,reply_step,text",
    [
        (lambda c: c.new_session(), reply_error(-32002, "gone"), "protocol error: gone"),
        (lambda c: c.new_session(), reply({"sessionId": 5}), "protocol error: Parse error"),
        (lambda c: c.load_session("s", None), reply([]), "protocol error: Parse error"),
        (lambda c: c.set_session_mode("s", "m"), reply_error(-32602, "bad mode"), "protocol error: bad mode"),
        (lambda c: c.set_session_mode("s", "m"), reply(3), "protocol error: Parse error"),
        (lambda c: c.fork_session("s", None), reply_error(1, "x", "why"), 'protocol error: x: "why"'),
        (lambda c: c.list_sessions(None), reply_error(2, "x", None), "protocol error: x"),
        (lambda c: c.resume_session("s", None), reply_error(3, "", [1]), "protocol error: 3: [\n  1\n]"),
        (lambda c: c.set_config_option("s", "c", "v"), reply_error(4, "nope"), "protocol error: nope"),
    ],
)  # fmt: skip
async def test_session_operation_errors(agent, call, reply_step, text):
    client, _ = agent([handshake(), expect_any(), reply_step])
    await client.connect()
    with pytest.raises(exceptions.ProtocolError) as info:
        await call(client)
    assert info.value.args == (text,)
    await client.disconnect()


async def test_default_session_rules(agent):
    steps = [handshake(), *new_session("n1"), expect("session/load"), reply({}),
             expect("session/prompt", {"sessionId": "loaded"}), reply({"stopReason": "end_turn"}),
             expect("session/resume"), reply({}),
             expect("session/prompt", {"sessionId": "resumed"}), reply({"stopReason": "end_turn"}),
             expect("session/fork"), reply({"session_id": "forked"}),
             expect("session/prompt", {"sessionId": "resumed"}), reply({"stopReason": "end_turn"})]  # fmt: skip
    client, _ = agent(steps)
    await client.connect()
    await client.new_session()
    await client.load_session("loaded", None)
    assert await client.prompt("hi") == []
    await client.resume_session("resumed", None)
    assert await client.prompt("hi") == []
    assert await client.fork_session("resumed", None) == "forked"
    assert await client.prompt("hi") == []  # forking leaves the default alone
    await client.disconnect()


# ---------------------------------------------------------------- connection state


NOT_CONNECTED = [
    ("connect", None), ("capabilities", ()), ("agent_info", ()), ("new_session", ()),
    ("load_session", ("s", None)), ("fork_session", ("s", None)), ("list_sessions", (None,)),
    ("resume_session", ("s", None)), ("set_session_mode", ("s", "m")), ("set_config_option", ("s", "c", "v")),
    ("cancel_session", ("s",)), ("prompt", ("t",)), ("send_prompt", ("t",)),
]  # fmt: skip


@pytest.mark.parametrize("name,args", [x for x in NOT_CONNECTED if x[1] is not None])
async def test_never_connected(name, args):
    client = m.NativeClient(m.ClientConfig(["true"]))
    with pytest.raises(exceptions.ConnectionError) as info:
        await getattr(client, name)(*args)
    assert info.value.args == ("connection error: client not connected",)


async def test_never_connected_receiver_and_disconnect():
    client = m.NativeClient(m.ClientConfig(["true"]))
    with pytest.raises(exceptions.ConnectionError) as info:
        await client.recv_update()
    assert info.value.args == ("connection error: update channel not initialized",)
    assert await client.disconnect() is None


async def test_disconnect_then_detached_state(agent):
    client, record = agent([handshake()])
    caps = await client.connect()
    assert await client.disconnect() is None
    assert await client.disconnect() is None  # idempotent: the agent is already reaped
    assert await asyncio.wait_for(client.recv_update(), 5) is None  # the task has ended
    assert repr(await client.capabilities()) == repr(caps)
    assert await client.agent_info() is None
    with pytest.raises(exceptions.ConnectionError) as info:
        await client.new_session()
    assert info.value.args == ("connection error: background task closed",)
    with pytest.raises(exceptions.ConnectionError, match="background task closed"):
        await client.send_prompt("x", session_id="s")


async def test_agent_exit_mid_call_fails_the_call(agent):
    client, _ = agent([handshake(), expect("session/new"), {"exit": 0}])
    await client.connect()
    with pytest.raises(exceptions.ConnectionError) as info:
        await asyncio.wait_for(client.new_session(), 10)
    assert info.value.args == ("connection error: session reply dropped",)
    with pytest.raises(exceptions.ConnectionError, match="background task closed"):
        await client.list_sessions(None)
    await client.disconnect()


async def test_reconnect_replaces_the_agent(agent):
    # Each connect() spawns the scenario afresh: the session is created explicitly on the first
    # connection, implicitly (the default session was cleared) on the second.
    client, record = agent([handshake(), *new_session("s"), expect("session/prompt", {"sessionId": "s"}),
                            reply({"stopReason": "end_turn"})])  # fmt: skip
    await client.connect()
    assert await client.new_session() == "s"
    first = set(children())
    await client.connect()
    second = set(children()) - first
    assert len(first) == 1 and len(second) == 1
    assert await client.prompt("hi") == []
    # The first agent saw its stdin close and exited by itself; only the second one is left.
    for _ in range(200):
        if set(children()) == second:
            break
        await asyncio.sleep(0.02)
    assert set(children()) == second
    await client.disconnect()


async def test_cancelled_call_leaves_the_client_usable(agent):
    client, _ = agent([handshake(), expect("session/new"), {"sleep": 0.5}, reply({"sessionId": "late"}),
                       *new_session("next")])  # fmt: skip
    await client.connect()
    with pytest.raises(asyncio.TimeoutError):
        await asyncio.wait_for(client.new_session(), 0.1)
    assert await asyncio.wait_for(client.new_session(), 5) == "next"
    await client.disconnect()


def test_argument_errors_raise_at_the_call():
    client = m.NativeClient(m.ClientConfig(["true"]))
    with pytest.raises(TypeError, match="config"):
        m.NativeClient("agent")
    for call, name in [
        (lambda: client.load_session(1, None), "session_id"),
        (lambda: client.load_session("s"), "cwd"),
        (lambda: client.set_config_option("s", "c", None), "value"),
        (lambda: client.prompt(b"bytes"), "text"),
        (lambda: client.send_prompt("t", content_json=3), "content_json"),
        (lambda: client.new_session(cwd=1), "cwd"),
    ]:
        with pytest.raises(TypeError, match=name):
            call()


def test_interpreter_exit_with_a_live_connection(tmp_path):
    """A process may exit with a connected agent and a pending recv_update(): no crash, no hang."""
    import subprocess
    import sys
    import textwrap

    command, _ = write_scenario(tmp_path, [handshake(), {"expect_eof": True}])
    code = textwrap.dedent(
        f"""
        import asyncio, palisk_sdk._palisk_sdk as m
        async def main():
            client = m.NativeClient(m.ClientConfig({command!r}))
            await client.connect()
            asyncio.ensure_future(client.recv_update())
            await asyncio.sleep(0.05)
            print("leaving")
        asyncio.new_event_loop().run_until_complete(main())
        """
    )
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert "leaving" in r.stdout


async def test_reconnect_while_a_read_waits_on_the_old_agent(agent):
    client, _ = agent([handshake(), {"expect_eof": True}])
    await client.connect()
    pending = asyncio.ensure_future(client.recv_update())
    await asyncio.sleep(0.1)
    # The old agent stays silent: the reconnect must not wait for it, and the pending read
    # reports the old stream's end.
    await asyncio.wait_for(client.connect(), 10)
    assert await asyncio.wait_for(pending, 5) is None
    await client.disconnect()
