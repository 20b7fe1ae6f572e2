#!/usr/bin/env bash
# What a key in a token costs `ztpack bundle`: the same payload signed with the bundle key from
# its file, from a SoftHSM token (CKM_SHA1_RSA_PKCS: every byte of the bundle goes through the
# token's own hash), and from the same token through the test module that hides that mechanism
# (ztpack hashes and the token signs a digest, CKM_RSA_PKCS). Rounds alternate the order; the
# three bundles must be byte-identical.
#
#   bench/token_sign.sh [MB] [ROUNDS]   (defaults: 300 MB of the machine's own files, 3 rounds)
#
# The payload is bench/pack.sh's. Needs the native build and SoftHSM (scripts/setup.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
mb=${1:-300}
rounds=${2:-3}
ztpack=${ZTPACK:-build/native/tools/ztpack/ztpack}
keys=${ZT_KEYS:-build/dev-keys}
shim=${ZT_PKCS11_SHIM:-build/native/tests/libzt_pkcs11_shim.so}
softhsm=/usr/lib/softhsm/libsofthsm2.so
for f in "$ztpack" "$shim" "$softhsm" /usr/bin/time; do
  [ -e "$f" ] || { echo "token_sign: $f is missing (scripts/setup.sh, scripts/build.sh native)" >&2; exit 1; }
done
payload=$(bash bench/pack.sh "$mb" 0)
out=$(mktemp -d /tmp/zt-bench-token.XXXXXX)
trap 'rm -rf "$out"' EXIT

export SOFTHSM2_CONF=$out/softhsm2.conf
mkdir "$out/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$out/tokens" >"$SOFTHSM2_CONF"
softhsm2-util --init-token --free --label bench --so-pin 87654321 --pin 1234 >/dev/null
softhsm2-util --import "$keys/bundle.key" --token bench --label bundle --id 02 --pin 1234 >/dev/null
export ZTPACK_PKCS11_PIN=1234
"$ztpack" certify --root-key "$keys/root.key" --public "$keys/bundle.der" --goal IBND \
  --out "$out/cert" >/dev/null

measure() {  # seconds of one bundle run into $out/$1.bnd
  local name=$1; shift
  /usr/bin/time -f '%e' -o "$out/time" "$ztpack" bundle -q --script "$payload/install_script" \
    --dir "$payload" --cert "$out/cert" --out "$out/$name.bnd" "$@" >/dev/null 2>"$out/stderr" ||
    { cat "$out/stderr" >&2; exit 1; }
  cat "$out/time"
}
file() { measure file --key "$keys/bundle.key"; }
token() { measure token --key "pkcs11:token=bench;object=bundle" --pkcs11-module "$softhsm"; }
digest() { ZT_SHIM_MODULE=$softhsm measure digest --key "pkcs11:token=bench;object=bundle" \
             --pkcs11-module "$shim"; }

echo "payload: $(find "$payload" -type f | wc -l) files, $(( $(du -sb "$payload" | cut -f1) / 1000000 )) MB; $rounds rounds"
echo "round   file key s   token s   token/file   token, ztpack hashes s   that/file"
for ((r = 1; r <= rounds; r++)); do
  if ((r % 2)); then
    tf=$(file); tt=$(token); td=$(digest)
  else
    td=$(digest); tt=$(token); tf=$(file)
  fi
  cmp -s "$out/file.bnd" "$out/token.bnd" && cmp -s "$out/file.bnd" "$out/digest.bnd" ||
    { echo "token_sign: the bundles differ" >&2; exit 1; }
  awk -v r=$r -v f=$tf -v t=$tt -v d=$td 'BEGIN {
    printf "%5d  %11.2f  %8.2f  %10.2fx  %22.2f  %9.2fx\n", r, f, t, t / f, d, d / f }'
done
echo "bundle: $(stat -c %s "$out/file.bnd") bytes, byte-identical in all three ways"
