"""The cost of a time-stamped signature against one without, in pairs.

    PYTHONPATH=src python bench/timestamp_cost.py [--pairs 31] [--font PATH]

Signs the font with sign_font twice per pair, once with a v2 time-stamp from
a local RFC 3161 authority (tests/python/tsa_server.py: `openssl ts -reply`
behind an HTTP server on 127.0.0.1) and once without, the order alternating,
both bindings; prints the medians of each side's wall time, of the per-pair
differences and of the per-pair ratios. A local authority leaves out the
network: a real one adds its round trip to the difference.
"""
from __future__ import annotations

import argparse
import os
import platform
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable, List, Tuple

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests" / "python"))

import c2pa_pki  # noqa: E402  (the test PKI)
import tsa_server  # noqa: E402  (the local time-stamp authority)

from glyphward_c2pa import KeySigner, TimeStamper, sign_font, verify_font  # noqa: E402


def pairs_of(with_stamp: Callable[[], object], without: Callable[[], object],
             pairs: int) -> Tuple[List[float], List[float]]:
    stamped: List[float] = []
    plain: List[float] = []
    for index in range(pairs):
        order = [(with_stamp, stamped), (without, plain)]
        for call, times in (order if index % 2 == 0 else order[::-1]):
            start = time.perf_counter()
            call()
            times.append(time.perf_counter() - start)
    return stamped, plain


def _cpu() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--pairs", type=int, default=31)
    parser.add_argument("--font", type=Path, default=Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"))
    args = parser.parse_args()
    font = args.font.read_bytes()
    with tempfile.TemporaryDirectory() as scratch:
        pki = c2pa_pki.C2paPki(Path(scratch) / "pki")
        credential = pki.signer("ES256")
        signer = KeySigner(credential.key, credential.chain)
        (Path(scratch) / "tsa").mkdir()
        with tsa_server.running(Path(scratch) / "tsa") as server:
            stamper = TimeStamper(server.url)
            print(f"{_cpu()}, {os.cpu_count()} CPUs, load average "
                  f"{' '.join(f'{load:.2f}' for load in os.getloadavg())}; CPython {platform.python_version()}; "
                  f"{args.font.name} ({len(font):,} bytes); ES256; {args.pairs} pairs; wall time")
            for binding in ("boxes", "data"):
                signed = sign_font(font, signer, binding=binding, tsa=stamper)
                report = verify_font(signed.font, trust_anchors=[pki.root.cert],
                                     tsa_trust_anchors=[server.anchor])
                assert report.manifest_state == "trusted" and report.manifest is not None \
                    and report.manifest.timestamp is not None, report.to_json()
                stamped, plain = pairs_of(lambda: sign_font(font, signer, binding=binding, tsa=stamper),
                                          lambda: sign_font(font, signer, binding=binding), args.pairs)
                differences = [a - b for a, b in zip(stamped, plain)]
                ratios = [a / b for a, b in zip(stamped, plain)]
                print(f"{binding}: with a time-stamp {statistics.median(stamped) * 1e3:.1f} ms, without "
                      f"{statistics.median(plain) * 1e3:.1f} ms; per pair +{statistics.median(differences) * 1e3:.1f} ms, "
                      f"{statistics.median(ratios):.2f}x; store {len(signed.manifest_store):,} bytes with the token")
    return 0


if __name__ == "__main__":
    sys.exit(main())
