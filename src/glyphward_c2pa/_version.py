"""The claim generator's name and version (C2PA 2.2, 10.2.3), from the one
place the project's version is written."""
from glyphward_cli._version import __version__ as VERSION

GENERATOR = "glyphward"

__all__ = ["GENERATOR", "VERSION"]
