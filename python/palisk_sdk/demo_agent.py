"""A small ACP agent to try the SDK with, no model or network needed.

Run it as ``python -m palisk_sdk.demo_agent [--delay SECONDS]``. It speaks ACP (JSON-RPC 2.0, one
compact JSON object per line) on stdin/stdout, keeps its sessions in memory, and answers every
prompt with the same short turn: two thoughts, a plan, one tool call that waits for the user's
permission, a reply quoting the prompt, and a usage report. The tool is only pretended: nothing
is run or read. Plain standard library, so it works wherever Python does.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import threading
import uuid
from typing import Any

PROTOCOL_VERSION = 1
AGENT_INFO = {"name": "palisk-demo-agent", "title": "Palisk demo agent", "version": "0.1.0"}
CONTEXT_WINDOW = 200_000
MODES = [
    {"id": "ask", "name": "Ask", "description": "Ask before running any tool"},
    {"id": "code", "name": "Code", "description": "Work on the code, still asking before tools"},
]
PERMISSION_OPTIONS = [
    {"optionId": "allow-once", "name": "Allow once", "kind": "allow_once"},
    {"optionId": "allow-always", "name": "Always allow", "kind": "allow_always"},
    {"optionId": "reject-once", "name": "Reject", "kind": "reject_once"},
    {"optionId": "reject-always", "name": "Always reject", "kind": "reject_always"},
]
DECISIONS = {
    "allow_once": "you allowed it once",
    "allow_always": "you allowed it for good",
    "reject_once": "you rejected it",
    "reject_always": "you rejected it for good",
}
# How long a cancelled turn still waits for the client's "cancelled" answer to its permission
# request: the client owes one, but a turn must not hang on a client that forgets.
CANCEL_GRACE = 1.0


class RpcError(Exception):
    def __init__(self, code: int, message: str, data: Any = None) -> None:
        super().__init__(message)
        self.error = {"code": code, "message": message, **({"data": data} if data is not None else {})}


class Session:
    def __init__(self, session_id: str, cwd: str) -> None:
        self.id = session_id
        self.cwd = cwd
        self.mode = MODES[0]["id"]
        self.history: list[dict[str, Any]] = []  # updates replayed by session/load
        self.used_tokens = 1_200
        self.cost = 0.0
        self.turn_running = False
        self.cancelled = threading.Event()


class DemoAgent:
    def __init__(self, out: Any, delay: float) -> None:
        self._out = out
        self._delay = delay
        self._write_lock = threading.Lock()
        self._sessions: dict[str, Session] = {}
        self._pending: dict[str, tuple[threading.Event, list[Any]]] = {}  # our requests, by id
        self._next_id = 0
        self._lock = threading.Lock()  # guards _pending, _next_id, Session.turn_running

    # -- wire ----------------------------------------------------------------------------------

    def send(self, message: dict[str, Any]) -> None:
        data = json.dumps({"jsonrpc": "2.0", **message}, separators=(",", ":"), ensure_ascii=False)
        with self._write_lock:
            try:
                self._out.write(data.encode("utf-8") + b"\n")
                self._out.flush()
            except (BrokenPipeError, ValueError):  # the client went away: nothing left to do
                os._exit(0)

    def update(self, session: Session, update: dict[str, Any], remember: bool = False) -> None:
        if remember:
            session.history.append(update)
        self.send({"method": "session/update", "params": {"sessionId": session.id, "update": update}})

    def request(self, method: str, params: dict[str, Any], session: Session) -> dict[str, Any] | None:
        """Send a request to the client and wait for its response (None if a cancel cut it short)."""
        with self._lock:
            request_id = f"demo-{self._next_id}"
            self._next_id += 1
            done, slot = self._pending[request_id] = (threading.Event(), [])
        self.send({"id": request_id, "method": method, "params": params})
        while not done.wait(0.05):
            if session.cancelled.is_set() and not done.wait(CANCEL_GRACE):
                break
        with self._lock:
            self._pending.pop(request_id, None)
        return slot[0] if slot else None

    def serve(self, lines: Any) -> None:
        for raw in lines:
            if raw.strip():
                self.handle_line(raw)

    def handle_line(self, raw: bytes) -> None:
        try:
            message = json.loads(raw)
        except ValueError:
            self.send({"id": None, "error": {"code": -32700, "message": "Parse error"}})
            return
        if not isinstance(message, dict) or ("method" not in message and "id" not in message):
            self.send({"id": None, "error": {"code": -32600, "message": "Invalid request"}})
            return
        if "method" not in message:  # a response to one of our requests
            with self._lock:
                waiter = self._pending.get(str(message["id"]))
            if waiter:
                waiter[1].append(message)
                waiter[0].set()
            return
        method, params = message["method"], message.get("params")
        if not isinstance(method, str):
            self.send({"id": message.get("id"), "error": {"code": -32600, "message": "Invalid request"}})
            return
        if "id" not in message:
            if method == "session/cancel" and isinstance(params, dict):
                session = self._sessions.get(str(params.get("sessionId")))
                if session and session.turn_running:
                    session.cancelled.set()
            return  # unknown notifications are ignored
        request_id = message["id"]
        try:
            handler = self.HANDLERS.get(method)
            if handler is None:
                raise RpcError(-32601, "Method not found", {"method": method})
            if not isinstance(params, dict):
                raise RpcError(-32602, "Invalid params", "params must be an object")
            result = handler(self, request_id, params)
        except RpcError as exc:
            self.send({"id": request_id, "error": exc.error})
            return
        if result is not None:  # None: answered later (a prompt turn)
            self.send({"id": request_id, "result": result})

    # -- requests ------------------------------------------------------------------------------

    def initialize(self, _id: Any, params: dict[str, Any]) -> dict[str, Any]:
        return {
            "protocolVersion": PROTOCOL_VERSION,
            "agentCapabilities": {"loadSession": True},
            "agentInfo": AGENT_INFO,
        }

    def new_session(self, _id: Any, params: dict[str, Any]) -> dict[str, Any]:
        session = Session(f"sess_{uuid.uuid4().hex[:12]}", _cwd(params))
        self._sessions[session.id] = session
        return {"sessionId": session.id, "modes": self._modes(session)}

    def load_session(self, _id: Any, params: dict[str, Any]) -> dict[str, Any]:
        session_id = params.get("sessionId")
        if not isinstance(session_id, str):
            raise RpcError(-32602, "Invalid params", "sessionId must be a string")
        cwd = _cwd(params)
        # Sessions live in memory only: an id from an earlier process loads as an empty session.
        session = self._sessions.setdefault(session_id, Session(session_id, cwd))
        session.cwd = cwd
        for update in session.history:
            self.update(session, update)
        return {"modes": self._modes(session)}

    def set_mode(self, _id: Any, params: dict[str, Any]) -> dict[str, Any]:
        session = self._session(params)
        mode_id = params.get("modeId")
        if mode_id not in {mode["id"] for mode in MODES}:
            raise RpcError(-32602, "Invalid params", f"unknown mode {mode_id!r}")
        session.mode = mode_id
        return {}

    def prompt(self, request_id: Any, params: dict[str, Any]) -> None:
        session = self._session(params)
        prompt = params.get("prompt")
        if not isinstance(prompt, list):
            raise RpcError(-32602, "Invalid params", "prompt must be a list of content blocks")
        with self._lock:
            if session.turn_running:
                raise RpcError(-32602, "Invalid params", "a prompt is already running in this session")
            session.turn_running = True
            session.cancelled.clear()
        threading.Thread(target=self._turn, args=(session, request_id, prompt), daemon=True).start()

    HANDLERS = {
        "initialize": initialize,
        "session/new": new_session,
        "session/load": load_session,
        "session/set_mode": set_mode,
        "session/prompt": prompt,
    }

    def _session(self, params: dict[str, Any]) -> Session:
        session = self._sessions.get(str(params.get("sessionId")))
        if session is None:
            raise RpcError(-32602, "Invalid params", f"unknown session {params.get('sessionId')!r}")
        return session

    def _modes(self, session: Session) -> dict[str, Any]:
        return {"currentModeId": session.mode, "availableModes": MODES}

    # -- the scripted turn ---------------------------------------------------------------------

    def _turn(self, session: Session, request_id: Any, prompt: list[Any]) -> None:
        try:
            reply: dict[str, Any] = {"result": {"stopReason": self._play_turn(session, prompt)}}
        except Exception as exc:  # a bug here must still answer the prompt, not leave it hanging
            reply = {"error": {"code": -32603, "message": "Internal error", "data": repr(exc)}}
        with self._lock:
            session.turn_running = False
        self.send({"id": request_id, **reply})

    def _play_turn(self, session: Session, prompt: list[Any]) -> str:
        text, path = _prompt_text(prompt)
        turn = uuid.uuid4().hex[:6]

        def pause() -> bool:  # the pacing between updates, and True once the turn is cancelled
            return session.cancelled.wait(self._delay)

        session.history.append({"sessionUpdate": "user_message_chunk", "content": _text(text)})

        for thought in (
            f"The user asks: {text!r}. Let me look around before answering.",
            "A quick look at the workspace should be enough; that needs one tool call.",
        ):
            if pause():
                return "cancelled"
            self.update(session, {"sessionUpdate": "agent_thought_chunk", "content": _text(thought),
                                  "messageId": f"thought_{turn}"})
        steps = ["Look at the workspace", "Answer the question", "Report usage"]
        if pause():
            return "cancelled"
        self.update(session, _plan(steps, done=0))

        call_id = f"call_{turn}"
        tool: dict[str, Any]
        if path:
            tool = {"title": f"Read {path}", "kind": "read", "rawInput": {"path": path},
                    "locations": [{"path": path, "line": 1}]}
        else:
            tool = {"title": "Run ls -la", "kind": "execute", "rawInput": {"command": "ls -la", "cwd": session.cwd}}
        if pause():
            return "cancelled"
        self.update(session, {"sessionUpdate": "tool_call", "toolCallId": call_id, "status": "pending", **tool})

        answer = self.request("session/request_permission", {
            "sessionId": session.id,
            "toolCall": {"toolCallId": call_id, "status": "pending", **tool},
            "options": PERMISSION_OPTIONS,
        }, session)
        if session.cancelled.is_set():
            return "cancelled"
        allowed, decision = _decision(answer)
        if allowed:
            self.update(session, {"sessionUpdate": "tool_call_update", "toolCallId": call_id, "status": "in_progress"})
            if pause():
                return "cancelled"
            output = f"(pretend) contents of {path}" if path else "README.md\npyproject.toml\nsrc/\ntests/"
            self.update(session, {"sessionUpdate": "tool_call_update", "toolCallId": call_id, "status": "completed",
                                  "content": [{"type": "content", "content": _text(output)}],
                                  "rawOutput": {"exitCode": 0}})
        else:
            self.update(session, {"sessionUpdate": "tool_call_update", "toolCallId": call_id, "status": "failed",
                                  "content": [{"type": "content", "content": _text(f"Not run: {decision}.")}]})
        self.update(session, _plan(steps, done=1))

        message_id = f"msg_{turn}"
        outcome = "so I went ahead" if allowed else "so I left it alone"
        for chunk in (
            f"You asked: “{text}”. ",
            f"I wanted to {tool['title'][0].lower()}{tool['title'][1:]}, and {decision}, {outcome}. ",
            "This is the demo agent, so that is all the answer there is.",
        ):
            if pause():
                return "cancelled"
            self.update(session, {"sessionUpdate": "agent_message_chunk", "content": _text(chunk),
                                  "messageId": message_id}, remember=True)

        session.used_tokens += 850 + 4 * len(text)
        session.cost += 0.0021
        self.update(session, {"sessionUpdate": "usage_update", "used": session.used_tokens, "size": CONTEXT_WINDOW,
                              "cost": {"amount": round(session.cost, 6), "currency": "USD"}})
        self.update(session, _plan(steps, done=3))
        return "end_turn"


def _text(text: str) -> dict[str, Any]:
    return {"type": "text", "text": text}


def _plan(steps: list[str], done: int) -> dict[str, Any]:
    priorities = ["high", "high", "low"]
    entries = [
        {"content": step, "priority": priorities[i],
         "status": "completed" if i < done else "in_progress" if i == done else "pending"}
        for i, step in enumerate(steps)
    ]
    return {"sessionUpdate": "plan", "entries": entries}


def _cwd(params: dict[str, Any]) -> str:
    cwd = params.get("cwd")
    if not isinstance(cwd, str):
        raise RpcError(-32602, "Invalid params", "cwd must be a string")
    return cwd


def _prompt_text(prompt: list[Any]) -> tuple[str, str | None]:
    """The prompt's text and the path of the first file it links or embeds, if any."""
    texts, path = [], None
    for block in prompt:
        if not isinstance(block, dict):
            continue
        if block.get("type") == "text" and isinstance(block.get("text"), str):
            texts.append(block["text"])
        resource = block.get("resource")
        uri = block.get("uri") or (resource.get("uri") if isinstance(resource, dict) else None)
        if path is None and isinstance(uri, str) and uri.startswith("file://"):
            path = uri[len("file://"):]
    return " ".join(texts).strip() or "(no text)", path


def _decision(answer: dict[str, Any] | None) -> tuple[bool, str]:
    """(allowed, how to say it) for the client's answer to a permission request."""
    if answer is None or "error" in answer:
        return False, "the permission request failed"
    outcome = (answer.get("result") or {}).get("outcome") or {}
    if outcome.get("outcome") != "selected":
        return False, "the permission request was cancelled"
    kind = next((o["kind"] for o in PERMISSION_OPTIONS if o["optionId"] == outcome.get("optionId")), None)
    if kind is None:
        return False, f"the answer named an unknown option {outcome.get('optionId')!r}"
    return kind.startswith("allow"), DECISIONS[kind]


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(prog="python -m palisk_sdk.demo_agent", description=__doc__.splitlines()[0])
    parser.add_argument("--delay", type=float, default=0.05, help="seconds between streamed updates (0.05)")
    args = parser.parse_args(argv)
    DemoAgent(sys.stdout.buffer, max(args.delay, 0.0)).serve(sys.stdin.buffer)


if __name__ == "__main__":
    main()
