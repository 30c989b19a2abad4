#!/usr/bin/env bash
# Development certificates for the front, created when missing in DIR:
#   ca.pem, ca.key  a development CA; it signs the two below and is what
#                   clients trust (curl --cacert) and the admin listener
#                   asks client certificates to be signed by
#   server.pem      certificate for localhost and 127.0.0.1, then its key
#   operator.pem    client certificate for the admin listener, then its key
# Existing files are kept, so removing server.pem alone issues a new server
# certificate from the same CA (as a certificate rotation would).
# Usage: scripts/dev-certs.sh DIR
# DEV_CERT_NAMES adds names to the server certificate's, in openssl's
# subjectAltName form ("IP:198.18.0.100,DNS:gmi.example"): the simulated
# cluster's clients and operators reach the fronts by address.
#
# Never for production: the keys sit unencrypted beside the certificates.
# P-256 keys: ECDSA handshakes cost the front a fraction of RSA's.
set -euo pipefail

dir=${1:?usage: scripts/dev-certs.sh DIR}
mkdir -p "$dir"
cd "$dir"
umask 077

# Issues NAME.pem (certificate, then key) signed by the CA, with the
# extensions given.
issue() {
  local name=$1 subject=$2 extensions=$3
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
    -keyout "$name.key.tmp" -subj "$subject" -out "$name.csr" 2>/dev/null
  openssl x509 -req -in "$name.csr" -CA ca.pem -CAkey ca.key -CAcreateserial \
    -days 825 -sha256 -extfile <(printf '%s\n' "$extensions") -out "$name.crt" 2>/dev/null
  cat "$name.crt" "$name.key.tmp" >"$name.pem"
  rm -f "$name.csr" "$name.crt" "$name.key.tmp"
}

if [[ ! -f ca.pem || ! -f ca.key ]]; then
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
    -keyout ca.key -subj "/CN=gmi-server development CA" -days 3650 -sha256 \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" -out ca.pem 2>/dev/null
  chmod 644 ca.pem
  rm -f server.pem operator.pem
fi
[[ -f server.pem ]] || issue server "/CN=localhost" \
  "subjectAltName=DNS:localhost,IP:127.0.0.1${DEV_CERT_NAMES:+,$DEV_CERT_NAMES}
extendedKeyUsage=serverAuth
keyUsage=critical,digitalSignature"
[[ -f operator.pem ]] || issue operator "/CN=gmi operator" \
  "extendedKeyUsage=clientAuth
keyUsage=critical,digitalSignature"
