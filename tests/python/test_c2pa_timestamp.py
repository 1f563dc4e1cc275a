"""RFC 3161 time-stamps of the C2PA layer (C2PA 2.2, 10.3.2.5 and 15.8), against the local TSA of tsa_server.py."""
import datetime
import hashlib
import random
import socket
import subprocess
import time

import pytest
from asn1crypto import cms

import tsa_server
from glyphward_c2pa.timestamp import (MALFORMED, MISMATCH, OUTSIDE_VALIDITY, TRUSTED, UNTRUSTED, VALIDATED,
                                      TimestampError, request_timestamp, timestamp_tokens, validate_timestamp)

# What a v2 time-stamp is over: in signing, the CounterSignature ToBeSigned (C2PA 2.2, 10.3.2.5.3).
MESSAGE = b"\x85qCounterSignature" + bytes(range(64))


@pytest.fixture(scope="module")
def token(tsa):
    return request_timestamp(tsa.url, MESSAGE)


def codes(result):
    return [code for code, _ in result.success], [code for code, _ in result.informational]


@pytest.mark.parametrize("mode, section", [("/", "good"), ("/rsa", "rsa")])
@pytest.mark.parametrize("algorithm", ["sha256", "sha384", "sha512"])
def test_round_trip(tsa, tmp_path, mode, section, algorithm):
    before = datetime.datetime.now(datetime.timezone.utc)
    token = request_timestamp(tsa.url_for(mode), MESSAGE, hash_algorithm=algorithm)
    result = validate_timestamp(token, MESSAGE, [tsa.anchor])
    assert codes(result) == ([VALIDATED, TRUSTED], [])
    assert before - datetime.timedelta(seconds=2) <= result.time <= before + datetime.timedelta(seconds=5)
    assert result.tsa == tsa.certificates[section]
    # The bytes returned are the TSA's own token: openssl verifies them against the imprint and the root.
    (tmp_path / "token.der").write_bytes(token)
    verified = subprocess.run(
        ["openssl", "ts", "-verify", "-token_in", "-in", str(tmp_path / "token.der"), "-CAfile", str(tsa.anchor_pem),
         "-digest", hashlib.new(algorithm, MESSAGE).hexdigest()], capture_output=True, text=True)
    assert "Verification: OK" in verified.stdout, verified.stderr


def closed_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.mark.parametrize("url, expected", [
    ("/wrong-imprint", "is over another message than the one sent"),
    ("/wrong-nonce", "does not carry the nonce of the request"),
    ("/slow", "did not answer within 0.2 s"),
    ("/garbage", "answered with something that is not an RFC 3161 time-stamp response"),
    ("/http-500", "answered HTTP 500 Internal Server Error"),
    ("/redirect", "answered HTTP 302 Found (a redirect to http://127.0.0.1:"),
    ("/reject", "refused the request (status rejection): Message digest algorithm is not supported. "
                "(failInfo: bad_alg)"),
    ("/oversized", "sent an answer of more than the 1048576 bytes accepted"),
    ("closed port", "refused the connection"),
    ("file:///etc/hostname", "is not an http:// or https:// URL"),
])
def test_request_failures(tsa, url, expected):
    url = f"http://127.0.0.1:{closed_port()}/" if url == "closed port" else tsa.url_for(url) if url[0] == "/" else url
    # Only the slow TSA meets the short timeout; the others get time to answer on a loaded machine.
    timeout = 0.2 if url.endswith("/slow") else 10.0
    started = time.monotonic()
    with pytest.raises(TimestampError) as raised:
        request_timestamp(url, MESSAGE, timeout=timeout)
    message = str(raised.value)
    assert expected in message and url in message and "\n" not in message
    assert time.monotonic() - started < timeout + 2


def test_validation_mismatch_untrusted_and_outside_validity(tsa, token):
    other_root, _ = tsa_server.make_root("another TSA root")
    cases = [
        (validate_timestamp(token, MESSAGE + b"!", [tsa.anchor]), MISMATCH),
        (validate_timestamp(token, MESSAGE, [other_root]), UNTRUSTED),
        (validate_timestamp(token, MESSAGE, []), UNTRUSTED),
    ]
    for result, code in cases:
        assert codes(result) == ([], [code]) and result.time is None
        assert result.tsa == tsa.certificates["good"]
    # A TSA whose certificate had expired when it signed (genTime outside 2020 to 2021).
    expired = validate_timestamp(request_timestamp(tsa.url_for("/expired"), MESSAGE), MESSAGE, [tsa.anchor])
    assert codes(expired) == ([], [OUTSIDE_VALIDITY]) and expired.tsa == tsa.certificates["expired"]


def test_tampered_tokens_are_mismatches(tsa, token):
    # The last bytes are the ECDSA signature's s; the genTime digits are in the signed TSTInfo.
    flipped_signature = token[:-1] + bytes([token[-1] ^ 1])
    gen_time = validate_timestamp(token, MESSAGE, [tsa.anchor]).time.strftime("%Y%m%d%H%M%S").encode()
    assert token.count(gen_time) == 1
    backdated = token.replace(gen_time, b"2000" + gen_time[4:])
    for tampered in (flipped_signature, backdated):
        result = validate_timestamp(tampered, MESSAGE, [tsa.anchor])
        assert codes(result) == ([], [MISMATCH]), result.informational


PSS = ("-keyopt", "rsa_padding_mode:pss")


@pytest.mark.parametrize("tsa_name, options, expected", [
    ("rsa", PSS + ("-keyopt", "rsa_pss_saltlen:32", "-md", "sha256"), VALIDATED),  # PS256
    ("rsa", PSS + ("-md", "sha512"), VALIDATED),                                   # PS512
    ("ed25519", (), VALIDATED),                                                    # EdDSA, Ed25519
    ("good", ("-md", "sha1"), UNTRUSTED),                                 # ECDSA with SHA-1, off C2PA 2.2, 13.2.1
    ("rsa", PSS + ("-keyopt", "rsa_mgf1_md:sha1", "-md", "sha256"), UNTRUSTED),    # MGF1 with another hash
])
def test_signature_algorithms(tsa, token, tsa_name, options, expected):
    tst_info = bytes(cms.ContentInfo.load(token)["content"]["encap_content_info"]["content"])
    resigned = tsa.ed25519_signed(tst_info) if tsa_name == "ed25519" else tsa.cms_signed(tst_info, tsa_name, *options)
    result = validate_timestamp(resigned, MESSAGE, [tsa.anchor])
    assert codes(result) == (([VALIDATED, TRUSTED], []) if expected == VALIDATED else ([], [expected]))
    assert result.tsa == tsa.certificates[tsa_name]


def test_v1_responses(tsa):
    granted = validate_timestamp(tsa.response_over(MESSAGE), MESSAGE, [tsa.anchor], response=True)
    assert codes(granted) == ([VALIDATED, TRUSTED], [])
    rejected = validate_timestamp(tsa.response_over(MESSAGE, "reject"), MESSAGE, [tsa.anchor], response=True)
    assert codes(rejected) == ([], [MALFORMED]) and "rejection" in rejected.informational[0][1]


@pytest.mark.filterwarnings("ignore")  # cryptography warns of some damaged certificates as it reads them
def test_malformed_input_is_a_code(tsa, token):
    response = tsa.response_over(MESSAGE)
    for value, as_response in [(b"", False), (b"garbage", False), (token[:-3], False), (token + b"\0", False),
                               (response, False), (token, True), (tsa_server.GARBAGE, True)]:
        result = validate_timestamp(value, MESSAGE, [tsa.anchor], response=as_response)
        assert codes(result) == ([], [MALFORMED]) and result.time is None
    # Whatever a damaged token holds, the outcome is codes: both success codes or one informational code.
    rng = random.Random(3161)
    for _ in range(300):
        damaged = bytearray(token)
        for _ in range(rng.randint(1, 3)):
            damaged[rng.randrange(len(damaged))] = rng.randrange(256)
        success, informational = codes(validate_timestamp(bytes(damaged), MESSAGE, [tsa.anchor]))
        assert (success, informational) == ([VALIDATED, TRUSTED], []) or (success == [] and len(informational) == 1)


@pytest.mark.parametrize("value, tokens, reason", [
    ({"tstTokens": [{"val": b"tst"}]}, [b"tst"], None),
    ({"tstTokens": [{"val": b"a"}, {"val": b"b"}]}, [], "holds 2 time-stamps"),
    ({"tstTokens": []}, [], "not a non-empty array"),
    ({"tstTokens": [{"val": "text"}]}, [], "not a map whose one key val"),
    ({"tstTokens": [{"val": b"a", "encoding": "der"}]}, [], "not a map whose one key val"),
    ({"tstTokens": [{"val": b"a"}], "other": 1}, [], "not a tstContainer"),
    ([{"val": b"a"}], [], "not a tstContainer"),
])
def test_timestamp_tokens(value, tokens, reason):
    found, problem = timestamp_tokens(value)
    assert found == tokens
    assert (problem is None) if reason is None else (reason in problem)
