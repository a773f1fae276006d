#!/usr/bin/env bash
# Makes the committed seed corpora of the fuzz harnesses with the openssl
# command line. Run by hand after a change; the outputs are committed:
#   fuzz/seeds/make-seeds.sh
# A test PKI for the certificate road (root and intermediate CA, a server
# certificate with its key, and certificates the road must refuse), the two
# carried CA certificates as DER, requests, and SM2-shaped DER objects.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

pki=$here/pki
cert=$here/cert
mkdir -p "$pki" "$cert" "$here/request" "$here/time" "$here/sm2" "$here/../reproducers"
rm -f "$cert"/* "$here/request"/* "$here/time"/* "$here/sm2"/*  # text/ is written by hand

days=36500  # valid far ahead: notAfter lies after 2049, a GeneralizedTime
cat > ext.cnf <<'CNF'
[fuzz_ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[fuzz_server]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:one.fuzz.invalid
[fuzz_nokeyusage]
basicConstraints = CA:FALSE
[fuzz_signonly]
keyUsage = critical, digitalSignature
[fuzz_dataenc]
keyUsage = critical, dataEncipherment
CNF

openssl req -x509 -newkey rsa:2048 -nodes -keyout root-key.pem -subj "/CN=Fuzz Root CA" \
  -days $days -sha256 -extensions fuzz_ca -config <(cat /etc/ssl/openssl.cnf ext.cnf) -out root.pem 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout inter-key.pem -subj "/CN=Fuzz Intermediate CA" -out inter.csr 2>/dev/null
openssl x509 -req -in inter.csr -CA root.pem -CAkey root-key.pem -set_serial 2 -days $days -sha256 \
  -extfile ext.cnf -extensions fuzz_ca -out inter.pem 2>/dev/null
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out server-key.pem 2>/dev/null

# leaf NAME SUBJECT EXTENSIONS [extra x509 options...]
leaf() {
  local name=$1 subject=$2 ext=$3
  shift 3
  openssl req -new -key server-key.pem -subj "$subject" -out "$name.csr" 2>/dev/null
  openssl x509 -req -in "$name.csr" -CA inter.pem -CAkey inter-key.pem -set_serial "0x$(openssl rand -hex 8)" \
    -sha256 -extfile ext.cnf -extensions "fuzz_$ext" "$@" -out "$name.pem" 2>/dev/null
  openssl x509 -in "$name.pem" -outform DER -out "$cert/$name.der"
}
leaf server "/CN=one.fuzz.invalid" server -days $days
leaf server2 "/O=Fuzz/CN=two.fuzz.invalid" server -days $days
leaf data-only "/CN=one.fuzz.invalid" dataenc -days $days
leaf wrong-name "/CN=three.fuzz.invalid" server -days $days
leaf no-key-usage "/CN=one.fuzz.invalid" nokeyusage -days $days
leaf sign-only "/CN=one.fuzz.invalid" signonly -days $days
# Expired: the openssl ca command sets both ends of the validity period.
mkdir -p cadb && : > cadb/index.txt && echo 1000 > cadb/serial
cat > ca.cnf <<'CNF'
[ca]
default_ca = fuzz
[fuzz]
dir = cadb
database = cadb/index.txt
serial = cadb/serial
new_certs_dir = cadb
default_md = sha256
policy = anything
[anything]
commonName = supplied
CNF
openssl req -new -key server-key.pem -subj "/CN=one.fuzz.invalid" -out expired.csr 2>/dev/null
openssl ca -batch -config ca.cnf -cert inter.pem -keyfile inter-key.pem -in expired.csr -notext \
  -startdate 20000101000000Z -enddate 20010101000000Z -extfile ext.cnf -extensions fuzz_server -out expired.pem 2>/dev/null
openssl x509 -in expired.pem -outform DER -out "$cert/expired.der"
# Self-signed: right name and usage, no chain to the root.
openssl req -x509 -key server-key.pem -subj "/CN=one.fuzz.invalid" -days $days -sha256 \
  -extensions fuzz_server -config <(cat /etc/ssl/openssl.cnf ext.cnf) -outform DER -out "$cert/self-signed.der" 2>/dev/null
# An EC key and signature: refused for its signature algorithm.
openssl ecparam -name prime256v1 -genkey -noout -out ec-key.pem
openssl req -new -key ec-key.pem -subj "/CN=one.fuzz.invalid" -out ec.csr 2>/dev/null
openssl x509 -req -in ec.csr -signkey ec-key.pem -days $days -sha256 -extfile ext.cnf -extensions fuzz_server \
  -outform DER -out "$cert/ecdsa.der" 2>/dev/null
openssl x509 -in inter.pem -outform DER -out "$cert/inter.der"
openssl x509 -in root.pem -outform DER -out "$cert/root.der"

# The carried CA certificates, from the trust list the program carries.
tr -d '\n' < "$top/agent/TrustList.inc" | grep -o '"[A-Za-z0-9+/=|]*"' | tr -d '"' > carried.txt
tr -d '\n' < carried.txt | tr '|' '\n' > carried.lines
n=0
while read -r line || [ -n "$line" ]; do
  [ -n "$line" ] || continue
  n=$((n + 1))
  printf '%s' "$line" | openssl base64 -d -A > "$cert/carried-$n.der"
done < carried.lines

# The policy of the certificate harness: the trust list and the server key.
{
  openssl x509 -in inter.pem -outform DER | openssl base64 -A
  printf '|'
  openssl x509 -in root.pem -outform DER | openssl base64 -A
} > "$pki/trust-list.txt"
cp server-key.pem "$pki/server-key.pem"

# Requests.
b64=$(openssl base64 -A < "$cert/server.der")
printf '%s' '{"function":"GetVersion","params":[],"randomId":"r1"}' > "$here/request/version"
printf '%s' '{"function":"GetLastErrorDesc","params":[]}' > "$here/request/last-error"
printf '%s' '{"FUNCTION":"getmacaddress","Params":[{"param":"QUJD"}],"randomid":"x"}' > "$here/request/mac-object"
printf '{"function":"GetMacAddress","params":["%s"],"randomId":"7"}' "$b64" > "$here/request/mac-server"
printf '%s' '{"function":"GetMacAddress","params":[5,6]}' > "$here/request/mac-two"
printf '%s' ' {"function":"Foo\u00e9","params":null,"randomId":"\ud83d\ude00"}' > "$here/request/unknown"
printf '%s' '{"function":"GetVersion","params":{"a":[1,2.5,true,null]},"randomId":"é"}trailing' > "$here/request/trailing"

# Validity times: first byte 0 UTCTime, 1 GeneralizedTime, then the text.
t() { { printf "\\x$1"; printf '%s' "$2"; } > "$here/time/$3"; }
t 00 4912312359Z utc-no-seconds
t 00 200101000000+0800 utc-offset
t 00 200101000000-0130 utc-minus
t 01 20200101000000.999Z gen-fraction
t 01 21261231235959Z gen-far
t 00 5001010000Z utc-1950

# SM2 objects: first byte picks the decoder (see fuzz_sm2.cpp).
s() { { printf "\\x$1"; cat "$2"; } > "$here/sm2/$3"; }
hex32() { openssl rand -hex 32; }
# SM2Cipher: SEQUENCE { INTEGER x, INTEGER y, OCTET STRING hash(32), OCTET STRING c }
cat > cipher.cnf <<CNF
asn1 = SEQUENCE:c
[c]
x = INTEGER:0x$(hex32)
y = INTEGER:0x$(hex32)
hash = FORMAT:HEX,OCTETSTRING:$(hex32)
text = FORMAT:HEX,OCTETSTRING:00112233445566778899
CNF
openssl asn1parse -genconf cipher.cnf -noout -out cipher.der
s 00 cipher.der sm2cipher
# SM2_PRIVATEKEY: SEQUENCE { INTEGER 1, INTEGER d, [0] OID, [1] BIT STRING }
cat > key.cnf <<CNF
asn1 = SEQUENCE:k
[k]
version = INTEGER:1
d = INTEGER:0x$(hex32)
params = EXPLICIT:0,OID:1.2.156.10197.1.301
CNF
openssl asn1parse -genconf key.cnf -noout -out key.der
s 01 key.der sm2-privatekey
s 02 key.der sm2-privatekey-legacy
openssl ec -in ec-key.pem -outform DER -out ec-key.der 2>/dev/null
s 02 ec-key.der ecprivatekey-legacy
# PFX_SM2: SEQUENCE { INTEGER, SEQUENCE { OID, OID, OCTET STRING }, SEQUENCE { OID, OCTET STRING } }
cat > pfx.cnf <<CNF
asn1 = SEQUENCE:p
[p]
version = INTEGER:1
priv = SEQUENCE:priv
pub = SEQUENCE:pub
[priv]
id = OID:1.2.156.10197.6.1.4.2.1
alg = OID:1.2.156.10197.1.104
key = FORMAT:HEX,OCTETSTRING:$(hex32)
[pub]
id = OID:1.2.156.10197.6.1.4.2.1
cert = FORMAT:HEX,OCTETSTRING:$(od -An -tx1 < "$cert/server.der" | tr -d ' \n')
CNF
openssl asn1parse -genconf pfx.cnf -noout -out pfx.der
{ printf '\x03\x00'; cat pfx.der; } > "$here/sm2/pfx-sm2"  # then 0: the PFX_SM2 item
# Raw ciphertext shapes for the decryption mode: 0x04 || x || y || C2 || C3.
{ printf '\x04'; openssl rand 64; printf 'sixteen byte msg'; openssl rand 32; } > raw.bin
s 04 raw.bin sm2-raw
# An SM2 key and ciphertexts made by the installed library's own SM2 (DER
# SM2Cipher, SM3): mode 0 decodes them, mode 6 decrypts them with the key.
openssl genpkey -algorithm SM2 -out sm2-key.pem 2>/dev/null
openssl pkey -in sm2-key.pem -text -noout | sed -n '/^priv:/,/^pub:/p' | sed '1d;$d' | tr -d ' :\n' > "$pki/sm2-key.hex"
printf 'fuzz seed message' > "$pki/sm2-message.txt"
openssl pkeyutl -encrypt -inkey sm2-key.pem -in "$pki/sm2-message.txt" -out sm2-peer.der
cp sm2-peer.der "$pki/sm2-message.der"
s 00 sm2-peer.der sm2cipher-peer
s 06 sm2-peer.der sm2cipher-peer-decrypt
printf 'x' > one.txt
openssl pkeyutl -encrypt -inkey sm2-key.pem -in one.txt -out sm2-one.der
s 06 sm2-one.der sm2cipher-peer-decrypt-one
# Message for the encryption round trip.
printf '\x05mac list 00-11-22-33-44-55' > "$here/sm2/sm2-roundtrip"
# The reproducer of an open fault (fuzz/expected-faults): the accepted
# certificate with bytes after it.
{ cat "$cert/server.der"; printf 'junk'; } > "$here/../reproducers/cert-trailing-junk"
# The DER of anyone's own certificate (key encipherment), a line break, then
# the PEM of the accepted one: the checks read the PEM, the encryption the DER.
openssl req -x509 -newkey rsa:2048 -nodes -keyout other-key.pem -subj "/CN=someone else" -days $days \
  -addext "keyUsage=keyEncipherment" -outform DER -out other.der 2>/dev/null
{ cat other.der; printf '\n'; openssl x509 -inform DER -in "$cert/server.der"; } \
  > "$here/../reproducers/cert-other-der-then-pem"
echo "seeds written under $here"
