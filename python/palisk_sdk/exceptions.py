"""Exceptions raised by the palisk SDK.

The native core turns each of its error kinds into the class of the same name here, called with
the error's display text as the single argument.
"""

__all__ = [
    "PaliskError",
    "ConnectionError",
    "SessionError",
    "TransportError",
    "ProtocolError",
    "ToolError",
    "HookError",
    "ProxyError",
    "TimeoutError",
    "PermissionError",
    "CancelledError",
]


class PaliskError(Exception):
    """Base class of every error the SDK raises."""

    def __init__(self, message: str) -> None:
        super().__init__(message)


class ConnectionError(PaliskError):  # noqa: A001 - deliberately shadows the builtin name
    """The client is not connected, or its connection to the agent ended."""


class SessionError(PaliskError):
    """A session operation failed."""


class TransportError(PaliskError):
    """The agent's streams or process could not be used."""


class ProtocolError(PaliskError):
    """The agent answered with an error, or sent something that does not decode."""


class ToolError(PaliskError):
    """A tool could not be found or run."""


class HookError(PaliskError):
    """A hook failed."""


class ProxyError(PaliskError):
    """The proxy chain is invalid."""


class TimeoutError(PaliskError):  # noqa: A001
    """A wait ran out of time."""


class PermissionError(PaliskError):  # noqa: A001
    """A permission was denied."""


class CancelledError(PaliskError):
    """An operation was cancelled. Not an asyncio.CancelledError: it does not cancel the caller."""
