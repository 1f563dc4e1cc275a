"""The installed distribution's metadata: one version number in the metadata,
the command and the README, and the fields a package index shows."""
import importlib.metadata
import os
import re
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
# "glyphward-1.2.3" (file names), "glyphward==1.2.3" (pins), "glyphward 1.2.3"
# (what `glyphward --version` prints).
VERSION_MENTION = re.compile(r"\bglyphward(?:-|==| )(\d+(?:\.\d+)+(?:[a-z]+\d+)?)\b")


@pytest.fixture(scope="module")
def dist():
    try:
        return importlib.metadata.distribution("glyphward")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("glyphward is not installed (the module comes from a build directory)")


def test_one_version_number_everywhere(dist, capsys):
    from glyphward_cli import __version__

    version = dist.version
    assert __version__ == version

    (script,) = [ep for ep in dist.entry_points if ep.group == "console_scripts" and ep.name == "glyphward"]
    with pytest.raises(SystemExit) as status:
        script.load()(["--version"])
    assert status.value.code in (0, None)
    assert capsys.readouterr().out.strip() == f"glyphward {version}"

    mentions = VERSION_MENTION.findall((ROOT / "README.md").read_text(encoding="utf-8"))
    assert mentions, "the README names no version"
    assert set(mentions) == {version}

    wheel = os.environ.get("GLYPHWARD_WHEEL")
    if wheel:
        assert Path(wheel).name.startswith(f"glyphward-{version}-")


def test_index_metadata(dist):
    metadata = dist.metadata
    assert metadata["License-Expression"] == "Apache-2.0"
    (license_file,) = [f for f in dist.files if f.name == "LICENSE"]
    assert license_file.read_text(encoding="utf-8") == (ROOT / "LICENSE").read_text(encoding="utf-8")
    assert "Apache License\n                           Version 2.0" in license_file.read_text(encoding="utf-8")

    assert metadata["Description-Content-Type"] == "text/markdown"
    assert metadata.get_payload() == (ROOT / "README.md").read_text(encoding="utf-8")

    # The oldest CPython admitted is the one the wheel's abi3 tag names, and
    # it and the interpreter running the suite are both listed.
    classifiers = metadata.get_all("Classifier")
    floor = re.fullmatch(r">=(\d+)\.(\d+)", metadata["Requires-Python"]).groups()
    wheel = os.environ.get("GLYPHWARD_WHEEL")
    if wheel:
        assert f"-cp{''.join(floor)}-abi3-" in Path(wheel).name
    for version in (".".join(floor), f"{sys.version_info.major}.{sys.version_info.minor}"):
        assert f"Programming Language :: Python :: {version}" in classifiers
