"""Verifies the hostile fonts of tests/python/adversarial/test_attack_bounds.py
that cost most, each in a fresh child process, and prints for each the time
of verify_font against one SHA-256 pass over the font, the growth of the
child's peak resident set (VmHWM, reset before the call), the size of the
JSON record against the Manifest Store, and the codes it reports.

    python bench/adversarial_benchmark.py [--check] [--timeout SECONDS] [--cap MB]

The target (--check): every font verifies within 2 s plus 2 SHA-256 passes
over it, in at most 256 MB beyond its size, with a record at most 4 times
its store (plus 64 KB). A child is stopped after --timeout seconds (default
60) and capped at --cap MB of address space (default 2048), so that the
code before the bounds can be measured too (PYTHONPATH=OTHER/src picks the
glyphward_c2pa of another checkout): a stopped child is reported as such.
"""
from __future__ import annotations

import argparse
import json
import platform
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace
from typing import Any, Callable, Dict, List, Tuple

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "bench"), str(ROOT / "tests" / "python"), str(ROOT / "tests" / "python" / "adversarial")]

from cryptography import x509  # noqa: E402
from cryptography.hazmat.primitives.serialization import load_pem_private_key  # noqa: E402

import glyphward  # noqa: E402
import test_attack_bounds as attacks  # noqa: E402
from c2pa_benchmark import make_credential  # noqa: E402
from glyphward_c2pa import sign_font  # noqa: E402

MB = 1 << 20


def fonts() -> List[Tuple[str, bytes]]:
    """The hostile fonts, by name."""
    made = make_credential()
    credential = SimpleNamespace(key=load_pem_private_key(made.key_pem, None),
                                 chain=x509.load_pem_x509_certificates(made.chain_pem))
    signed = sign_font(attacks.DEMO.read_bytes(), made.signer, binding="boxes").font
    found: List[Tuple[str, bytes]] = []
    for name, bomb in sorted(attacks.BOMBS.items()):
        found.append((f"assertion: {name}", attacks.with_assertion(signed, credential, "org.example.bomb", bomb())))
    # What the budget lets through at its densest, near 16 MB: short text
    # strings (charged 13.8 bytes a byte), and small integers (8).
    for name, value in (("15 MB of 4-letter strings", ["abcd"] * (3 * MB)),
                        ("15 MB of small integers", [0] * (15 * MB))):
        found.append((f"assertion: {name}", attacks.with_assertion(signed, credential, "org.example.bulk", value)))
    builders: Dict[str, Callable[[], Any]] = {
        "one 8 MB box named 6000 times": lambda: attacks.ingredient_store(
            signed, attacks.big_signature_ingredient(), 6000),
        "40 compressed manifests of 64 MB": lambda: attacks.ingredient_store(
            signed, attacks.compressed_ingredients(), 40),
    }
    for name, build in builders.items():
        found.append((name, glyphward.embed_manifest_store(signed, build())))
    return found


def measure(font: bytes, timeout: float, cap: int) -> Dict[str, Any]:
    script = (f"import resource, sys, time\nresource.setrlimit(resource.RLIMIT_AS, ({cap}, {cap}))\n"
              + attacks.CHILD)
    try:
        result = subprocess.run([sys.executable, "-c", script], input=font, capture_output=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"stopped": f"not done in {timeout:.0f} s"}
    if result.returncode != 0:
        last = result.stderr.decode(errors="replace").strip().splitlines()[-1:] or ["?"]
        return {"stopped": f"exit {result.returncode}: {last[0][:60]}"}
    found: Dict[str, Any] = json.loads(result.stdout.decode().splitlines()[-1])
    return found


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--timeout", type=float, default=60.0)
    parser.add_argument("--cap", type=int, default=2048, help="the child's address space, MB")
    args = parser.parse_args()
    import glyphward_c2pa
    print(f"glyphward_c2pa from {Path(glyphward_c2pa.__file__).parent}; {platform.python_version()}")
    failed = 0
    print(f"{'font':36} {'size':>9} {'store':>9} {'seconds':>8} {'sha256':>8} {'growth MB':>9} {'record':>9}  codes")
    for name, font in fonts():
        store = len(glyphward.read_manifest_store(font))
        found = measure(font, args.timeout, args.cap * MB + 3 * len(font))
        if "stopped" in found:
            print(f"{name:36} {len(font):>9} {store:>9}  {found['stopped']}")
            failed += 1
            continue
        ok = (found["seconds"] <= 2 + 2 * found["sha"] and found["growth"] <= 256 * MB
              and found["record"] <= 4 * store + 64 * 1024)
        failed += not ok
        print(f"{name:36} {len(font):>9} {store:>9} {found['seconds']:>8.3f} {found['sha']:>8.4f} "
              f"{found['growth'] / MB:>9.1f} {found['record']:>9}  {' '.join(found['codes'])[:60]}"
              + ("" if ok else "  (beyond the target)"))
    return 1 if args.check and failed else 0


if __name__ == "__main__":
    sys.exit(main())
