#!/usr/bin/env python3
"""Scripted ACP agent for tests: records every byte it receives and plays a JSON scenario.

Usage: python fake_agent.py SCENARIO.json RECORD_PATH

The scenario is a JSON list of steps run in order (see STEP_HELP below). Stdin is read by a
background thread that appends each chunk to RECORD_PATH as it arrives (flushed at once, so a
test can inspect it while the agent runs) and splits it into lines for the steps. After the
last step the agent keeps reading (and recording) until stdin EOF, then exits 0.

Exit codes: 0 normal end, 2 bad command line or scenario, 3 a received line did not match an
expectation (or stdin closed while one was pending), 4 a bounded wait ran out, 5 stdout broke.
`exit` steps use their own code. Stdlib only, Python 3.10+.
"""

from __future__ import annotations

import json
import os
import queue
import sys
import threading
import time
from typing import Any, NoReturn

STEP_HELP = """\
{"handshake": true | {...}}           expect initialize, reply with that result (true: a default one)
{"expect": "method"}                  next non-blank line must be a JSON message with that method
{"expect": {"method": m, "params_subset": {...}}}   ... and params containing that subset
{"expect": {}}                        next non-blank line must be a request or notification (any method)
{"reply": {"result": ...}}            answer the current request (its id is the current id)
{"reply": {"error": {...}}}
{"send": {...}}                       write the object as one line; the string "$id" becomes the current id
{"raw": "text", "newline": true}      write text (plus a newline unless newline is false)
{"raw_bytes_hex": "..."}              write these bytes
{"stderr": "text"}                    write text and a newline to stderr
{"sleep": seconds}
{"expect_eof": true}                  read (and record) until stdin closes
{"expect_response": true | {...}}     next line must be a response (id, no method); a dict is a subset it must contain
{"close_stdout": true}                close stdout, then go on with the scenario
{"exit": code}                        exit at once with that code
{"wait_file": "path"}                 wait (at most 10 s) until the file exists
{"idle_timeout": seconds}             change the limit on any one wait for input (default 30 s)
{"skip_answers": true}                from now on `expect` passes over responses and error notifications
"""

DEFAULT_INIT_RESULT = {"protocolVersion": 1, "agentCapabilities": {"loadSession": True}}
WAIT_FILE_LIMIT = 10.0

EXIT_USAGE, EXIT_MISMATCH, EXIT_TIMEOUT, EXIT_BROKEN_STDOUT = 2, 3, 4, 5

_EOF = object()


def fail(code: int, message: str) -> NoReturn:
    sys.stderr.write(f"fake_agent: {message}\n")
    sys.stderr.flush()
    os._exit(code)  # the reader thread may be blocked in read(); do not wait for it


class Input:
    """Stdin reader thread: records raw bytes, hands complete lines to the scenario."""

    def __init__(self, record_path: str) -> None:
        self._record = open(record_path, "ab", buffering=0)
        self._lines: queue.Queue[Any] = queue.Queue()
        self._eof = False
        threading.Thread(target=self._run, name="stdin-reader", daemon=True).start()

    def _run(self) -> None:
        pending = b""
        while True:
            try:
                chunk = os.read(0, 65536)
            except OSError:
                chunk = b""
            if not chunk:
                break
            self._record.write(chunk)
            pending += chunk
            *complete, pending = pending.split(b"\n")
            for line in complete:
                self._lines.put(line)
        if pending:  # a last line without its newline still counts as a line
            self._lines.put(pending)
        self._lines.put(_EOF)

    def next_line(self, timeout: float, waiting_for: str) -> bytes | None:
        """The next line, or None at EOF. Exits with EXIT_TIMEOUT if nothing comes in time."""
        if self._eof:
            return None
        try:
            item = self._lines.get(timeout=timeout)
        except queue.Empty:
            fail(EXIT_TIMEOUT, f"no input for {timeout:g} s while waiting for {waiting_for}")
        if item is _EOF:
            self._eof = True
            return None
        return item


class Agent:
    def __init__(self, steps: list[Any], record_path: str) -> None:
        self.steps = steps
        self.input = Input(record_path)
        self.idle_timeout = 30.0
        self.skip_answers = False
        self.current_id: Any = None
        self.last_response: Any = None

    # -- output -----------------------------------------------------------------------------

    def write(self, data: bytes) -> None:
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(1, view):]
        except OSError as exc:  # EPIPE when the client closed our stdout early
            fail(EXIT_BROKEN_STDOUT, f"writing to stdout failed: {exc}")

    def write_json(self, message: Any) -> None:
        self.write(json.dumps(message, separators=(",", ":"), ensure_ascii=False).encode() + b"\n")

    # -- input ------------------------------------------------------------------------------

    def next_message(self, waiting_for: str) -> dict[str, Any]:
        """The next non-blank line parsed as a JSON object; any other line ends the run."""
        while True:
            line = self.input.next_line(self.idle_timeout, waiting_for)
            if line is None:
                fail(EXIT_MISMATCH, f"stdin closed while waiting for {waiting_for}")
            if line.strip():
                break
        try:
            message = json.loads(line)
        except ValueError as exc:
            fail(EXIT_MISMATCH, f"waiting for {waiting_for}, got a line that is not JSON ({exc}): {line[:200]!r}")
        if not isinstance(message, dict):
            fail(EXIT_MISMATCH, f"waiting for {waiting_for}, got a non-object: {line[:200]!r}")
        return message

    def expect(self, spec: Any) -> None:
        if isinstance(spec, str):
            spec = {"method": spec}
        method = spec.get("method")
        message = self.next_message(f"method {method!r}" if method else "any request")
        while self.skip_answers and "method" not in message:
            message = self.next_message(f"method {method!r}" if method else "any request")
        if method is None and "method" not in message:
            fail(EXIT_MISMATCH, f"expected a request, got {json.dumps(message)[:300]}")
        if method is not None and message.get("method") != method:
            fail(EXIT_MISMATCH, f"expected method {method!r}, got {json.dumps(message)[:300]}")
        subset = spec.get("params_subset")
        if subset is not None and not contains(message.get("params"), subset):
            fail(EXIT_MISMATCH, f"{method} params {json.dumps(message.get('params'))[:300]} lack {json.dumps(subset)}")
        self.current_id = message.get("id")

    def expect_response(self, spec: Any) -> None:
        message = self.next_message("a response")
        if "id" not in message or "method" in message:
            fail(EXIT_MISMATCH, f"expected a response, got {json.dumps(message)[:300]}")
        if isinstance(spec, dict) and not contains(message, spec):
            fail(EXIT_MISMATCH, f"response {json.dumps(message)[:300]} lacks {json.dumps(spec)}")
        self.last_response = message

    def drain(self, waiting_for: str) -> None:
        while self.input.next_line(self.idle_timeout, waiting_for) is not None:
            pass

    # -- steps ------------------------------------------------------------------------------

    def run(self) -> None:
        for index, step in enumerate(self.steps):
            if not isinstance(step, dict) or len(step.keys() - {"newline"}) != 1:
                fail(EXIT_USAGE, f"step {index}: not a one-key step object: {step!r}")
            self.run_step(step)
        self.drain("stdin EOF after the last step")
        sys.stderr.flush()
        os._exit(0)

    def run_step(self, step: dict[str, Any]) -> None:
        if "handshake" in step:
            result = step["handshake"]
            self.expect("initialize")
            self.write_json(response(self.current_id, DEFAULT_INIT_RESULT if result is True else result))
        elif "expect" in step:
            self.expect(step["expect"])
        elif "reply" in step:
            reply = step["reply"]
            message = {"jsonrpc": "2.0", "id": self.current_id}
            if "error" in reply:
                message["error"] = reply["error"]
            else:
                message["result"] = reply.get("result")
            self.write_json(message)
        elif "send" in step:
            self.write_json(substitute(step["send"], self.current_id))
        elif "raw" in step:
            self.write(step["raw"].encode() + (b"\n" if step.get("newline", True) else b""))
        elif "raw_bytes_hex" in step:
            self.write(bytes.fromhex(step["raw_bytes_hex"]))
        elif "stderr" in step:
            sys.stderr.write(step["stderr"] + "\n")
            sys.stderr.flush()
        elif "sleep" in step:
            time.sleep(step["sleep"])
        elif "expect_eof" in step:
            self.drain("stdin EOF")
        elif "expect_response" in step:
            self.expect_response(step["expect_response"])
        elif "close_stdout" in step:
            # Point fd 1 at /dev/null: the pipe's write end closes (the client sees EOF) and any
            # later write, ours or the interpreter's at exit, goes nowhere instead of failing.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, 1)
            os.close(devnull)
        elif "exit" in step:
            sys.stderr.flush()
            os._exit(int(step["exit"]))
        elif "wait_file" in step:
            deadline = time.monotonic() + WAIT_FILE_LIMIT
            while not os.path.exists(step["wait_file"]):
                if time.monotonic() > deadline:
                    fail(EXIT_TIMEOUT, f"file {step['wait_file']} did not appear within {WAIT_FILE_LIMIT:g} s")
                time.sleep(0.01)
        elif "idle_timeout" in step:
            self.idle_timeout = float(step["idle_timeout"])
        elif "skip_answers" in step:
            self.skip_answers = bool(step["skip_answers"])
        else:
            fail(EXIT_USAGE, f"unknown step {step!r}; steps are:\n{STEP_HELP}")


def response(request_id: Any, result: Any) -> dict[str, Any]:
    return {"jsonrpc": "2.0", "id": request_id, "result": result}


def substitute(value: Any, current_id: Any) -> Any:
    if value == "$id":
        return current_id
    if isinstance(value, dict):
        return {key: substitute(item, current_id) for key, item in value.items()}
    if isinstance(value, list):
        return [substitute(item, current_id) for item in value]
    return value


def contains(actual: Any, expected: Any) -> bool:
    """Whether `expected` is a subset of `actual`: dicts by key, lists item by item, else equality."""
    if isinstance(expected, dict):
        return isinstance(actual, dict) and all(
            key in actual and contains(actual[key], item) for key, item in expected.items()
        )
    if isinstance(expected, list):
        return (
            isinstance(actual, list)
            and len(actual) == len(expected)
            and all(contains(a, e) for a, e in zip(actual, expected))
        )
    return type(actual) is type(expected) and actual == expected


def main(argv: list[str]) -> None:
    if len(argv) != 3:
        sys.stderr.write(f"usage: {argv[0]} SCENARIO.json RECORD_PATH\nsteps:\n{STEP_HELP}")
        sys.exit(EXIT_USAGE)
    try:
        with open(argv[1], encoding="utf-8") as f:
            steps = json.load(f)
    except (OSError, ValueError) as exc:
        fail(EXIT_USAGE, f"cannot load scenario {argv[1]}: {exc}")
    if not isinstance(steps, list):
        fail(EXIT_USAGE, "the scenario must be a JSON list of steps")
    Agent(steps, argv[2]).run()


if __name__ == "__main__":
    main(sys.argv)
