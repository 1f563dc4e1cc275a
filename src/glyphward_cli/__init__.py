"""The `glyphward` command: inspect, embed, strip and sign font files."""
from ._version import __version__

__all__ = ["__version__"]
