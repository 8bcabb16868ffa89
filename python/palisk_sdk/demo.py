"""Run one streamed prompt turn against an ACP agent and print each update as it arrives.

    python -m palisk_sdk.demo                       # the demo agent shipped in the package
    python -m palisk_sdk.demo --agent CMD ARGS...   # any other ACP agent
    python -m palisk_sdk.demo --deny                # deny the agent's permission requests
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import sys
from dataclasses import dataclass

from . import exceptions
from ._palisk_sdk import ClientConfig, NativeClient, UpdateKind


@dataclass
class PermissionResult:
    """What the permission callback answers: a reason denies, None allows."""

    reason: str | None = None


def describe(update) -> str:
    kind = repr(update.kind).split(".", 1)[1]
    if update.kind in (UpdateKind.TextDelta, UpdateKind.ThoughtDelta):
        return f"{kind:<14} {update.text!r}"
    if update.kind == UpdateKind.ToolUseStart:
        return f"{kind:<14} {update.tool_name} [{update.tool_kind}, {update.tool_status}] input={update.tool_input}"
    if update.kind == UpdateKind.ToolUseUpdate:
        return f"{kind:<14} {update.tool_use_id} status={update.tool_status} content={update.tool_content}"
    if update.kind == UpdateKind.ToolUseEnd:
        return f"{kind:<14} {update.tool_use_id}"
    if update.kind == UpdateKind.Done:
        return f"{kind:<14} stop_reason={update.stop_reason}"
    for field in ("plan_json", "usage_json", "commands_json", "config_json", "session_info_json",
                  "rate_limit_json", "mode_id"):  # fmt: skip
        value = getattr(update, field)
        if value is not None:
            return f"{kind:<14} {value}"
    return kind


async def run(agent: list[str], prompt: str, deny: bool, cwd: str | None) -> int:
    client = NativeClient(ClientConfig(agent, cwd=cwd))

    async def on_permission(tool_name: str, tool_input: str, context: dict) -> PermissionResult:
        verdict = "deny" if deny else "allow"
        print(f"{'Permission':<14} {tool_name} {tool_input} -> {verdict}", flush=True)
        return PermissionResult(reason="denied by the demo" if deny else None)

    client.set_permission_callback(on_permission)
    caps = await client.connect()
    print(f"connected: {caps!r}")
    info = await client.agent_info()
    if info:
        print(f"agent: {json.loads(info)}")
    try:
        session = await client.new_session()
        print(f"session: {session}")
        await client.send_prompt(prompt)
        while True:
            update = await client.recv_update()
            if update is None:
                print("(the connection ended)")
                return 1
            print(describe(update), flush=True)
            if update.kind == UpdateKind.Done:
                return 0
    except exceptions.PaliskError as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    finally:
        await client.disconnect()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m palisk_sdk.demo", description=__doc__.splitlines()[0])
    parser.add_argument("--prompt", default="Read the README and summarise it.", help="the prompt to send")
    parser.add_argument("--deny", action="store_true", help="deny the agent's permission requests")
    parser.add_argument("--cwd", default=None, help="working directory of the agent")
    parser.add_argument("--agent", nargs=argparse.REMAINDER, help="agent command line (default: the demo agent)")
    args = parser.parse_args(argv)
    agent = args.agent or [sys.executable, os.path.join(os.path.dirname(__file__), "demo_agent.py")]
    return asyncio.run(run(agent, args.prompt, args.deny, args.cwd))


if __name__ == "__main__":
    sys.exit(main())
