"""Helpers for tests that run the scripted fake agent (fake_agent.py).

A test builds a list of steps, `write_scenario` turns it into an agent command line, and
`read_lines` shows what the agent received. The builders return either steps (dicts with
one step key, to put in the list) or agent messages (to wrap in `send`).
"""

from __future__ import annotations

import json
import sys
import time
from pathlib import Path
from typing import Any, Callable

FAKE_AGENT = Path(__file__).resolve().with_name("fake_agent.py")

DEFAULT_INIT_RESULT: dict[str, Any] = {"protocolVersion": 1, "agentCapabilities": {"loadSession": True}}

PERMISSION_OPTIONS: list[dict[str, str]] = [
    {"optionId": "allow-once", "name": "Allow once", "kind": "allow_once"},
    {"optionId": "allow-always", "name": "Always allow", "kind": "allow_always"},
    {"optionId": "reject-once", "name": "Reject", "kind": "reject_once"},
    {"optionId": "reject-always", "name": "Always reject", "kind": "reject_always"},
]


# -- running -----------------------------------------------------------------------------------


def write_scenario(tmp_path: Path, steps: list[dict[str, Any]], name: str = "agent") -> tuple[list[str], Path]:
    """Write the steps under tmp_path; return (command line for the agent, path of its record).

    Several scenarios can share one tmp_path: a taken name gets a numeric suffix.
    """
    tmp_path = Path(tmp_path)
    stem, n = name, 1
    while (tmp_path / f"{stem}.json").exists():
        n += 1
        stem = f"{name}-{n}"
    scenario = tmp_path / f"{stem}.json"
    record = tmp_path / f"{stem}.record"
    scenario.write_text(json.dumps(steps, indent=1), encoding="utf-8")
    return [sys.executable, str(FAKE_AGENT), str(scenario), str(record)], record


def read_lines(record_path: Path) -> tuple[list[Any], list[bytes]]:
    """What the agent has received so far: (parsed messages, raw lines).

    The raw lines are the record split on b"\\n", so the last item is the unterminated tail
    (b"" when everything received ended with a newline). Messages are parsed from the complete,
    non-blank lines only; a complete line that is not JSON raises ValueError naming it.
    """
    data = Path(record_path).read_bytes() if Path(record_path).exists() else b""
    raw = data.split(b"\n")
    messages = []
    for line in raw[:-1]:
        if not line.strip():
            continue
        try:
            messages.append(json.loads(line))
        except ValueError as exc:
            raise ValueError(f"the agent received a line that is not JSON: {line[:300]!r}") from exc
    return messages, raw


def _received(record_path: Path, predicate: Callable[[list[Any]], bool], deadline: float, what: str):
    """The messages once predicate(messages) holds, None while it does not; fails past the deadline."""
    messages, _ = read_lines(record_path)
    if predicate(messages):
        return messages
    if time.monotonic() > deadline:
        raise AssertionError(f"the agent did not receive {what} within the time limit; it got {messages!r}")
    return None


def wait_for_messages(
    record_path: Path,
    predicate: Callable[[list[Any]], bool],
    timeout: float = 5.0,
    what: str = "the expected messages",
) -> list[Any]:
    """Poll the record until predicate(messages) holds; fail the test after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while (messages := _received(record_path, predicate, deadline, what)) is None:
        time.sleep(0.01)
    return messages


async def wait_for_messages_async(
    record_path: Path,
    predicate: Callable[[list[Any]], bool],
    timeout: float = 5.0,
    what: str = "the expected messages",
) -> list[Any]:
    """wait_for_messages for async tests: polls without blocking the event loop."""
    import asyncio

    deadline = time.monotonic() + timeout
    while (messages := _received(record_path, predicate, deadline, what)) is None:
        await asyncio.sleep(0.01)
    return messages


def methods(messages: list[Any]) -> list[str | None]:
    """The method of each message (None for responses)."""
    return [m.get("method") if isinstance(m, dict) else None for m in messages]


# -- steps -------------------------------------------------------------------------------------


def handshake(result: dict[str, Any] | None = None) -> dict[str, Any]:
    """Expect initialize and answer it (with DEFAULT_INIT_RESULT when result is None)."""
    return {"handshake": True if result is None else result}


def expect(method: str, params_subset: dict[str, Any] | None = None) -> dict[str, Any]:
    if params_subset is None:
        return {"expect": method}
    return {"expect": {"method": method, "params_subset": params_subset}}


def expect_any() -> dict[str, Any]:
    """Expect the next request, whatever its method."""
    return {"expect": {}}


def reply(result: Any) -> dict[str, Any]:
    return {"reply": {"result": result}}


def reply_error(code: int, message: str, data: Any = None) -> dict[str, Any]:
    error: dict[str, Any] = {"code": code, "message": message}
    if data is not None:
        error["data"] = data
    return {"reply": {"error": error}}


def send(message: dict[str, Any]) -> dict[str, Any]:
    return {"send": message}


def new_session(session_id: str = "sess_1", **result: Any) -> list[dict[str, Any]]:
    """Expect session/new and answer with the session id (plus any extra result members)."""
    return [expect("session/new"), reply({"sessionId": session_id, **result})]


def prompt_turn(session_id: str, *messages: dict[str, Any], stop_reason: str = "end_turn") -> list[dict[str, Any]]:
    """Expect session/prompt for the session, send the messages, then answer with stop_reason."""
    return [
        expect("session/prompt", {"sessionId": session_id}),
        *(send(m) for m in messages),
        reply({"stopReason": stop_reason}),
    ]


# -- agent messages ----------------------------------------------------------------------------


def update(session_id: str, update_dict: dict[str, Any]) -> dict[str, Any]:
    """A session/update notification carrying update_dict (which holds "sessionUpdate")."""
    return {
        "jsonrpc": "2.0",
        "method": "session/update",
        "params": {"sessionId": session_id, "update": update_dict},
    }


def text_chunk(
    session_id: str, text: str, kind: str = "agent_message_chunk", message_id: str | None = None
) -> dict[str, Any]:
    """A message or thought chunk (kind: agent_message_chunk, agent_thought_chunk, user_message_chunk)."""
    body: dict[str, Any] = {"sessionUpdate": kind, "content": {"type": "text", "text": text}}
    if message_id is not None:
        body["messageId"] = message_id
    return update(session_id, body)


def tool_call(
    session_id: str, tool_call_id: str, title: str, kind: str = "execute", status: str = "pending", **fields: Any
) -> dict[str, Any]:
    """A tool_call update; extra members (rawInput=..., locations=...) go in as given."""
    return update(
        session_id,
        {"sessionUpdate": "tool_call", "toolCallId": tool_call_id, "title": title, "kind": kind, "status": status,
         **fields},
    )


def tool_call_update(session_id: str, tool_call_id: str, **fields: Any) -> dict[str, Any]:
    return update(session_id, {"sessionUpdate": "tool_call_update", "toolCallId": tool_call_id, **fields})


def permission_request(
    session_id: str,
    tool_call: dict[str, Any] | str,
    options: list[dict[str, Any]] | None = None,
    request_id: Any = 101,
) -> dict[str, Any]:
    """A session/request_permission request from the agent.

    tool_call is a ToolCallUpdate dict or just its toolCallId. The request id belongs to the
    agent's own id space (it is not the "$id" of the client's current request).
    """
    if isinstance(tool_call, str):
        tool_call = {"toolCallId": tool_call}
    return {
        "jsonrpc": "2.0",
        "id": request_id,
        "method": "session/request_permission",
        "params": {
            "sessionId": session_id,
            "toolCall": tool_call,
            "options": PERMISSION_OPTIONS if options is None else options,
        },
    }
