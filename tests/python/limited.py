"""Runs test code in a fresh interpreter whose address space is capped, so
that an oversized allocation fails loudly instead of succeeding quietly."""
import os
import subprocess
import sys
import textwrap

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))


def run_limited(code, address_space=1 << 30, stdin=None):
    """Runs `code` (after `import glyphward`) with RLIMIT_AS set to
    `address_space` bytes; the test directory is importable. Returns the
    CompletedProcess, with text output.

    Skips the calling test under AddressSanitizer: its shadow memory alone
    needs terabytes of address space, so a capped interpreter cannot start.
    """
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("an address-space cap cannot coexist with AddressSanitizer")
    script = textwrap.dedent(
        f"""
        import resource, sys, time
        sys.path.insert(0, {HERE!r})
        resource.setrlimit(resource.RLIMIT_AS, ({address_space}, {address_space}))
        import glyphward
        """
    ) + textwrap.dedent(code)
    return subprocess.run(
        [sys.executable, "-c", script],
        input=stdin,
        capture_output=True,
        text=stdin is None or isinstance(stdin, str),
        timeout=60,
    )
