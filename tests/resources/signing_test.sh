#!/bin/sh
# Signs a packed executable with a throwaway certificate, verifies the
# signature against the throwaway CA, checks that a changed byte breaks it,
# and runs the signed executable under Wine through a whole cycle.
#
# Usage: signing_test.sh PACKER STUB APP_DIR WORK_DIR
# Environment: WINEPREFIX and ONEFILE_WINE_RUN (scripts/wine-run) for the run.
# Exit status 77 means skipped (nothing to sign yet).
set -eu
packer=$1 stub=$2 app=$3 work=$4

say() { echo "signing_test: $*"; }
fail() { say "FAILED: $*"; exit 1; }

for tool in openssl osslsigncode; do
    command -v "$tool" >/dev/null 2>&1 || fail "$tool is not installed (make deps)"
done
[ -f "$stub" ] || { say "SKIPPED: no launcher stub at $stub"; exit 77; }

rm -rf "$work"
mkdir -p "$work"
cd "$work"

# --- the executable to sign: a packed application, or the bare stub
runnable=no
if [ -x "$packer" ] && [ -d "$app" ]; then
    "$packer" pack "$app" -o unsigned.exe --stub "$stub" >pack.log 2>&1 \
        || { cat pack.log; fail "packing $app"; }
    runnable=yes
else
    say "no packer at $packer or no application at $app: signing the bare stub"
    cp "$stub" unsigned.exe
fi

# --- a throwaway CA and a code-signing certificate it issued
cat >ca.cnf <<'CNF'
[req]
distinguished_name = dn
prompt = no
[dn]
CN = Onefile Throwaway Test CA
[ca_ext]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[signer_ext]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -config ca.cnf -extensions ca_ext \
    -keyout ca.key -out ca.pem >openssl.log 2>&1 || { cat openssl.log; fail "making the CA"; }
openssl req -new -newkey rsa:2048 -nodes -subj "/CN=Marrowlake Test Signer" \
    -keyout signer.key -out signer.csr >>openssl.log 2>&1 || { cat openssl.log; fail "making the request"; }
openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
    -extfile ca.cnf -extensions signer_ext -out signer.pem >>openssl.log 2>&1 \
    || { cat openssl.log; fail "issuing the signing certificate"; }

# --- sign and verify
osslsigncode sign -certs signer.pem -key signer.key -h sha256 \
    -n "Marrowlake" -i "https://marrowlake.invalid/" \
    -in unsigned.exe -out signed.exe >sign.log 2>&1 || { cat sign.log; fail "osslsigncode sign"; }
osslsigncode verify -in signed.exe -CAfile ca.pem >verify.log 2>&1 \
    || { cat verify.log; fail "osslsigncode verify rejected a freshly signed file"; }
grep -q "Signature verification: ok" verify.log || { cat verify.log; fail "no 'Signature verification: ok'"; }
say "signature verifies against the throwaway CA"

# The signature covers the image: one changed byte of code must break it.
# The first section starts at file offset 4096 (the image's page-aligned layout).
cp signed.exe tampered.exe
printf '\125' | dd of=tampered.exe bs=1 seek=4196 conv=notrunc 2>/dev/null
if osslsigncode verify -in tampered.exe -CAfile ca.pem >tamper.log 2>&1; then
    cat tamper.log
    fail "a tampered file still verifies"
fi
grep -q "MISMATCH" tamper.log || { cat tamper.log; fail "the tampered file failed for another reason than its digest"; }
say "a changed byte breaks the signature"

# Another CA must not vouch for it.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -config ca.cnf -extensions ca_ext \
    -subj "/CN=Unrelated CA" -keyout other.key -out other.pem >>openssl.log 2>&1
if osslsigncode verify -in signed.exe -CAfile other.pem >other.log 2>&1; then
    cat other.log
    fail "the signature verifies against an unrelated CA"
fi
say "an unrelated CA does not vouch for it"

# --- run the signed executable through a whole cycle
if [ "$runnable" = no ]; then
    say "SKIPPED the Wine run: the bare stub carries no application"
    exit 0
fi
: "${ONEFILE_WINE_RUN:?ONEFILE_WINE_RUN must name scripts/wine-run}"
status=0
"$ONEFILE_WINE_RUN" signed.exe "first argument" second >run.log 2>&1 || status=$?
tr -d '\r' <run.log >run.txt
[ "$status" -eq 0 ] || { cat run.txt; fail "signed executable ended with status $status"; }
grep -q "hello from the packed application" run.txt || { cat run.txt; fail "the application did not run"; }
grep -q "\[1\] first argument" run.txt || { cat run.txt; fail "arguments did not arrive"; }
say "the signed executable ran its application and ended with status 0"
