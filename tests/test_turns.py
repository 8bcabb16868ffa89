"""Prompt turns, the update stream and its mapping, permission requests."""

import asyncio
import json
import os
import sys
from pathlib import Path

import pytest

import palisk_sdk._palisk_sdk as m
from agent_scenarios import (
    PERMISSION_OPTIONS,
    expect,
    handshake,
    new_session,
    permission_request,
    prompt_turn,
    read_lines,
    reply,
    reply_error,
    send,
    text_chunk,
    tool_call,
    tool_call_update,
    update,
    wait_for_messages,
    wait_for_messages_async,
    write_scenario,
)
from palisk_sdk import exceptions

from conftest import ACP_DIR

FIELDS = ["text", "tool_name", "tool_input", "tool_use_id", "error", "stop_reason", "tool_kind", "tool_status",
          "tool_content", "tool_locations", "mode_id", "plan_json", "config_json", "commands_json", "usage_json",
          "session_info_json", "rate_limit_json"]  # fmt: skip
END = {"jsonrpc": "2.0", "method": "_end", "params": {}}


def fields(u):
    out = {"kind": repr(u.kind).split(".")[1]}
    out.update({f: getattr(u, f) for f in FIELDS if getattr(u, f) is not None})
    return out


async def until_end(client):
    """The updates before the _end marker."""
    out = []
    while True:
        u = await asyncio.wait_for(client.recv_update(), 5)
        assert u is not None, f"the stream closed; got {out}"
        if u.kind == m.UpdateKind.RateLimit and json.loads(u.rate_limit_json)["method"] == "end":
            return out
        out.append(fields(u))


EXAMPLES = [json.loads(line) for line in (ACP_DIR / "examples.jsonl").read_text().splitlines()] if ACP_DIR.exists() else []


def example(kind):
    for x in EXAMPLES:
        if x.get("method") == "session/update" and x["params"]["update"]["sessionUpdate"] == kind:
            return x["params"]["update"]
    pytest.skip("ACP examples not available")


S = "sess_1"
MAPPING = [
    ("user chunk", lambda: example("user_message_chunk"), []),
    ("agent chunk", lambda: example("agent_message_chunk"),
     [{"kind": "TextDelta", "text": "The test fails because `parse_line` strips"}]),
    ("thought chunk", lambda: example("agent_thought_chunk"),
     [{"kind": "ThoughtDelta", "text": "I should read the parser before changing the test."}]),
    ("empty text", lambda: {"sessionUpdate": "agent_message_chunk", "content": {"type": "text", "text": ""}},
     [{"kind": "TextDelta", "text": ""}]),
    ("image chunk", lambda: {"sessionUpdate": "agent_message_chunk",
                             "content": {"type": "image", "data": "AA==", "mimeType": "image/png"}}, []),
    ("tool call", lambda: example("tool_call"),
     [{"kind": "ToolUseStart", "tool_name": "Read src/parser.py", "tool_input": '{"path":"/home/dev/proj/src/parser.py"}',
       "tool_use_id": "call_01", "tool_kind": "Read", "tool_status": "Pending"}]),
    ("tool call sorted input", lambda: {"sessionUpdate": "tool_call", "toolCallId": "c", "title": "Run",
                                        "kind": "execute", "status": "pending",
                                        "rawInput": {"path": "/p", "command": "ls"}},
     [{"kind": "ToolUseStart", "tool_name": "Run", "tool_input": '{"command":"ls","path":"/p"}', "tool_use_id": "c",
       "tool_kind": "Execute", "tool_status": "Pending"}]),
    ("tool call defaults", lambda: {"sessionUpdate": "tool_call", "toolCallId": "c", "title": "T"},
     [{"kind": "ToolUseStart", "tool_name": "T", "tool_input": "", "tool_use_id": "c", "tool_kind": "Other",
       "tool_status": "Pending"}]),
    ("tool call switch_mode in_progress", lambda: {"sessionUpdate": "tool_call", "toolCallId": "c", "title": "T",
                                                   "kind": "switch_mode", "status": "in_progress", "rawInput": None},
     [{"kind": "ToolUseStart", "tool_name": "T", "tool_input": "", "tool_use_id": "c", "tool_kind": "SwitchMode",
       "tool_status": "InProgress"}]),
    ("update completed", lambda: example("tool_call_update"),
     [{"kind": "ToolUseUpdate", "tool_use_id": "call_02", "tool_status": "Completed",
       "tool_content": '[{"type":"diff","path":"/home/dev/proj/src/parser.py","oldText":"return line.strip()",'
                       '"newText":"return line.rstrip(\\"\\\\n\\")"}]'},
      {"kind": "ToolUseEnd", "tool_use_id": "call_02"}]),
    ("update failed", lambda: {"sessionUpdate": "tool_call_update", "toolCallId": "c", "status": "failed"},
     [{"kind": "ToolUseUpdate", "tool_use_id": "c", "tool_status": "Failed"}, {"kind": "ToolUseEnd", "tool_use_id": "c"}]),
    ("update in progress, empty content", lambda: {"sessionUpdate": "tool_call_update", "toolCallId": "c",
                                                   "status": "in_progress", "content": []},
     [{"kind": "ToolUseUpdate", "tool_use_id": "c", "tool_status": "InProgress", "tool_content": "[]"}]),
    ("update without status", lambda: {"sessionUpdate": "tool_call_update", "toolCallId": "c", "title": "x",
                                       "locations": [{"line": 3, "path": "/a"}, {"path": "/b", "_meta": {"z": 1}}]},
     [{"kind": "ToolUseUpdate", "tool_use_id": "c",
       "tool_locations": '[{"path":"/a","line":3},{"path":"/b","_meta":{"z":1}}]'}]),
    ("update content forms", lambda: {"sessionUpdate": "tool_call_update", "toolCallId": "c", "content": [
        {"content": {"text": "hi", "type": "text", "annotations": {"priority": 1}}, "type": "content"},
        {"type": "diff", "newText": "n", "path": "/f"},
        {"terminalId": "t1", "type": "terminal", "_meta": {"b": 2, "a": 1}}]},
     [{"kind": "ToolUseUpdate", "tool_use_id": "c",
       "tool_content": '[{"type":"content","content":{"type":"text","annotations":{"priority":1},"text":"hi"}},'
                       '{"type":"diff","path":"/f","oldText":null,"newText":"n"},'
                       '{"type":"terminal","terminalId":"t1","_meta":{"a":1,"b":2}}]'}]),
    ("plan", lambda: example("plan"),
     [{"kind": "Plan", "plan_json": '[{"content":"Read the parser","priority":"high","status":"completed"},'
                                    '{"content":"Patch parse_line","priority":"high","status":"in_progress"},'
                                    '{"content":"Run the test suite","priority":"medium","status":"pending"}]'}]),
    ("commands", lambda: example("available_commands_update"),
     [{"kind": "CommandsUpdate", "commands_json": '[{"name":"review","description":"Review the current diff","input":null},'
                                                  '{"name":"search","description":"Search the codebase",'
                                                  '"input":{"hint":"what to search for"}}]'}]),
    ("mode", lambda: example("current_mode_update"), [{"kind": "ModeChange", "mode_id": "code"}]),
    ("config", lambda: example("config_option_update"),
     [{"kind": "ConfigUpdate", "config_json":
       '[{"id":"model","name":"Model","category":"model","type":"select","currentValue":"fast","options":'
       '[{"value":"fast","name":"Fast"},{"value":"deep","name":"Deep","description":"Slower, more thorough"}]},'
       '{"id":"effort","name":"Reasoning","category":"thought_level","type":"select","currentValue":"medium",'
       '"options":[{"group":"standard","name":"Standard","options":[{"value":"low","name":"Low"},'
       '{"value":"medium","name":"Medium"}]},{"group":"extended","name":"Extended","options":'
       '[{"value":"high","name":"High"}]}]}]'}]),
    ("session info", lambda: example("session_info_update"),
     [{"kind": "SessionInfo", "session_info_json": '{"title":"Fix parser newline handling","updated_at":"2026-08-21T10:42:07Z"}'}]),
    ("session info title only", lambda: {"sessionUpdate": "session_info_update", "title": "T"},
     [{"kind": "SessionInfo", "session_info_json": '{"title":"T","updated_at":null}'}]),
    ("usage", lambda: example("usage_update"),
     [{"kind": "Usage", "usage_json": '{"cost":{"amount":0.0412,"currency":"USD"},"size":200000,"used":53120}'}]),
    ("usage without cost", lambda: {"sessionUpdate": "usage_update", "used": 1250, "size": 200000},
     [{"kind": "Usage", "usage_json": '{"cost":null,"size":200000,"used":1250}'}]),
    ("unknown kind", lambda: {"sessionUpdate": "future_update", "whatever": 1}, []),
]  # fmt: skip


@pytest.mark.parametrize("update_fn,expected", [(u, e) for _, u, e in MAPPING], ids=[n for n, _, _ in MAPPING])
async def test_update_mapping(agent, update_fn, expected):
    client, _ = agent([handshake(), send(update(S, update_fn())), send(END)])
    await client.connect()
    assert await until_end(client) == expected
    await client.disconnect()


@pytest.mark.parametrize(
    "params,expected",
    [([5], '{"method":"x","params":[5]}'), ({"z": 1, "a": [2]}, '{"method":"x","params":{"a":[2],"z":1}}'),
     (None, '{"method":"x","params":null}')],
)  # fmt: skip
async def test_extension_notifications(agent, params, expected):
    note = {"jsonrpc": "2.0", "method": "_x"}
    if params is not None:
        note["params"] = params
    client, _ = agent([handshake(), send(note), send(END)])
    await client.connect()
    assert await until_end(client) == [{"kind": "RateLimit", "rate_limit_json": expected}]
    await client.disconnect()


async def test_undecodable_update_stops_the_connection(agent, capfd):
    bad = update(S, {"sessionUpdate": "tool_call", "toolCallId": "c"})  # no title
    client, _ = agent([handshake(), send(text_chunk(S, "before")), send(bad), send(text_chunk(S, "after")),
                       {"expect_eof": True}])  # fmt: skip
    await client.connect()
    assert (await asyncio.wait_for(client.recv_update(), 5)).text == "before"
    assert await asyncio.wait_for(client.recv_update(), 5) is None
    await client.disconnect()
    assert "palisk-sdk: ACP background task error: Parse error" in capfd.readouterr().err


async def test_updates_of_all_sessions_share_the_stream(agent):
    client, _ = agent([handshake(), send(text_chunk("a", "1")), send(text_chunk("b", "2")), send(END)])
    await client.connect()
    assert [u["text"] for u in await until_end(client)] == ["1", "2"]
    await client.disconnect()


# ---------------------------------------------------------------- prompt()


@pytest.mark.parametrize(
    "chunks,text",
    [
        ([("agent_message_chunk", "Hel"), ("agent_message_chunk", "lo")], "Hello"),
        ([("agent_thought_chunk", "think "), ("agent_thought_chunk", "more")], "think more"),
        ([("agent_thought_chunk", "a"), ("agent_message_chunk", "B"), ("agent_thought_chunk", "c"),
          ("agent_message_chunk", "D")], "aBD"),
        ([], None),
    ],
)  # fmt: skip
async def test_prompt_collects_text(agent, chunks, text):
    msgs = [text_chunk(S, t, kind=k) for k, t in chunks] + [tool_call(S, "c", "T")]
    client, _ = agent([handshake(), *new_session(S), *prompt_turn(S, *msgs)])
    await client.connect()
    result = await client.prompt("hi")
    if text is None:
        assert result == []
    else:
        (msg,) = result
        assert msg.role == m.MessageRole.Assistant and msg.session_id == S and msg.stop_reason == "EndTurn"
        (block,) = msg.content
        assert block.content_type == m.ContentType.Text and block.text == text and msg.text() == text
        assert block.tool_name is None and block.tool_input is None and block.tool_use_id is None
    await client.disconnect()


async def test_prompt_wire_and_implicit_session(agent, tmp_path):
    blocks = [{"type": "text", "text": "one"}, {"text": "two", "type": "text", "extra": 1}]
    client, record = agent([handshake(), *new_session(S), *prompt_turn(S, stop_reason="max_tokens"),
                            *prompt_turn(S), *prompt_turn(S), *prompt_turn("other", text_chunk("other", "x"))])  # fmt: skip
    await client.connect()
    assert await client.prompt("plain") == []
    assert await client.prompt("ignored", content_json=json.dumps(blocks)) == []
    assert await client.prompt("fallback", content_json='[{"type": "nope"}]') == []
    (msg,) = await client.prompt("explicit", session_id="other")
    assert msg.session_id == "other"
    sent = [x for x in read_lines(record)[0] if x.get("method") in ("session/new", "session/prompt")]
    assert [x["method"] for x in sent] == ["session/new"] + ["session/prompt"] * 4
    assert sent[0]["params"] == {"cwd": os.getcwd(), "mcpServers": []}
    prompts = [x["params"] for x in sent[1:]]
    assert prompts[0] == {"prompt": [{"text": "plain", "type": "text"}], "sessionId": S}
    assert prompts[1]["prompt"] == [{"text": "one", "type": "text"}, {"text": "two", "type": "text"}]
    assert prompts[2]["prompt"] == [{"text": "fallback", "type": "text"}]
    raw = [line for line in read_lines(record)[1] if b"session/prompt" in line][0]
    assert raw.startswith(b'{"jsonrpc":"2.0","method":"session/prompt","params":{"prompt":[{"text":"plain","type":"text"}],"sessionId":"sess_1"},"id":"')
    await client.disconnect()


async def test_prompt_request_validates_against_schema(agent):
    jsonschema = pytest.importorskip("jsonschema")
    if not (ACP_DIR / "schema.json").exists():
        pytest.skip("ACP schema not available")
    defs = json.loads((ACP_DIR / "schema.json").read_text())["$defs"]
    blocks = [{"type": "text", "text": "t"}, {"type": "resource_link", "uri": "file:///a", "name": "a"},
              {"type": "resource", "resource": {"uri": "file:///b", "text": "body", "mimeType": "text/plain"}}]  # fmt: skip
    client, record = agent([handshake(), *prompt_turn(S)])
    await client.connect()
    await client.prompt("x", session_id=S, content_json=json.dumps(blocks))
    (p,) = [x["params"] for x in read_lines(record)[0] if x.get("method") == "session/prompt"]
    jsonschema.Draft202012Validator({"$ref": "#/$defs/PromptRequest", "$defs": defs}).validate(p)
    assert [b["type"] for b in p["prompt"]] == ["text", "resource_link", "resource"]
    await client.disconnect()


async def test_error_turns(agent):
    steps = [handshake(), expect("session/prompt"), send(text_chunk(S, "partial")), reply_error(-32603, "boom"),
             expect("session/prompt"), send(text_chunk(S, "partial")), reply_error(-32603, "boom", {"why": "x"}),
             expect("session/prompt"), reply({"stopReason": "sideways"})]  # fmt: skip
    client, _ = agent(steps)
    await client.connect()
    with pytest.raises(exceptions.ProtocolError) as info:
        await client.prompt("a", session_id=S)
    assert info.value.args == ("protocol error: boom",)
    await client.send_prompt("b", session_id=S)
    assert (await client.recv_update()).text == "partial"
    with pytest.raises(exceptions.ProtocolError) as info:
        await client.recv_update()
    assert info.value.args == ('protocol error: boom: {\n  "why": "x"\n}',)
    with pytest.raises(exceptions.ProtocolError, match="^protocol error: Parse error$"):
        await client.prompt("c", session_id=S)
    await client.disconnect()


# ---------------------------------------------------------------- send_prompt() / recv_update()


async def test_streamed_turn_ends_with_done(agent):
    client, _ = agent([handshake(), *new_session(S),
                       *prompt_turn(S, text_chunk(S, "Hel"), text_chunk(S, "lo"), stop_reason="cancelled")])  # fmt: skip
    await client.connect()
    assert await client.send_prompt("hi") is None
    got = [fields(await client.recv_update()) for _ in range(3)]
    assert got == [{"kind": "TextDelta", "text": "Hel"}, {"kind": "TextDelta", "text": "lo"},
                   {"kind": "Done", "stop_reason": "Cancelled"}]  # fmt: skip
    # Nothing more is queued: the next read waits rather than returning None.
    with pytest.raises(asyncio.TimeoutError):
        await asyncio.wait_for(client.recv_update(), 0.3)
    await client.disconnect()
    assert await asyncio.wait_for(client.recv_update(), 5) is None


async def test_each_done_pairs_with_its_own_turn(agent):
    steps = [handshake(), expect("session/prompt"), send(text_chunk(S, "one")), reply_error(1, "first failed"),
             *prompt_turn(S, text_chunk(S, "two"))]  # fmt: skip
    client, _ = agent(steps)
    await client.connect()
    await client.send_prompt("a", session_id=S)
    await client.send_prompt("b", session_id=S)
    assert (await client.recv_update()).text == "one"
    with pytest.raises(exceptions.ProtocolError, match="first failed"):
        await client.recv_update()
    assert (await client.recv_update()).text == "two"
    assert fields(await client.recv_update()) == {"kind": "Done", "stop_reason": "EndTurn"}
    await client.disconnect()


async def test_cancel_is_sent_after_the_running_prompt(agent, tmp_path):
    gate = tmp_path / "release"
    steps = [handshake(), expect("session/prompt"), {"wait_file": str(gate)}, reply({"stopReason": "cancelled"}),
             expect("session/cancel", {"sessionId": S})]  # fmt: skip
    client, record = agent(steps)
    await client.connect()
    await client.send_prompt("long", session_id=S)
    wait_for_messages(record, lambda msgs: any(x.get("method") == "session/prompt" for x in msgs))
    assert await client.cancel_session(S) is None  # returns at once, even while the turn runs
    await asyncio.sleep(0.3)
    assert not any(x.get("method") == "session/cancel" for x in read_lines(record)[0])
    gate.touch()
    assert fields(await asyncio.wait_for(client.recv_update(), 5)) == {"kind": "Done", "stop_reason": "Cancelled"}
    wait_for_messages(record, lambda msgs: any(x.get("method") == "session/cancel" for x in msgs))
    await client.disconnect()


async def test_backpressure_holds_the_dispatcher(agent):
    flood = [send(text_chunk(S, str(i))) for i in range(513)]
    ping = {"jsonrpc": "2.0", "id": "ping", "method": "x/ping"}
    client, record = agent([handshake(), *flood, send(ping), {"expect_response": {"id": "ping"}}])
    await client.connect()

    def answered(msgs):
        return any(x.get("id") == "ping" for x in msgs)

    await asyncio.sleep(0.5)
    assert not answered(read_lines(record)[0]), "the 513th update must hold the dispatcher"
    assert (await client.recv_update()).text == "0"
    wait_for_messages(record, answered, what="the answer released by one read")
    for i in range(1, 513):
        assert (await client.recv_update()).text == str(i)
    await client.disconnect()


async def test_prompt_and_recv_after_disconnect(agent):
    client, _ = agent([handshake(), send(text_chunk(S, "left over"))])
    await client.connect()
    await client.disconnect()
    # Items already queued are still handed out, then the closed queue gives None.
    u = await asyncio.wait_for(client.recv_update(), 5)
    assert u is None or u.text == "left over"
    if u is not None:
        assert await asyncio.wait_for(client.recv_update(), 5) is None
    with pytest.raises(exceptions.ConnectionError, match="background task closed"):
        await client.prompt("x", session_id=S)


async def test_cancelling_recv_update_keeps_the_client_usable(agent, tmp_path):
    gate = tmp_path / "go"
    client, _ = agent([handshake(), {"wait_file": str(gate)}, send(text_chunk(S, "late"))])
    await client.connect()
    with pytest.raises(asyncio.TimeoutError):
        await asyncio.wait_for(client.recv_update(), 0.2)
    gate.touch()
    assert (await asyncio.wait_for(client.recv_update(), 5)).text == "late"
    await client.disconnect()


# ---------------------------------------------------------------- permission requests


def options(*kinds):
    return [{"optionId": f"{k}-id", "name": k, "kind": k} for k in kinds]


async def answer_to(agent, request, callback=None, set_after_connect=False):
    client, record = agent([handshake(), send(request), {"expect_response": {"id": request["id"]}}])
    if callback is not None and not set_after_connect:
        client.set_permission_callback(callback)
    await client.connect()
    if set_after_connect:
        client.set_permission_callback(callback)
        # the request may already be waiting: that is fine, the slot is read when it is handled
    msgs = await wait_for_messages_async(
        record, lambda msgs: any(x.get("id") == request["id"] and "method" not in x for x in msgs)
    )
    await client.disconnect()
    (answer,) = [x for x in msgs if x.get("id") == request["id"] and "method" not in x]
    return answer


@pytest.mark.parametrize(
    "kinds,outcome",
    [
        (["reject_once", "allow_once", "allow_always"], {"optionId": "allow_once-id", "outcome": "selected"}),
        (["reject_once", "allow_always"], {"optionId": "allow_always-id", "outcome": "selected"}),
        (["reject_once", "reject_always"], {"optionId": "reject_once-id", "outcome": "selected"}),
        ([], {"outcome": "cancelled"}),
    ],
)
async def test_option_choice_without_callback(agent, kinds, outcome):
    answer = await answer_to(agent, permission_request(S, "call_1", options(*kinds)))
    assert answer == {"jsonrpc": "2.0", "result": {"outcome": outcome}, "id": 101}


class Result:
    def __init__(self, reason):
        self.reason = reason


class NoReason:
    pass


class BadReason:
    @property
    def reason(self):
        raise ValueError("cannot tell")


async def allow(*_):
    return Result(None)


async def deny(*_):
    return Result("")


async def no_reason(*_):
    return NoReason()


async def bad_reason(*_):
    return BadReason()


async def coroutine_raises(*_):
    raise RuntimeError("callback failed")


async def coroutine_cancelled(*_):
    raise asyncio.CancelledError


def raises(*_):
    raise RuntimeError("call failed")


def not_awaitable(*_):
    return Result(None)


ALLOW = {"optionId": "allow_once-id", "outcome": "selected"}
CANCELLED = {"outcome": "cancelled"}


@pytest.mark.parametrize(
    "callback,outcome",
    [(allow, ALLOW), (no_reason, ALLOW), (None, ALLOW), (deny, CANCELLED), (bad_reason, CANCELLED),
     (coroutine_raises, CANCELLED), (coroutine_cancelled, CANCELLED), (raises, CANCELLED),
     (not_awaitable, CANCELLED), ("not callable", CANCELLED)],
    ids=lambda x: getattr(x, "__name__", repr(x)),
)  # fmt: skip
async def test_permission_callback_outcomes(agent, callback, outcome):
    request = permission_request(S, "call_1", options("reject_once", "allow_once"))
    client, record = agent([handshake(), send(request), {"expect_response": {"id": 101}}])
    client.set_permission_callback(allow)
    client.set_permission_callback(callback)  # replaces; None clears the slot
    await client.connect()
    msgs = await wait_for_messages_async(record, lambda msgs: any(x.get("id") == 101 for x in msgs))
    await client.disconnect()
    assert [x["result"]["outcome"] for x in msgs if x.get("id") == 101] == [outcome]


async def test_permission_callback_arguments(agent):
    calls = []

    async def record_call(tool_name, tool_input, context):
        calls.append((tool_name, tool_input, list(context.items()), asyncio.get_running_loop()))
        return Result(None)

    full = permission_request(S, {"toolCallId": "call_9", "title": "Run ls", "kind": "execute",
                                  "rawInput": {"z": [1, {"b": 2, "a": 1}], "a": "é"}})  # fmt: skip
    bare = permission_request(S, "call_10", request_id="r2")
    client, record = agent([handshake(), *new_session(S), send(full), {"expect_response": {"id": 101}}, send(bare),
                            {"expect_response": {"id": "r2"}}])  # fmt: skip
    await client.connect()
    client.set_permission_callback(record_call)  # set after connect: used for later requests
    await client.new_session()  # lets the agent send its requests
    await wait_for_messages_async(record, lambda msgs: any(x.get("id") == "r2" for x in msgs))
    await client.disconnect()
    loop = asyncio.get_running_loop()
    assert [c[:3] for c in calls] == [
        ("Run ls", '{"a":"é","z":[1,{"a":1,"b":2}]}',
         [("tool_name", "Run ls"), ("tool_input", '{"a":"é","z":[1,{"a":1,"b":2}]}'), ("tool_use_id", "call_9"),
          ("session_id", S)]),
        ("", "{}", [("tool_name", ""), ("tool_input", "{}"), ("tool_use_id", "call_10"), ("session_id", S)]),
    ]  # fmt: skip
    assert all(c[3] is loop for c in calls)


async def test_permission_answer_validates_against_schema(agent):
    jsonschema = pytest.importorskip("jsonschema")
    if not (ACP_DIR / "schema.json").exists():
        pytest.skip("ACP schema not available")
    defs = json.loads((ACP_DIR / "schema.json").read_text())["$defs"]
    for callback in (allow, deny):
        answer = await answer_to(agent, permission_request(S, "c"), callback)
        jsonschema.Draft202012Validator({"$ref": "#/$defs/RequestPermissionResponse", "$defs": defs}).validate(
            answer["result"]
        )


async def test_undecodable_permission_request_stops_the_connection(agent):
    bad = {"jsonrpc": "2.0", "id": 5, "method": "session/request_permission", "params": {"sessionId": S}}
    client, record = agent([handshake(), send(bad), {"expect_eof": True}])
    await client.connect()
    assert await asyncio.wait_for(client.recv_update(), 5) is None
    assert not any(x.get("id") == 5 for x in read_lines(record)[0])
    await client.disconnect()


def test_set_permission_callback_arguments():
    client = m.NativeClient(m.ClientConfig(["true"]))
    with pytest.raises(TypeError):
        client.set_permission_callback()
    assert client.set_permission_callback(42) is None
    assert client.set_permission_callback(None) is None


def test_callback_reference_released():
    client = m.NativeClient(m.ClientConfig(["true"]))

    async def cb(*_):
        return None

    base = sys.getrefcount(cb)
    client.set_permission_callback(cb)
    assert sys.getrefcount(cb) == base + 1
    client.set_permission_callback(None)
    assert sys.getrefcount(cb) == base
    client.set_permission_callback(cb)
    del client
    import gc

    gc.collect()
    assert sys.getrefcount(cb) == base


async def test_timed_out_reads_lose_no_update(agent):
    # wait_for() cancels recv_update() over and over while updates trickle in: an update that
    # arrives just as a read is cancelled must stay queued for the next read.
    steps = [handshake()]
    for i in range(150):
        steps += [send(text_chunk(S, str(i))), {"sleep": 0.004}]
    client, _ = agent(steps + [send(END)])
    await client.connect()
    got, timeouts = [], 0
    while True:
        try:
            u = await asyncio.wait_for(client.recv_update(), 0.001 * (1 + len(got) % 4))
        except asyncio.TimeoutError:
            timeouts += 1
            continue
        if u.kind == m.UpdateKind.RateLimit:
            break
        got.append(u.text)
    await client.disconnect()
    assert got == [str(i) for i in range(150)]
    assert timeouts > 20
