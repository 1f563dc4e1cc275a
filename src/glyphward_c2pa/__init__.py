"""glyphward's C2PA layer: builds, signs and validates C2PA manifests for fonts.

Written from the C2PA Technical Specification 2.2. All font writing goes
through the `glyphward` extension module.
"""
