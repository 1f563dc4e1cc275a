"""Path building across a whole validation (C2PA 2.2, 14.5.1.2; RFC 5280, 6):
an attacker with his own CA signs a chain of update manifests, each by its
own signer whose x5chain carries dozens of CA certificates named like the
signer's issuer, whose keys do not verify it. Every manifest is validated in
full (C2PA 2.2, 15.11.3.3.1), so without a budget shared by the manifests
every one of them costs a check of every decoy."""
from pathlib import Path

import glyphward_c2pa.certificates as certificates
import glyphward_c2pa.validate.signature as signature
from c2pa_pki import issue, key, name
from glyphward_c2pa import KeySigner, sign_font, verify_font

DEMO = Path(__file__).parents[3] / "examples" / "fonts" / "GlyphwardDemo.ttf"
MANIFESTS = 12
DECOYS = 64          # MAX_CHAIN_CERTIFICATES: all of them are tried
P521_UNITS = 6       # what one check with a decoy's P-521 key costs of the budget


def _signed_by_fresh_signers(font, count, issuer, chain_rest, prefix):
    """`font` signed `count` times, each time by a new signer issued by
    `issuer` (so that no validated chain is in the cache)."""
    for index in range(count):
        leaf_key = key(f"{prefix} signer", "P-256")
        leaf = issue(f"{prefix} signer {index}", leaf_key, issuer)
        font = sign_font(font, KeySigner(leaf_key, [leaf, *chain_rest])).font
    return font


def test_a_store_of_decoy_chains_spends_one_budget_and_honest_chains_stay_trusted(c2pa_pki, monkeypatch):
    issuer = (name("chain bomb issuer"), key("chain bomb issuer", "P-256"))
    decoy_key = key("chain bomb decoy", "P-521")
    root = (name("chain bomb root"), key("chain bomb root", "P-256"))
    decoys = [issue(issuer[0], decoy_key, root, ca=True) for _ in range(DECOYS)]
    # Three honest manifests first, the decoys' on top: validated last, the
    # honest chains find the budget spent.
    honest = _signed_by_fresh_signers(DEMO.read_bytes(), 3, c2pa_pki.intermediate, [c2pa_pki.intermediate.cert],
                                      "honest")
    bomb = _signed_by_fresh_signers(honest, MANIFESTS, issuer, decoys, "chain bomb")
    anchors = [c2pa_pki.root.cert]

    checks, chains = [], []
    original_check, original_chain = certificates._signature_problem, signature.validate_chain

    def counting(child, issuer_cert):
        checks.append(issuer_cert)
        return original_check(child, issuer_cert)

    def recording(*args, **kwargs):
        chains.append(original_chain(*args, **kwargs))
        return chains[-1]

    monkeypatch.setattr(certificates, "_signature_problem", counting)
    monkeypatch.setattr(signature, "validate_chain", recording)
    report = verify_font(bomb, trust_anchors=anchors)
    # Unbounded, MANIFESTS * DECOYS = 768 decoy checks; the budget allows a third of that.
    assert len(checks) <= certificates.VALIDATION_CHECK_UNITS // P521_UNITS + MANIFESTS
    assert len(chains) == MANIFESTS + 3 and not any(chain.trusted for chain in chains)
    assert all("spent its budget" in chain.problem for chain in chains[-4:])
    assert report.manifest_state == "valid"  # untrusted, as it would be with every check done

    # The budget is the validation's, and what it cut short is not kept: the
    # next validation starts afresh, and the three honest chains are trusted.
    checks.clear()
    chains.clear()
    report = verify_font(honest, trust_anchors=anchors)
    assert report.manifest_state == "trusted"
    assert len(chains) == 3 and all(chain.trusted for chain in chains)
    assert 0 < len(checks) <= 3 * 2
