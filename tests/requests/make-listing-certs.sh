#!/usr/bin/env bash
# Issues the certificates of the listing tests with the OpenSSL command
# line acting as a small CA: fixed serial numbers, validity periods and
# extensions, so that the listing texts can be checked exactly.
#   A  CN=Listing A,O=Tessera,C=CN  serial 01020a  keyUsage digitalSignature,nonRepudiation, SKI
#   B  CN=Listing B                 serial 05      no extensions
#   C  CN=Listing C                 serial 06      no extensions
#   D  CN=张三,O=中国银行             serial ff10    keyUsage keyEncipherment
# All valid from 2024-01-05 02:03:04 UTC to 2034-06-30 23:59:58 UTC.
set -euo pipefail
out=$1
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
openssl genrsa -out ca.key 1024 2>/dev/null
openssl req -new -x509 -key ca.key -subj "/CN=Tessera Listing Test CA" -days 3650 -out ca.pem 2>/dev/null
openssl genrsa -out user.key 1024 2>/dev/null
mkdir -p newcerts
: >index.txt
cat >ca.cnf <<CNF
[ca]
default_ca = test
[test]
dir = .
database = index.txt
new_certs_dir = newcerts
serial = serial
certificate = ca.pem
private_key = ca.key
default_md = sha256
policy = anything
unique_subject = no
copy_extensions = none
[anything]
commonName = supplied
organizationName = optional
countryName = optional
[ku_sign]
keyUsage = digitalSignature, nonRepudiation
subjectKeyIdentifier = hash
[ku_enc]
keyUsage = keyEncipherment
[none]
CNF
issue() {  # name subject serial extensions
  echo "$3" >serial
  openssl req -new -key user.key -utf8 -subj "$2" -out "$1.csr" 2>/dev/null
  openssl ca -batch -config ca.cnf -utf8 -in "$1.csr" -startdate 20240105020304Z -enddate 20340630235958Z \
    -extensions "$4" -notext -out "$1.pem" >/dev/null 2>&1
  openssl x509 -in "$1.pem" -outform DER -out "$out/$1.der"
}
issue A "/CN=Listing A/O=Tessera/C=CN" 01020A ku_sign
issue B "/CN=Listing B" 05 none
issue C "/CN=Listing C" 06 none
issue D "/CN=张三/O=中国银行" FF10 ku_enc
