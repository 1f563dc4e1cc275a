# The one place the version number is written: the wheel's metadata and
# `glyphward --version` both read it from here.
__version__ = "0.1.0"
