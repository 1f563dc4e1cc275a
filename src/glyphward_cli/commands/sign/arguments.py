"""The options of `glyphward sign`, and the checks of their values that are
usage errors (exit status 2 with the usage). Nothing here reads a file, and
of the C2PA layer only its tables of names are loaded at start-up
(algorithms, labels): `glyphward --help` stays quick."""
from __future__ import annotations

import argparse
from typing import List, Tuple

from glyphward_c2pa.algorithms import SIGNATURE_ALGORITHMS
from glyphward_c2pa.labels import DIGITAL_CREATION

from ...anchors import HELP as ANCHORS_HELP
from ...hashing import ALGORITHMS as HASH_ALGORITHMS
from ...web_formats import FORMATS_HELP, WEB_HELP
from ...options import add_fonts, add_output, command_line, positive_int, positive_seconds

DEFAULT_SIZE = 32768  # room for a typical signed manifest with its certificate chain


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_fonts(parser, many=True)
    _add_certificate_arguments(parser)
    external = parser.add_argument_group("with an external signer")
    external.add_argument("--signer", type=command_line, metavar="CMD",
                          help="the signer's command line, run once per font")
    parser.add_argument("--size", type=positive_int, metavar="N",
                        help=f"bytes reserved for the signed manifest (--signer: default {DEFAULT_SIZE}; "
                             "--cert: the least room to reserve, default exactly what the manifest needs)")
    parser.add_argument("--uri", metavar="URI", help="also record this active manifest URI")
    parser.add_argument("--algorithm", choices=HASH_ALGORITHMS, default="sha256",
                        help="hash algorithm (default sha256)")
    parser.add_argument("--signer-timeout", type=positive_seconds, default=120.0, metavar="SECONDS",
                        help="kill the signer or key command and fail the font after this long (default 120)")
    add_output(parser, many=True)


def _add_certificate_arguments(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("with a certificate (a C2PA manifest made by glyphward)")
    group.add_argument("--cert", metavar="CHAIN.pem",
                       help="the signing certificate followed by its intermediate CA certificates (PEM)")
    key = group.add_mutually_exclusive_group()
    key.add_argument("--key", metavar="KEY.pem", help="the signing certificate's private key (PEM)")
    key.add_argument("--key-command", type=command_line, metavar="CMD",
                     help="a program that signs with the key: bytes to sign on its standard input, the "
                          "algorithm's name as its last argument, the raw signature on its standard output")
    group.add_argument("--key-password-env", metavar="VAR",
                       help="the environment variable that holds the key's passphrase")
    group.add_argument("--alg", choices=SIGNATURE_ALGORITHMS,
                       help="signature algorithm (default: from the key; PS256 for RSA)")
    group.add_argument("--binding", choices=("boxes", "data"),
                       help="hard binding: one hash per table (boxes, the default) or one hash of the font "
                            "outside its exclusion ranges (data)")
    group.add_argument("--title", help="the manifest's dc:title (default: the font's full name)")
    group.add_argument("--digital-source-type", metavar="URI", default=DIGITAL_CREATION,
                       help=f"of the c2pa.created action (default {DIGITAL_CREATION})")
    group.add_argument("--action", action="append", default=[], type=action_name, metavar="ACTION",
                       help="what was done to the font, recorded after c2pa.created (or after c2pa.opened for "
                            "a font already signed): font.subset, font.createdFromVariableFont, c2pa.edited, "
                            "..., or your own, com.example.thing (repeatable)")
    group.add_argument("--parent", metavar="FONT",
                       help="the font this one was made from: font.charactersAdded, font.charactersDeleted and "
                            "font.charactersModified then carry the Unicode ranges the two fonts' cmaps differ by "
                            "(font.subset always carries the ranges the font maps)")
    group.add_argument("--assertion", action="append", default=[], metavar="LABEL=FILE.json",
                       help="add an assertion of your own: the JSON in FILE, stored as CBOR (repeatable)")
    group.add_argument("--font-info", metavar="FILE.json",
                       help="font.info fields the font's tables cannot supply (designers, copyrightHolder, ...): "
                            "a JSON object, checked against C2PA 2.2's font-info-map")
    group.add_argument("--claim-generator", type=claim_generator, metavar="NAME/VERSION",
                       help="your tool, named beside glyphward in the claim's claim_generator_info")
    group.add_argument("--strict", action="store_true",
                       help="also refuse intermediate certificates that fall short of the C2PA certificate "
                            "profile (by default a warning); a signing certificate that falls short is always "
                            "refused, since no validator accepts its signatures")
    group.add_argument("--tsa", type=http_url, metavar="URL",
                       help="get an RFC 3161 time-stamp over the claim signature from this time-stamp authority "
                            "(http or https), so that the signature stays valid after the certificate expires")
    group.add_argument("--tsa-timeout", type=positive_seconds, default=30.0, metavar="SECONDS",
                       help="fail a font whose time-stamp takes longer than this (default 30)")
    group.add_argument("--web", action="store_true", help=WEB_HELP)
    group.add_argument("--formats", type=web_format_list, metavar="LIST", help=FORMATS_HELP)
    group.add_argument("--remote", metavar="URL",
                       help="a remote manifest: the font's C2PA table holds only this URL, and the Manifest Store "
                            "is written beside the font as NAME.c2pa (or into --manifest-dir), to be published there; "
                            "a URL ending in '/' is a folder: each font gets URL + NAME.c2pa")
    group.add_argument("--manifest-dir", metavar="DIR",
                       help="with --remote: write the Manifest Stores into DIR instead of beside the fonts")
    history = parser.add_argument_group("fonts that are already signed")
    history.add_argument("--replace", action="store_true",
                         help="discard the Manifest Store the font carries instead of keeping it as the new "
                              "manifest's ingredient")
    history.add_argument("--trust-anchors", action="append", metavar="PEM",
                         help=ANCHORS_HELP.format(what=" to validate the font's existing manifest with, whose "
                                                       "results the new manifest records"))


def web_format_list(text: str) -> List[str]:
    from ...web_formats import formats

    return formats(text)


def http_url(text: str) -> str:
    """An http or https URL with a host (--tsa)."""
    from urllib.parse import urlsplit

    try:
        parts = urlsplit(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"{text!r} is not a URL: {error}") from None
    if parts.scheme.lower() not in ("http", "https") or not parts.netloc:
        raise argparse.ArgumentTypeError(f"{text!r} is not an http or https URL")
    return text


def claim_generator(text: str) -> Tuple[str, str]:
    """NAME/VERSION (the last '/' splits them) as (NAME, VERSION): both
    present, printable, without spaces around them."""
    name, separator, version = text.rpartition("/")
    for part in (name, version):
        if not part or part != part.strip() or not part.isprintable():
            raise argparse.ArgumentTypeError(
                f"{text!r} is not NAME/VERSION (as 'Acme Font Tools/2.1': a name, '/', a version)")
    return name, version


def action_name(text: str) -> str:
    """An action --action may record; a usage error for any other."""
    from glyphward_c2pa.signing import SigningError

    from glyphward_c2pa.assertions.actions import check_action

    try:
        check_action(text)
    except SigningError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text


def assertion_specs(parser: argparse.ArgumentParser, specs: List[str]) -> List[Tuple[str, str]]:
    """Each --assertion LABEL=FILE.json as (LABEL, FILE.json); a malformed
    one, a label glyphward writes itself or one given twice is a usage
    error. The files are read later (files.read_json)."""
    from glyphward_c2pa.signing import SigningError, check_label

    found: List[Tuple[str, str]] = []
    for spec in specs:
        label, separator, path = spec.partition("=")
        if not separator or not label or not path:
            parser.error(f"--assertion {spec}: expected LABEL=FILE.json")
        try:
            check_label(label)
        except SigningError as error:
            parser.error(f"--assertion {spec}: {error}")
        if label in (existing for existing, _ in found):
            parser.error(f"--assertion {label} is given twice")
        found.append((label, path))
    return found
