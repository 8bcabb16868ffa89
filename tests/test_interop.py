"""The client against an agent built on the public ACP Python package (a peer we did not write)."""

import asyncio
import json
import sys
from pathlib import Path

import pytest

import palisk_sdk._palisk_sdk as m
from palisk_sdk import exceptions

pytest.importorskip("acp")
PEER = [sys.executable, str(Path(__file__).with_name("acp_peer_agent.py"))]


class Verdict:
    def __init__(self, reason):
        self.reason = reason


async def drain_turn(client):
    updates = []
    while True:
        u = await asyncio.wait_for(client.recv_update(), 20)
        assert u is not None, "the connection ended during the turn"
        updates.append(u)
        if u.kind == m.UpdateKind.Done:
            return updates


async def test_sessions_and_a_streamed_turn():
    client = m.NativeClient(m.ClientConfig(PEER))
    asked = []

    async def gate(tool_name, tool_input, context):
        asked.append((tool_name, dict(context)))
        return Verdict(None)

    client.set_permission_callback(gate)
    caps = await client.connect()
    assert caps.sessions is True
    assert json.loads(await client.agent_info()) == {"name": "acp-peer-agent", "title": "ACP peer agent",
                                                      "version": "0.1.0"}  # fmt: skip
    session = await client.new_session()
    assert await client.set_session_mode(session, "code") is None
    with pytest.raises(exceptions.ProtocolError, match="Invalid params"):
        await client.set_session_mode(session, "nonexistent")

    await client.send_prompt("run the tests")
    updates = await drain_turn(client)
    kinds = [repr(u.kind).split(".")[1] for u in updates]
    for kind in ["ThoughtDelta", "Plan", "CommandsUpdate", "ModeChange", "ConfigUpdate", "SessionInfo",
                 "ToolUseStart", "ToolUseUpdate", "ToolUseEnd", "TextDelta", "Usage", "Done"]:  # fmt: skip
        assert kind in kinds, f"{kind} missing from {kinds}"
    assert updates[-1].stop_reason == "EndTurn"
    start = next(u for u in updates if u.kind == m.UpdateKind.ToolUseStart)
    assert (start.tool_kind, start.tool_status, start.tool_input) == ("Execute", "Pending", '{"command":"pytest -q"}')
    assert next(u for u in updates if u.kind == m.UpdateKind.ModeChange).mode_id == "code"
    text = "".join(u.text for u in updates if u.kind == m.UpdateKind.TextDelta)
    assert "allowed (allow-once)" in text
    assert asked == [("Run pytest -q", {"tool_name": "Run pytest -q", "tool_input": "{}",
                                        "tool_use_id": "call_1", "session_id": session})]  # fmt: skip

    # A denied permission: the peer sees "cancelled" and ends the turn so.
    async def deny(*_):
        return Verdict("no")

    client.set_permission_callback(deny)
    await client.send_prompt("again")
    updates = await drain_turn(client)
    assert updates[-1].stop_reason == "Cancelled"
    assert not any(u.kind == m.UpdateKind.TextDelta for u in updates)

    # Loading replays the history as updates before the load answers.
    assert await client.load_session(session, None) == session
    replayed = []
    while True:
        try:
            u = await asyncio.wait_for(client.recv_update(), 0.5)
        except asyncio.TimeoutError:
            break
        replayed.append(u.text)
    assert "You said 'run the tests'; the tool was allowed (allow-once)." in "".join(t or "" for t in replayed)
    await client.disconnect()
