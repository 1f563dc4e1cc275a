# The version is the C2PA layer's (glyphward_c2pa/_version.py), the one place it is written.
from glyphward_c2pa._version import __version__

__all__ = ["__version__"]
