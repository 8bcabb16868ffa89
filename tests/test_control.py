"""The control protocol: its records, line formats, classification and the engine's loops.

The agent is played by the test through two pipes: it reads what the SDK writes to the
agent's stdin and writes what the SDK reads from the agent's stdout. Every test that starts a
protocol also checks that no descriptor is left open once it is stopped.
"""

import asyncio
import gc
import inspect
import json
import os
import select
import socket
import sys
import time
import weakref

import pytest

import palisk_sdk._palisk_sdk as m
from palisk_sdk import exceptions

WAIT = 5.0  # bound on every wait for something that must happen


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


class Agent:
    """The agent's ends of the two pipes."""

    def __init__(self):
        self.stdin_r, sdk_stdin = os.pipe()
        sdk_stdout, self.stdout_w = os.pipe()
        self.sdk_fds = (sdk_stdin, sdk_stdout)  # owned by the protocol once started
        self._buf = b""

    async def read_line(self) -> bytes:
        """The next line the SDK wrote, without its line feed."""
        deadline = time.monotonic() + WAIT
        while b"\n" not in self._buf:
            left = deadline - time.monotonic()
            ready, _, _ = await asyncio.to_thread(select.select, [self.stdin_r], [], [], max(left, 0))
            assert ready, "the SDK wrote no complete line in time"
            chunk = os.read(self.stdin_r, 65536)
            if not chunk:
                raise EOFError(self._buf)
            self._buf += chunk
        line, _, self._buf = self._buf.partition(b"\n")
        return line

    async def read_json(self) -> dict:
        return json.loads(await self.read_line())

    def nothing_written(self) -> bool:
        ready, _, _ = select.select([self.stdin_r], [], [], 0.2)
        return not ready and not self._buf

    async def write(self, data: str | bytes) -> None:
        if isinstance(data, str):
            data = data.encode()
        view = memoryview(data)
        while view:
            view = view[await asyncio.to_thread(os.write, self.stdout_w, view) :]

    async def answer(self, request_id: str, data=None, **extra) -> None:
        msg = {"type": "control", "request_id": request_id, "subtype": "x", **extra}
        if data is not None:
            msg["data"] = data
        await self.write(json.dumps(msg) + "\n")

    def close_stdout(self):
        if self.stdout_w >= 0:
            os.close(self.stdout_w)
            self.stdout_w = -1

    def close(self):
        for fd in (self.stdin_r, self.stdout_w):
            if fd >= 0:
                os.close(fd)
        self.stdin_r = self.stdout_w = -1


async def settle_fds(baseline: int) -> int:
    """Waits (bounded) for the descriptor count to come back down to the baseline."""
    deadline = time.monotonic() + WAIT
    while open_fds() > baseline and time.monotonic() < deadline:
        await asyncio.sleep(0.01)
    return open_fds()


@pytest.fixture
async def fd_baseline():
    # Runtime, reactor and timer descriptors are made once per process: make them before counting.
    await m._testing.sleep(0)
    await m.NativeControlProtocol().is_running()
    baseline = open_fds()
    yield baseline
    gc.collect()
    assert await settle_fds(baseline) == baseline, "descriptors left open"


@pytest.fixture
async def pair(fd_baseline):
    """A started protocol and its agent; stopped and closed afterwards."""
    proto, agent = m.NativeControlProtocol(), Agent()
    await proto.start(*agent.sdk_fds)
    yield proto, agent
    await proto.stop()
    agent.close()


@pytest.fixture
def short_timeout():
    previous = m._testing.set_control_request_timeout(0.3)
    yield
    m._testing.set_control_request_timeout(previous)


async def recv(proto):
    return await asyncio.wait_for(proto.recv_message(), WAIT)


async def request(proto, subtype="x", data="{}"):
    return await asyncio.wait_for(proto.send_control_request(subtype, data), WAIT)


# ---------------------------------------------------------------- records


@pytest.mark.parametrize(
    "cls,doc,docs",
    [
        (
            m.ControlMessage,
            "A control message sent between SDK and agent.",
            [
                "Unique request identifier for correlating requests and responses.",
                'Message subtype (e.g. "can_use_tool", "hook_callback", "mcp_message").',
                "JSON-serialized payload.",
            ],
        ),
        (
            m.ControlResponse,
            "A control response sent from SDK back to the agent.",
            [
                "Must match the ``request_id`` of the original request.",
                "Response subtype (mirrors the request subtype).",
                "JSON-serialized response payload.",
            ],
        ),
    ],
)
def test_records(cls, doc, docs):
    name = cls.__name__
    assert cls.__doc__ == doc
    assert str(inspect.signature(cls)) == "(request_id, subtype, data)"
    for field, field_doc in zip(("request_id", "subtype", "data"), docs):
        assert getattr(cls, field).__doc__ == field_doc

    rec = cls('a"b', subtype="hook_callback", data="not json\t")
    assert (rec.request_id, rec.subtype, rec.data) == ('a"b', "hook_callback", "not json\t")
    assert repr(rec) == name + '(id="a\\"b", subtype="hook_callback")'
    assert repr(cls("é\n", "", "{}")) == name + '(id="é\\n", subtype="")'
    with pytest.raises(AttributeError):
        rec.data = "x"
    with pytest.raises(AttributeError):
        rec.other = 1
    with pytest.raises(TypeError, match="'data'"):
        cls("r", "s", 1)
    with pytest.raises(TypeError, match="'subtype'"):
        cls("r")
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert rec != cls('a"b', "hook_callback", "not json\t")  # identity equality


def test_protocol_class_surface():
    cls = m.NativeControlProtocol
    assert cls.__doc__ == (
        "Bidirectional control protocol handler.\n\n"
        "Reads JSON messages from agent stdout in a background task, classifies\n"
        "them as control requests or conversation messages, and routes accordingly.\n"
        "Control requests are dispatched to registered Python callbacks."
    )
    assert str(inspect.signature(cls)) == "()"
    methods = {
        "start": ("(stdin_fd, stdout_fd)", "Start the control protocol read/write loops.\n\n"
                  "Takes ownership of the agent's stdin and stdout streams."),
        "send_control_request": ("(subtype, data)", "Send a control request from the SDK to the agent.\n\n"
                                 "Returns the JSON response data from the agent."),
        "send_control_response": ("(request_id, subtype, data)",
                                  "Send a control response from the SDK back to the agent."),
        "recv_message": ("()", "Receive the next message from the conversation channel.\n\n"
                         "Returns ``None`` if the channel is closed."),
        "set_permission_callback": ("(callback)", "Register the permission check callback."),
        "set_hook_callback": ("(callback)", "Register the hook dispatch callback."),
        "set_mcp_callback": ("(callback)", "Register the MCP tool request callback."),
        "is_running": ("()", "Whether the protocol is currently running."),
        "stop": ("()", "Shut down the control protocol read/write loops."),
    }  # fmt: skip
    assert [k for k in vars(cls) if k in methods] == list(methods)
    proto = cls()
    for name, (sig, doc) in methods.items():
        assert str(inspect.signature(getattr(proto, name))) == sig, name
        assert getattr(cls, name).__doc__ == doc, name
    with pytest.raises(TypeError):
        cls(1)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


# ---------------------------------------------------------------- classification

CONTROL_LINES = [
    ('{"type":"control","request_id":"sdk_1","subtype":"can_use_tool","data":{"b":1,"a":[1, 2]}}',
     '{"a":[1,2],"b":1}'),
    ('{"type":"control","request_id":"sdk_1","subtype":"x"}', "{}"),
    ('{"type":"control","request_id":"sdk_1","subtype":"x","data":null}', "null"),
    ('{"subtype":"x","extra":[1],"data":"hi","request_id":"sdk_1","type":"control"}', '"hi"'),
    ('{ "type" : "control", "request_id": "sdk_1", "subtype": "x", "data": {"é": 1.5e0, "z": {"b": [], "a": {}}} }',
     '{"z":{"a":{},"b":[]},"é":1.5}'),
]  # fmt: skip

CONVERSATION_LINES = [
    '{"type":"control_response","request_id":"sdk_1","subtype":"x","data":{}}',
    '{"type":"control","request_id":7,"subtype":"x"}',
    '{"type":"control","subtype":"x"}',
    '{"type":"control","request_id":"sdk_1"}',
    '{"type":"control","request_id":"sdk_1","subtype":null}',
    '{"type":"Control","request_id":"sdk_1","subtype":"x"}',
    '{"type":["control"],"request_id":"sdk_1","subtype":"x"}',
    '{"type":"control","request_id":"sdk_1","subtype":"x"} trailing',
    '{"type":"control","request_id":"sdk_1","subtype":"x"}{}',
    '[{"type":"control","request_id":"sdk_1","subtype":"x"}]',
    "plain text",
    '"control"',
    # A byte-order mark in front is not JSON, and nesting deeper than the parser's limit is not
    # taken apart: both pass through as text.
    '\ufeff{"type":"control","request_id":"sdk_1","subtype":"x"}',
    '{"type":"control","request_id":"sdk_1","subtype":"x","data":' + "[" * 200_000 + "]" * 200_000 + "}",
]  # fmt: skip


@pytest.mark.parametrize("line,payload", CONTROL_LINES)
async def test_control_messages_resolve_the_pending_request(pair, line, payload):
    proto, agent = pair
    task = asyncio.ensure_future(request(proto))
    assert (await agent.read_json())["request_id"] == "sdk_1"
    await agent.write(line + "\nafter\n")
    assert await task == payload
    assert await recv(proto) == "after"  # the control line itself never reaches Python


@pytest.mark.parametrize("line", CONVERSATION_LINES, ids=range(len(CONVERSATION_LINES)))
async def test_conversation_lines_pass_through_unchanged(pair, line):
    proto, agent = pair
    await agent.write(line + "\n")
    assert await recv(proto) == line


# ---------------------------------------------------------------- outgoing lines

PAYLOADS = [
    ('{"allow": true}', '{"allow":true}'),
    ('{"b": 1, "a": 2}', '{"a":2,"b":1}'),
    ('{"z": {"y": [3, {"d": 1, "c": 2}]}, "a": null}', '{"a":null,"z":{"y":[3,{"c":2,"d":1}]}}'),
    ("  [1, 2] ", "[1,2]"),
    ("hello", '"hello"'),
    ("not json", '"not json"'),
    ("{bad", '"{bad"'),
    ("", '""'),
    ("1 2", '"1 2"'),
    ('"quoted"', '"quoted"'),
    ("null", "null"),
    ("é\n\"", '"é\\n\\""'),
]  # fmt: skip


@pytest.mark.parametrize("payload,encoded", PAYLOADS)
async def test_response_lines(pair, payload, encoded):
    proto, agent = pair
    assert await proto.send_control_response("req-7", "can_use_tool", payload) is None
    expected = '{"data":' + encoded + ',"request_id":"req-7","subtype":"can_use_tool","type":"control_response"}'
    assert (await agent.read_line()).decode() == expected


async def test_request_line_and_answer(pair):
    proto, agent = pair
    task = asyncio.ensure_future(request(proto, "interrupt", "{}"))
    assert await agent.read_line() == b'{"data":{},"request_id":"sdk_1","subtype":"interrupt","type":"control"}'
    await agent.write('{"type":"control","request_id":"sdk_1","subtype":"interrupt","data":{"ok": true}}\n')
    assert await task == '{"ok":true}'

    task = asyncio.ensure_future(request(proto, "s", "hello"))
    assert await agent.read_line() == b'{"data":"hello","request_id":"sdk_2","subtype":"s","type":"control"}'
    await agent.answer("sdk_2")
    assert await task == "{}"


async def test_a_failed_call_consumes_its_number(fd_baseline):
    proto, agent = m.NativeControlProtocol(), Agent()
    not_started = "protocol error: control protocol not started"
    with pytest.raises(exceptions.ProtocolError) as info:
        await proto.send_control_request("x", "{}")
    assert info.value.args == (not_started,)
    with pytest.raises(exceptions.ProtocolError) as info:
        await proto.send_control_response("r", "s", "{}")
    assert info.value.args == (not_started,)
    await proto.start(*agent.sdk_fds)
    task = asyncio.ensure_future(request(proto))
    assert (await agent.read_json())["request_id"] == "sdk_2"
    await agent.answer("sdk_2", {"n": 2})
    assert await task == '{"n":2}'
    await proto.stop()
    agent.close()


async def test_answers_in_any_order(pair):
    proto, agent = pair
    first = asyncio.ensure_future(request(proto, "first"))
    assert (await agent.read_json())["request_id"] == "sdk_1"
    second = asyncio.ensure_future(request(proto, "second"))
    assert (await agent.read_json())["request_id"] == "sdk_2"
    await agent.answer("sdk_2", {"for": 2})
    await agent.answer("nobody", {"for": "?"})  # unknown ids are dropped
    await agent.answer("sdk_2", {"for": "again"})  # so is a second answer
    assert await second == '{"for":2}'
    assert not first.done()
    await agent.answer("sdk_1", {"for": 1})
    assert await first == '{"for":1}'
    assert agent.nothing_written()  # nothing is ever written back for a control message


async def test_timeout_then_a_late_answer(pair, short_timeout):
    proto, agent = pair
    task = asyncio.ensure_future(asyncio.wait_for(proto.send_control_request("x", "{}"), WAIT))
    assert (await agent.read_json())["request_id"] == "sdk_1"
    with pytest.raises(exceptions.TimeoutError) as info:
        await task
    assert info.value.args == ('timeout: control request "sdk_1" timed out',)
    await agent.answer("sdk_1", {"late": True})
    task = asyncio.ensure_future(request(proto))
    assert (await agent.read_json())["request_id"] == "sdk_2"
    await agent.answer("sdk_2", {"n": 2})
    assert await task == '{"n":2}'


@pytest.mark.slow
async def test_default_timeout_is_thirty_seconds(pair):
    proto, agent = pair
    started = time.monotonic()
    with pytest.raises(exceptions.TimeoutError) as info:
        await asyncio.wait_for(proto.send_control_request("x", "{}"), 40)
    assert 29.5 < time.monotonic() - started < 35
    assert info.value.args == ('timeout: control request "sdk_1" timed out',)


# ---------------------------------------------------------------- the read loop


async def test_lines_are_trimmed_and_blank_lines_skipped(pair):
    proto, agent = pair
    response = '{"type": "control_response", "request_id": "sdk_1", "subtype": "x", "data": {}}'
    await agent.write(
        " \t \n\n  hello  \r\n\u3000wide\u2003\u00a0\r\n\r\na\rb\n" + response + "\r\n" + "é last"
    )
    agent.close_stdout()
    for expected in ["hello", "wide", "a\rb", response, "é last", None, None]:
        assert await recv(proto) == expected
    assert await proto.is_running() is True  # the loops ending by themselves do not change it


async def test_invalid_utf8_ends_the_read_loop(pair):
    proto, agent = pair
    await agent.write(b"ok\n\xff\xfe\nnever\n")
    assert await recv(proto) == "ok"
    assert await recv(proto) is None


async def test_full_conversation_queue_holds_back_control_messages(pair):
    proto, agent = pair
    task = asyncio.ensure_future(request(proto))
    assert (await agent.read_json())["request_id"] == "sdk_1"
    await agent.write("".join(f"line-{i}\n" for i in range(257)))
    await agent.answer("sdk_1", {"done": True})
    await asyncio.sleep(0.3)
    assert not task.done()  # the 257th line waits for room, and the answer behind it too
    assert await recv(proto) == "line-0"
    assert await task == '{"done":true}'
    assert [await recv(proto) for _ in range(256)] == [f"line-{i}" for i in range(1, 257)]


async def test_regular_files_as_descriptors(tmp_path, fd_baseline):
    src, dst = tmp_path / "agent-out", tmp_path / "agent-in"
    src.write_bytes(b"first\n  second \r\n\nthird")
    proto = m.NativeControlProtocol()
    await proto.start(os.open(dst, os.O_WRONLY | os.O_CREAT), os.open(src, os.O_RDONLY))
    assert [await recv(proto) for _ in range(4)] == ["first", "second", "third", None]
    await proto.send_control_response("r", "s", "[1]")
    deadline = time.monotonic() + WAIT
    while not dst.read_text() and time.monotonic() < deadline:
        await asyncio.sleep(0.01)
    await proto.stop()
    assert dst.read_text() == '{"data":[1],"request_id":"r","subtype":"s","type":"control_response"}\n'


async def test_one_socket_for_both_directions(fd_baseline):
    ours, theirs = socket.socketpair()
    proto = m.NativeControlProtocol()
    fd = ours.detach()
    await proto.start(fd, fd)
    task = asyncio.ensure_future(request(proto))
    with theirs:
        theirs.settimeout(WAIT)
        line = await asyncio.to_thread(theirs.recv, 4096)
        assert json.loads(line)["request_id"] == "sdk_1"
        theirs.sendall(b'{"type":"control","request_id":"sdk_1","subtype":"x","data":1}\nhi\n')
        assert await task == "1"
        assert await recv(proto) == "hi"
        await proto.stop()


# ---------------------------------------------------------------- lifecycle


async def test_new_object():
    proto = m.NativeControlProtocol()
    assert await proto.recv_message() is None
    assert await proto.is_running() is False
    await proto.stop()  # stopping what never ran only clears the flag
    assert await proto.is_running() is False


async def test_stop(pair):
    proto, agent = pair
    assert await proto.is_running() is True
    task = asyncio.ensure_future(request(proto))
    await agent.read_line()
    await agent.write("one\ntwo\n")
    await agent.answer("sdk_1")
    await task  # the answer came after the two lines: both are queued now
    await proto.stop()
    assert await proto.is_running() is False
    assert [await recv(proto) for _ in range(3)] == ["one", "two", None]
    for call in (proto.send_control_request("x", "{}"), proto.send_control_response("r", "s", "{}")):
        with pytest.raises(exceptions.ProtocolError) as info:
            await call
        assert info.value.args == ("protocol error: control protocol not started",)
    # Both loops closed their descriptors: the agent sees end of input, and its output is refused.
    assert os.read(agent.stdin_r, 10) == b""
    with pytest.raises(BrokenPipeError):
        os.write(agent.stdout_w, b"late\n")


async def test_stop_releases_a_waiting_recv_and_a_blocked_write(pair):
    proto, agent = pair
    waiting = asyncio.ensure_future(proto.recv_message())
    # Nobody reads the agent's stdin: the pipe fills and the write loop blocks in the middle.
    big = "x" * 100_000
    for _ in range(3):
        await asyncio.wait_for(proto.send_control_response("r", "s", big), WAIT)
    await asyncio.sleep(0.1)
    await asyncio.wait_for(proto.stop(), WAIT)
    assert await asyncio.wait_for(waiting, WAIT) is None


async def test_cancelled_recv_loses_no_line(pair):
    proto, agent = pair
    waiting = asyncio.ensure_future(proto.recv_message())
    await asyncio.sleep(0.05)
    waiting.cancel()
    with pytest.raises(asyncio.CancelledError):
        await waiting
    await agent.write("kept\n")
    assert await recv(proto) == "kept"


async def test_concurrent_receivers_get_different_lines(pair):
    proto, agent = pair
    waiting = [asyncio.ensure_future(proto.recv_message()) for _ in range(3)]
    await asyncio.sleep(0.05)
    await agent.write("a\nb\nc\n")
    assert sorted(await asyncio.wait_for(asyncio.gather(*waiting), WAIT)) == ["a", "b", "c"]


async def test_write_loop_end_makes_sends_fail(pair):
    proto, agent = pair
    os.close(agent.stdin_r)  # the agent's stdin is gone: the next write fails
    agent.stdin_r = -1
    deadline = time.monotonic() + WAIT
    with pytest.raises(exceptions.ProtocolError) as info:
        while time.monotonic() < deadline:
            await proto.send_control_response("r", "s", "{}")
            await asyncio.sleep(0.01)
    assert info.value.args == ("protocol error: failed to send control response",)
    with pytest.raises(exceptions.ProtocolError) as info:
        await proto.send_control_request("x", "{}")
    assert info.value.args == ("protocol error: failed to send control request",)
    assert await proto.is_running() is True


async def test_second_start_replaces_the_conversation(pair):
    proto, first = pair
    waiting = asyncio.ensure_future(proto.recv_message())
    await asyncio.sleep(0.05)
    second = Agent()
    try:
        await proto.start(*second.sdk_fds)
        assert await asyncio.wait_for(waiting, WAIT) is None  # the earlier queue was closed
        task = asyncio.ensure_future(request(proto))
        assert (await second.read_json())["request_id"] == "sdk_1"
        await first.write("dropped\n")
        await first.answer("sdk_1", {"via": "first"})  # the old read loop still resolves requests
        assert await task == '{"via":"first"}'
        await second.write("fresh\n")
        assert await recv(proto) == "fresh"
        first.close_stdout()  # the first read loop ends with its descriptor
    finally:
        await proto.stop()
        second.close()


async def test_bad_descriptors_fail_at_once(fd_baseline):
    proto = m.NativeControlProtocol()
    r, w = os.pipe()
    os.close(w)
    for stdin_fd, name, shown in [(-1, "stdin_fd", -1), (2**32 - 1, "stdin_fd", -1), (w, "stdin_fd", w)]:
        with pytest.raises(exceptions.TransportError) as info:
            proto.start(stdin_fd, r)
        assert info.value.args == (f"transport error: invalid {name} {shown}: Bad file descriptor (os error 9)",)
    with pytest.raises(exceptions.TransportError, match="invalid stdout_fd"):
        proto.start(r, w)
    os.fstat(r)  # never taken: still open and still the caller's
    os.close(r)
    with pytest.raises(TypeError, match="'stdin_fd'"):
        proto.start("0", 1)
    with pytest.raises(OverflowError, match="'stdout_fd'"):
        proto.start(0, 2**63)
    assert await proto.is_running() is False


# ---------------------------------------------------------------- callbacks


def test_callback_slots_hold_and_release_references():
    proto = m.NativeControlProtocol()

    class Callback:
        def __call__(self):
            pass

    first, second = Callback(), Callback()
    base = sys.getrefcount(first)
    assert proto.set_permission_callback(first) is None
    assert sys.getrefcount(first) == base + 1
    proto.set_permission_callback(callback=second)  # replaces and releases the first
    assert sys.getrefcount(first) == base
    assert proto.set_hook_callback(None) is None
    proto.set_mcp_callback(42)  # nothing checks that it is callable
    with pytest.raises(TypeError):
        proto.set_mcp_callback()

    # A callback that refers back to its protocol makes a cycle the collector must break.
    cyclic = Callback()
    cyclic.proto = proto
    proto.set_hook_callback(cyclic)
    gone = weakref.ref(cyclic)
    gone_second = weakref.ref(second)
    del proto, cyclic, second
    gc.collect()
    assert gone() is None and gone_second() is None
