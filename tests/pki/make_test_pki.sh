#!/usr/bin/env bash
# Makes the throwaway PKI the test suite runs against: a CA that the tests trust, server
# certificates for the loopback fake (good, expired, wrong host, unknown issuer) and the service
# account key in the PKCS#12 shapes the program has to cope with.
#
# Usage: make_test_pki.sh OUTDIR
# Idempotent: once OUTDIR/.done names this script's digest nothing is redone; an older script's
# files are made anew. Parallel callers serialise on a lock.
set -euo pipefail
# Text tools (sed, grep, sort, awk, tr, wc) treat bytes the same whatever locale the caller has;
# the calls that need UTF-8 say so themselves.
export LC_ALL=C
unset LANGUAGE

if [[ $# -ne 1 || -z "$1" ]]; then
  echo "usage: $0 OUTDIR" >&2
  exit 2
fi
out=$1
stamp=$(sha256sum "$0" | cut -d' ' -f1)
done_here() { [[ -e "$out/.done" && "$(cat "$out/.done")" == "$stamp" ]]; }
done_here && exit 0

mkdir -p "$out"
out=$(cd "$out" && pwd)
exec 9>"$out/.lock"
flock 9
# Another caller may have finished while we waited for the lock.
done_here && exit 0

work=$(mktemp -d "$out/.work.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

# Keep the system openssl.cnf out of the picture so the certificates look the same everywhere.
cat >openssl.cnf <<'EOF'
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused

[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash

[loopback_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
# The fake listens on several loopback addresses at once, standing in for the service's hosts.
subjectAltName = IP:127.0.0.1, IP:127.0.0.2, IP:127.0.0.3, DNS:localhost

[wronghost_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = DNS:wrong.example

[sa_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
subjectKeyIdentifier = hash

# Only used for the expired certificate: "openssl ca" is the 3.0 CLI that takes explicit dates.
[ca]
default_ca = test_ca
[test_ca]
dir = .
database = ./ca-db/index.txt
new_certs_dir = ./ca-db
serial = ./ca-db/serial
certificate = ./ca.pem
private_key = ./ca.key
default_md = sha256
policy = any_policy
unique_subject = no
copy_extensions = none
email_in_dn = no
[any_policy]
commonName = supplied
EOF
export OPENSSL_CONF=$PWD/openssl.cnf

genkey() {
  openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1"
}

# Key generation dominates the run time; do it in parallel.
pids=()
for k in ca server expired wronghost other-ca untrusted sa other-sa; do
  genkey "$k.key" &
  pids+=($!)
done
for p in "${pids[@]}"; do wait "$p"; done

serial=1000
next_serial() { serial=$((serial + 1)); }

self_signed_ca() {  # key subject out
  next_serial
  openssl req -new -x509 -config openssl.cnf -key "$1" -subj "$2" -days 3650 -sha256 \
    -set_serial "$serial" -extensions ca_ext -out "$3"
}

issue() {  # name subject extensions ca_pem ca_key
  next_serial
  openssl req -new -config openssl.cnf -key "$1.key" -subj "$2" -out "$1.csr"
  openssl x509 -req -in "$1.csr" -CA "$4" -CAkey "$5" -set_serial "$serial" -days 3650 \
    -sha256 -extfile openssl.cnf -extensions "$3" -out "$1.pem" 2>/dev/null
}

self_signed_ca ca.key "/O=registry-list tests/CN=registry-list test CA" ca.pem
self_signed_ca other-ca.key "/O=registry-list tests/CN=some other CA" other-ca.pem

issue server "/CN=127.0.0.1" loopback_ext ca.pem ca.key
issue wronghost "/CN=wrong.example" wronghost_ext ca.pem ca.key
issue untrusted "/CN=127.0.0.1" loopback_ext other-ca.pem other-ca.key

mkdir ca-db
: >ca-db/index.txt
echo 2000 >ca-db/serial
openssl req -new -config openssl.cnf -key expired.key -subj "/CN=127.0.0.1" -out expired.csr
openssl ca -batch -config openssl.cnf -notext -in expired.csr -out expired.pem \
  -startdate 200101000000Z -enddate 210101000000Z -extfile openssl.cnf \
  -extensions loopback_ext 2>/dev/null

sa_cert() {  # key email out
  next_serial
  openssl req -new -x509 -config openssl.cnf -key "$1" -subj "/CN=$2" -days 3650 -sha256 \
    -set_serial "$serial" -extensions sa_ext -out "$3"
}
sa_cert sa.key registry-reader@registry-project.iam.gserviceaccount.com sa.pem
sa_cert other-sa.key someone-else@other-project.iam.gserviceaccount.com other-sa.pem

# The console hands out legacy-encrypted files (RC2-40 certificates, 3DES key, SHA-1 MAC) named
# "privatekey"; newer tools default to AES-256 with PBKDF2.
p12() {  # key cert password out [extra args...]
  local key=$1 cert=$2 pass=$3 dest=$4
  shift 4
  openssl pkcs12 -export "$@" -inkey "$key" -in "$cert" -name privatekey \
    -passout "pass:$pass" -out "$dest"
}
p12 sa.key sa.pem notasecret sa-legacy.p12 -legacy
p12 sa.key sa.pem notasecret sa-aes.p12
p12 sa.key sa.pem wrongpassw sa-other-password.p12 -legacy
p12 other-sa.key other-sa.pem notasecret other-sa.p12 -legacy

for f in ca.pem ca.key server.pem server.key expired.pem expired.key wronghost.pem \
  wronghost.key other-ca.pem untrusted.pem untrusted.key sa.key sa.pem sa-legacy.p12 sa-aes.p12 \
  sa-other-password.p12 other-sa.key other-sa.pem other-sa.p12; do
  mv -f "$f" "$out/$f"
done
echo "$stamp" >"$out/.done"
