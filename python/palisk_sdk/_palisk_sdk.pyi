"""Type stubs of the native extension module `palisk_sdk._palisk_sdk`.

Each area keeps its classes between its own markers.
"""

from collections.abc import Awaitable, Callable, Sequence
from typing import Any, ClassVar, final

__version__: str

# --- types: begin
@final
class MessageRole:
    User: ClassVar[MessageRole]
    Assistant: ClassVar[MessageRole]
    System: ClassVar[MessageRole]
    Tool: ClassVar[MessageRole]
    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class ContentType:
    Text: ClassVar[ContentType]
    ToolUse: ClassVar[ContentType]
    ToolResult: ClassVar[ContentType]
    Image: ClassVar[ContentType]
    Error: ClassVar[ContentType]
    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class UpdateKind:
    TextDelta: ClassVar[UpdateKind]
    ThoughtDelta: ClassVar[UpdateKind]
    ToolUseStart: ClassVar[UpdateKind]
    ToolUseEnd: ClassVar[UpdateKind]
    ToolUseUpdate: ClassVar[UpdateKind]
    ModeChange: ClassVar[UpdateKind]
    Plan: ClassVar[UpdateKind]
    ConfigUpdate: ClassVar[UpdateKind]
    CommandsUpdate: ClassVar[UpdateKind]
    Usage: ClassVar[UpdateKind]
    SessionInfo: ClassVar[UpdateKind]
    Done: ClassVar[UpdateKind]
    Error: ClassVar[UpdateKind]
    RateLimit: ClassVar[UpdateKind]
    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
# --- types: end

# --- control: begin
# --- control: end

# --- client: begin
# --- client: end

# --- tools: begin
# --- tools: end

# --- hooks: begin
@final
class HookType:
    PreToolUse: ClassVar[HookType]
    PostToolUse: ClassVar[HookType]
    PromptSubmit: ClassVar[HookType]
    ResponseReceived: ClassVar[HookType]
    SessionCreated: ClassVar[HookType]
    SessionDestroyed: ClassVar[HookType]
    Connected: ClassVar[HookType]
    Disconnected: ClassVar[HookType]
    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
# --- hooks: end

# --- proxy: begin
# --- proxy: end
