"""The shipped demo agent, driven over pipes from plain Python (no SDK involved).

Checks the shape of a prompt turn for an allowed and a rejected tool call, cancellation while
the agent waits for permission, and that every line it writes matches the ACP schema.
"""

from __future__ import annotations

import json
import queue
import subprocess
import sys
import threading
from pathlib import Path
from typing import Any

import pytest

REPO = Path(__file__).resolve().parents[1]
DEMO_AGENT = REPO / "python" / "palisk_sdk" / "demo_agent.py"
SCHEMA = Path(__file__).resolve().parents[2] / "shared/acp/schema.json"
PROMPT = "Why does parse_line strip trailing newlines?"
WAIT = 5.0  # seconds any single read from the agent may take


class DemoPeer:
    """The client end of the pipes: sends requests, keeps every line the agent wrote."""

    def __init__(self) -> None:
        # Run by path, not -m: the test must not depend on the package's native part being built.
        self.proc = subprocess.Popen(
            [sys.executable, str(DEMO_AGENT), "--delay", "0.01"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        )
        self.lines: queue.Queue[bytes] = queue.Queue()
        self.transcript: list[tuple[bytes, dict[str, Any]]] = []  # (raw line, message) as received
        self.sent_methods: dict[Any, str] = {}  # request id -> method, to type the responses
        self._next_id = 0
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self) -> None:
        for line in self.proc.stdout:
            self.lines.put(line)

    def write(self, message: dict[str, Any]) -> None:
        self.proc.stdin.write(json.dumps({"jsonrpc": "2.0", **message}).encode() + b"\n")
        self.proc.stdin.flush()

    def request(self, method: str, params: dict[str, Any]) -> int:
        request_id, self._next_id = self._next_id, self._next_id + 1
        self.sent_methods[request_id] = method
        self.write({"id": request_id, "method": method, "params": params})
        return request_id

    def next(self, what: str) -> dict[str, Any]:
        try:
            raw = self.lines.get(timeout=WAIT)
        except queue.Empty:
            raise AssertionError(f"the demo agent wrote nothing for {WAIT} s while we waited for {what}") from None
        message = json.loads(raw)
        self.transcript.append((raw, message))
        return message

    def call(self, method: str, params: dict[str, Any]) -> dict[str, Any]:
        """Send a request and return its response, keeping whatever came before it."""
        request_id = self.request(method, params)
        while True:
            message = self.next(f"the response to {method}")
            if message.get("id") == request_id and "method" not in message:
                return message

    def prompt(self, session_id: str, on_permission: Any) -> tuple[dict[str, Any], list[dict[str, Any]]]:
        """Run one turn; on_permission(request) answers the permission request. Returns
        (prompt response, messages written during the turn)."""
        request_id = self.request("session/prompt", {"sessionId": session_id, "prompt": [{"type": "text", "text": PROMPT}]})
        during = []
        while True:
            message = self.next("the end of the prompt turn")
            if message.get("id") == request_id and "method" not in message:
                return message, during
            during.append(message)
            if message.get("method") == "session/request_permission":
                on_permission(message)

    def answer(self, request: dict[str, Any], outcome: dict[str, Any]) -> None:
        self.write({"id": request["id"], "result": {"outcome": outcome}})

    def close(self) -> int:
        self.proc.stdin.close()
        try:
            return self.proc.wait(WAIT)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()


@pytest.fixture
def peer():
    peer = DemoPeer()
    yield peer
    if peer.proc.poll() is None:
        peer.close()


def open_session(peer: DemoPeer) -> str:
    init = peer.call("initialize", {"protocolVersion": 1, "clientCapabilities": {}, "clientInfo": {"name": "t", "version": "0"}})
    assert init["result"]["protocolVersion"] == 1
    assert init["result"]["agentInfo"]["name"] == "palisk-demo-agent"
    return peer.call("session/new", {"cwd": "/work/proj", "mcpServers": []})["result"]["sessionId"]


def updates(messages: list[dict[str, Any]]) -> list[dict[str, Any]]:
    return [m["params"]["update"] for m in messages if m.get("method") == "session/update"]


@pytest.mark.parametrize(
    ("option_id", "tool_statuses", "decision"),
    [
        ("allow-once", ["in_progress", "completed"], "you allowed it once"),
        ("reject-always", ["failed"], "you rejected it for good"),
    ],
    ids=["allowed", "rejected"],
)
def test_prompt_turn_shape(peer, option_id, tool_statuses, decision):
    session_id = open_session(peer)
    assert peer.call("session/set_mode", {"sessionId": session_id, "modeId": "code"})["result"] == {}

    permission_requests = []

    def allow_or_reject(request):
        permission_requests.append(request)
        peer.answer(request, {"outcome": "selected", "optionId": option_id})

    response, during = peer.prompt(session_id, allow_or_reject)
    assert response["result"] == {"stopReason": "end_turn"}

    kinds = [u["sessionUpdate"] for u in updates(during)]
    last_thought = max(i for i, k in enumerate(kinds) if k == "agent_thought_chunk")
    first_text = kinds.index("agent_message_chunk")
    assert kinds.count("agent_thought_chunk") == 2 and last_thought < first_text
    assert kinds.index("plan") < kinds.index("tool_call") < first_text
    assert "usage_update" in kinds[first_text:]

    (request,) = permission_requests
    call = next(u for u in updates(during) if u["sessionUpdate"] == "tool_call")
    assert call["status"] == "pending" and call["kind"] in ("read", "execute") and call["rawInput"]
    assert request["params"]["toolCall"]["toolCallId"] == call["toolCallId"]
    assert {o["kind"] for o in request["params"]["options"]} == {"allow_once", "allow_always", "reject_once", "reject_always"}
    # Everything about the tool after the permission request, in order.
    after = during[during.index(request) + 1:]
    statuses = [u["status"] for u in updates(after) if u["sessionUpdate"] == "tool_call_update" and u["toolCallId"] == call["toolCallId"]]
    assert statuses == tool_statuses

    text = "".join(u["content"]["text"] for u in updates(during) if u["sessionUpdate"] == "agent_message_chunk")
    assert PROMPT in text and decision in text

    # Unknown notifications get no answer, unknown requests -32601; stdin EOF ends the agent.
    seen = len(peer.transcript)
    peer.write({"method": "_palisk/unknown_note", "params": {}})
    assert peer.call("_palisk/unknown", {})["error"]["code"] == -32601
    assert len(peer.transcript) == seen + 1
    assert peer.close() == 0


def test_cancel_while_waiting_for_permission(peer):
    session_id = open_session(peer)

    def cancel(request):
        peer.write({"method": "session/cancel", "params": {"sessionId": session_id}})
        peer.answer(request, {"outcome": "cancelled"})

    response, during = peer.prompt(session_id, cancel)
    assert response["result"] == {"stopReason": "cancelled"}
    assert "agent_message_chunk" not in [u["sessionUpdate"] for u in updates(during)]
    # The session stays usable after a cancelled turn.
    response, _ = peer.prompt(session_id, lambda r: peer.answer(r, {"outcome": "selected", "optionId": "allow-once"}))
    assert response["result"] == {"stopReason": "end_turn"}


RESPONSE_DEFS = {
    "initialize": "InitializeResponse",
    "session/new": "NewSessionResponse",
    "session/load": "LoadSessionResponse",
    "session/set_mode": "SetSessionModeResponse",
    "session/prompt": "PromptResponse",
}


def test_every_line_matches_the_schema(peer):
    if not SCHEMA.exists():
        pytest.skip(f"no ACP schema at {SCHEMA}")
    jsonschema = pytest.importorskip("jsonschema")
    defs = json.loads(SCHEMA.read_text())["$defs"]

    def validator(name):
        return jsonschema.Draft202012Validator({"$defs": defs, "$ref": f"#/$defs/{name}"})

    # The validator must be able to say no, or the loop below proves nothing.
    bad_usage = {"sessionId": "s", "update": {"sessionUpdate": "usage_update", "used": 1}}
    assert not validator("SessionNotification").is_valid(bad_usage)

    session_id = open_session(peer)
    peer.call("session/set_mode", {"sessionId": session_id, "modeId": "code"})
    peer.prompt(session_id, lambda r: peer.answer(r, {"outcome": "selected", "optionId": "allow-always"}))
    replay_start = len(peer.transcript)
    load = peer.call("session/load", {"sessionId": session_id, "cwd": "/work/proj", "mcpServers": []})
    assert "modes" in load["result"]
    replay = [m["params"]["update"] for _, m in peer.transcript[replay_start:-1]]
    assert replay[0] == {"sessionUpdate": "user_message_chunk", "content": {"type": "text", "text": PROMPT}}
    assert {u["sessionUpdate"] for u in replay[1:]} == {"agent_message_chunk"}
    peer.call("session/set_mode", {"sessionId": session_id, "modeId": "no-such-mode"})
    peer.call("_palisk/unknown", {})

    checked = set()
    for raw, message in peer.transcript:
        assert raw.endswith(b"\n") and raw.rstrip(b"\n") == json.dumps(message, separators=(",", ":"), ensure_ascii=False).encode()
        assert message.pop("jsonrpc") == "2.0"
        if "method" in message:
            name = {"session/update": "SessionNotification", "session/request_permission": "RequestPermissionRequest"}[message["method"]]
            instance = message["params"]
        elif "error" in message:
            name, instance = "Error", message["error"]
        else:
            name, instance = RESPONSE_DEFS[peer.sent_methods[message["id"]]], message["result"]
        errors = [e.message for e in validator(name).iter_errors(instance)]
        assert not errors, f"{name}: {errors} in {raw!r}"
        checked.add(name)
    assert checked == {*RESPONSE_DEFS.values(), "SessionNotification", "RequestPermissionRequest", "Error"}


@pytest.mark.parametrize("deny", [False, True])
def test_main_job_demo(deny):
    """The README's main job: a streamed turn against the demo agent, printed as it arrives."""
    args = [sys.executable, "-m", "palisk_sdk.demo"] + (["--deny"] if deny else [])
    r = subprocess.run(args, capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    lines = [line.split()[0] for line in r.stdout.splitlines() if line.strip()]
    for kind in ["ThoughtDelta", "Plan", "ToolUseStart", "Permission", "ToolUseUpdate", "ToolUseEnd", "TextDelta",
                 "Usage", "Done"]:  # fmt: skip
        assert kind in lines, f"{kind} missing from the demo's output:\n{r.stdout}"
    # The permission callback prints from the event loop while updates stream in, so it may come
    # before or after ToolUseStart is printed, but always before the tool's end.
    assert lines.index("ToolUseStart") < lines.index("ToolUseEnd") < lines.index("Done")
    assert lines.index("Permission") < lines.index("ToolUseEnd")
    assert ("-> deny" if deny else "-> allow") in r.stdout
    assert ("status=Failed" if deny else "status=Completed") in r.stdout
    assert r.stdout.rstrip().endswith("stop_reason=EndTurn")
