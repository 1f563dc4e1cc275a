"""`glyphward sign --cert` and `verify` as a person uses their options (issue 20):
trust anchors that accumulate and come from directories, errors that are one
line rather than a usage block, and the new sign options, checked here and
passed on to the library."""
import json
import os
import shutil
from pathlib import Path

import pytest

import c2pa_support as cs
from cli_support import glyphward_command, listing, run  # noqa: F401 (a fixture)

pytestmark = pytest.mark.usefixtures("glyphward_command")

DEJAVU = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
SYSTEM_BUNDLE = Path("/etc/ssl/certs/ca-certificates.crt")


@pytest.fixture(scope="module")
def signed(glyphward_command, c2pa_pki, tsa, tmp_path_factory):
    """DejaVu signed by the test PKI's ES256 signer, with a time-stamp."""
    path = tmp_path_factory.mktemp("signed") / "signed.ttf"
    result = run("sign", DEJAVU, "-o", path, *cs.key_args(c2pa_pki.signer("ES256")), "--tsa", tsa.url)
    assert result.returncode == 0, result.stderr
    return path


def anchor_directory(tmp_path, pki):
    """A directory of anchors as a person keeps one: the root among others, a file
    that is no anchor beside them (left out by its name), a subdirectory."""
    directory = tmp_path / "anchors"
    (directory / "sub.pem").mkdir(parents=True)
    shutil.copy(pki.other_root.cert_pem, directory / "a-other.crt")
    shutil.copy(pki.root.cert_pem, directory / "z-root.PEM")
    (directory / "notes.txt").write_text("not a certificate")
    return directory


def test_trust_anchors_accumulate_in_either_order_and_from_directories(signed, c2pa_pki, tsa, tmp_path):
    """The tryout's finding: given twice, only the last file counted, so that the
    font's verdict flipped with the order of the options."""
    directory = anchor_directory(tmp_path, c2pa_pki)
    root, other, tsa_root = c2pa_pki.root.cert_pem, c2pa_pki.other_root.cert_pem, tsa.anchor_pem
    runs = {
        "root last": ["--trust-anchors", other, "--trust-anchors", root,
                      "--tsa-trust-anchors", other, "--tsa-trust-anchors", tsa_root],
        "root first": ["--trust-anchors", root, "--trust-anchors", other,
                       "--tsa-trust-anchors", tsa_root, "--tsa-trust-anchors", other],
        "directory": ["--trust-anchors", directory, "--tsa-trust-anchors", tsa_root],
        "other only": ["--trust-anchors", other, "--tsa-trust-anchors", other],
    }
    records = {}
    for name, options in runs.items():
        _, found = cs.verify_json(signed, options=options)
        records[name] = found[str(signed)]
    for name in ("root last", "root first", "directory"):
        assert records[name]["manifest_state"] == "trusted", (name, cs.codes(records[name]))
    for name in ("root last", "root first"):
        assert "timeStamp.trusted" in cs.codes(records[name], "success"), name
    assert records["other only"]["manifest_state"] == "valid"
    assert "timeStamp.untrusted" in cs.codes(records["other only"], "informational")


@pytest.mark.parametrize("option", ["--trust-anchors", "--tsa-trust-anchors"])
def test_a_directory_without_anchors_is_a_usage_error(signed, tmp_path, option):
    (tmp_path / "empty").mkdir()
    (tmp_path / "empty" / "root.der").write_bytes(b"\x30\x00")
    result = run("verify", signed, option, tmp_path / "empty")
    assert result.returncode == 2 and result.stdout == b""
    assert result.stderr.splitlines()[-1].endswith(f"{option} {tmp_path / 'empty'}: a directory without a *.pem "
                                                   "or *.crt file")


@pytest.mark.skipif(not SYSTEM_BUNDLE.is_file(), reason="no system CA bundle")
def test_the_system_bundle_loads_with_one_clear_line(signed, c2pa_pki):
    """Some roots of the system's bundle have a serial number that is not positive,
    which cryptography warns about: one line says they are left out, in place
    of its raw CryptographyDeprecationWarning (once per certificate)."""
    for command in (["verify", signed], ["sign", DEJAVU, "-o", signed.parent / "again.ttf",
                                         *cs.key_args(c2pa_pki.signer("ES256"))]):
        result = run(*command, "--trust-anchors", SYSTEM_BUNDLE, "--trust-anchors", c2pa_pki.root.cert_pem)
        assert result.returncode == 0, result.stderr
        assert "Warning" not in result.stderr
        warnings = [line for line in result.stderr.splitlines() if "left out" in line]
        assert len(warnings) <= 1 and result.stderr.splitlines() == warnings
        if warnings:
            assert warnings[0].startswith("glyphward: warning: --trust-anchors: ")
            assert str(SYSTEM_BUNDLE) in warnings[0]


# ---------------------------------------------------------------------------
# Errors that are not usage errors: one line, exit status 1, nothing written

def _wrong_passphrase(tmp_path, pki):
    from cryptography.hazmat.primitives import serialization

    credential = pki.signer("ES256")
    encrypted = tmp_path / "encrypted.key"
    encrypted.write_bytes(credential.key.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
        serialization.BestAvailableEncryption(b"open sesame")))
    return ["--cert", credential.cert_pem, "--key", encrypted, "--key-password-env", "WRONG_PASSPHRASE"]


def _not_json(tmp_path, option):
    (tmp_path / "bad.json").write_text('{"a": ')
    return [option, ("com.example.thing=" if option == "--assertion" else "") + str(tmp_path / "bad.json")]


ONE_LINE_ERRORS = {
    "wrong passphrase": (_wrong_passphrase, "the wrong passphrase"),
    "key of another certificate": (lambda tmp_path, pki: ["--cert", pki.signer("ES256").cert_pem,
                                                          "--key", pki.bad("ca").key_pem],
                                   "the private key does not belong to the signing certificate"),
    "key of another algorithm": (lambda tmp_path, pki: [*cs.key_args(pki.signer("PS256")), "--alg", "ES256"],
                                 "ES256 needs an elliptic-curve key"),
    "assertion missing": (lambda tmp_path, pki: [*cs.key_args(pki.signer("ES256")),
                                                 "--assertion", f"com.example.thing={tmp_path / 'none.json'}"],
                          "cannot read"),
    "assertion not JSON": (lambda tmp_path, pki: [*cs.key_args(pki.signer("ES256")),
                                                  *_not_json(tmp_path, "--assertion")], "is not JSON"),
    "font-info not JSON": (lambda tmp_path, pki: [*cs.key_args(pki.signer("ES256")),
                                                  *_not_json(tmp_path, "--font-info")], "is not JSON"),
    "cert missing": (lambda tmp_path, pki: ["--cert", tmp_path / "none.pem", "--key", pki.signer("ES256").key_pem],
                     "cannot read: No such file or directory"),
}


@pytest.mark.parametrize("case", ONE_LINE_ERRORS)
def test_errors_that_are_not_usage_errors_are_one_line(case, tmp_path, c2pa_pki):
    options, expected = ONE_LINE_ERRORS[case]
    out = tmp_path / "out"
    out.mkdir()
    result = run("sign", DEJAVU, "-o", out / "signed.ttf", *options(tmp_path, c2pa_pki),
                 env=dict(os.environ, WRONG_PASSPHRASE="open sesame!"))
    assert result.returncode == 1, result.stderr
    (line,) = result.stderr.splitlines()
    assert line.startswith("glyphward: error: ") and expected in line, line
    assert listing(out) == []


# ---------------------------------------------------------------------------
# Usage errors: exit status 2 with the usage, before anything is read or run

USAGE_ERRORS = {
    "tsa ftp": (["--tsa", "ftp://tsa.example.com/"], "argument --tsa: 'ftp://tsa.example.com/' is not an http or "
                                                     "https URL"),
    "tsa without host": (["--tsa", "http:///stamp"], "is not an http or https URL"),
    "unknown action": (["--action", "bogus.action"], "argument --action: 'bogus.action' is not an action name"),
    "unknown font action": (["--action", "font.kerned"], "'font.kerned' is not an action of C2PA 2.2"),
    "deprecated action": (["--action", "c2pa.color_adjustments"], "is not an action of C2PA 2.2"),
    "glyphward's own action": (["--action", "c2pa.created"], "c2pa.created is recorded by glyphward itself"),
    "action needing an ingredient": (["--action", "c2pa.placed"], "c2pa.placed needs parameters"),
    "claim generator without version": (["--claim-generator", "Acme"], "'Acme' is not NAME/VERSION"),
    "claim generator, empty name": (["--claim-generator", "/2.1"], "is not NAME/VERSION"),
    "claim generator, empty version": (["--claim-generator", "Acme/"], "is not NAME/VERSION"),
    "claim generator, control character": (["--claim-generator", "Acme\x1b[2J/2.1"], "is not NAME/VERSION"),
    "font-info not an object": (["--font-info", "ARRAY"], "not a JSON object"),
    "-o a directory": (["-o", "OUT"], "is a directory: to write the font into it under its own name, use "
                                      "--output-dir"),
    "-o a directory/": (["-o", "OUT/"], "use --output-dir"),
}


@pytest.mark.parametrize("case", USAGE_ERRORS)
def test_usage_errors(case, tmp_path, c2pa_pki):
    options, expected = USAGE_ERRORS[case]
    out = tmp_path / "out"
    out.mkdir()
    (tmp_path / "array.json").write_text("[1, 2]")
    places = {"ARRAY": str(tmp_path / "array.json"), "OUT": str(out)}
    options = [places.get(option, option) for option in options]
    options = [str(out) + "/" if option == "OUT/" else option for option in options]
    output = [] if "-o" in options else ["-o", out / "signed.ttf"]
    result = run("sign", DEJAVU, *output, *cs.key_args(c2pa_pki.signer("ES256")), *options)
    assert result.returncode == 2, result.stderr
    assert result.stderr.startswith("usage: glyphward sign") and expected in result.stderr.splitlines()[-1]
    assert listing(out) == []


@pytest.mark.parametrize("name", [
    "font.createdFromVariableFont", "font.subset", "font.openTypeFeatureRemoved", "c2pa.edited",
    "c2pa.edited.metadata", "c2pa.published", "com.example.thing", "net.fineartschool.kerning-pass_2",
])
def test_actions_the_command_accepts(name):
    from glyphward_cli.commands.sign.arguments import action_name

    assert action_name(name) == name


@pytest.mark.parametrize("name", [
    "bogus.action", "font", "font.subset.extra", "c2pa.font.subset", "c2pa.opened", "c2pa.removed",
    "c2pa.redacted", "c2pa.copied", "com..example.thing", "com.example.thing.", "-com.example.thing",
    "com.example.th ing", "", "C2PA.bogus.thing",
])
def test_actions_the_command_refuses(name):
    import argparse

    from glyphward_cli.commands.sign.arguments import action_name

    with pytest.raises(argparse.ArgumentTypeError):
        action_name(name)


# ---------------------------------------------------------------------------
# What the command passes on to the library

def test_new_options_reach_the_claim_generator(tmp_path, c2pa_pki, monkeypatch):
    """In-process, with ClaimGenerator.sign replaced by a recorder: --claim-generator,
    --font-info and --action (on a font signed for the first time) reach the generator and the
    request as parsed, the anchors of every --trust-anchors together; a run without them passes
    none."""
    from glyphward_c2pa.signing import ClaimGenerator, SigningError
    from glyphward_cli.main import main

    calls = []

    def recorder(generator, font, request, warn=None):
        calls.append((generator, request))
        raise SigningError("recorded")

    monkeypatch.setattr(ClaimGenerator, "sign", recorder)
    extra = {"designers": [{"person": {"name": "Ada Lovelace"}}], "identifier": "ACME-0042"}
    (tmp_path / "info.json").write_text(json.dumps(extra))
    base = ["sign", DEJAVU, "-o", str(tmp_path / "out.ttf"), *map(str, cs.key_args(c2pa_pki.signer("ES256")))]
    assert main(base + ["--claim-generator", "Acme Font/Tools/2.1.0", "--font-info", str(tmp_path / "info.json"),
                        "--action", "font.createdFromVariableFont", "--action", "com.example.thing",
                        "--trust-anchors", str(c2pa_pki.root.cert_pem),
                        "--trust-anchors", str(c2pa_pki.other_root.cert_pem)]) == 1
    assert main(base) == 1
    (generator, given), (plain_generator, plain) = calls
    assert generator.generator["name"] == "Acme Font/Tools" and generator.generator["version"] == "2.1.0"
    assert given.font_info == extra
    assert given.actions == ("font.createdFromVariableFont", "com.example.thing")
    assert [anchor.subject for anchor in generator.trust_anchors] == [c2pa_pki.root.cert.subject,
                                                                      c2pa_pki.other_root.cert.subject]
    assert plain_generator.generator["name"] == "glyphward" and plain.font_info is None and plain.actions == ()
    assert not (tmp_path / "out.ttf").exists()


def test_parent_gives_the_character_ranges(tmp_path, c2pa_pki):
    """--parent: font.charactersDeleted carries what the parent maps and the font does not; a
    --parent that cannot be read is one line, exit 1."""
    import io

    from fontTools import subset
    from fontTools.ttLib import TTFont

    ttfont = TTFont(DEJAVU)
    subsetter = subset.Subsetter(subset.Options())
    subsetter.populate(text="Hello")
    subsetter.subset(ttfont)
    cut = tmp_path / "cut.ttf"
    ttfont.save(cut)
    keys = [*map(str, cs.key_args(c2pa_pki.signer("ES256")))]
    result = run("sign", cut, "-o", tmp_path / "out.ttf", *keys, "--parent", DEJAVU, "--action",
                 "font.charactersDeleted")
    assert result.returncode == 0, result.stderr
    (entry,) = [item for item in cs.active((tmp_path / "out.ttf").read_bytes()).decoded("c2pa.actions.v2")["actions"]
                if item["action"] == "font.charactersDeleted"]
    deleted = {point for item in entry["parameters"]["ranges"] for point in range(item["start"], item["stop"] + 1)}
    assert deleted == set(TTFont(DEJAVU).getBestCmap()) - set(map(ord, "Helo"))
    missing = run("sign", cut, "-o", tmp_path / "other.ttf", *keys, "--parent", tmp_path / "absent.ttf")
    assert missing.returncode == 1 and missing.stderr.count("\n") == 1 and "--parent" in missing.stderr
