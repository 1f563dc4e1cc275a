"""The signer's credential, checked before anything is signed (C2PA 2.2,
13.2.5: the claim generator checks its own credential against the profile
of 14.5.1).

A signing certificate that falls short of the profile is refused: every
validator, glyphward's own `verify` included, reports
`signingCredential.invalid` for its signatures. So is a certificate that is
not valid at the time of signing, when the signed font is validated.
Intermediate certificates that fall short
are a warning, or with `strict` an error: a validator meets them only when
it builds a path to a trust anchor."""
from __future__ import annotations

from datetime import datetime
from typing import Callable, Sequence

from cryptography import x509

from ..certificates import profile_problems
from ..cose import ALGORITHMS, Algorithm, key_problem
from .result import SigningError


def signing_algorithm(algorithm: object, certificate: x509.Certificate) -> Algorithm:
    """The signer's algorithm as COSE knows it: a name of C2PA 2.2, 13.2.1
    ("ES256", ...) or the library's own `Algorithm`; SigningError when it is
    neither or does not fit the certificate's key."""
    if isinstance(algorithm, str):
        found = ALGORITHMS.get(algorithm)
    elif isinstance(algorithm, Algorithm):
        found = ALGORITHMS.get(algorithm.name)
    else:
        found = None
    if found is None:
        raise SigningError(f"the signer's algorithm {algorithm!r} is not one of {', '.join(ALGORITHMS)} "
                           "(C2PA 2.2, 13.2.1)")
    problem = key_problem(certificate.public_key(), found)
    if problem is not None:
        raise SigningError(f"the signer's algorithm {found.name} does not fit the signing certificate: {problem}")
    return found


def check_credential(chain: Sequence[x509.Certificate], now: datetime, strict: bool,
                     note: Callable[[str], None]) -> None:
    """Refuses a credential whose signatures validators refuse; warns (or,
    with `strict`, refuses) where the intermediates fall short of 14.5.1."""
    if not chain:
        raise SigningError("the signer has no certificate")
    signer = chain[0]
    problems = profile_problems(signer, end_entity=True, purpose="claim-signing")
    if problems:
        raise SigningError("the signing certificate does not meet C2PA 2.2, 14.5.1, so no validator accepts its "
                           "signatures (signingCredential.invalid): " + "; ".join(problems))
    softer = []
    for certificate in chain:
        if not certificate.not_valid_before_utc <= now <= certificate.not_valid_after_utc:
            # Validation refuses the signed font for it (claimSignature.outsideValidity).
            softer.append(f"the certificate {certificate.subject.rfc4514_string()} is not valid now "
                          f"({certificate.not_valid_before_utc:%Y-%m-%d} to "
                          f"{certificate.not_valid_after_utc:%Y-%m-%d})")
    softer += [f"the intermediate {certificate.subject.rfc4514_string()}: {problem}"
               for certificate in chain[1:] for problem in profile_problems(certificate, end_entity=False,
                                                                             purpose=None)]
    if softer and strict:
        raise SigningError("the certificate does not meet C2PA 2.2, 14.5.1 (--strict): " + "; ".join(softer))
    for problem in softer:
        note(f"{problem} (C2PA 2.2, 14.5.1)")
