#!/bin/sh
# Makes a small test PKI for C2PA signing with the openssl command only:
#   sh examples/make_test_pki.sh DIRECTORY
# writes into DIRECTORY
#   chain.pem   the signing certificate, then the intermediate CA's (--cert)
#   signer.key  the signing key, an ECDSA P-256 key (ES256) in PKCS#8 PEM
#   root.pem    the root CA's certificate: the trust anchor a validator needs
# and the CAs' own keys (root.key, intermediate.key) to issue more.
# The certificates meet the certificate profile of C2PA 2.2, 14.5.1.1. They
# are for tests: a validator trusts them only when given root.pem.
set -eu
dir=${1:?usage: make_test_pki.sh DIRECTORY}
mkdir -p "$dir"
cd "$dir"

# The extensions of each certificate (C2PA 2.2, 14.5.1.1): CAs assert cA and
# keyCertSign; the signer is no CA, asserts digitalSignature, and is valid for
# c2pa-kp-claimSigning (1.3.6.1.4.1.62558.2.1) and id-kp-documentSigning
# (1.3.6.1.5.5.7.3.36). Key identifiers link each certificate to its issuer.
cat > pki.cnf <<'EOF'
[req]
distinguished_name = dn
[dn]
[root]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[intermediate]
basicConstraints = critical, CA:true, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[signer]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = 1.3.6.1.4.1.62558.2.1, 1.3.6.1.5.5.7.3.36
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
EOF

# Root CA: ECDSA P-384, self-signed, ten years.
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-384 -out root.key
openssl req -new -x509 -config pki.cnf -extensions root -key root.key -sha384 \
  -subj "/CN=Test C2PA Root CA/O=Example" -days 3650 -out root.pem

# Intermediate CA: ECDSA P-256, issued by the root, five years.
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out intermediate.key
openssl req -new -config pki.cnf -key intermediate.key \
  -subj "/CN=Test C2PA Intermediate CA/O=Example" -out intermediate.csr
openssl x509 -req -in intermediate.csr -CA root.pem -CAkey root.key -set_serial "0x$(openssl rand -hex 16)" \
  -extfile pki.cnf -extensions intermediate -sha384 -days 1825 -out intermediate.pem

# Signer: ECDSA P-256 for ES256, issued by the intermediate, one year.
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out signer.key
openssl req -new -config pki.cnf -key signer.key \
  -subj "/CN=Test C2PA Signer/O=Example" -out signer.csr
openssl x509 -req -in signer.csr -CA intermediate.pem -CAkey intermediate.key -set_serial "0x$(openssl rand -hex 16)" \
  -extfile pki.cnf -extensions signer -sha256 -days 365 -out signer.pem

cat signer.pem intermediate.pem > chain.pem
rm -f pki.cnf intermediate.csr signer.csr signer.pem
chmod 600 root.key intermediate.key signer.key
echo "wrote $dir/chain.pem, $dir/signer.key and $dir/root.pem"
