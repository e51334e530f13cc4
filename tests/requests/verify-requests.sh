#!/usr/bin/env bash
# Checks the requests of a corpus directory (written by
# tessera_request_corpus) with the OpenSSL command line, acting as the CA:
#   single requests:  openssl req -verify (SM2 with the default SM2 ID), the
#                     subject, and the Base64 text against openssl base64;
#   double requests:  the signature over the extracted CertificationRequestInfo
#                     with openssl dgst (RSA/SHA-1) or pkeyutl (SM2/SM3), and
#                     the RSA temporary key as a 1024-bit RSAPublicKey.
set -uo pipefail
dir=$1
cd "$dir" || exit 1
[[ -s manifest.txt ]] || { echo "empty corpus in $dir"; exit 1; }
sm2id=distid:1234567812345678
failures=0 checked=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

check_base64() {
  local base=${1%.req.der}
  tr -d '\r' <"$base.b64" | openssl base64 -d | cmp -s - "$1" || fail "$1: Base64 text differs from the DER"
  # 64 characters per line, CR LF between lines, none at the end.
  awk 'BEGIN { RS = "\n"; bad = 0 }
       { line = $0; cr = sub(/\r$/, "", line); n++ ; len[n] = length(line); crs[n] = cr }
       END { for (i = 1; i < n; i++) if (len[i] != 64 || !crs[i]) bad = 1;
             if (n == 0 || len[n] < 1 || len[n] > 64 || crs[n]) bad = 1; exit bad }' "$base.b64" \
    || fail "$1: line structure of the Base64 text"
}

check_subject() {
  local base=${1%.req.der}
  local got
  got=$(openssl req -inform DER -in "$1" -noout -subject -nameopt oid,sep_multiline,utf8,-esc_msb \
        | sed -e '1d' -e 's/^    //')
  [[ "$got" == "$(cat "$base.subject")" ]] || fail "$1: subject '$got' expected '$(cat "$base.subject")'"
}

while read -r kind req info sig spki temp; do
  checked=$((checked + 1))
  case $kind in
    single-rsa)
      openssl req -inform DER -in "$req" -noout -verify >/dev/null 2>&1 || fail "$req: openssl req -verify"
      check_subject "$req"; check_base64 "$req" ;;
    single-sm2)
      openssl req -inform DER -in "$req" -noout -verify -vfyopt "$sm2id" >/dev/null 2>&1 \
        || fail "$req: openssl req -verify (SM2)"
      check_subject "$req"; check_base64 "$req" ;;
    double-rsa)
      openssl dgst -sha1 -verify "$spki" -keyform DER -signature "$sig" "$info" >/dev/null 2>&1 \
        || fail "$req: openssl dgst -sha1 -verify"
      openssl rsa -RSAPublicKey_in -inform DER -in "$temp" -noout -text 2>/dev/null | grep -q '(1024 bit)' \
        || fail "$req: temporary key is not a 1024-bit RSAPublicKey"
      check_base64 "$req" ;;
    double-sm2)
      openssl pkeyutl -verify -pubin -inkey "$spki" -keyform DER -rawin -digest sm3 -pkeyopt "$sm2id" \
        -in "$info" -sigfile "$sig" >/dev/null 2>&1 || fail "$req: openssl pkeyutl -verify (SM2)"
      check_base64 "$req" ;;
    *) fail "unknown kind $kind" ;;
  esac
done <manifest.txt
echo "$checked requests checked, $failures failures"
[[ $failures -eq 0 ]]
