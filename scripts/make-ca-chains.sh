#!/usr/bin/env bash
# The CA chains Tessera embeds, and the tables of retired CA certificates
# its installation sequence removes.
#
#   scripts/make-ca-chains.sh generate
#       Makes RSA and SM2 test CA hierarchies with the OpenSSL command line
#       and writes
#         resources/chains/{rsa-operation,sm2-operation,rsa-test,sm2-test}.xml
#             the four "CERTIFICATE" documents (resources 208, 209, 210, 211),
#         resources/RetiredRSA.def, resources/RetiredSM2.def
#             the retired-certificate tables (compiled into the core),
#         tests/setup/data/
#             the retired certificates, a look-alike of one of them, a few
#             leaf certificates for the filter tests, and per document the
#             thumbprints of its roots and of the intermediates it installs.
#       Every run makes new keys; the outputs are committed, so builds never
#       run OpenSSL.
#
#   scripts/make-ca-chains.sh replace DIR
#       The deployment's replacement step: DIR holds the deployment's own
#       rsa-operation.xml, sm2-operation.xml, rsa-test.xml, sm2-test.xml,
#       RetiredRSA.def and RetiredSM2.def. They are checked (declaration,
#       root element, RootCACertificate before P7bContent; table rows in the
#       VELA_RETIRED_INTERMEDIATE / VELA_RETIRED_ROOT form) and copied over
#       the files in resources/. Rebuild afterwards; no code changes.
#
# Document format: UTF-8 with CRLF line ends; the XML declaration, two
# comment lines, then <root> holding <RootCACertificate> (one <Certificate
# SerialNum=".." SubjectDN=".."> per root, with <ImportPath>, <EntryPoint>
# (the SHA-1 thumbprint, upper case) and <Content> (the registry
# certificate blob in Base64, 76-character CRLF lines)) and <P7bContent>
# (a certificates-only PKCS #7 SignedData in Base64 of the chain's
# intermediates and self-signed roots).
#
# Table rows: VELA_RETIRED_INTERMEDIATE("issuer", "serial", "subject") and
# VELA_RETIRED_ROOT("issuer", "THUMBPRINT", "serial", "subject"); names
# most specific attribute first, "CN=..., OU=..., O=..., C=..".
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

replace() {
  local dir=$1 f
  for f in rsa-operation.xml sm2-operation.xml rsa-test.xml sm2-test.xml; do
    [[ -f $dir/$f ]] || { echo "missing $dir/$f" >&2; exit 1; }
    head -c 64 "$dir/$f" | grep -q '^<?xml version="1.0" encoding="UTF-8"?>' \
      || { echo "$f: no XML declaration" >&2; exit 1; }
    tr -d '\r\n' <"$dir/$f" | grep -q '<root>.*<RootCACertificate>.*</RootCACertificate>.*<P7bContent>.*</P7bContent>.*</root>' \
      || { echo "$f: not a chain document" >&2; exit 1; }
  done
  for f in RetiredRSA.def RetiredSM2.def; do
    [[ -f $dir/$f ]] || { echo "missing $dir/$f" >&2; exit 1; }
    if grep -v -E '^(//.*)?$' "$dir/$f" |
       grep -v -E '^VELA_RETIRED_(INTERMEDIATE\("[^"#]*", "[0-9A-Fa-f]+", "[^"#]*"\)|ROOT\("[^"#]*", "[0-9A-F]{40}", "[0-9A-Fa-f]+", "[^"#]*"\))$' |
       grep -q .; then
      echo "$f: malformed row" >&2; exit 1
    fi
  done
  mkdir -p "$root/resources/chains"
  for f in rsa-operation.xml sm2-operation.xml rsa-test.xml sm2-test.xml; do cp "$dir/$f" "$root/resources/chains/$f"; done
  cp "$dir/RetiredRSA.def" "$dir/RetiredSM2.def" "$root/resources/"
  echo "replaced the chain documents and the retired tables in resources/"
}

case "${1:-}" in
  replace) [[ $# -eq 2 ]] || { echo "usage: $0 replace DIR" >&2; exit 2; }; replace "$2"; exit 0 ;;
  generate) ;;
  *) echo "usage: $0 generate | replace DIR" >&2; exit 2 ;;
esac

command -v openssl >/dev/null || { echo "openssl is required" >&2; exit 1; }
command -v xxd >/dev/null || { echo "xxd is required" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
out_chains=$root/resources/chains
out_data=$root/tests/setup/data
mkdir -p "$out_chains" "$out_data"
rm -f "$out_data"/*.der "$out_data"/*.txt

cat >"$work/ca.cnf" <<'EOF'
[ca]
default_ca = issuing
[issuing]
database = $ENV::CADB/index.txt
serial = $ENV::CADB/serial
new_certs_dir = $ENV::CADB
policy = any
unique_subject = no
copy_extensions = none
[any]
countryName = optional
organizationName = optional
organizationalUnitName = optional
commonName = supplied
[ca_ext]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[leaf_ds]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, nonRepudiation
subjectKeyIdentifier = hash
[leaf_ke]
basicConstraints = CA:false
keyUsage = critical, keyEncipherment
subjectKeyIdentifier = hash
[leaf_plain]
basicConstraints = CA:false
subjectKeyIdentifier = none
authorityKeyIdentifier = none
EOF

ORG="/C=CN/O=Tessera Test Bank"
VALID_FROM=20240101000000Z
VALID_TO=20491231235959Z

# issue NAME ALG SUBJECT SERIAL ISSUER|self [EXT] [START] [END]
issue() {
  local name=$1 alg=$2 subj=$3 serial=$4 issuer=$5 ext=${6:-ca_ext} start=${7:-$VALID_FROM} end=${8:-$VALID_TO}
  local md=sha256
  if [[ $alg == sm2 ]]; then
    md=sm3
    openssl genpkey -algorithm SM2 -out "$work/$name.key" 2>/dev/null
  else
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/$name.key" 2>/dev/null
  fi
  openssl req -new -key "$work/$name.key" -subj "$subj" -$md -out "$work/$name.csr" 2>/dev/null
  export CADB=$work/db-$name
  mkdir -p "$CADB"; : >"$CADB/index.txt"; echo "$serial" >"$CADB/serial"
  if [[ $issuer == self ]]; then
    openssl ca -batch -config "$work/ca.cnf" -selfsign -keyfile "$work/$name.key" -in "$work/$name.csr" \
      -out "$work/$name.pem" -md $md -extensions "$ext" -startdate "$start" -enddate "$end" -notext 2>/dev/null
  else
    openssl ca -batch -config "$work/ca.cnf" -cert "$work/$issuer.pem" -keyfile "$work/$issuer.key" \
      -in "$work/$name.csr" -out "$work/$name.pem" -md $md -extensions "$ext" -startdate "$start" \
      -enddate "$end" -notext 2>/dev/null
  fi
  openssl x509 -in "$work/$name.pem" -outform DER -out "$work/$name.der"
  echo "$subj" >"$work/$name.subj"
  echo "$alg" >"$work/$name.alg"
}

# Name texts, most specific attribute first.
name_text() {  # "CN=x, OU=y, O=z, C=CN"
  tr '/' '\n' <"$work/$1.subj" | sed '/^$/d' | tac | paste -sd '\t' | sed 's/\t/, /g'
}
name_attr() {  # "CN = x, OU = y, O = z, C = CN"
  name_text "$1" | sed 's/\([A-Z]*\)=/\1 = /g'
}
issuer_text() {
  openssl x509 -in "$work/$1.pem" -noout -issuer -nameopt RFC2253 | sed 's/^issuer=//; s/,\([A-Z]*\)=/, \1=/g'
}
thumbprint() { openssl dgst -sha1 -binary "$work/$1.der" | xxd -p -u -c 64; }
serial_hex() { openssl x509 -in "$work/$1.pem" -noout -serial | sed 's/^serial=//'; }

le32() {
  local v=$1
  printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((v & 255)) $(((v >> 8) & 255)) $(((v >> 16) & 255)) $(((v >> 24) & 255)))"
}
# record ID FILE: one property record (id, reserved 1, length, value).
record() { le32 "$1"; le32 1; le32 "$(stat -c %s "$2")"; cat "$2"; }

# blob NAME INDEX: the registry certificate blob, properties in an order
# that varies with INDEX; property 32 (the certificate) always among them.
blob() {
  local name=$1 index=$2
  local d=$work/$name
  openssl dgst -sha1 -binary "$d.der" >"$d.p3"
  openssl dgst -md5 -binary "$d.der" >"$d.p4"
  # Signature hash: over the to-be-signed part of the certificate.
  local tbs_line tbs_off tbs_hl tbs_len
  tbs_line=$(openssl asn1parse -inform DER -in "$d.der" | sed -n 2p)
  tbs_off=$(echo "$tbs_line" | sed 's/^ *\([0-9]*\):.*/\1/')
  tbs_hl=$(echo "$tbs_line" | sed 's/.*hl= *\([0-9]*\).*/\1/')
  tbs_len=$(echo "$tbs_line" | sed 's/.* l= *\([0-9]*\).*/\1/')
  dd if="$d.der" bs=1 skip="$tbs_off" count=$((tbs_hl + tbs_len)) status=none | openssl dgst -md5 -binary >"$d.p15"
  openssl x509 -in "$d.pem" -noout -ext subjectKeyIdentifier | sed -n 2p | tr -d ' :' | xxd -r -p >"$d.p20"
  openssl x509 -in "$d.pem" -noout -pubkey | openssl pkey -pubin -outform DER | openssl dgst -md5 -binary >"$d.p25"
  local bits
  bits=$(openssl x509 -in "$d.pem" -noout -text | sed -n 's/.*Public-Key: (\([0-9]*\) bit).*/\1/p' | head -n1)
  le32 "$bits" >"$d.p92"
  cp "$d.der" "$d.p32"
  local orders=("3 4 15 20 25 92 32" "32 3 4 15 20 25 92" "20 3 32 25 4 92 15" "4 92 15 32 3 20 25")
  local id
  : >"$d.blob"
  for id in ${orders[$((index % 4))]}; do record "$id" "$d.p$id" >>"$d.blob"; done
}

crlf() { sed 's/$/\r/'; }
b64() { openssl base64 -A -in "$1" | fold -w 76; echo; }

# document FILE TITLE "ROOTS" "INTERMEDIATES"
document() {
  local file=$1 title=$2 roots=$3 intermediates=$4 i=0 r n
  local p7=$work/$(basename "$file" .xml).p7b
  {
    echo '<?xml version="1.0" encoding="UTF-8"?>'
    echo "<!-- Tessera CA chain: $title -->"
    echo "<!-- Generated by scripts/make-ca-chains.sh; a deployment replaces it with its own. -->"
    echo '<root>'
    echo '  <RootCACertificate>'
    for r in $roots; do
      blob "$r" $i
      local mark=""
      (( i % 2 == 1 )) && mark=$'\xe2\x80\x8e'
      echo "    <Certificate SerialNum=\"$mark$(serial_hex "$r")\" SubjectDN=\"$(name_attr "$r")\">"
      echo '      <ImportPath>SOFTWARE\Microsoft\SystemCertificates\ROOT\Certificates</ImportPath>'
      echo "      <EntryPoint>$(thumbprint "$r")</EntryPoint>"
      echo '      <Content>'
      b64 "$work/$r.blob"
      echo '</Content>'
      echo '    </Certificate>'
      i=$((i + 1))
    done
    echo '  </RootCACertificate>'
    : >"$work/p7.pem"
    for n in $intermediates $roots; do cat "$work/$n.pem" >>"$work/p7.pem"; done
    openssl crl2pkcs7 -nocrl -certfile "$work/p7.pem" -outform DER -out "$p7"
    echo '  <P7bContent>'
    b64 "$p7"
    echo '</P7bContent>'
    echo '</root>'
  } | crlf >"$file"
}

# expected ID "ROOTS" "INSTALLED" "EXPIRED": what installing the document does.
expected() {
  local f=$out_data/chain-$1.txt n
  : >"$f"
  for n in $2; do echo "root $(thumbprint "$n")" >>"$f"; done
  for n in $3; do echo "intermediate $(thumbprint "$n")" >>"$f"; done
  for n in $4; do echo "expired $(thumbprint "$n")" >>"$f"; done
}

# ---- current hierarchies -------------------------------------------------------
# issue_chain PREFIX ALG LABEL "per-root intermediate counts" [EXPIRED_UNDER_ROOT]
# sets ROOTS / INTERMEDIATES / EXPIRED
issue_chain() {
  local prefix=$1 alg=$2 label=$3 counts=$4 expired_under=${5:-0} r=0 c k serial
  ROOTS=""; INTERMEDIATES=""; EXPIRED=""
  for c in $counts; do
    r=$((r + 1))
    serial=$(openssl rand -hex 8 | sed 's/^./1/')
    issue "${prefix}r$r" "$alg" "$ORG/OU=$label/CN=Tessera $label Root CA $r" "$serial" self
    ROOTS="$ROOTS ${prefix}r$r"
    for ((k = 1; k <= c; k++)); do
      serial=$(openssl rand -hex 8 | sed 's/^./2/')
      if (( r == expired_under && k == c )); then
        issue "${prefix}r${r}i$k" "$alg" "$ORG/OU=$label/CN=Tessera $label CA $r.$k (2019)" "$serial" "${prefix}r$r" \
          ca_ext 20190101000000Z 20231231235959Z
        EXPIRED="$EXPIRED ${prefix}r${r}i$k"
      else
        issue "${prefix}r${r}i$k" "$alg" "$ORG/OU=$label/CN=Tessera $label CA $r.$k" "$serial" "${prefix}r$r"
        INSTALLED="$INSTALLED ${prefix}r${r}i$k"
      fi
      INTERMEDIATES="$INTERMEDIATES ${prefix}r${r}i$k"
    done
  done
}

INSTALLED=""
issue_chain ro rsa "RSA Operation" "3 3 2" 2
document "$out_chains/rsa-operation.xml" "RSA, operation" "$ROOTS" "$INTERMEDIATES"
expected 208 "$ROOTS" "$INSTALLED" "$EXPIRED"
INSTALLED=""
issue_chain so sm2 "SM2 Operation" "4 4 3 3" 1
document "$out_chains/sm2-operation.xml" "SM2, operation" "$ROOTS" "$INTERMEDIATES"
expected 209 "$ROOTS" "$INSTALLED" "$EXPIRED"
INSTALLED=""
issue_chain rt rsa "RSA Test" "3 2 2"
document "$out_chains/rsa-test.xml" "RSA, test" "$ROOTS" "$INTERMEDIATES"
expected 210 "$ROOTS" "$INSTALLED" "$EXPIRED"
INSTALLED=""
issue_chain st sm2 "SM2 Test" "3 2 2"
document "$out_chains/sm2-test.xml" "SM2, test" "$ROOTS" "$INTERMEDIATES"
expected 211 "$ROOTS" "$INSTALLED" "$EXPIRED"

# ---- retired CAs -----------------------------------------------------------------
OLD="/C=CN/O=Tessera Test Bank/OU=Retired"
for i in 1 2 3 4; do
  issue "xrr$i" rsa "$OLD/CN=Tessera Retired RSA Root CA $i" "$(openssl rand -hex 8 | sed 's/^./3/')" self
done
for i in 1 2 3; do
  issue "xsr$i" sm2 "$OLD/CN=Tessera Retired SM2 Root CA $i" "$(openssl rand -hex 8 | sed 's/^./4/')" self
done
# Intermediates: one per retired root, the fifth under the first retired root.
# The first RSA one carries a serial whose top bit is set (DER adds a zero byte).
issue xri1 rsa "$OLD/CN=Tessera Retired RSA CA 1" "8A$(openssl rand -hex 7)" xrr1
for i in 2 3 4; do issue "xri$i" rsa "$OLD/CN=Tessera Retired RSA CA $i" "$(openssl rand -hex 8 | sed 's/^./5/')" "xrr$i"; done
issue xri5 rsa "$OLD/CN=Tessera Retired RSA CA 5" "$(openssl rand -hex 8 | sed 's/^./5/')" xrr1
for i in 1 2 3; do issue "xsi$i" sm2 "$OLD/CN=Tessera Retired SM2 CA $i" "$(openssl rand -hex 8 | sed 's/^./6/')" "xsr$i"; done
issue xsi4 sm2 "$OLD/CN=Tessera Retired SM2 CA 4" "$(openssl rand -hex 8 | sed 's/^./6/')" xsr1
issue xsi5 sm2 "$OLD/CN=Tessera Retired SM2 CA 5" "$(openssl rand -hex 8 | sed 's/^./6/')" xsr2
# A certificate with the names of the first retired RSA intermediate and
# another serial: not retired.
issue lookalike rsa "$OLD/CN=Tessera Retired RSA CA 1" "$(openssl rand -hex 8 | sed 's/^./7/')" xrr1

row_i() { echo "VELA_RETIRED_INTERMEDIATE(\"$(issuer_text "$1")\", \"$(serial_hex "$1" | ${2:-cat})\", \"$(name_text "$1")\")"; }
row_r() {
  echo "VELA_RETIRED_ROOT(\"$(issuer_text "$1")\", \"$(thumbprint "$1")\", \"$(serial_hex "$1" | ${2:-cat})\", \"$(name_text "$1")\")"
}
lower() { tr 'A-F' 'a-f'; }
{
  echo "// Retired RSA CA certificates, in processing order (generated by scripts/make-ca-chains.sh)."
  row_i xri1; row_r xrr1; row_i xri2 lower; row_r xrr2; row_i xri3; row_r xrr3 lower; row_i xri4; row_i xri5; row_r xrr4
} >"$root/resources/RetiredRSA.def"
{
  echo "// Retired SM2 CA certificates, in processing order (generated by scripts/make-ca-chains.sh)."
  row_i xsi1; row_i xsi2 lower; row_r xsr1; row_i xsi3; row_r xsr2; row_i xsi4; row_i xsi5 lower; row_r xsr3
} >"$root/resources/RetiredSM2.def"

for n in xrr1 xrr2 xrr3 xrr4 xsr1 xsr2 xsr3; do cp "$work/$n.der" "$out_data/retired-root-${n#x}.der"; done
for n in xri1 xri2 xri3 xri4 xri5 xsi1 xsi2 xsi3 xsi4 xsi5; do cp "$work/$n.der" "$out_data/retired-ca-${n#x}.der"; done
cp "$work/lookalike.der" "$out_data/lookalike-ri1.der"

# ---- leaf certificates for the filter tests ------------------------------------------
issue leafds rsa "$ORG/OU=Filters/CN=Tessera Signing Leaf" 8A01 ror1 leaf_ds
issue leafke rsa "$ORG/OU=Filters/CN=Tessera Encryption Leaf" 7B02 ror1 leaf_ke
issue leafplain sm2 "$ORG/OU=Filters/CN=Tessera Plain Leaf" 0C03 sor1 leaf_plain
for n in leafds leafke leafplain; do cp "$work/$n.der" "$out_data/$n.der"; done
openssl x509 -in "$work/leafds.pem" -noout -ext subjectKeyIdentifier | sed -n 2p | tr -d ' :' >"$out_data/leafds-ski.txt"
echo "wrote resources/chains/*.xml, resources/Retired{RSA,SM2}.def and tests/setup/data/"
