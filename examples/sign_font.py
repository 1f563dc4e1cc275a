#!/usr/bin/env python3
"""Signs a font with the `glyphward` command and the example signer, then
verifies the result independently.

    usage: sign_font.py [INPUT_FONT [OUTPUT_FONT]]

With no INPUT_FONT it signs examples/fonts/GlyphwardDemo.ttf. Without
OUTPUT_FONT it writes build/demo/<name>-signed<suffix> under the repository.

The steps, each through the command a signing pipeline would run:

1. `glyphward info --json INPUT` checks that glyphward can read the input;
2. `stand_in_signer.py --new-key` makes a signing key for this run;
3. `glyphward sign INPUT -o OUTPUT --size N --signer "stand_in_signer.py --key KEY"`
   reserves N bytes for the manifest, hashes the reserved font outside the
   exclusion ranges, runs the signer on that hash, fills the signed manifest
   in, checks the filled font and writes it;
4. `glyphward digest --json OUTPUT` and `glyphward extract OUTPUT` show the
   hash and the manifest that the font now carries;
5. the signed font is verified without the command (stand_in.verify):
   is_compliant, the manifest, the ranges, the hash recomputed outside them,
   and the signature checked with the public key made in step 2.

The manifest is a STAND-IN, not a C2PA manifest (see stand_in.py); a real C2PA
signer takes the place of stand_in_signer.py and nothing else changes.

Exit status: 0 when the signed font verifies, 1 when signing or verification
fails, 2 for bad usage, an input glyphward refuses, or no glyphward command.
"""
from __future__ import annotations

import json
import shlex
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import List, Sequence

sys.path.insert(0, str(Path(__file__).resolve().parent))

from stand_in import SIGNATURE_ALGORITHM, manifest_size_bound, print_verification, verify  # noqa: E402

USAGE = "usage: sign_font.py [INPUT_FONT [OUTPUT_FONT]]"
EXAMPLES = Path(__file__).resolve().parent
REPO = EXAMPLES.parent
DEFAULT_INPUT = EXAMPLES / "fonts" / "GlyphwardDemo.ttf"
DEFAULT_OUTPUT_DIR = REPO / "build" / "demo"
SIGNER = EXAMPLES / "stand_in_signer.py"


def glyphward_command() -> List[str]:
    """The installed `glyphward` command: the one beside this interpreter
    (a virtual environment's), else the one on PATH."""
    beside = Path(sys.executable).parent / "glyphward"
    if beside.is_file():
        return [str(beside)]
    found = shutil.which("glyphward")
    if found:
        return [found]
    print("error: the glyphward command is not installed (pip install . gives it)", file=sys.stderr)
    raise SystemExit(2)


def run(command: List[str], capture: bool = True) -> subprocess.CompletedProcess:
    return subprocess.run(command, stdout=subprocess.PIPE if capture else None, timeout=600)


def default_output(source: Path) -> Path:
    return DEFAULT_OUTPUT_DIR / f"{source.stem}-signed{source.suffix or '.ttf'}"


def main(argv: Sequence[str]) -> int:
    args = list(argv[1:])
    if any(a in ("-h", "--help") for a in args):
        print(__doc__)
        return 0
    if len(args) > 2:
        print(USAGE, file=sys.stderr)
        return 2
    source = Path(args[0]) if args else DEFAULT_INPUT
    target = Path(args[1]) if len(args) == 2 else default_output(source)
    glyphward = glyphward_command()

    info = run(glyphward + ["info", "--json", "-q", str(source)])
    if info.returncode not in (0, 1):
        print(f"error: glyphward info failed with status {info.returncode}", file=sys.stderr)
        return 2
    (record,) = json.loads(info.stdout)
    if record["error"] is not None:
        print(f"error: glyphward refused {source}: {record['error']}", file=sys.stderr)
        return 2
    print(f"input:          {source} ({record['size']} bytes, "
          f"{'with' if record['c2pa_table'] else 'without'} a C2PA table)")

    with tempfile.TemporaryDirectory(prefix="glyphward-demo-") as workspace:
        key = Path(workspace) / "demo-key.pem"
        public_key = run([sys.executable, str(SIGNER), "--new-key", str(key)]).stdout.decode().strip()
        print(f"signing key:    new {SIGNATURE_ALGORITHM} key for this run, public key {public_key}")
        reserve_size = manifest_size_bound()
        print(f"reserve size:   {reserve_size} bytes (upper bound of the stand-in manifest's size)")

        target.parent.mkdir(parents=True, exist_ok=True)
        signer = shlex.join([sys.executable, str(SIGNER), "--key", str(key)])
        sign = glyphward + ["sign", str(source), "-o", str(target), "--size", str(reserve_size),
                            "--signer", signer]
        print(f"$ {shlex.join(['glyphward'] + sign[1:])}")
        signed = run(sign, capture=False)
        if signed.returncode != 0:
            print(f"SIGNING FAILED (glyphward sign exited with status {signed.returncode}; "
                  "its message is above)")
            return 1

    print(f"output:         {target} ({target.stat().st_size} bytes)")
    digest = json.loads(run(glyphward + ["digest", "--json", str(target)]).stdout)
    print("excluded from the hash:")
    for item in digest["exclusions"]:
        start, length = item["start"], item["length"]
        print(f"  bytes {start}..{start + length - 1} ({length} bytes)")
    print(f"{digest['algorithm']}:         {digest['hash']}")
    manifest = run(glyphward + ["extract", str(target)]).stdout.rstrip(b"\0")
    print(f"manifest:       {len(manifest)} bytes (STAND-IN JSON, not a real C2PA manifest), "
          f"signed with {SIGNATURE_ALGORITHM}")
    for line in manifest.decode("utf-8").splitlines():
        print(f"  | {line}")

    verified, checks = verify(target.read_bytes(), bytes.fromhex(public_key))
    print_verification(verified, checks)
    return 0 if verified else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
