"""sign fonts: with a certificate (a C2PA manifest made here), or with an external signer

With --cert CHAIN.pem and --key KEY.pem (or --key-command CMD), glyphward
makes a C2PA manifest for each font (C2PA Technical Specification 2.2): a
hard binding (--binding boxes: one hash per table, c2pa.hash.boxes; or
--binding data: one hash outside the exclusion ranges, c2pa.hash.data), the
actions, font.info from the font's own tables (and --font-info), and any
--assertion; signs its claim with the key (COSE, ES256/384/512,
PS256/384/512 or Ed25519, from the key or --alg), puts the Manifest Store
into the font's C2PA table, validates the result, and only then writes it.
--cert holds the signing certificate followed by its intermediates.
--key-command is run like --signer (below), once per font: it reads the
bytes to sign on standard input, gets the algorithm's name as its last
argument, and writes the raw signature (COSE's form: r and s for ECDSA) to
standard output.

--action records what was done to the font (after c2pa.created, or after
c2pa.opened for a font already signed): an action of C2PA 2.2, 18.14.1
(Table 8, but those glyphward records itself, those that need ingredients or
parameters it cannot give, and the deprecated ones; Table 9, the font.*
actions), or an action of your own under a reverse domain name
(com.example.thing). --claim-generator NAME/VERSION names your tool beside
glyphward in the claim generator's information. --trust-anchors may be
given several times, each a PEM file or a directory of *.pem and *.crt
files.

With --signer CMD: for each font, reserve --size bytes for the Manifest
Store, compute the exclusion ranges and the hash of every other byte, run
the signer, fill its manifest into the reservation, check the result, and
write it.

The signer (--signer CMD, split like a shell line and run without a shell,
once per font) reads one JSON object on standard input:

  {"font": INPUT PATH, "reserved_font": PATH OF A TEMPORARY COPY OF THE
   RESERVED FONT, "reserved_size": N, "hash": {"algorithm": "sha256",
   "value": HEX}, "exclusions": [{"start": S, "length": L}, ...]}

and writes the signed Manifest Store, raw bytes, to standard output, exiting
0; each line of its standard error is passed on as 'glyphward: FONT: signer:
LINE'. A non-zero exit (a signal included; the message quotes its last line
of standard error), no output, an output longer than the reservation, or a
run longer than --signer-timeout (the signer is then killed) fails that font.

Before writing, the filled font must have the reserved font's length, the
same bytes outside the exclusion ranges, the same ranges, the manifest
followed by zeros as its store, and be compliant (is_compliant); a font that
fails a check is not written.

A wrong passphrase, a key that does not fit the certificate, or an
--assertion or --font-info file that cannot be read or is not JSON is one
line, 'glyphward: error: ...', and exit status 1; a usage error exits with
status 2.
"""
from __future__ import annotations

import argparse

from .arguments import add_arguments as add_arguments

QUIET_HELP = ("no progress bar and no summary line; each failed font is still reported, "
              "and the signer's standard error passed on")


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    if (args.signer is None) == (args.cert is None):
        parser.error("give either --cert (with --key or --key-command) or --signer")
    if args.cert is not None:
        from .certificate import run_certificate

        return run_certificate(args, parser)
    from .external import run_external

    return run_external(args, parser)
