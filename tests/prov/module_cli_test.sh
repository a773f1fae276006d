#!/usr/bin/env bash
# The loadable module smext.so driven by the real openssl command line:
#   module_cli_test.sh OPENSSL MODULE_DIR
# Each step prints what it checks; the first failure ends the test.
set -euo pipefail
openssl=${1:?openssl program}
moddir=$(cd "${2:?folder of smext.so}" && pwd)
[ -f "$moddir/smext.so" ] || { echo "no $moddir/smext.so" >&2; exit 1; }

# Only the module: whatever runs is the module's code.
only=(-provider-path "$moddir" -provider smext)
# The module beside the default provider (key decoding, random numbers), preferred.
both=(-provider-path "$moddir" -provider smext -provider default -propquery "?provider=smext")
id=1234567812345678

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

step() { printf '%s ... ' "$1"; }
ok() { echo ok; }
fail() { echo "FAILED: $*"; exit 1; }
hex() { od -An -v -tx1 | tr -d ' \n'; }

step "the module is listed and active"
"$openssl" list "${both[@]}" -providers | grep -A3 '^  smext' | grep -q 'status: active' || fail "not listed"
"$openssl" list "${both[@]}" -cipher-algorithms | grep -q 'ZUC } @ smext' || fail "no ZUC from smext"
ok

step "zuc is the module's: the stock library has none"
if "$openssl" enc -zuc -K 00 -iv 00 </dev/null >/dev/null 2>&1; then fail "stock openssl has zuc"; fi
ok

step "dgst -sm3 (published vector, module alone)"
out=$(printf abc | "$openssl" dgst "${only[@]}" -sm3 -r | cut -d' ' -f1)
[ "$out" = 66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0 ] || fail "$out"
ok

step "enc -zuc (published keystream, module alone)"
out=$(head -c 24 /dev/zero | "$openssl" enc "${only[@]}" -zuc -K 00000000000000000000000000000000 \
      -iv 00000000000000000000000000000000 | hex)
[ "$out" = 27bede74018082da87d4e5b69f18bf6632070e0f39b7b692 ] || fail "$out"
out=$(head -c 8 /dev/zero | "$openssl" enc "${only[@]}" -zuc -K 3d4c4be96a82fdaeb58f641db17b455b \
      -iv 84319aa8de6915ca1f6bda6bfbd8c766 | hex)
[ "$out" = 14f1c2723279c419 ] || fail "$out"
ok

step "enc -sm4-cbc both ways against the stock SM4-CBC"
key=0123456789abcdeffedcba9876543210
iv=000102030405060708090a0b0c0d0e0f
head -c 1000 /dev/urandom >plain.bin
"$openssl" enc "${only[@]}" -sm4-cbc -K $key -iv $iv -in plain.bin -out ours.enc
"$openssl" enc -sm4-cbc -K $key -iv $iv -in plain.bin -out stock.enc
cmp -s ours.enc stock.enc || fail "ciphertexts differ"
"$openssl" enc -d -sm4-cbc -K $key -iv $iv -in ours.enc -out back1.bin
"$openssl" enc "${only[@]}" -d -sm4-cbc -K $key -iv $iv -in stock.enc -out back2.bin
cmp -s back1.bin plain.bin && cmp -s back2.bin plain.bin || fail "round trip"
ok

step "keys and a chain from the stock library (default identity given explicitly)"
q() { "$openssl" "$@" >/dev/null 2>&1 || fail "openssl $1"; }
q genpkey -algorithm SM2 -out ca.key
q req -new -x509 -key ca.key -sm3 -sigopt distid:$id -subj /CN=SM2-CA -days 30 \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign -out ca.pem
q genpkey -algorithm SM2 -out leaf.key
q pkey -in leaf.key -pubout -out leaf.pub
q req -new -key leaf.key -sm3 -sigopt distid:$id -subj /CN=SM2-leaf -out leaf.csr
q x509 -req -in leaf.csr -vfyopt distid:$id -CA ca.pem -CAkey ca.key -set_serial 2 -sm3 -sigopt distid:$id \
  -days 30 -out leaf.pem
touch index.txt
echo 01 >crlnumber
printf '[ca]\ndefault_ca=d\n[d]\ndatabase=index.txt\ncrlnumber=crlnumber\ndefault_md=sm3\ndefault_crl_days=30\n' >ca.cnf
q ca -gencrl -config ca.cnf -keyfile ca.key -cert ca.pem -md sm3 -sigopt distid:$id -out ca.crl
ok

step "verify of the SM2 chain (no identity given)"
"$openssl" verify "${both[@]}" -CAfile ca.pem leaf.pem | grep -q 'leaf.pem: OK' || fail "module refused"
if "$openssl" verify -CAfile ca.pem leaf.pem >/dev/null 2>&1; then fail "stock accepted without identity"; fi
ok

step "crl -CAfile of the SM2 CRL"
"$openssl" crl "${both[@]}" -in ca.crl -CAfile ca.pem -noout 2>&1 | grep -q 'verify OK' || fail "module refused"
"$openssl" crl -in ca.crl -CAfile ca.pem -noout 2>&1 | grep -q 'verify failure' || fail "stock accepted"
ok

step "pkeyutl -sign/-verify of a digest, both ways"
printf 'message digest' >msg.txt
"$openssl" dgst -sm3 -binary msg.txt >msg.sm3
"$openssl" pkeyutl "${both[@]}" -sign -inkey leaf.key -in msg.sm3 -out ours.sig
"$openssl" pkeyutl -verify -pubin -inkey leaf.pub -in msg.sm3 -sigfile ours.sig | grep -q 'Verified Successfully' ||
  fail "stock refused ours"
"$openssl" pkeyutl -sign -inkey leaf.key -in msg.sm3 -out stock.sig
"$openssl" pkeyutl "${both[@]}" -verify -pubin -inkey leaf.pub -in msg.sm3 -sigfile stock.sig |
  grep -q 'Verified Successfully' || fail "module refused stock"
ok

step "dgst -verify: a changed signature, or one with a byte appended, is a verification failure"
# dgst reads no more of the signature file than the key's largest signature
# (72 bytes), so a byte after a signature of that length is never seen: sign
# until the signature is shorter (three signatures in four are).
for _ in $(seq 20); do
  "$openssl" dgst "${both[@]}" -sm3 -sign leaf.key -out dgst.sig msg.txt
  [ "$(stat -c %s dgst.sig)" -lt 72 ] && break
done
[ "$(stat -c %s dgst.sig)" -lt 72 ] || fail "no signature shorter than 72 bytes in 20"
"$openssl" dgst "${both[@]}" -sm3 -verify leaf.pub -signature dgst.sig msg.txt | grep -q 'Verified OK' ||
  fail "own signature refused"
last=$(tail -c 1 dgst.sig | od -An -tu1 | tr -d ' ')
{ head -c -1 dgst.sig; printf "\\$(printf '%03o' $((last ^ 1)))"; } >dgst-flipped.sig
{ cat dgst.sig; printf '\0'; } >dgst-trailing.sig
for sig in dgst-flipped.sig dgst-trailing.sig; do
  out=$("$openssl" dgst "${both[@]}" -sm3 -verify leaf.pub -signature $sig msg.txt 2>&1) && fail "$sig verified"
  grep -q '^Verification failure' <<<"$out" || fail "$sig: $out"
done
ok

step "pkeyutl: SM2 signs 32-byte digests only; a signature over D does not verify D and more"
head -c 32 /dev/urandom >d32.bin
{ cat d32.bin; head -c 32 /dev/urandom; } >d64.bin
"$openssl" pkeyutl "${both[@]}" -sign -inkey leaf.key -in d32.bin -out d32.sig
"$openssl" pkeyutl "${both[@]}" -verify -pubin -inkey leaf.pub -in d32.bin -sigfile d32.sig |
  grep -q 'Verified Successfully' || fail "refused"
if "$openssl" pkeyutl "${both[@]}" -verify -pubin -inkey leaf.pub -in d64.bin -sigfile d32.sig \
  >/dev/null 2>&1; then fail "verified against 64 bytes"; fi
if "$openssl" pkeyutl "${both[@]}" -sign -inkey leaf.key -in d64.bin -out d64.sig >/dev/null 2>&1; then
  fail "signed 64 bytes"
fi
ok

step "req -x509 -sha256 with an SM2 key fails and says why"
out=$("$openssl" req "${both[@]}" -new -x509 -key leaf.key -sha256 -subj /CN=sha256 -out sha256.pem 2>&1) &&
  fail "signed"
grep -q 'no signature algorithm identifier for SM2 with SHA2-256' <<<"$out" || fail "$out"
if grep -q 'internal error' <<<"$out"; then fail "$out"; fi
ok

step "pkeyutl -sign/-verify over data with SM3 and the default identity, both ways"
"$openssl" pkeyutl "${both[@]}" -sign -rawin -digest sm3 -inkey leaf.key -in msg.txt -out ours-data.sig
"$openssl" pkeyutl -verify -rawin -digest sm3 -pkeyopt distid:$id -pubin -inkey leaf.pub -in msg.txt \
  -sigfile ours-data.sig | grep -q 'Verified Successfully' || fail "stock refused ours"
# The stock library's own default identity is the empty one: the module's is not.
if "$openssl" pkeyutl -verify -rawin -digest sm3 -pubin -inkey leaf.pub -in msg.txt -sigfile ours-data.sig \
  >/dev/null 2>&1; then fail "signed over the empty identity"; fi
"$openssl" pkeyutl -sign -rawin -digest sm3 -pkeyopt distid:$id -inkey leaf.key -in msg.txt -out stock-data.sig
"$openssl" pkeyutl "${both[@]}" -verify -rawin -digest sm3 -pubin -inkey leaf.pub -in msg.txt \
  -sigfile stock-data.sig | grep -q 'Verified Successfully' || fail "module refused stock"
ok

step "pkeyutl -encrypt/-decrypt, both ways"
"$openssl" pkeyutl "${both[@]}" -encrypt -pubin -inkey leaf.pub -in msg.txt -out ours.ct
"$openssl" pkeyutl -decrypt -inkey leaf.key -in ours.ct -out back-ours.txt
"$openssl" pkeyutl -encrypt -pubin -inkey leaf.pub -in msg.txt -out stock.ct
"$openssl" pkeyutl "${both[@]}" -decrypt -inkey leaf.key -in stock.ct -out back-stock.txt
cmp -s back-ours.txt msg.txt && cmp -s back-stock.txt msg.txt || fail "round trip"
ok

step "a configuration file loads the module"
cat >smext.cnf <<CNF
openssl_conf = conf
[conf]
providers = provs
alg_section = algs
[provs]
default = def
smext = sm
[def]
activate = 1
[sm]
module = $moddir/smext.so
activate = 1
[algs]
default_properties = ?provider=smext
CNF
OPENSSL_CONF=$work/smext.cnf "$openssl" verify -CAfile ca.pem leaf.pem | grep -q 'leaf.pem: OK' || fail "verify"
out=$(head -c 24 /dev/zero | OPENSSL_CONF=$work/smext.cnf "$openssl" enc -zuc -K 00000000000000000000000000000000 \
      -iv 00000000000000000000000000000000 | hex)
[ "$out" = 27bede74018082da87d4e5b69f18bf6632070e0f39b7b692 ] || fail "zuc $out"
ok
echo "all steps passed"
