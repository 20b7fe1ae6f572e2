#!/usr/bin/env bash
# Makes the development key set: root (2048, e=65537), bundle (2048, e=65537), setup (4096, e=17).
# NAME.key is the PKCS#8 private key (PEM), NAME.der the X.509 SubjectPublicKeyInfo (DER).
set -euo pipefail
dir=$1
mkdir -p "$dir"
tmp=$(mktemp -d "$dir/.tmp.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
gen() { # name bits exponent
  openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:"$2" -pkeyopt rsa_keygen_pubexp:"$3" \
    -out "$tmp/$1.key" 2>/dev/null ||
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:"$2" -pkeyopt rsa_keygen_pubexp:"$3" \
    -out "$tmp/$1.key"
  openssl pkey -in "$tmp/$1.key" -pubout -outform DER -out "$tmp/$1.der"
}
gen root 2048 65537 & p1=$!
gen bundle 2048 65537 & p2=$!
gen setup 4096 17 & p3=$!
wait $p1; wait $p2; wait $p3
chmod 600 "$tmp"/*.key
for n in root bundle setup; do mv "$tmp/$n.key" "$tmp/$n.der" "$dir/"; done
