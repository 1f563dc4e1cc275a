"""Inputs found by fuzz/validator_fuzzer.py, replayed through glyphward_c2pa.

tests/python/fuzz_regressions/validator_fuzzer/ holds inputs exactly as the
target read them, each in one of its replayable modes, chosen by the first
byte modulo 8:

  0  a font, validated with verify_font
  1  a big-endian u16 n, n bytes of a DER certificate (the trust anchor, of
     signers and of time-stamp authorities), then a font, validated with
     verify_font(font, trust_anchors=[anchor], tsa_trust_anchors=[anchor])
  2  a Manifest Store, embedded into examples/fonts/GlyphwardDemo.ttf
  3  bytes read with jumbf.read_superbox
  4  bytes decoded with cbor.decode and cose.decode_sign1

(5 to 7 are the target's structure-aware inputs, which depend on the signed
fonts it makes at start-up; for those the target writes the font they made
as a mode 0 or 1 input, which is what is kept here.)

verify_font must return a ValidationReport, within a time bound, whose
to_json() is JSON; the readers may raise only their own errors (C2PA 2.2,
15: every malformed structure is a status code, never an exception).
"""
import json
import signal
import time
from contextlib import contextmanager
from pathlib import Path

import pytest
from cryptography import x509

import glyphward
import glyphward_c2pa
from glyphward_c2pa import cbor, cose, jumbf

HERE = Path(__file__).parent / "fuzz_regressions" / "validator_fuzzer"
DEMO_FONT = Path(__file__).parents[2] / "examples" / "fonts" / "GlyphwardDemo.ttf"
INPUTS = sorted(path for path in HERE.glob("*") if path.is_file())
STATES = {"none", "remote", "invalid", "well-formed", "valid", "trusted"}
# CPU seconds for one input; each validates in milliseconds (seconds under
# the sanitizers or emulated arm64), a regression into a hang takes longer.
TIME_BOUND = 10.0


class OutOfTime(BaseException):
    """Raised into a validation past TIME_BOUND: a BaseException, so that no
    `except Exception` in the validator takes it for a fault of the input."""


@contextmanager
def cpu_time_limit(seconds):
    """Stops the code inside after `seconds` of CPU time, so that an input
    that hangs fails in that time rather than after minutes."""
    def out_of_time(signum, frame):
        raise OutOfTime(f"validation went on past {seconds} s of CPU time")

    previous = signal.signal(signal.SIGPROF, out_of_time)
    signal.setitimer(signal.ITIMER_PROF, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_PROF, 0)
        signal.signal(signal.SIGPROF, previous)


def test_there_are_inputs():
    assert len(INPUTS) >= 1


def test_the_time_limit_stops_a_hang():
    started = time.process_time()
    with pytest.raises(OutOfTime):
        with cpu_time_limit(0.2):
            while True:
                pass
    assert time.process_time() - started < 5


def verify(font, anchors=()):
    started = time.process_time()
    with cpu_time_limit(TIME_BOUND):
        report = glyphward_c2pa.verify_font(font, trust_anchors=anchors, tsa_trust_anchors=anchors)
    assert time.process_time() - started < TIME_BOUND
    assert type(report) is glyphward_c2pa.ValidationReport
    assert report.manifest_state in STATES
    assert type(report.asset_valid) is bool
    record = json.loads(json.dumps(report.to_json("font.ttf"), allow_nan=False))
    assert record["manifest_state"] == report.manifest_state
    return report


@pytest.mark.parametrize("path", INPUTS, ids=[path.name for path in INPUTS])
def test_replayed_input(path):
    data = path.read_bytes()
    assert data, "an empty input replays nothing"
    mode, rest = data[0] % 8, data[1:]
    assert mode < 5, "a structure-aware input: keep the font it made (the target's derived input) instead"
    if mode == 0:
        verify(rest)
    elif mode == 1:
        length = int.from_bytes(rest[:2], "big")
        try:
            anchors = [x509.load_der_x509_certificate(rest[2:2 + length])]
        except ValueError:
            anchors = []
        verify(rest[2 + length:], anchors)
    elif mode == 2:
        font = glyphward.embed_manifest_store(DEMO_FONT.read_bytes(), rest)
        verify(font)
    elif mode == 3:
        try:
            box, length = jumbf.read_superbox(rest)
        except jumbf.JumbfError:
            pass
        else:
            assert isinstance(box, jumbf.SuperBox) and 0 < length <= len(rest)
    else:
        try:
            cbor.decode(rest)
        except cbor.CborError:
            pass
        try:
            cose.decode_sign1(rest)
        except cose.CoseError:
            pass
