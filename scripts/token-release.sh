#!/usr/bin/env bash
# A release with every private key in a token, SoftHSM standing in for the hardware: the root,
# bundle and setup keys and the Authenticode key are made inside the token and never leave it;
# `ztpack make` signs the bundle, the setup program and the finished installer through PKCS#11;
# `ztpack verify` and `osslsigncode verify` check what ships; and no private key file exists
# anywhere in WORKDIR at the end.
#
# Usage: scripts/token-release.sh WORKDIR [--import-keys DIR] [--stub EXE] [--setup EXE]
#   WORKDIR        made fresh (it must not exist): token, public keys, certificate, payload, output
#   --import-keys  put DIR/{root,bundle,setup}.key into the token instead of making new pairs
#                  (so that a front end built with DIR's public keys accepts the installer; the
#                  tests use the development keys this way)
#   --stub, --setup  the front end and the setup program (default: this tree's 32-bit build)
# The PIN is made at random, kept in WORKDIR/hsm/pin (0600), and reaches ztpack through the URIs'
# pin-source, never a command line. Needs scripts/setup.sh's packages and build/native.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
ztpack=${ZTPACK:-$root/build/native/tools/ztpack/ztpack}
module=${ZT_PKCS11_MODULE:-/usr/lib/softhsm/libsofthsm2.so}
work= import= stub= setup=
while [ $# -gt 0 ]; do
  case "$1" in
    --import-keys) import=$2; shift 2 ;;
    --stub) stub=$2; shift 2 ;;
    --setup) setup=$2; shift 2 ;;
    -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "token-release: unknown option $1" >&2; exit 2 ;;
    *) [ -z "$work" ] || { echo "token-release: one WORKDIR only" >&2; exit 2; }; work=$1; shift ;;
  esac
done
[ -n "$work" ] || { echo "usage: scripts/token-release.sh WORKDIR [--import-keys DIR] [--stub EXE] [--setup EXE]" >&2; exit 2; }
[ ! -e "$work" ] || { echo "token-release: $work exists; give a new directory" >&2; exit 2; }
for tool in "$ztpack" softhsm2-util pkcs11-tool openssl osslsigncode "$module"; do
  command -v "$tool" >/dev/null || [ -e "$tool" ] || { echo "token-release: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done
mkdir -p "$work"
work=$(cd "$work" && pwd)
stub=${stub:-$root/build/windows/InstallerLogic.exe}
setup=${setup:-$root/build/windows/tests/report_setup.exe}

echo "== 1. the token: SoftHSM, label \"release\", in $work/hsm"
mkdir -m 700 "$work/hsm" "$work/hsm/tokens"
export SOFTHSM2_CONF=$work/hsm/softhsm2.conf
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
  "$work/hsm/tokens" > "$SOFTHSM2_CONF"
(umask 077; od -An -N6 -tu1 /dev/urandom | tr -dc 0-9 | head -c 8 > "$work/hsm/pin")
(umask 077; od -An -N6 -tu1 /dev/urandom | tr -dc 0-9 | head -c 8 > "$work/hsm/so-pin")
# softhsm2-util takes its PINs as arguments; only the token's own setup does that, once.
softhsm2-util --init-token --free --label release \
  --so-pin "$(cat "$work/hsm/so-pin")" --pin "$(cat "$work/hsm/pin")" >/dev/null
uri="pkcs11:token=release"
pin="pin-source=file:$work/hsm/pin"

mkdir "$work/keys"
if [ -n "$import" ]; then
  echo "== 2. the installer's keys: $import/{root,bundle,setup}.key imported into the token"
  id=1
  for k in root bundle setup; do
    softhsm2-util --import "$import/$k.key" --token release --label $k --id 0$id \
      --pin "$(cat "$work/hsm/pin")" >/dev/null
    cp "$import/$k.der" "$work/keys/$k.der"
    id=$((id + 1))
  done
else
  echo "== 2. the installer's keys, made inside the token: ztpack keygen --pkcs11"
  "$ztpack" keygen --pkcs11 "$uri;$pin" --pkcs11-module "$module" --out "$work/keys"
fi
ls -l "$work/keys"

echo "== 3. the Authenticode key, made inside the token, and its certificate"
PIN=$(cat "$work/hsm/pin") pkcs11-tool --module "$module" --token-label release --login \
  --pin env:PIN --keypairgen --key-type rsa:3072 --label authenticode --id 0a --sensitive \
  --usage-sign >/dev/null
# A self-signed certificate for the example; a real release sends a request signed with this
# key (openssl req -new without -x509) to its certificate authority.
openssl req -new -x509 -days 30 -subj "/CN=Example Release/O=Example Vendor" -engine pkcs11 \
  -keyform engine -key "$uri;object=authenticode;$pin" -out "$work/authenticode.pem" 2>/dev/null
openssl x509 -in "$work/authenticode.pem" -noout -subject

echo "== 4. the payload and the manifest"
mkdir "$work/payload"
printf 'Example application\r\n' > "$work/payload/readme.txt"
printf 'dep-silent,readme.txt,docs\\readme.txt\r\n' > "$work/payload/install_script"
cat > "$work/release.toml" <<EOF
stub   = "$stub"
setup  = "$setup"
mode   = "silent"
output = "out/example-installer.exe"
[payload]
folder = "payload"
[keys]
root   = "$uri;object=root;$pin"
bundle = "$uri;object=bundle;$pin"
setup  = "$uri;object=setup;$pin"
[pkcs11]
module = "$module"
[authenticode]
certificate = "authenticode.pem"
key         = "$uri;object=authenticode;$pin"
ca_file     = "authenticode.pem"
description = "Example installer"
EOF
cat "$work/release.toml"

echo "== 5. ztpack make"
(cd "$work" && "$ztpack" make release.toml)

echo "== 6. what ships, checked: ztpack verify, osslsigncode verify"
"$ztpack" verify --root-key "$work/keys/root.der" --setup-key "$work/keys/setup.der" \
  "$work/out/example-installer.exe"
osslsigncode verify -CAfile "$work/authenticode.pem" -in "$work/out/example-installer.exe" |
  grep -E "^(Signature verification|Message digest algorithm|Subject)" || true

echo "== 7. no private key in a file anywhere in $work"
found=$(grep -rlsE -- "-----BEGIN ([A-Z]+ )*PRIVATE KEY-----" "$work" || true)
if [ -n "$found" ]; then
  echo "token-release: private keys found in files: $found" >&2
  exit 1
fi
echo "none: every private key is inside the token"
