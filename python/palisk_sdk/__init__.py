"""The palisk SDK: drive coding agents over the Agent Client Protocol from asyncio."""

from . import exceptions
from ._palisk_sdk import __version__

__all__ = ["__version__", "exceptions"]
