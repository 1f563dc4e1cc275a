"""Time-stamps, history and remote manifests through the installed `glyphward` command
(issue 15): sign --tsa against the local RFC 3161 server of tsa_server.py, a certificate
that expires during the run, a font signed by a foundry, subset with pyftsubset and signed
again, update manifests and --replace, and remote manifests served by a local HTTP server."""
import contextlib
import hashlib
import http.server
import json
import re
import subprocess
import sys
import threading
import time
import urllib.parse
from datetime import datetime, timedelta, timezone
from pathlib import Path

import cbor2
import pytest

import c2pa_support as cs
import glyphward
from c2pa_pki import issue, key, write_credential
from cddl_support import validate
from cli_support import glyphward_command, hash_outside, listing, run  # noqa: F401 (a fixture)

pytestmark = pytest.mark.usefixtures("glyphward_command")

DEJAVU = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"


def anchors(pki, tsa):
    return ["--trust-anchors", pki.root.cert_pem, "--tsa-trust-anchors", tsa.anchor_pem]


# ---------------------------------------------------------------------------
# Time-stamps

@pytest.fixture(scope="module")
def short_lived(glyphward_command, c2pa_pki, tsa, tmp_path_factory):
    """DejaVu signed with and without --tsa by a certificate that expires a few seconds
    later. Made by the module's first test, so that the certificate expires while the
    others run; the window grows on a machine too slow to sign within it."""
    directory = tmp_path_factory.mktemp("short-lived")
    for window in (8, 30, 120):
        not_after = datetime.now(timezone.utc).replace(microsecond=0) + timedelta(seconds=window)
        private_key = key("short-lived", "P-256")
        certificate = issue("glyphward short-lived signer", private_key, c2pa_pki.intermediate, not_after=not_after)
        credential = write_credential(directory, f"short-{window}", [certificate, c2pa_pki.intermediate.cert],
                                      private_key)
        fonts = {"stamped": directory / f"stamped-{window}.ttf", "unstamped": directory / f"unstamped-{window}.ttf"}
        results = cs.run_all([["sign", DEJAVU, "-o", fonts["stamped"], *cs.key_args(credential), "--tsa", tsa.url],
                              ["sign", DEJAVU, "-o", fonts["unstamped"], *cs.key_args(credential)]])
        # Both signed, and the time-stamp taken, while the certificate was still valid.
        if all(result.returncode == 0 for result in results) and \
                datetime.now(timezone.utc) < not_after - timedelta(seconds=1):
            return fonts, not_after
        assert all("outsideValidity" in result.stderr or result.returncode == 0 for result in results), \
            [result.stderr for result in results]
    pytest.fail("signing never finished within the certificate's validity")


@pytest.fixture(scope="module")
def stamped(glyphward_command, c2pa_pki, tsa, tmp_path_factory):
    """DejaVu signed with --tsa, one font per binding."""
    directory = tmp_path_factory.mktemp("stamped")
    fonts = {binding: directory / f"{binding}.ttf" for binding in ("boxes", "data")}
    results = cs.run_all([["sign", DEJAVU, "-o", path, "--binding", binding, "--tsa", tsa.url,
                           *cs.key_args(c2pa_pki.signer("ES384"))] for binding, path in fonts.items()])
    for result in results:
        assert result.returncode == 0 and result.stderr == "", result.stderr
    return fonts


def test_time_stamp_round_trip(stamped, short_lived, c2pa_pki, tsa):
    # short_lived: see its fixture; its certificate now expires while the module runs.
    result, records = cs.verify_json(*stamped.values(), options=anchors(c2pa_pki, tsa))
    assert result.returncode == 0, result.stderr
    untrusted_tsa, plain = cs.verify_json(*stamped.values(), options=["--trust-anchors", c2pa_pki.root.cert_pem])
    for binding, path in stamped.items():
        record = records[str(path)]
        assert (record["manifest_state"], record["asset_valid"]) == ("trusted", True)
        assert {"timeStamp.validated", "timeStamp.trusted", "claimSignature.insideValidity"} <= \
            set(cs.codes(record, "success"))
        stamp_time = datetime.fromisoformat(record["manifest"]["timestamp"].replace("Z", "+00:00"))
        assert abs(stamp_time - datetime.now(timezone.utc)) < timedelta(minutes=5)

        # The token sits in the claim signature's unprotected sigTst2 header, as a tstContainer
        # (C2PA 2.2, 10.3.2.5), over the signature's CounterSignature structure.
        manifest = cs.active(path.read_bytes())
        protected, unprotected, _, signature = cbor2.loads(manifest.signature).value
        container = unprotected["sigTst2"]
        validate("tstContainer", cbor2.dumps(container))
        (token,) = [entry["val"] for entry in container["tstTokens"]]
        message = cbor2.dumps(["CounterSignature", protected, b"", cbor2.dumps(signature)])
        assert _imprint(token) == hashlib.sha384(message).digest()  # ES384: SHA-384 (10.3.2.5.3)
        # The data binding still fills its reservation exactly, the token included.
        assert cs.c2pa_table_store_length(path.read_bytes()) == len(cs.store_of(path.read_bytes()))

        # Without the TSA's anchor the time-stamp is not trusted: informational, and still exit 0.
        record = plain[str(path)]
        assert untrusted_tsa.returncode == 0 and record["manifest_state"] == "trusted"
        assert "timeStamp.untrusted" in cs.codes(record, "informational")
        assert record["manifest"]["timestamp"] is None


def _imprint(token):
    from asn1crypto import cms, tsp

    info = cms.ContentInfo.load(token)["content"]["encap_content_info"]["content"].parsed
    assert isinstance(info, tsp.TSTInfo)
    return info["message_imprint"]["hashed_message"].native


@pytest.mark.parametrize("mode, bindings, message", [
    ("/wrong-imprint", ("boxes", "data"), "is over another message than the one sent"),
    ("/slow", ("boxes",), "did not answer within 0.5 s"),
    ("/garbage", ("data",), "answered with something that is not an RFC 3161 time-stamp response"),
])
def test_a_failing_tsa_fails_the_font_and_writes_nothing(mode, bindings, message, tsa, c2pa_pki, tmp_path):
    # Only the slow TSA meets the short timeout; the others get time to answer on a loaded machine.
    timeout = "0.5" if mode == "/slow" else "10"
    started = time.monotonic()
    results = cs.run_all([["sign", DEJAVU, "-o", tmp_path / f"{binding}.ttf", "--binding", binding,
                           "--tsa", tsa.url_for(mode), "--tsa-timeout", timeout, *cs.key_args(c2pa_pki.signer("ES256"))]
                          for binding in bindings])
    for result in results:
        assert result.returncode == 1
        (line,) = result.stderr.splitlines()
        assert line.startswith(f"glyphward: {DEJAVU}: ") and message in line, line
    assert listing(tmp_path) == []
    assert time.monotonic() - started < 20


# ---------------------------------------------------------------------------
# History

@pytest.fixture(scope="module")
def history(glyphward_command, c2pa_pki, tmp_path_factory):
    """A foundry signs DejaVu; a second party subsets it (pyftsubset --passthrough-tables)
    and signs it again with --action font.subset; a third counter-signs the foundry's font
    unchanged (an update manifest); a fourth signs it with --replace. All verified."""
    directory = tmp_path_factory.mktemp("history")
    paths = {name: directory / f"{name}.ttf" for name in ("foundry", "subset", "resigned", "update", "replaced")}
    foundry = cs.key_args(c2pa_pki.signer("ES256"))
    second = cs.key_args(c2pa_pki.signer("Ed25519"))
    result = run("sign", DEJAVU, "-o", paths["foundry"], *foundry)
    assert result.returncode == 0, result.stderr
    subset = subprocess.run([sys.executable, "-m", "fontTools.subset", paths["foundry"], "--passthrough-tables",
                             "--unicodes=U+0020-007E", f"--output-file={paths['subset']}"],
                            capture_output=True, text=True, timeout=120)
    assert subset.returncode == 0, subset.stderr
    resigned, update, replaced = cs.run_all([
        ["sign", paths["subset"], "-o", paths["resigned"], *second, "--action", "font.subset",
         "--trust-anchors", c2pa_pki.root.cert_pem],
        ["sign", paths["foundry"], "-o", paths["update"], *second, "--trust-anchors", c2pa_pki.root.cert_pem],
        ["sign", paths["foundry"], "-o", paths["replaced"], *second, "--replace"],
    ])
    for result in (update, replaced):
        assert result.returncode == 0 and result.stderr == "", result.stderr
    # The signer notes that the font it signs again is no longer what its manifest bound.
    assert resigned.returncode == 0
    assert re.fullmatch(r"glyphward: \S+: warning: the font's manifest is trusted, and the font is not a valid "
                        r"asset: this is recorded in the new manifest's ingredient\n", resigned.stderr)
    fonts = [paths[name] for name in ("subset", "resigned", "update", "replaced")]
    return paths, cs.verify_json(*fonts, options=["--trust-anchors", c2pa_pki.root.cert_pem])


def test_subset_without_signing_again_is_not_a_valid_asset(history):
    paths, (result, records) = history
    record = records[str(paths["subset"])]
    assert result.returncode == 1
    assert (record["manifest_state"], record["asset_valid"]) == ("trusted", False)
    assert cs.codes(record) == ["assertion.boxesHash.mismatch"]
    assert result.stderr == "verified 3 fonts, 1 failed\n"


def test_the_chain_verifies_with_its_history(history, c2pa_pki):
    paths, (_, records) = history
    record = records[str(paths["resigned"])]
    assert (record["manifest_state"], record["asset_valid"]) == ("trusted", True)
    assert cs.codes(record) == []
    assert "assertion.boxesHash.match" in cs.codes(record, "success")  # the new binding matches
    assert record["manifest"]["actions"] == ["c2pa.opened", "font.subset"]
    assert record["manifest"]["signer"] == "O=glyphward tests,CN=glyphward Ed25519 signer"
    (step,) = record["history"]  # the foundry's, after the active manifest: newest first
    assert (step["signer"], step["actions"], step["state"], step["kind"]) == \
        ("O=glyphward tests,CN=glyphward ES256 signer", ["c2pa.created"], "trusted", "standard")
    assert step["content_when_used"] == "changed"
    assert step["signing_time"] <= record["manifest"]["signing_time"]
    # The old hard binding, which the subset broke, is reported for the ingredient: the delta
    # between what the signer recorded and what validation finds now (C2PA 2.2, 15.11.3.3, e).
    validate("validation-results-map", cbor2.dumps(record["validation_results"]))
    (delta,) = record["validation_results"]["ingredientDeltas"]
    assert delta["ingredientAssertionURI"].endswith("/c2pa.assertions/c2pa.ingredient.v3")
    assert [status["code"] for status in delta["validationDeltas"]["failure"]] == ["assertion.boxesHash.mismatch"]

    # The text report: the active manifest, then its history, newest first.
    text = run("verify", paths["resigned"], "--trust-anchors", c2pa_pki.root.cert_pem)
    assert text.returncode == 0, text.stderr
    output = text.stdout.decode()
    assert 0 < output.index("glyphward Ed25519 signer") < output.index("\n  history") < \
        output.index("glyphward ES256 signer")
    assert re.search(r"ingredient: +assertion\.boxesHash\.mismatch", output)


def test_the_new_manifest_keeps_the_old_and_names_it_as_parent(history):
    paths, _ = history
    old, = cs.manifests(cs.store_of(paths["foundry"].read_bytes()))
    kept, new = cs.manifests(cs.store_of(paths["resigned"].read_bytes()))
    assert bytes(kept.box.whole) == bytes(old.box.whole)  # the foundry's manifest, byte for byte
    assert new.kind == "c2ma" and set(new.assertions) == \
        {"c2pa.hash.boxes", "c2pa.actions.v2", "c2pa.ingredient.v3", "font.info"}
    for label, rule in (("c2pa.ingredient.v3", "ingredient-map-v3"), ("c2pa.actions.v2", "actions-map-v2"),
                        ("c2pa.hash.boxes", "box-map"), ("font.info", "font-info-map")):
        validate(rule, new.assertions[label])
    validate("claim-map-v2", new.claim)
    ingredient = new.decoded("c2pa.ingredient.v3")
    assert (ingredient["relationship"], ingredient["dc:format"], ingredient["dc:title"]) == \
        ("parentOf", "font/ttf", "DejaVu Sans")
    assert ingredient["activeManifest"]["url"] == f"self#jumbf=/c2pa/{old.label}"
    assert ingredient["activeManifest"]["hash"] == hashlib.sha256(bytes(old.box.whole)[8:]).digest()
    assert ingredient["claimSignature"]["url"] == f"self#jumbf=/c2pa/{old.label}/c2pa.signature"
    signature_box = [box for box in old.box.superboxes() if box.label == "c2pa.signature"][0]
    assert ingredient["claimSignature"]["hash"] == hashlib.sha256(bytes(signature_box.whole)[8:]).digest()
    recorded = ingredient["validationResults"]["activeManifest"]
    assert [status["code"] for status in recorded["failure"]] == ["assertion.boxesHash.mismatch"]
    assert "signingCredential.trusted" in [status["code"] for status in recorded["success"]]  # --trust-anchors
    actions = new.decoded("c2pa.actions.v2")["actions"]
    assert [action["action"] for action in actions] == ["c2pa.opened", "font.subset"]
    (reference,) = actions[0]["parameters"]["ingredients"]
    assert reference["url"] == "self#jumbf=c2pa.assertions/c2pa.ingredient.v3"
    assert reference["hash"] == hashlib.sha256(new.hashed["c2pa.ingredient.v3"]).digest()


def test_a_counter_signature_of_an_unchanged_font_is_an_update_manifest(history):
    paths, (_, records) = history
    record = records[str(paths["update"])]
    assert (record["manifest_state"], record["asset_valid"], record["manifest"]["kind"]) == ("trusted", True, "update")
    assert cs.codes(record) == [] and record["manifest"]["binding"] is None
    assert "assertion.boxesHash.match" in cs.codes(record, "success")  # the parent's binding, checked
    old, = cs.manifests(cs.store_of(paths["foundry"].read_bytes()))
    kept, update = cs.manifests(cs.store_of(paths["update"].read_bytes()))
    assert bytes(kept.box.whole) == bytes(old.box.whole)
    assert update.kind == "c2um" and set(update.assertions) == {"c2pa.actions.v2", "c2pa.ingredient.v3"}
    assert [action["action"] for action in update.decoded("c2pa.actions.v2")["actions"]] == ["c2pa.opened"]
    validate("ingredient-map-v3", update.assertions["c2pa.ingredient.v3"])
    # Only the C2PA table changed.
    assert {tag: data for tag, data in cs.tables_of(paths["update"].read_bytes()) if tag not in (b"C2PA", b"head")} \
        == {tag: data for tag, data in cs.tables_of(paths["foundry"].read_bytes()) if tag not in (b"C2PA", b"head")}


def test_replace_discards_the_old_store(history):
    paths, (_, records) = history
    record = records[str(paths["replaced"])]
    assert (record["manifest_state"], record["asset_valid"], record["history"]) == ("trusted", True, [])
    (manifest,) = cs.manifests(cs.store_of(paths["replaced"].read_bytes()))
    assert "c2pa.ingredient.v3" not in manifest.assertions
    assert manifest.decoded("c2pa.actions.v2")["actions"][0]["action"] == "c2pa.created"


@pytest.mark.parametrize("args, status, message", [
    (["--action", "subset"], 2, "argument --action: 'subset' is not an action name"),
    (["--manifest-dir", "."], 2, "--manifest-dir goes with --remote"),
    (["--remote", "http://127.0.0.1:9/x.c2pa", "--binding", "data"], 2, "--binding data, --uri and --size do not apply"),
], ids=["action-name", "manifest-dir-alone", "remote-data-binding"])
def test_history_and_remote_options_misused(args, status, message, c2pa_pki, tmp_path):
    result = run("sign", DEJAVU, "-o", tmp_path / "out.ttf", *cs.key_args(c2pa_pki.signer("ES256")), *args)
    assert result.returncode == status and message in result.stderr.splitlines()[-1], result.stderr
    assert listing(tmp_path) == []


# ---------------------------------------------------------------------------
# Remote manifests

class _Handler(http.server.BaseHTTPRequestHandler):
    """GET /files/NAME serves NAME from the directory; /slow/NAME after `slow` seconds;
    /huge/NAME more than a Manifest Store may be."""

    def log_message(self, format, *args):
        pass

    def do_GET(self):
        kind, _, name = urllib.parse.unquote(self.path).lstrip("/").partition("/")
        path = self.server.directory / name
        if kind == "huge":
            body = bytes(self.server.huge)
        elif kind in ("files", "slow") and path.is_file():
            if kind == "slow" and self.server.stopping.wait(self.server.slow):
                return
            body = path.read_bytes()
        else:
            self.send_error(404, "Not Found")
            return
        with contextlib.suppress(OSError):  # a client that gave up
            self.send_response(200)
            self.send_header("Content-Type", "application/c2pa")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)


@pytest.fixture(scope="module")
def http_server(tmp_path_factory):
    """A local HTTP server on 127.0.0.1 serving a directory: (base URL, directory)."""
    from glyphward_c2pa.remote import MAX_STORE

    directory = tmp_path_factory.mktemp("served")
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
    server.daemon_threads = True
    server.directory, server.slow, server.huge, server.stopping = directory, 5.0, MAX_STORE + 1, threading.Event()
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}", directory
    finally:
        server.stopping.set()
        server.shutdown()
        server.server_close()
        thread.join()


@pytest.fixture(scope="module")
def remote(glyphward_command, http_server, c2pa_pki, tmp_path_factory):
    """Sans.ttf and Mono.ttf (copies of DejaVu) signed with --remote FOLDER/, their stores
    beside them and published on the local server; Sans.ttf again into --manifest-dir."""
    base, served = http_server
    out, elsewhere, sidecars, sources = (tmp_path_factory.mktemp(name)
                                         for name in ("remote-out", "elsewhere", "sidecars", "remote-in"))
    for name in ("Sans.ttf", "Mono.ttf"):
        (sources / name).write_bytes(Path(DEJAVU).read_bytes())
    results = cs.run_all([
        ["sign", sources / "Sans.ttf", sources / "Mono.ttf", "--output-dir", out, "--remote", f"{base}/files/",
         *cs.key_args(c2pa_pki.signer("ES256"))],
        ["sign", sources / "Sans.ttf", "-o", elsewhere / "Sans.ttf", "--remote", f"{base}/files/Sans.c2pa",
         "--manifest-dir", sidecars, *cs.key_args(c2pa_pki.signer("ES256"))],
    ])
    assert results[0].returncode == 0 and results[0].stderr == "signed 2 fonts, 0 failed\n", results[0].stderr
    assert results[1].returncode == 0 and results[1].stderr == "", results[1].stderr
    for name in ("Sans.c2pa", "Mono.c2pa"):
        (served / name).write_bytes((out / name).read_bytes())
    return {"base": base, "url": f"{base}/files/Sans.c2pa", "font": out / "Sans.ttf", "sidecar": out / "Sans.c2pa",
            "out": out, "elsewhere": elsewhere, "sidecars": sidecars, "sources": sources, "served": served}


def test_sign_remote_writes_the_store_beside_the_font_and_only_the_uri_into_it(remote, c2pa_pki, tmp_path):
    assert listing(remote["out"]) == ["Mono.c2pa", "Mono.ttf", "Sans.c2pa", "Sans.ttf"]
    assert listing(remote["elsewhere"]) == ["Sans.ttf"] and listing(remote["sidecars"]) == ["Sans.c2pa"]
    for name in ("Sans", "Mono"):  # a folder URL: each font gets URL + NAME.c2pa
        font = (remote["out"] / f"{name}.ttf").read_bytes()
        assert glyphward.read_manifest_uri_str(font) == f"{remote['base']}/files/{name}.c2pa"
        with pytest.raises(ValueError):
            glyphward.read_manifest_store(font)
        sidecar = (remote["out"] / f"{name}.c2pa").read_bytes()
        assert int.from_bytes(sidecar[:4], "big") == len(sidecar)  # the Manifest Store and nothing else
        (manifest,) = cs.manifests(sidecar)
        assert "c2pa.hash.boxes" in manifest.assertions  # the box hash: the C2PA table is not covered
    # One URL for several fonts is refused.
    result = run("sign", remote["sources"] / "Sans.ttf", remote["sources"] / "Mono.ttf", "--output-dir", tmp_path,
                 "--remote", remote["url"], *cs.key_args(c2pa_pki.signer("ES256")))
    assert result.returncode == 2 and "give a folder URL ending in '/'" in result.stderr, result.stderr
    assert listing(tmp_path) == []


def test_verify_remote_without_a_source_says_so(remote):
    result, records = cs.verify_json(remote["font"])
    record = records[str(remote["font"])]
    assert result.returncode == 1
    assert (record["manifest_state"], record["asset_valid"], record["remote_manifest_uri"]) == \
        ("remote", False, remote["url"])
    assert record["validation_results"] == {} and record["manifest"] is None
    text = run("verify", remote["font"])
    assert text.returncode == 1
    assert f"  manifest:        remote ({remote['url']})\n  asset:           NOT valid\n" \
           "  to validate:     give --manifest FILE, --manifest-dir DIR or --fetch\n" in text.stdout.decode()


@pytest.mark.parametrize("source", ["--manifest", "--manifest-dir", "--fetch"])
def test_verify_remote_with_a_source(source, remote, c2pa_pki):
    fonts = {"--manifest": [remote["font"]], "--manifest-dir": [remote["elsewhere"] / "Sans.ttf"],
             "--fetch": [remote["font"], remote["out"] / "Mono.ttf"]}[source]
    options = {"--manifest": ["--manifest", remote["sidecar"]], "--manifest-dir": ["--manifest-dir", remote["sidecars"]],
               "--fetch": ["--fetch", "--fetch-timeout", "10", "--jobs", "2"]}[source]
    result, records = cs.verify_json(*fonts, options=[*options, "--trust-anchors", c2pa_pki.root.cert_pem])
    assert result.returncode == 0, result.stderr
    for record in records.values():
        assert (record["manifest_state"], record["asset_valid"]) == ("trusted", True)
        assert "assertion.boxesHash.match" in cs.codes(record, "success")


def test_folder_url_for_font_names_that_need_encoding(remote, c2pa_pki, tmp_path):
    """A family whose file names hold a space or a '#': signed with a folder URL, its stores
    published under their names, and fetched back."""
    source, out = tmp_path / "in", tmp_path / "out"
    source.mkdir()
    out.mkdir()
    names = ("My Sans", "Sans#2")
    for name in names:
        (source / f"{name}.ttf").write_bytes(Path(DEJAVU).read_bytes())
    result = run("sign", *(source / f"{name}.ttf" for name in names), "--output-dir", out, "--remote",
                 f"{remote['base']}/files/", *cs.key_args(c2pa_pki.signer("ES256")))
    assert result.returncode == 0, result.stderr
    for name in names:
        (remote["served"] / f"{name}.c2pa").write_bytes((out / f"{name}.c2pa").read_bytes())
    result, records = cs.verify_json(*(out / f"{name}.ttf" for name in names), options=["--fetch"])
    assert [(record["manifest_state"], record["asset_valid"]) for record in records.values()] == [("valid", True)] * 2
    assert result.returncode == 0


def test_fetching_an_invalid_uri_is_manifest_inaccessible(remote, tmp_path):
    font = tmp_path / "Sans.ttf"
    font.write_bytes(glyphward.embed_remote(remote["font"].read_bytes(), remote["base"] + "/files/My Sans.c2pa"))
    result, records = cs.verify_json(font, options=["--fetch", "--fetch-timeout", "2"])
    record = records[str(font)]
    assert (result.returncode, record["error"], record["manifest_state"]) == (1, None, "remote")
    assert cs.codes(record) == ["manifest.inaccessible"]


def test_verify_remote_store_of_another_font_fails(remote, c2pa_pki, tmp_path):
    """The sidecar binds its own font: another font's store does not validate this one."""
    other = tmp_path / "Other.ttf"
    other.write_bytes(glyphward.embed_remote(cs.change_outline_byte(remote["font"].read_bytes()), remote["url"]))
    result, records = cs.verify_json(other, options=["--manifest", remote["sidecar"]])
    assert result.returncode == 1 and cs.codes(records[str(other)])[-1] == "assertion.boxesHash.mismatch"


@pytest.mark.parametrize("path, explanation", [
    ("/files/Missing.c2pa", r"answered HTTP 404"),
    ("/slow/Sans.c2pa", r"timed out|in time"),
    ("/huge/Sans.c2pa", r"serves more than \d+ bytes"),
])
def test_fetch_failures_are_manifest_inaccessible(path, explanation, remote, tmp_path):
    font = tmp_path / "Sans.ttf"
    font.write_bytes(glyphward.embed_remote(remote["font"].read_bytes(), remote["base"] + path))
    timeout = "0.5" if path.startswith("/slow/") else "10"
    started = time.monotonic()
    result, records = cs.verify_json(font, options=["--fetch", "--fetch-timeout", timeout])
    assert time.monotonic() - started < 20
    record = records[str(font)]
    assert result.returncode == 1
    assert (record["manifest_state"], record["asset_valid"]) == ("remote", False)
    (failure,) = record["validation_results"]["activeManifest"]["failure"]
    assert failure["code"] == "manifest.inaccessible" and re.search(explanation, failure["explanation"]), failure
    validate("validation-results-map", cbor2.dumps(record["validation_results"]))


def test_info_and_digest_handle_a_uri_only_font(remote):
    font = remote["font"].read_bytes()
    info = run("info", remote["font"], "--json")
    assert info.returncode == 0, info.stderr
    (record,) = json.loads(info.stdout)
    assert (record["c2pa_table"], record["active_manifest_uri"], record["manifest_store_length"],
            record["exclusion_ranges"], record["error"]) == (True, remote["url"], None, None, None)
    digest = run("digest", remote["font"], "--json")
    assert digest.returncode == 0, digest.stderr
    value = json.loads(digest.stdout)
    records = {tag: (offset, length) for tag, _, offset, length in cs.table_records(font)}
    c2pa_record = 12 + 16 * [tag for tag, _, _, _ in cs.table_records(font)].index(b"C2PA")
    expected = sorted([(c2pa_record + 4, 4), (records[b"head"][0] + 8, 4)])
    assert value["exclusions"] == [{"start": start, "length": length} for start, length in expected]
    assert value["hash"] == hash_outside(font, expected)


# ---------------------------------------------------------------------------
# The certificate that expired during the run (last: the others ran meanwhile)

def test_a_time_stamp_keeps_a_signature_valid_after_the_certificate_expires(short_lived, c2pa_pki, tsa):
    fonts, not_after = short_lived
    wait = (not_after - datetime.now(timezone.utc)).total_seconds() + 1.5
    assert wait < 125
    time.sleep(max(0.0, wait))
    result, records = cs.verify_json(*fonts.values(), options=anchors(c2pa_pki, tsa))
    stamped, unstamped = records[str(fonts["stamped"])], records[str(fonts["unstamped"])]
    assert result.returncode == 1
    assert (stamped["manifest_state"], stamped["asset_valid"]) == ("trusted", True)
    assert {"timeStamp.trusted", "claimSignature.insideValidity"} <= set(cs.codes(stamped, "success"))
    assert cs.codes(stamped) == []
    assert (unstamped["manifest_state"], unstamped["asset_valid"]) == ("well-formed", False)
    assert cs.codes(unstamped) == ["claimSignature.outsideValidity"]
    assert result.stderr == "verified 1 font, 1 failed\n"
