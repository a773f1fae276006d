#!/usr/bin/env bash
# The loadable module smext.so in the real openssl command line under
# LeakSanitizer: nothing the module keeps outlives it, and its error entries
# name their source inside the project.
#   module_lsan_test.sh OPENSSL MODULE_DIR LIBLSAN
set -euo pipefail
openssl=${1:?openssl program}
moddir=$(cd "${2:?folder of smext.so}" && pwd)
liblsan=${3:?LeakSanitizer runtime}
[ -f "$moddir/smext.so" ] || { echo "no $moddir/smext.so" >&2; exit 1; }

both=(-provider-path "$moddir" -provider smext -provider default -propquery "?provider=smext")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "FAILED: $*"; exit 1; }
# Runs openssl under LeakSanitizer; expects exit status $1. The output is in out.txt.
run() {
  local want=$1
  shift
  local status=0
  LD_PRELOAD=$liblsan LSAN_OPTIONS=exitcode=23 "$openssl" "$@" >out.txt 2>&1 || status=$?
  if grep -q LeakSanitizer out.txt; then cat out.txt; fail "leak in: openssl $*"; fi
  [ "$status" = "$want" ] || { cat out.txt; fail "status $status, not $want: openssl $*"; }
}

echo "SM2 keys, signatures and encryption through the module"
printf '%032d' 0 >digest.bin
printf 'message' >msg.txt
run 0 genpkey "${both[@]}" -algorithm SM2 -out sm2.key
run 0 pkey "${both[@]}" -in sm2.key -pubout -out sm2.pub
run 0 pkeyutl "${both[@]}" -sign -inkey sm2.key -in digest.bin -out sig.bin
run 0 pkeyutl "${both[@]}" -verify -pubin -inkey sm2.pub -in digest.bin -sigfile sig.bin
run 0 pkeyutl "${both[@]}" -sign -rawin -digest sm3 -inkey sm2.key -in msg.txt -out data.sig
run 0 pkeyutl "${both[@]}" -encrypt -pubin -inkey sm2.pub -in msg.txt -out msg.ct
run 0 pkeyutl "${both[@]}" -decrypt -inkey sm2.key -in msg.ct -out back.txt
cmp -s back.txt msg.txt || fail "decryption"
run 0 dgst "${both[@]}" -sm3 msg.txt

echo "a key on another group is refused, the entry naming its source in the project"
run 1 genpkey "${both[@]}" -algorithm SM2 -pkeyopt group:prime256v1
grep -q 'invalid curve:smext/prov/smprov_keymgmt.cpp:[0-9]*:not an SM2 curve: prime256v1' out.txt ||
  { cat out.txt; fail "no entry naming the group and the project's source"; }
echo "all steps passed"
