#!/usr/bin/env python3
"""An agent built on the public `acp` package, used as an independent peer in tests.

Run as `python tests/acp_peer_agent.py [--delay SECONDS]`. Because its wire format comes from
another implementation, a client that works against it is not just agreeing with our own fake.
Every prompt turn streams each session update kind the package can send (message and thought
chunks, tool call and its updates, plan, available commands, current mode, config options,
session info, usage), asks for permission once, and ends with end_turn, or with cancelled when
session/cancel arrives first. session/load replays the session's messages before answering.
"""

from __future__ import annotations

import argparse
import asyncio
import uuid
from datetime import datetime, timezone
from typing import Any

from acp import (
    PROTOCOL_VERSION,
    plan_entry,
    run_agent,
    start_tool_call,
    text_block,
    tool_content,
    update_agent_message_text,
    update_agent_thought_text,
    update_plan,
    update_tool_call,
    update_user_message_text,
)
from acp.exceptions import RequestError
from acp.schema import (
    AgentCapabilities,
    AvailableCommand,
    AvailableCommandInput,
    AvailableCommandsUpdate,
    ConfigOptionUpdate,
    Cost,
    CurrentModeUpdate,
    Implementation,
    InitializeResponse,
    LoadSessionResponse,
    NewSessionResponse,
    PermissionOption,
    PromptResponse,
    SessionConfigOptionSelect,
    SessionConfigSelectOption,
    SessionInfoUpdate,
    SessionMode,
    SessionModeState,
    SetSessionModeResponse,
    ToolCallUpdate,
    UnstructuredCommandInput,
    UsageUpdate,
)

AGENT_INFO = Implementation(name="acp-peer-agent", title="ACP peer agent", version="0.1.0")
MODES = [SessionMode(id="ask", name="Ask"), SessionMode(id="code", name="Code", description="Edit without asking")]
PERMISSION_OPTIONS = [
    PermissionOption(option_id="allow-once", name="Allow once", kind="allow_once"),
    PermissionOption(option_id="allow-always", name="Always allow", kind="allow_always"),
    PermissionOption(option_id="reject-once", name="Reject", kind="reject_once"),
    PermissionOption(option_id="reject-always", name="Always reject", kind="reject_always"),
]


class PeerSession:
    def __init__(self, session_id: str) -> None:
        self.id = session_id
        self.mode = "ask"
        self.history: list[tuple[str, str]] = []  # (role, text), replayed by session/load
        self.cancelled = asyncio.Event()
        self.turns = 0


class PeerAgent:
    def __init__(self, delay: float) -> None:
        self._delay = delay
        self._conn: Any = None
        self._sessions: dict[str, PeerSession] = {}

    def on_connect(self, conn: Any) -> None:
        self._conn = conn

    async def initialize(self, protocol_version: int, **_: Any) -> InitializeResponse:
        return InitializeResponse(
            protocol_version=PROTOCOL_VERSION,
            agent_capabilities=AgentCapabilities(load_session=True),
            agent_info=AGENT_INFO,
        )

    async def new_session(self, cwd: str, **_: Any) -> NewSessionResponse:
        session = PeerSession(f"peer_{uuid.uuid4().hex[:12]}")
        self._sessions[session.id] = session
        return NewSessionResponse(session_id=session.id, modes=self._modes(session))

    async def load_session(self, cwd: str, session_id: str, **_: Any) -> LoadSessionResponse:
        session = self._sessions.setdefault(session_id, PeerSession(session_id))
        for role, text in session.history:
            make = update_user_message_text if role == "user" else update_agent_message_text
            await self._conn.session_update(session_id=session.id, update=make(text))
        return LoadSessionResponse(modes=self._modes(session))

    async def set_session_mode(self, session_id: str, mode_id: str, **_: Any) -> SetSessionModeResponse:
        session = self._session(session_id)
        if mode_id not in {m.id for m in MODES}:
            raise RequestError.invalid_params({"modeId": mode_id})
        session.mode = mode_id
        return SetSessionModeResponse()

    async def cancel(self, session_id: str, **_: Any) -> None:
        if session_id in self._sessions:
            self._sessions[session_id].cancelled.set()

    async def prompt(self, session_id: str, prompt: list[Any], **_: Any) -> PromptResponse:
        session = self._session(session_id)
        session.cancelled.clear()
        session.turns += 1
        text = " ".join(b.text for b in prompt if getattr(b, "type", None) == "text") or "(no text)"
        session.history.append(("user", text))
        call_id = f"call_{session.turns}"

        async def send(update: Any) -> bool:
            """Send one update; False once the turn is cancelled."""
            if session.cancelled.is_set():
                return False
            await self._conn.session_update(session_id=session.id, update=update)
            if self._delay:
                await asyncio.sleep(self._delay)
            return not session.cancelled.is_set()

        before_permission: list[Any] = [
            update_agent_thought_text(f"The user wrote {text!r}."),
            update_plan([
                plan_entry("Run the tests", priority="high", status="in_progress"),
                plan_entry("Explain the result", priority="medium", status="pending"),
            ]),
            AvailableCommandsUpdate(session_update="available_commands_update", available_commands=[
                AvailableCommand(name="review", description="Review the current diff"),
                AvailableCommand(name="search", description="Search the code",
                                 input=AvailableCommandInput(UnstructuredCommandInput(hint="what to search for"))),
            ]),
            CurrentModeUpdate(session_update="current_mode_update", current_mode_id=session.mode),
            ConfigOptionUpdate(session_update="config_option_update", config_options=[
                SessionConfigOptionSelect(type="select", id="model", name="Model", category="model",
                                          current_value="fast", options=[
                                              SessionConfigSelectOption(value="fast", name="Fast"),
                                              SessionConfigSelectOption(value="deep", name="Deep"),
                                          ]),
            ]),
            SessionInfoUpdate(session_update="session_info_update", title=text[:40],
                              updated_at=datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")),
            start_tool_call(call_id, "Run pytest -q", kind="execute", status="pending",
                            raw_input={"command": "pytest -q"}),
        ]
        for update in before_permission:
            if not await send(update):
                return PromptResponse(stop_reason="cancelled")

        answer = await self._conn.request_permission(
            session_id=session.id,
            tool_call=ToolCallUpdate(tool_call_id=call_id, title="Run pytest -q", kind="execute", status="pending"),
            options=PERMISSION_OPTIONS,
        )
        if session.cancelled.is_set() or answer.outcome.outcome == "cancelled":
            return PromptResponse(stop_reason="cancelled")
        allowed = answer.outcome.option_id in ("allow-once", "allow-always")
        after: list[Any]
        if allowed:
            after = [
                update_tool_call(call_id, status="in_progress"),
                update_tool_call(call_id, status="completed", content=[tool_content(text_block("3 passed"))],
                                 raw_output={"exitCode": 0}),
            ]
        else:
            after = [update_tool_call(call_id, status="failed")]
        reply = f"You said {text!r}; the tool was {'allowed' if allowed else 'rejected'} ({answer.outcome.option_id})."
        after += [
            update_agent_message_text(reply[: len(reply) // 2]),
            update_agent_message_text(reply[len(reply) // 2:]),
            UsageUpdate(session_update="usage_update", used=1000 * session.turns, size=200_000,
                        cost=Cost(amount=0.01 * session.turns, currency="USD")),
        ]
        for update in after:
            if not await send(update):
                return PromptResponse(stop_reason="cancelled")
        session.history.append(("agent", reply))
        return PromptResponse(stop_reason="end_turn")

    def _session(self, session_id: str) -> PeerSession:
        if session_id not in self._sessions:
            raise RequestError.invalid_params({"sessionId": session_id})
        return self._sessions[session_id]

    @staticmethod
    def _modes(session: PeerSession) -> SessionModeState:
        return SessionModeState(current_mode_id=session.mode, available_modes=MODES)


def main() -> None:
    parser = argparse.ArgumentParser(description="ACP peer agent built on the acp package")
    parser.add_argument("--delay", type=float, default=0.0, help="seconds to pause after each update")
    args = parser.parse_args()
    # PeerAgent implements only the methods this peer needs, not the package's whole Agent protocol.
    asyncio.run(run_agent(PeerAgent(args.delay)))  # type: ignore[arg-type]


if __name__ == "__main__":
    main()
