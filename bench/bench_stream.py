"""Streaming throughput: updates through NativeClient.recv_update() against a pure-Python asyncio
client reading the same agent output, and the per-call cost of an already-queued update against
an already-filled asyncio.Queue.

    PYTHONPATH=build/<dir>/pkg python bench/bench_stream.py [--updates N] [--repeat R]

Prints the figures and their ratios; nothing is asserted (timings on a shared 2-core machine vary).
"""

from __future__ import annotations

import argparse
import asyncio
import json
import statistics
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import palisk_sdk._palisk_sdk as m

FLOOD_AGENT = textwrap.dedent(
    """
    import json, sys
    n = int(sys.argv[1])
    first = json.loads(sys.stdin.readline())
    out = sys.stdout
    out.write(json.dumps({"jsonrpc": "2.0", "id": first["id"], "result": {"protocolVersion": 1}}) + "\\n")
    line = json.dumps({"jsonrpc": "2.0", "method": "session/update", "params": {"sessionId": "s", "update": {
        "sessionUpdate": "agent_message_chunk", "content": {"type": "text", "text": "token "}}}}) + "\\n"
    for _ in range(n):
        out.write(line)
    out.write(json.dumps({"jsonrpc": "2.0", "method": "_end", "params": {}}) + "\\n")
    out.flush()
    sys.stdin.read()
    """
)


async def native_run(agent: list[str], n: int) -> float:
    client = m.NativeClient(m.ClientConfig(agent))
    await client.connect()
    start = time.perf_counter()
    got = 0
    while True:
        u = await client.recv_update()
        if u.kind == m.UpdateKind.RateLimit:
            break
        got += len(u.text)
    elapsed = time.perf_counter() - start
    await client.disconnect()
    assert got == 6 * n
    return elapsed


async def python_run(agent: list[str], n: int) -> float:
    """The baseline: what a pure-Python client does for the same stream."""
    proc = await asyncio.create_subprocess_exec(*agent, stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE,
                                                limit=1 << 20)  # fmt: skip
    proc.stdin.write(b'{"jsonrpc":"2.0","id":"1","method":"initialize","params":{}}\n')
    await proc.stdin.drain()
    await proc.stdout.readline()
    start = time.perf_counter()
    queue: asyncio.Queue = asyncio.Queue(512)

    async def reader():
        while True:
            msg = json.loads(await proc.stdout.readline())
            await queue.put(msg)
            if msg["method"] == "_end":
                return

    task = asyncio.ensure_future(reader())
    got = 0
    while True:
        msg = await queue.get()
        if msg["method"] == "_end":
            break
        got += len(msg["params"]["update"]["content"]["text"])
    elapsed = time.perf_counter() - start
    await task
    proc.stdin.close()
    await proc.wait()
    assert got == 6 * n
    return elapsed


async def queued_cost(agent: list[str]) -> tuple[float, float]:
    """Per-call cost of a recv_update() whose item is already queued, and of asyncio.Queue.get()."""
    client = m.NativeClient(m.ClientConfig(agent))
    await client.connect()
    await asyncio.sleep(0.5)  # let the agent fill the 512-item queue
    start = time.perf_counter()
    for _ in range(500):
        await client.recv_update()
    native = (time.perf_counter() - start) / 500
    await client.disconnect()
    q: asyncio.Queue = asyncio.Queue()
    for i in range(500):
        q.put_nowait(i)
    start = time.perf_counter()
    for _ in range(500):
        await q.get()
    return native, (time.perf_counter() - start) / 500


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--updates", type=int, default=50_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        script = Path(tmp) / "flood.py"
        script.write_text(FLOOD_AGENT)
        agent = [sys.executable, str(script), str(args.updates)]
        native, python = [], []
        for _ in range(args.repeat):
            native.append(asyncio.run(native_run(agent, args.updates)))
            python.append(asyncio.run(python_run(agent, args.updates)))
        per_native, per_queue = asyncio.run(queued_cost(agent))
    n_med, p_med = statistics.median(native), statistics.median(python)
    print(f"stream of {args.updates} updates, median of {args.repeat} runs:")
    print(f"  NativeClient.recv_update   {n_med * 1e3:8.1f} ms   {n_med / args.updates * 1e6:6.2f} us/update")
    print(f"  pure-Python asyncio client {p_med * 1e3:8.1f} ms   {p_med / args.updates * 1e6:6.2f} us/update")
    print(f"  ratio python/native        {p_med / n_med:8.2f}x")
    print("already-queued item, per call:")
    print(f"  recv_update()              {per_native * 1e6:8.2f} us")
    print(f"  asyncio.Queue.get()        {per_queue * 1e6:8.2f} us")
    print(f"  ratio native/queue         {per_native / per_queue:8.2f}x")


if __name__ == "__main__":
    main()
