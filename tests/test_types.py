"""Value classes and enumerations: the rules every value class shares (fresh read-only
attributes, copying constructors, argument errors naming the argument, no subclassing, identity
equality), their reprs and the quoted string form, and the enumerations' equality table.
"""

import collections.abc
import operator
import re
import unicodedata

import pytest

from palisk_sdk import _palisk_sdk as n

U, CT, MR = n.UpdateKind, n.ContentType, n.MessageRole
ENUMS = [n.UpdateKind, n.ContentType, n.MessageRole, n.HookType]
UPDATE_STR_FIELDS = [
    "text", "tool_name", "tool_input", "tool_use_id", "error", "stop_reason", "tool_kind", "tool_status",
    "tool_content", "tool_locations", "mode_id", "plan_json", "config_json", "commands_json", "usage_json",
    "session_info_json", "rate_limit_json",
]


class Index:
    """An integer-like object that is not an int."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def block(text="hi", kind=CT.Text, **kw):
    return n.ContentBlock(kind, text, **kw)


def fields():
    """Every value class with one value per constructor argument, in signature order. Built
    afresh per use: the lists and dicts are mutated by the copy tests."""
    return {
        n.ContentBlock: [("content_type", CT.ToolUse), ("text", "t"), ("tool_name", "Bash"),
                         ("tool_input", '{"a": 1}'), ("tool_use_id", "tu-1")],
        n.Message: [("role", MR.Assistant), ("content", [block("a"), block("b", CT.ToolUse)]),
                    ("session_id", "s-1"), ("stop_reason", "EndTurn")],
        n.SessionUpdate: [("kind", U.Plan)] + [(f, f"<{f}> not json") for f in UPDATE_STR_FIELDS],
        n.ClientConfig: [("command", ["agent", "--acp"]), ("cwd", "/tmp"), ("env", {"K": "V", "A": "B"}),
                         ("timeout_secs", 2**64 - 1)],
        n.Capabilities: [("sessions", True), ("tools", False), ("proxy", True), ("modes", ["ask", "code"]),
                         ("models", ["m1"])],
        n.ToolDefinition: [("name", "echo"), ("description", ""), ("input_schema", "{not json")],
        n.PermissionRequest: [("tool_name", "Bash"), ("tool_input", "{}"), ("tool_use_id", "tu"),
                              ("session_id", "s")],
        n.PermissionResponse: [("decision", "maybe"), ("reason", "because")],
        n.ResultMessage: [("subtype", "result"), ("duration_ms", 2**64 - 1), ("is_error", False),
                          ("num_turns", 2**32 - 1), ("session_id", "s"), ("total_cost_usd", 0.25),
                          ("result", "done")],
        n.StreamEvent: [("uuid", "u-1"), ("session_id", "s-1"), ("event", "{}")],
    }


VALUE_CLASSES = list(fields())
READ_ONLY_CLASSES = [c for c in VALUE_CLASSES if c is not n.ClientConfig]


def plain(v):
    """A comparable form: content blocks become tuples of their fields."""
    if isinstance(v, n.ContentBlock):
        return (int(v.content_type), v.text, v.tool_name, v.tool_input, v.tool_use_id)
    if isinstance(v, list):
        return [plain(x) for x in v]
    if isinstance(v, dict):
        return dict(v)
    if any(isinstance(v, e) for e in ENUMS):
        return (type(v), int(v))
    return v


def build(cls, how):
    sample = fields()[cls]
    if how == "positional":
        return cls(*[v for _, v in sample]), sample
    return cls(**dict(reversed(sample))), sample


# ---------------------------------------------------------------- shared value-class rules


@pytest.mark.parametrize("how", ["positional", "keyword"])
@pytest.mark.parametrize("cls", VALUE_CLASSES, ids=lambda c: c.__name__)
def test_fields_read_back(cls, how):
    obj, sample = build(cls, how)
    for name, value in sample:
        got = getattr(obj, name)
        assert type(got) is type(value), name
        assert plain(got) == plain(value), name


@pytest.mark.parametrize("cls", VALUE_CLASSES, ids=lambda c: c.__name__)
def test_constructor_copies_and_reads_are_fresh(cls):
    sample = fields()[cls]
    obj = cls(*[v for _, v in sample])
    for name, value in sample:
        first = getattr(obj, name)
        if isinstance(value, (list, dict)):
            before = plain(first)
            # Changing the argument after the call, or a returned container, changes nothing.
            value.clear() if isinstance(value, dict) else value.append(block("x"))
            first.clear()
            assert getattr(obj, name) is not first
            assert plain(getattr(obj, name)) == before, name
        if any(isinstance(value, e) for e in ENUMS):
            assert first == value and first is not value and getattr(obj, name) is not first, name


def test_message_blocks_are_copies():
    original = block("a")
    msg = n.Message(MR.User, (original,))
    first, second = msg.content[0], msg.content[0]
    assert first is not original and first is not second
    assert plain(first) == plain(original)


@pytest.mark.parametrize("cls", READ_ONLY_CLASSES, ids=lambda c: c.__name__)
def test_attributes_are_read_only(cls):
    obj, sample = build(cls, "positional")
    for name, value in sample:
        with pytest.raises(AttributeError):
            setattr(obj, name, value)
        with pytest.raises(AttributeError):
            delattr(obj, name)
        assert plain(getattr(obj, name)) == plain(value)


@pytest.mark.parametrize("cls", VALUE_CLASSES, ids=lambda c: c.__name__)
def test_identity_semantics_and_no_extra_attributes(cls):
    a, _ = build(cls, "positional")
    b, _ = build(cls, "positional")
    assert a == a and a != b and not (a == b)
    assert len({a, b}) == 2 and hash(a) == hash(a)
    with pytest.raises(TypeError):
        a < b  # noqa: B015
    with pytest.raises(AttributeError):
        a.extra = 1


@pytest.mark.parametrize("cls", VALUE_CLASSES + ENUMS, ids=lambda c: c.__name__)
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})


ARG_ERRORS = [
    # (call, exception, message fragment)
    (lambda: n.ContentBlock(0), TypeError,
     "argument 'content_type': 'int' object cannot be converted to 'ContentType'"),
    (lambda: n.ContentBlock(MR.User), TypeError, "argument 'content_type': 'MessageRole' object"),
    (lambda: n.ContentBlock(CT.Text, b"x"), TypeError, "argument 'text': 'bytes' object cannot be converted to 'str'"),
    (lambda: n.ContentBlock(CT.Text, bogus=1), TypeError, "unexpected keyword argument 'bogus'"),
    (lambda: n.ContentBlock(CT.Text, content_type=CT.Text), TypeError, "multiple values for argument 'content_type'"),
    (lambda: n.ContentBlock(CT.Text, None, None, None, None, None), TypeError, "at most 5 positional"),
    (lambda: n.Message(0, []), TypeError, "argument 'role': 'int' object cannot be converted to 'MessageRole'"),
    (lambda: n.Message(MR.User, "ab"), TypeError, "argument 'content': a str cannot be taken as a list"),
    (lambda: n.Message(MR.User, [n.Message(MR.User, [])]), TypeError,
     "argument 'content': 'Message' object cannot be converted to 'ContentBlock'"),
    (lambda: n.Message(MR.User, [block(), "x"]), TypeError, "argument 'content': 'str' object"),
    (lambda: n.Message(MR.User, 5), TypeError, "argument 'content'"),
    (lambda: n.Message(MR.User, iter([block()])), TypeError, "argument 'content'"),
    (lambda: n.Message(MR.User), TypeError, "missing required argument 'content'"),
    (lambda: n.Message(MR.User, [], stop_reason=3), TypeError, "argument 'stop_reason'"),
    (lambda: n.SessionUpdate(11), TypeError, "argument 'kind': 'int' object cannot be converted to 'UpdateKind'"),
    (lambda: n.SessionUpdate(U.Done, rate_limit_json=1), TypeError, "argument 'rate_limit_json'"),
    (lambda: n.ToolDefinition("n", "d"), TypeError, "missing required argument 'input_schema'"),
    (lambda: n.ToolDefinition("\ud800", "d", "s"), ValueError, "argument 'name': 'utf-8' codec can't encode"),
    (lambda: n.PermissionRequest("t", None), TypeError, "argument 'tool_input': 'NoneType' object"),
    (lambda: n.PermissionResponse("allow", reason=0), TypeError, "argument 'reason'"),
    (lambda: n.StreamEvent("u", "s", 1), TypeError, "argument 'event'"),
    (lambda: n.ResultMessage(None, 1, True, 1, "s"), TypeError, "argument 'subtype'"),
    (lambda: n.ResultMessage("r", -1, True, 1, "s"), OverflowError, "argument 'duration_ms'"),
    (lambda: n.ResultMessage("r", 2**64, True, 1, "s"), OverflowError, "argument 'duration_ms'"),
    (lambda: n.ResultMessage("r", 1.5, True, 1, "s"), TypeError, "argument 'duration_ms': 'float' object"),
    (lambda: n.ResultMessage("r", 1, 1, 1, "s"), TypeError, "argument 'is_error': 'int' object"),
    (lambda: n.ResultMessage("r", 1, True, 2**32, "s"), OverflowError, "argument 'num_turns'"),
    (lambda: n.ResultMessage("r", 1, True, -1, "s"), OverflowError, "argument 'num_turns'"),
    (lambda: n.ResultMessage("r", 1, True, 1.0, "s"), TypeError, "argument 'num_turns'"),
    (lambda: n.ResultMessage("r", 1, True, 1, "s", "0.5"), TypeError, "argument 'total_cost_usd'"),
    (lambda: n.ClientConfig("agent"), TypeError, "argument 'command': a str cannot be taken as a list"),
    (lambda: n.ClientConfig(["a", 1]), TypeError, "argument 'command': 'int' object"),
    (lambda: n.ClientConfig(["a"], cwd=1), TypeError, "argument 'cwd'"),
    (lambda: n.ClientConfig(["a"], env=None), TypeError, "argument 'env': 'NoneType' object"),
    (lambda: n.ClientConfig(["a"], env={"K": 1}), TypeError, "argument 'env'"),
    (lambda: n.ClientConfig(["a"], timeout_secs=-1), OverflowError, "argument 'timeout_secs'"),
    (lambda: n.Capabilities(sessions=1), TypeError, "argument 'sessions': 'int' object"),
    (lambda: n.Capabilities(modes="ask"), TypeError, "argument 'modes': a str cannot be taken as a list"),
    (lambda: n.Capabilities(models=[1]), TypeError, "argument 'models'"),
    (lambda: n.Capabilities(models=None), TypeError, "argument 'models'"),
]


@pytest.mark.parametrize("call, exc, fragment", ARG_ERRORS, ids=range(len(ARG_ERRORS)))
def test_argument_errors_name_the_argument(call, exc, fragment):
    with pytest.raises(exc, match=re.escape(fragment)):
        call()


class Blocks(collections.abc.Sequence):
    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize(
    "content, text",
    [
        ([block("ab"), block("cd")], "abcd"),
        ([], ""),
        ((block(None), block("x", CT.ToolUse), block("y", CT.ToolResult), block("z")), "z"),
        (Blocks(block("α"), block("\n")), "α\n"),
    ],
)
def test_message_text_joins_text_blocks_only(content, text):
    assert n.Message(MR.User, content).text() == text


def test_result_message_conversions():
    r = n.ResultMessage("r", Index(7), True, Index(0), "s", total_cost_usd=2)
    assert (r.duration_ms, r.num_turns, r.is_error) == (7, 0, True)
    assert type(r.total_cost_usd) is float and r.total_cost_usd == 2.0
    assert n.ResultMessage("r", 0, False, 0, "s").total_cost_usd is None
    assert n.ResultMessage("r", 0, False, 0, "s", None, None).result is None


def test_optional_fields_default_to_none():
    assert all(getattr(n.SessionUpdate(U.Done), f) is None for f in UPDATE_STR_FIELDS)
    req = n.PermissionRequest("t", "{}")
    assert (req.tool_use_id, req.session_id) == (None, None)
    assert (block(None).tool_name, n.PermissionResponse("deny").reason) == (None, None)
    caps = n.Capabilities()
    assert (caps.sessions, caps.tools, caps.proxy, caps.modes, caps.models) == (False, False, False, [], [])


# ---------------------------------------------------------------- ClientConfig


def test_client_config_defaults_and_setters():
    c = n.ClientConfig(("agent",))
    assert (c.command, c.cwd, c.env, c.timeout_secs) == (["agent"], None, {}, 30)
    c.command, c.cwd, c.env, c.timeout_secs = ["b", "c"], "/x", {"K": "V"}, 0
    assert (c.command, c.cwd, c.env, c.timeout_secs) == (["b", "c"], "/x", {"K": "V"}, 0)
    c.cwd = None
    assert c.cwd is None


@pytest.mark.parametrize(
    "name, value, exc, fragment",
    [
        ("command", "ab", TypeError, "argument 'command': a str cannot be taken as a list"),
        ("cwd", 3, TypeError, "argument 'cwd'"),
        ("env", None, TypeError, "argument 'env'"),
        ("timeout_secs", -1, OverflowError, "argument 'timeout_secs'"),
        ("timeout_secs", "5", TypeError, "argument 'timeout_secs'"),
    ],
)
def test_client_config_bad_assignment_keeps_value(name, value, exc, fragment):
    c = n.ClientConfig(["a"], "/w", {"K": "V"}, 9)
    before = getattr(c, name)
    with pytest.raises(exc, match=re.escape(fragment)):
        setattr(c, name, value)
    assert getattr(c, name) == before


@pytest.mark.parametrize("name", ["command", "cwd", "env", "timeout_secs"])
def test_client_config_attributes_cannot_be_deleted(name):
    c = n.ClientConfig(["a"], "/w")
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        delattr(c, name)


# ---------------------------------------------------------------- reprs and the quoted form


@pytest.mark.parametrize(
    "make, text",
    [
        (lambda: block("x", CT.ToolUse), "ContentBlock(type=ToolUse)"),
        (lambda: n.Message(MR.Assistant, []), 'Message(role=Assistant, text=""...)'),
        (lambda: n.Message(MR.User, [block("Hi")]), 'Message(role=User, text="Hi"...)'),
        (lambda: n.Message(MR.Tool, [block('say "x"\n')]), r'Message(role=Tool, text="say \"x\"\n"...)'),
        (lambda: n.SessionUpdate(U.ToolUseStart, text="x"), "SessionUpdate(kind=ToolUseStart)"),
        (lambda: n.SessionUpdate(U.Done), "SessionUpdate(kind=Done)"),
        (lambda: n.StreamEvent('u"1', "s\\2", "{}"), r'StreamEvent(uuid="u\"1", session="s\\2")'),
        (lambda: n.ResultMessage("result", 5, True, 3, "s", 1.0, "r"),
         'ResultMessage(subtype="result", turns=3, error=true)'),
        (lambda: n.ResultMessage("", 5, False, 4294967295, "s"),
         'ResultMessage(subtype="", turns=4294967295, error=false)'),
        (lambda: n.PermissionRequest("Bash", "{}"), 'PermissionRequest(tool="Bash")'),
        (lambda: n.PermissionResponse("maybe"), 'PermissionResponse(decision="maybe")'),
        (lambda: n.ToolDefinition("echo", "d", "{"), 'ToolDefinition(name="echo")'),
        (lambda: n.ClientConfig(["a", "b"], "/w", {"K": "V"}), 'ClientConfig(command=["a", "b"])'),
        (lambda: n.ClientConfig([]), "ClientConfig(command=[])"),
        (lambda: n.ClientConfig(["é\t\u0301"]), r'ClientConfig(command=["é\t\u{301}"])'),
        (lambda: n.Capabilities(True, True),
         "Capabilities(sessions=true, tools=true, proxy=false, modes=[], models=[])"),
        (lambda: n.Capabilities(proxy=True, modes=["ask", 'c"o'], models=["m"]),
         r'Capabilities(sessions=false, tools=false, proxy=true, modes=["ask", "c\"o"], models=["m"])'),
    ],
)
def test_reprs(make, text):
    assert repr(make()) == text


QUOTED = [
    # (text, quoted form without the surrounding quotes)
    ('say "hi"', r"say \"hi\""),
    ("a\\b", r"a\\b"),
    ("\t\r\n\0", r"\t\r\n\0"),
    ("\x07\x1b\x7f\x85", r"\u{7}\u{1b}\u{7f}\u{85}"),
    ("it's a b", "it's a b"),
    ("e\u0301", r"e\u{301}"),  # combining mark (Mn)
    ("👨\u200d👩", r"👨\u{200d}👩"),  # zero-width joiner (Cf)
    ("a\u2028b\u2029", r"a\u{2028}b\u{2029}"),  # Zl, Zp
    ("\u00a0\u3000", r"\u{a0}\u{3000}"),  # Zs other than the ASCII space
    ("\ufeff\U000e0001", r"\u{feff}\u{e0001}"),  # Cf
    ("\ue000\U0010fffd", r"\u{e000}\u{10fffd}"),  # Co
    ("\u0378\U0010ffff", r"\u{378}\u{10ffff}"),  # Cn
    ("\u09be\uff9e", r"\u{9be}\u{ff9e}"),  # Grapheme_Extend outside Mn/Me (Mc, Lm)
    ("\u0903", "\u0903"),  # a spacing mark that does not extend
    ("héllo wörld Ωμέγα 中文 😀", "héllo wörld Ωμέγα 中文 😀"),
    ("\U0001fae8", "\U0001fae8"),  # assigned in Unicode 15.0
]


@pytest.mark.parametrize("text, quoted", QUOTED)
def test_quoted_form(text, quoted):
    assert repr(n.PermissionResponse(text)) == f'PermissionResponse(decision="{quoted}")'


# Grapheme_Extend code points outside the categories Mn and Me (Other_Grapheme_Extend).
OTHER_GRAPHEME_EXTEND = [
    (0x09BE, 0x09BE), (0x09D7, 0x09D7), (0x0B3E, 0x0B3E), (0x0B57, 0x0B57), (0x0BBE, 0x0BBE), (0x0BD7, 0x0BD7),
    (0x0CC2, 0x0CC2), (0x0CD5, 0x0CD6), (0x0D3E, 0x0D3E), (0x0D57, 0x0D57), (0x0DCF, 0x0DCF), (0x0DDF, 0x0DDF),
    (0x1B35, 0x1B35), (0x200C, 0x200C), (0x302E, 0x302F), (0xFF9E, 0xFF9F), (0x1133E, 0x1133E), (0x11357, 0x11357),
    (0x114B0, 0x114B0), (0x114BD, 0x114BD), (0x115AF, 0x115AF), (0x11930, 0x11930), (0x1D165, 0x1D165),
    (0x1D16E, 0x1D172), (0xE0020, 0xE007F),
]


def test_quoted_form_matches_unicode_categories():
    """Every code point that this interpreter's Unicode database knows is escaped exactly when
    its category or Grapheme_Extend says so (newer assignments are left out of the check).
    Planes 4 to 13 hold no assignments and the private-use planes one category, so samples
    of them stand for the rest."""
    escaped_categories = {"Cc", "Cf", "Co", "Zl", "Zp", "Zs", "Mn", "Me"}
    extend = {cp for lo, hi in OTHER_GRAPHEME_EXTEND for cp in range(lo, hi + 1)}
    points = [cp for cp in range(0x40000) if not 0xD800 <= cp <= 0xDFFF]
    points += [*range(0x40000, 0xE0000, 0x1003), *range(0xE0000, 0xF0000)]
    points += [0xF0000, 0xFABCD, 0xFFFFD, 0xFFFFE, 0x100000, 0x10FFFD, 0x10FFFF]
    quoted = repr(n.PermissionResponse("".join(map(chr, points))))
    inner = quoted[len('PermissionResponse(decision="') : -len('")')]
    tokens = re.findall(r"\\u\{([0-9a-f]+)\}|\\(.)|(.)", inner, flags=re.S)
    assert len(tokens) == len(points)
    simple = {"0": 0, "t": 9, "n": 10, "r": 13, "\\": 0x5C, '"': 0x22}
    wrong = []
    for cp, (hexa, esc, lit) in zip(points, tokens):
        got = int(hexa, 16) if hexa else simple[esc] if esc else ord(lit)
        assert got == cp, f"U+{cp:04X} came out as U+{got:04X}"
        if esc:
            continue
        category = unicodedata.category(chr(cp))
        if category == "Cn" and not 0x40000 <= cp < 0xE0000:
            continue
        expect = cp != 0x20 and (category in escaped_categories or category == "Cn" or cp in extend)
        if bool(hexa) != expect:
            wrong.append(f"U+{cp:04X} ({category})")
    assert not wrong, f"{len(wrong)} code points quoted wrongly: {wrong[:20]}"


@pytest.mark.parametrize(
    "text, shown",
    [
        ("x" * 100, "x" * 60),
        ("é" * 70, "é" * 60),  # two bytes each
        ("😀" * 70, "😀" * 60),  # four bytes each
        ("a" * 59 + "e\u0301", "a" * 59 + "e"),  # the cut counts code points, not graphemes
        ("a" * 59 + "\n", "a" * 59 + "\\n"),
        ("short", "short"),
    ],
)
def test_message_repr_keeps_first_60_code_points(text, shown):
    msg = n.Message(MR.User, [block(text[:30]), block(text[30:])])
    assert repr(msg) == f'Message(role=User, text="{shown}"...)'


# ---------------------------------------------------------------- enumerations

MEMBERS = [
    (n.UpdateKind, ["TextDelta", "ThoughtDelta", "ToolUseStart", "ToolUseEnd", "ToolUseUpdate", "ModeChange", "Plan",
                    "ConfigUpdate", "CommandsUpdate", "Usage", "SessionInfo", "Done", "Error", "RateLimit"]),
    (n.ContentType, ["Text", "ToolUse", "ToolResult", "Image", "Error"]),
    (n.MessageRole, ["User", "Assistant", "System", "Tool"]),
]


@pytest.mark.parametrize("enum, names", MEMBERS, ids=lambda v: getattr(v, "__name__", ""))
def test_enum_members(enum, names):
    assert [k for k, v in vars(enum).items() if isinstance(v, enum)] == names
    for value, name in enumerate(names):
        member = getattr(enum, name)
        assert member is getattr(enum, name)
        assert type(int(member)) is int and int(member) == value
        assert repr(member) == str(member) == f"{enum.__name__}.{name}"


EQUALITY = [
    (U.Done, U.Done, True),
    (U.Done, U.Plan, False),
    (U.Done, 11, True),
    (U.Done, 12, False),
    (U.TextDelta, -(2**64), False),
    (U.Done, 2**70, False),
    (CT.ToolUse, True, True),
    (CT.Text, False, True),
    (U.Done, 11.0, False),
    (U.Done, "Done", False),
    (U.Done, None, False),
    (CT.ToolUse, MR.Assistant, False),
    (n.HookType.PostToolUse, CT.ToolUse, False),
    (U.Done, Index(11), True),
    (U.Done, Index(3), False),
    (n.SessionUpdate(U.Done).kind, U.Done, True),
]


@pytest.mark.parametrize("a, b, equal", EQUALITY)
def test_enum_equality(a, b, equal):
    assert (a == b) is equal and (b == a) is equal
    assert (a != b) is not equal and (b != a) is not equal


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("a, b", [(U.Plan, U.Done), (U.Done, 11), (11, U.Done)])
def test_enum_ordering_raises(op, a, b):
    with pytest.raises(TypeError):
        op(a, b)


def test_enum_members_are_unhashable():
    for make in (lambda: hash(MR.User), lambda: {MR.User}, lambda: {MR.User: 1}):
        with pytest.raises(TypeError, match="unhashable"):
            make()


def test_field_members_are_fresh():
    kind = n.SessionUpdate(U.Done).kind
    assert kind == U.Done and kind is not U.Done


@pytest.mark.parametrize("enum", ENUMS, ids=lambda e: e.__name__)
def test_enum_class_is_closed(enum):
    first = next(v for v in vars(enum).values() if isinstance(v, enum))
    for call in (lambda: enum(), lambda: enum(0), lambda: enum.__new__(enum)):
        with pytest.raises(TypeError, match=f"^No constructor defined for {enum.__name__}$"):
            call()
    with pytest.raises(TypeError):
        enum.Extra = first
    with pytest.raises(TypeError):
        setattr(enum, repr(first).split(".")[1], first)
    with pytest.raises(AttributeError):
        first.name = "x"
    assert not hasattr(first, "name") and not hasattr(first, "value")
    with pytest.raises(TypeError):
        iter(enum)


# ---------------------------------------------------------------- documentation texts

DOCS = [
    (n.ContentBlock, "(content_type, text=None, tool_name=None, tool_input=None, tool_use_id=None)",
     "A single content block inside a [`Message`]."),
    (n.Message, "(role, content, session_id=None, stop_reason=None)", "A message exchanged between client and agent."),
    (n.SessionUpdate, "(kind, " + ", ".join(f"{f}=None" for f in UPDATE_STR_FIELDS) + ")",
     "A real-time streaming update from the agent during a session."),
    (n.StreamEvent, "(uuid, session_id, event)", "A streaming event received from the agent during a query."),
    (n.ResultMessage, "(subtype, duration_ms, is_error, num_turns, session_id, total_cost_usd=None, result=None)",
     "Final result message sent by the agent when a query completes."),
    (n.PermissionRequest, "(tool_name, tool_input, tool_use_id=None, session_id=None)",
     "A permission check request sent from agent to SDK via the control protocol."),
    (n.PermissionResponse, "(decision, reason=None)", "The SDK's response to a permission check."),
    (n.ToolDefinition, "(name, description, input_schema)", "Schema definition for a tool exposed to the agent."),
    (n.ClientConfig, "(command, cwd=None, env=Ellipsis, timeout_secs=30)",
     "Configuration for a palisk [`Client`] connection."),
    (n.Capabilities, "(sessions=False, tools=False, proxy=False, modes=Ellipsis, models=Ellipsis)",
     "Agent capabilities advertised during the `initialize` handshake."),
    (n.UpdateKind, None, "The kind of streaming update from the agent."),
    (n.ContentType, None, "Content type within a message."),
    (n.MessageRole, None, "The role of a message sender."),
]


@pytest.mark.parametrize("cls, signature, doc", DOCS, ids=lambda v: getattr(v, "__name__", ""))
def test_class_docs_and_signatures(cls, signature, doc):
    import inspect

    assert cls.__doc__ == doc
    assert cls.__module__ == "palisk_sdk._palisk_sdk"
    if signature:
        assert str(inspect.signature(cls)) == signature


ATTRIBUTE_DOCS = {
    n.ContentBlock: {"content_type": None, "text": None, "tool_name": None, "tool_input": None, "tool_use_id": None},
    n.Message: {"role": None, "content": None, "session_id": None,
                "stop_reason": 'Why the prompt turn ended (e.g. "EndTurn", "Cancelled").'},
    n.SessionUpdate: {
        "kind": None, "text": None, "tool_name": None, "tool_input": None, "tool_use_id": None, "error": None,
        "stop_reason": "Why the prompt turn ended (end_turn, max_tokens, cancelled, etc.).",
        "tool_kind": "Tool kind (read, edit, execute, etc.).",
        "tool_status": "Tool status (pending, in_progress, completed, failed).",
        "tool_content": "Tool output content as JSON string.",
        "tool_locations": "Tool file locations as JSON string.",
        "mode_id": "Current mode ID.",
        "plan_json": "Plan entries as JSON string.",
        "config_json": "Config options as JSON string.",
        "commands_json": "Available commands as JSON string.",
        "usage_json": "Token usage data as JSON string.",
        "session_info_json": "Session info as JSON string.",
        "rate_limit_json": "Rate limit event data as JSON string.",
    },
    n.StreamEvent: {"uuid": "Unique identifier for this event.", "session_id": "Session in which the event occurred.",
                    "event": "JSON-serialized event payload."},
    n.ResultMessage: {
        "subtype": 'Result subtype (e.g. "result").',
        "duration_ms": "Total duration of the query in milliseconds.",
        "is_error": "Whether the result represents an error.",
        "num_turns": "Number of conversation turns consumed.",
        "session_id": "Session identifier.",
        "total_cost_usd": "Total cost in USD (if available).",
        "result": "The final result text (if available).",
    },
    n.PermissionRequest: {
        "tool_name": "The name of the tool the agent wants to use.",
        "tool_input": "JSON-serialized tool input parameters.",
        "tool_use_id": "Unique identifier for this tool use invocation.",
        "session_id": "Session in which the tool use occurs.",
    },
    n.PermissionResponse: {"decision": '"allow" or "deny".', "reason": "Reason for denial (if denied)."},
    n.ToolDefinition: {"name": None, "description": None,
                       "input_schema": "JSON Schema string for the tool's input parameters."},
    n.ClientConfig: {
        "cwd": "Working directory for the spawned agent process.",
        "env": "Additional environment variables passed to the agent.",
        "timeout_secs": "Connection timeout in seconds.",
    },
    n.Capabilities: {
        "sessions": "Whether the agent supports session management.",
        "tools": "Whether the agent supports tool registration via MCP.",
        "proxy": "Whether the agent supports proxy chains.",
        "modes": 'Supported agent modes (e.g. "ask", "code", "architect").',
        "models": "Supported model identifiers.",
    },
}


@pytest.mark.parametrize("cls", list(ATTRIBUTE_DOCS), ids=lambda c: c.__name__)
def test_attribute_docs(cls):
    assert {name: getattr(cls, name).__doc__ for name in ATTRIBUTE_DOCS[cls]} == ATTRIBUTE_DOCS[cls]


def test_free_text_and_method_docs():
    assert n.ClientConfig.command.__doc__.startswith("Shell command to spawn the agent")
    assert n.Message.text.__doc__ == "Convenience: return concatenated text of all `Text` content blocks."
    assert n.Message.text.__text_signature__ == "($self)"


def test_registration_order():
    names = [k for k, v in vars(n).items() if isinstance(v, type)]
    assert names[:13] == [
        "Capabilities", "MessageRole", "ContentType", "ContentBlock", "Message", "UpdateKind", "SessionUpdate",
        "ClientConfig", "ToolDefinition", "PermissionRequest", "PermissionResponse", "ResultMessage", "StreamEvent",
    ]
