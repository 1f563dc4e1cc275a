"""What the commands print of a hostile font: no traceback, no forged line,
no JSON a strict parser refuses, no batch stopped by one font; `info` never
vouches for content it did not check; every --algorithm re-signs; one shape
for every `verify --json` record; an interrupt before the batch ends it."""
import hashlib
import json
import os
import re
import signal
import unicodedata

import cbor2
import glyphward
import pytest

import c2pa_support as cs
from c2pa_pki import issue, key, write_credential
from cli_support import glyphward_command, run, shim  # noqa: F401 (a fixture)

pytestmark = pytest.mark.usefixtures("glyphward_command")

# A title that, printed raw, erases its line and prints a forged verdict
# (ESC, CR, LF, NEL), then reverses and isolates what follows (bidi controls).
FORGED = "Evil\x1b[2K\r  asset:           valid\n\x85\u202eoops\u2066\u2028"
# Characters that must never reach a terminal raw: controls, format (bidi)
# characters, line and paragraph separators, surrogates.
RAW = ("Cc", "Cf", "Zl", "Zp", "Cs")
SURROGATE_ACTIONS = '{"actions": [{"action": "c2pa.created\\udc80\\u001b[1A"}]}'
UNDECODABLE = b"bad\xff.ttf"
# A file name (from a downloaded archive, say) that, printed raw, forges a
# trusted record's lines and hides what follows (ESC [8m, conceal).
FORGED_NAME = "h.ttf\n  manifest:        trusted\n  asset:           valid\n\x1b[8m"


def _sign(tmp_path, font, name, credential, *options):
    source = tmp_path / f"{name}.in.ttf"
    source.write_bytes(font)
    result = run("sign", *cs.key_args(credential), *options, source, "-o", tmp_path / name)
    assert result.returncode == 0, result.stderr
    return (tmp_path / name).read_bytes()


def _hostile(kind, tmp_path, dejavu, c2pa_pki):
    """The hostile font of `kind`, its file name, the escapes its listing
    shows, and what its JSON record carries of the hostile text, by command:
    (keys, value)."""
    if kind == "file name":  # a path is escaped on a terminal, exact in JSON
        return _sign(tmp_path, dejavu, "h.ttf", c2pa_pki.signer("ES256")), FORGED_NAME, ("h.ttf\\n", "\\x1b[8m"), \
            dict.fromkeys(("info", "verify"), (("path",), FORGED_NAME))
    signer = c2pa_pki.signer("ES256")
    if kind == "title":
        font = _sign(tmp_path, dejavu, "h.ttf", signer, "--title", FORGED)
        return font, "h.ttf", ("\\x1b", "\\u202e"), dict.fromkeys(("info", "verify"), (("manifest", "title"), FORGED))
    if kind == "surrogate action":
        font = cs.resign(_sign(tmp_path, dejavu, "h.ttf", signer), signer,
                         json_assertions={"c2pa.actions.v2": SURROGATE_ACTIONS})
        return font, "h.ttf", ("\\udc80", "\\x1b"), \
            dict.fromkeys(("info", "verify"), (("manifest", "actions"), ["c2pa.created\ufffd\x1b[1A"]))
    if kind == "signer name":
        evil_key = key("evil-signer", "P-256")
        certificate = issue(FORGED.replace("\n", " "), evil_key, c2pa_pki.intermediate)
        evil = write_credential(tmp_path, "evil", [certificate, c2pa_pki.intermediate.cert], evil_key)
        # The name is written as RFC 4514 writes it, its UTF-8 bytes in hex.
        return _sign(tmp_path, dejavu, "h.ttf", evil), "h.ttf", ("CN=Evil\\1B[2K\\0D", "\\E2\\80\\AE"), {}
    if kind == "remote URI":
        uri = "https://evil.example/" + FORGED.replace("\n", "")
        return glyphward.embed_remote(dejavu, uri), "h.ttf", ("\\x1b", "\\u202e"), \
            {"info": (("active_manifest_uri",), uri), "verify": (("remote_manifest_uri",), uri)}
    if kind == "forged history":  # the parent's title and actions rewritten without a key (its signature fails)
        once = _sign(tmp_path, dejavu, "once.ttf", signer, "--title", "Original")
        twice = _sign(tmp_path, once, "h.ttf", signer, "--title", "Second")
        store = cs.store_of(twice)
        parent = cs.manifests(store)[0]
        actions = parent.hashed["c2pa.actions.v2"]
        forged = actions.replace(b"c2pa.created", b"c2pa.CREATED")
        claim = parent.claim.replace(cbor2.dumps("Original"), cbor2.dumps("oRIGINAL")) \
            .replace(hashlib.sha256(actions).digest(), hashlib.sha256(forged).digest())  # its hashed URI made good
        for old, new in ((parent.claim, claim), (actions, forged)):
            assert store.count(old) == 1 and old != new
            store = store.replace(old, new)
        return cs.replace_store(twice, store), "h.ttf", ("claims to be signed by", "title (unverified): oRIGINAL",
                                                         "actions (unverified): c2pa.CREATED"), \
            {"verify": (("history", 0, "title"), "oRIGINAL")}
    assert kind == "undecodable file name"  # its byte escaped in the listing, U+FFFD in JSON
    return _sign(tmp_path, dejavu, "h.ttf", signer), UNDECODABLE, (), \
        dict.fromkeys(("info", "verify"), (("path",), "bad\ufffd.ttf"))


@pytest.mark.parametrize("kind", ["title", "surrogate action", "signer name", "remote URI", "undecodable file name",
                                  "file name", "forged history"])
def test_hostile_text_is_escaped_in_listings_strict_in_json_and_never_stops_the_batch(tmp_path, dejavu, c2pa_pki,
                                                                                      kind):
    signer = c2pa_pki.signer("ES256")
    good = _sign(tmp_path, dejavu, "before.ttf", signer)
    (tmp_path / "after.ttf").write_bytes(good)
    font, name, escapes, carried = _hostile(kind, tmp_path, dejavu, c2pa_pki)
    hostile = tmp_path / (name.decode("utf-8", "surrogateescape") if isinstance(name, bytes) else name)
    hostile.write_bytes(font)
    fonts = ["before.ttf", hostile.name, "after.ttf"]
    # A UTF-8 terminal whose stream would raise on what it cannot encode.
    env = dict(os.environ, PYTHONIOENCODING="utf-8:strict")
    for command in ("info", "verify"):
        listing = run(command, *fonts, cwd=tmp_path, env=env)
        assert listing.returncode in (0, 1), listing.stderr
        text = listing.stdout.decode("utf-8")  # strict: no undecodable byte either
        shown = {"undecodable file name": "bad\\xff.ttf", "file name": repr(FORGED_NAME)[1:-1]}.get(kind, "h.ttf")
        headings = [line for line in text.splitlines() if line and not line.startswith(" ")]
        # verify's first line of a font: its name (quoted if it holds ": ", which would pass for a
        # verdict), then ": " and the verdict.
        good = ": valid, signer NOT trusted (no trust anchors given)"
        if command == "info":
            assert headings == ["before.ttf", shown, "after.ttf"], text
        else:
            quoted = "'" + shown + "'" if ": " in shown else shown
            assert headings[::2] == ["before.ttf" + good, "after.ttf" + good], text
            assert re.fullmatch(re.escape(quoted) + r": (valid, signer NOT trusted \(no trust anchors given\)"
                                r"|NOT valid: .+)", headings[1]), headings[1]
            assert len(headings) == 3, text
        raw = [(line, character) for line in text.splitlines() for character in line
               if unicodedata.category(character) in RAW]
        assert not raw, f"{command}: raw {raw[0][1]!r} in {raw[0][0]!r}"
        # Only a history step that validates is said to be signed by someone.
        assert not re.search(r"\n    \d+\. .*: signed by .*; (?!valid$|trusted$)", text, re.M), text
        if command == "verify" or kind not in ("surrogate action", "forged history"):  # info lists no actions
            assert all(escape in text for escape in escapes), text  # shown, escaped, not dropped
        assert re.search(r"\nafter\.ttf" + (re.escape(good) if command == "verify" else "") +
                         r"\n(  .*\n)*  asset: +valid", text), text

        result = run(command, *fonts, "--json", cwd=tmp_path, env=env)
        assert result.returncode in (0, 1) and result.stdout.isascii(), result.stderr
        records = json.loads(result.stdout)
        json.dumps(records, ensure_ascii=False).encode("utf-8", "strict")  # no lone surrogate left
        assert [record["manifest_state"] for record in records][::2] == ["valid", "valid"]
        if command in carried:
            keys, expected = carried[command]
            value = records[1]
            for step in keys:
                value = value[step]
            assert value == expected
    if kind == "file name":  # and a message on standard error (digest fails on a font it cannot read)
        message = run("digest", hostile.name + ".missing", cwd=tmp_path, env=env).stderr
        assert message.startswith("glyphward: h.ttf\\n") and "\x1b" not in message and message.count("\n") == 1


@pytest.fixture
def bound(tmp_path, dejavu, c2pa_pki):
    """Fonts signed with each binding, and a data-bound one with a URI."""
    signer = c2pa_pki.signer("ES256")
    return {"boxes": _sign(tmp_path, dejavu, "boxes.ttf", signer),
            "data": _sign(tmp_path, dejavu, "data.ttf", signer, "--binding", "data"),
            "data+uri": _sign(tmp_path, dejavu, "uri.ttf", signer, "--binding", "data", "--uri",
                              "https://good.example/m.c2pa")}


def _with_uri(font, uri):
    """The font's Manifest Store unchanged, with `uri` added to its C2PA table."""
    store = glyphward.read_manifest_store(font)
    return glyphward.fill_manifest_store(glyphward.reserve_manifest_placeholder(font, len(store), uri), store)


def _uri_changed(font):
    old = b"https://good.example/m.c2pa"
    assert font.count(old) == 1
    return font.replace(old, b"https://evil.example/m.c2pa")


# (font, tampering, asset_valid, the asset line's start, what the URI line says)
VOUCHING = [
    ("boxes", None, True, "valid: its content is what was signed", None),
    ("boxes", cs.change_outline_byte, False, "NOT valid: assertion.boxesHash.mismatch", None),
    ("data", cs.change_outline_byte, False, "NOT valid: assertion.dataHash.mismatch", None),
    ("boxes", cs.change_signature, False, "NOT valid: claimSignature.mismatch", None),
    ("boxes", lambda font: _with_uri(font, "https://evil.example/m"), True, "valid", "(not bound by the manifest"),
    ("data+uri", None, True, "valid", "(bound by the manifest's data hash)"),
    ("data+uri", _uri_changed, False, "NOT valid: assertion.dataHash.mismatch", "(not bound by the manifest"),
    ("remote", None, None, "not checked: the manifest is remote", None),
]


@pytest.mark.parametrize("source, tamper, valid, asset, uri", VOUCHING)
def test_info_says_whether_the_content_is_what_was_signed(tmp_path, bound, dejavu, source, tamper, valid, asset, uri):
    font = glyphward.embed_remote(dejavu, "https://good.example/m.c2pa") if source == "remote" else bound[source]
    font = tamper(font) if tamper else font
    (tmp_path / "f.ttf").write_bytes(font)
    listing = run("info", "f.ttf", cwd=tmp_path)
    assert listing.returncode == 0, listing.stderr
    lines = {line.split(":", 1)[0].strip(): line.split(":", 1)[1].strip()
             for line in listing.stdout.decode().splitlines()[1:]}
    assert lines["asset"].startswith(asset), listing.stdout.decode()
    assert (uri is None) == ("(" not in lines["active manifest URI"]) and (uri or "") in lines["active manifest URI"]
    (record,) = json.loads(run("info", "f.ttf", "--json", cwd=tmp_path).stdout)
    assert record["asset_valid"] is valid
    if "signer" in lines:  # the name a manifest that is not valid gives, no signature vouches for
        assert lines["signer"].endswith(f"(unverified: the manifest is {record['manifest_state']})") == \
            (record["manifest_state"] not in ("valid", "trusted")), lines["signer"]
    verified = cs.verify_json(tmp_path / "f.ttf")[1][str(tmp_path / "f.ttf")]
    if valid is not None:  # info's verdict is verify's, without trust anchors
        assert record["asset_valid"] == verified["asset_valid"]
        assert record["failures"] == [code for code in cs.codes(verified) if code != "signingCredential.untrusted"]


@pytest.mark.parametrize("first", ["sha256", "sha512"])
@pytest.mark.parametrize("algorithm", ["sha256", "sha384", "sha512"])
@pytest.mark.parametrize("binding", [(), ("--binding", "data")], ids=["update", "data"])
def test_every_hash_algorithm_re_signs_a_signed_font(tmp_path, dejavu, c2pa_pki, first, algorithm, binding):
    signer = c2pa_pki.signer("ES384")
    signed = _sign(tmp_path, dejavu, "signed.ttf", signer, "--algorithm", first)
    again = _sign(tmp_path, signed, "again.ttf", signer, "--algorithm", algorithm, *binding)
    _, records = cs.verify_json(tmp_path / "again.ttf")
    record = records[str(tmp_path / "again.ttf")]
    assert (record["manifest_state"], record["asset_valid"], len(record["history"])) == ("valid", True, 1)
    assert record["manifest"]["kind"] == ("update" if not binding else "standard")
    old, new = cs.manifests(cs.store_of(again))
    assert new.claim_map["alg"] == algorithm
    ingredient = new.decoded("c2pa.ingredient.v3")
    signature = [box for box in old.box.superboxes() if box.label == "c2pa.signature"][0]
    assert ingredient["activeManifest"]["hash"] == hashlib.new(algorithm, bytes(old.box.whole)[8:]).digest()
    assert ingredient["claimSignature"]["hash"] == hashlib.new(algorithm, bytes(signature.whole)[8:]).digest()


VERIFY_KEYS = {"path", "manifest_state", "asset_valid", "remote_manifest_uri", "manifest", "history",
               "validation_results", "error", "certificate_chain", "changed_tables", "assertions", "verdict",
               "verdict_text", "accepted"}
INFO_KEYS = {"path", "size", "c2pa_table", "compliant", "active_manifest_uri", "manifest_store_length", "store",
             "exclusion_ranges", "manifest_state", "asset_valid", "failures", "manifest", "error"}
# verify_font raises for a font that ends so: a bug a hostile font could bring out.
BOOM = """
    import glyphward_c2pa
    _verify_font = glyphward_c2pa.verify_font

    def _raising(font, **options):
        if font.endswith(b"BOOM"):
            raise RuntimeError("boom \\x1b[2K\\udc80")
        return _verify_font(font, **options)

    glyphward_c2pa.verify_font = _raising
"""


def test_every_json_record_has_one_shape(tmp_path, dejavu, c2pa_pki):
    signer = c2pa_pki.signer("ES256")
    signed = _sign(tmp_path, dejavu, "signed.ttf", signer)
    fonts = {"signed.ttf": signed, "junk.ttf": b"not a font", "plain.ttf": dejavu,
             "remote.ttf": glyphward.embed_remote(dejavu, "https://example.com/remote.c2pa"),
             "hostile.ttf": cs.resign(signed, signer, json_assertions={"c2pa.actions.v2": SURROGATE_ACTIONS}),
             "changed.ttf": cs.change_outline_byte(signed), "boom.ttf": signed + b"BOOM"}
    for name, data in fonts.items():
        (tmp_path / name).write_bytes(data)
    names = [*fonts, "missing.ttf", "after.ttf"]
    (tmp_path / "after.ttf").write_bytes(signed)
    (tmp_path / "stores").mkdir()
    env = shim(tmp_path, BOOM)
    for command, options, keys in (("verify", (), VERIFY_KEYS), ("verify", ("--manifest-dir", "stores"), VERIFY_KEYS),
                                   ("info", (), INFO_KEYS)):
        result = run(command, *names, "--json", *options, cwd=tmp_path, env=env)
        assert result.returncode == 1, result.stderr
        records = json.loads(result.stdout)
        assert [record["path"] for record in records] == names
        assert all(set(record) == keys for record in records), [sorted(record) for record in records]
        by_name = {record["path"]: record for record in records}
        assert by_name["boom.ttf"]["error"].startswith("internal error: RuntimeError: boom")
        assert by_name["after.ttf"]["manifest_state"] == "valid" and by_name["after.ttf"]["asset_valid"]
        assert by_name["missing.ttf"]["error"] == "cannot read: No such file or directory"
        if command == "verify":
            assert by_name["remote.ttf"]["remote_manifest_uri"] == "https://example.com/remote.c2pa"
            assert cs.codes(by_name["remote.ttf"]) == (["manifest.inaccessible"] if options else [])


# A listing that fails for one font, and a module refusal with a terminal
# control sequence in its message.
SHOW_FAILS = """
    import glyphward_cli.commands.info as _info
    _describe = _info.describe

    def _failing(record):
        if record["path"] == "changed.ttf":
            raise RuntimeError("cannot \\x1b[2K\\rdescribe")
        return _describe(record)

    _info.describe = _failing

    def data_hash_ranges(font):
        raise ValueError("refused \\x1b[2K\\r  asset: valid")
"""


def test_a_failure_to_show_one_font_fails_that_font_with_its_message_escaped(tmp_path, dejavu):
    for name in ("before.ttf", "changed.ttf", "after.ttf"):
        (tmp_path / name).write_bytes(dejavu)
    env = shim(tmp_path, SHOW_FAILS)
    listing = run("info", "before.ttf", "changed.ttf", "after.ttf", cwd=tmp_path, env=env)
    assert (listing.returncode, listing.stdout.decode().count("C2PA table:          none")) == (1, 2)
    assert listing.stderr == ("glyphward: changed.ttf: internal error: cannot show the result: RuntimeError: "
                              "cannot \\x1b[2K\\rdescribe\ninspected 2 fonts, 1 failed\n")
    refused = run("ranges", "before.ttf", cwd=tmp_path, env=env)
    assert (refused.returncode, refused.stderr) == (1, "glyphward: before.ttf: refused \\x1b[2K\\r  asset: valid\n")


# Sends the signal to the command from inside a finalizer, right after the
# command installed its handler and before the batch: there, a
# KeyboardInterrupt is printed ("Exception ignored in") and lost, as it was
# in an import lock's callback.
EARLY_SIGNAL = """
    import argparse, signal

    _parse_args = argparse.ArgumentParser.parse_args

    class _Finalized:
        def __del__(self):
            os.kill(os.getpid(), int(os.environ["EARLY_SIGNAL"]))
            for _ in range(100000):  # the handler runs here
                pass

    def _signalled(self, *args, **options):
        _Finalized()
        return _parse_args(self, *args, **options)

    argparse.ArgumentParser.parse_args = _signalled
"""


@pytest.mark.parametrize("signum, command", [(signal.SIGINT, ["info", "--json"]), (signal.SIGTERM, ["verify"]),
                                             (signal.SIGINT, ["sign", "--output-dir", "out"])])
def test_a_signal_before_the_batch_stops_it(tmp_path, dejavu, c2pa_pki, signum, command):
    for name in ("a.ttf", "b.ttf"):
        (tmp_path / name).write_bytes(dejavu)
    (tmp_path / "out").mkdir()
    signing = cs.key_args(c2pa_pki.signer("ES256")) if command[0] == "sign" else []
    env = shim(tmp_path, EARLY_SIGNAL, EARLY_SIGNAL=str(int(signum)))
    result = run(*command, *signing, "a.ttf", "b.ttf", cwd=tmp_path, env=env)
    verb = {"info": "inspected", "verify": "verified", "sign": "signed"}[command[0]]
    assert (result.returncode, result.stdout, result.stderr) == \
        (128 + signum, b"", f"glyphward: interrupted: {verb} 0 fonts, 0 failed, 2 not done\n")
    assert list((tmp_path / "out").iterdir()) == []
