#!/usr/bin/env bash
# Checks that kest_trustgen accepts the trust directory and refuses unusable anchors.
# Usage: trustgen_test.sh KEST_TRUSTGEN TRUST_DIR
set -u
gen=$1
good=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

# expect_refusal NAME FILE CONTENT MESSAGE: a copy of the good directory with FILE replaced
# must be refused with MESSAGE on standard error.
expect_refusal() {
  local name=$1 file=$2 content=$3 message=$4 dir="$scratch/$1"
  mkdir -p "$dir"
  cp "$good"/public_key.hex "$good"/signature_hash.hex "$good"/trusted_digests.hex "$dir"/
  printf '%s\n' "$content" > "$dir/$file"
  if "$gen" "$dir" "$dir/out.cc" 2> "$dir/err"; then
    echo "FAIL $name: accepted"; failures=$((failures + 1))
  elif ! grep -q -- "$message" "$dir/err"; then
    echo "FAIL $name: message was: $(cat "$dir/err")"; failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

if "$gen" "$good" "$scratch/good.cc" && grep -q kSigningPublicKey "$scratch/good.cc"; then
  echo "ok   the trust directory is accepted"
else
  echo "FAIL the trust directory is refused"; failures=$((failures + 1))
fi

not_on_curve=0200000000000000000000000000000000000000000000000000000000000000
order2=0000000000000000000000000000000000000000000000000000000000000000
order4=0100000000000000000000000000000000000000000000000000000000000000
order8=e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800
p_itself=edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f
nine_plus_p=f6ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f
expect_refusal key_on_twist public_key.hex $not_on_curve "not a point of the curve"
expect_refusal key_order_2 public_key.hex $order2 "order divides 8"
expect_refusal key_order_4 public_key.hex $order4 "order divides 8"
expect_refusal key_order_8 public_key.hex $order8 "order divides 8"
expect_refusal key_equal_to_p public_key.hex $p_itself "not written reduced"
expect_refusal key_above_p public_key.hex $nine_plus_p "not written reduced"
expect_refusal key_short public_key.hex ${order8:2} "64 hex digits"
expect_refusal key_twice public_key.hex "$order8 $order8" "64 hex digits"
expect_refusal key_missing public_key.hex "# nothing" "64 hex digits"
expect_refusal hash_71_words signature_hash.hex "$(grep -v '^#' "$good/signature_hash.hex" | tr '\n' ' ' | cut -d' ' -f2-)" "expected 72 words"
expect_refusal hash_bad_word signature_hash.hex "$(grep -v '^#' "$good/signature_hash.hex" | sed 's/^[0-9a-f]*/xyz01234/')" "word 1 is not 8 hex digits"
expect_refusal digest_twice trusted_digests.hex "$(printf '%040d\n%040d' 1 1)" "entry 2 is listed twice"
expect_refusal digest_of_nothing trusted_digests.hex DA39A3EE5E6B4B0D3255BFEF95601890AFD80709 "digest of nothing"
expect_refusal digest_short trusted_digests.hex 0123 "entry 1 is not 40 hex digits"

[ "$failures" -eq 0 ] || { echo "$failures failures"; exit 1; }
