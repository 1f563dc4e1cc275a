"""The project's version, written in this one place (the wheel's metadata,
`glyphward --version` and the claim generator's version, C2PA 2.2, 10.2.3,
all read it from here), and the claim generator's name."""
__version__ = "0.1.0"

VERSION = __version__
GENERATOR = "glyphward"

__all__ = ["GENERATOR", "VERSION", "__version__"]
