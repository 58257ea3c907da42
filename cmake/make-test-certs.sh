#!/usr/bin/env bash
# Makes a throwaway test CA and code-signing certificates for one build (never committed).
#   publisher    subject holds "Varnelo International Co., Ltd"           (accepted)
#   other        a different publisher                                     (rejected)
#   lowercase    the publisher in other letter case                        (rejected)
#   longer       the publisher text inside a longer organisation name      (accepted)
#   untrusted    the publisher, but issued by a CA that is in no Root store
set -euo pipefail
out=$1
mkdir -p "$out"
cd "$out"
[ -f publisher.pem ] && exit 0

cat > ext.cnf <<'CNF'
[test_ca]
basicConstraints=critical,CA:TRUE
keyUsage=critical,keyCertSign,cRLSign
subjectKeyIdentifier=hash
[test_leaf]
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=codeSigning
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
CNF

make_ca() {  # name subject
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.crt" -days 30 \
    -subj "$2" -extensions test_ca -config <(cat /etc/ssl/openssl.cnf ext.cnf) 2>/dev/null
}
make_leaf() {  # name subject ca
  openssl req -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "$2" 2>/dev/null
  openssl x509 -req -in "$1.csr" -CA "$3.crt" -CAkey "$3.key" -CAcreateserial -out "$1.crt" \
    -days 30 -extfile ext.cnf -extensions test_leaf 2>/dev/null
  cat "$1.crt" "$3.crt" > "$1.pem"
}

make_ca ca "/CN=Varnelo Test Root CA/O=Varnelo Test"
make_ca stray-ca "/CN=Stray Test Root CA/O=Stray Test"
make_leaf other "/C=US/O=Other Software Ltd/CN=Other Software Ltd" ca
make_leaf lowercase "/C=CN/O=varnelo international co., ltd/CN=varnelo international co., ltd" ca
make_leaf longer "/C=CN/O=Not Varnelo International Co., Ltd Holdings/CN=Holdings" ca
make_leaf untrusted "/C=CN/O=Varnelo International Co., Ltd/CN=Varnelo International Co., Ltd" stray-ca
make_leaf publisher "/C=CN/O=Varnelo International Co., Ltd/CN=Varnelo International Co., Ltd" ca
openssl x509 -in ca.crt -outform der -out ca.der
rm -f ./*.csr ./*.srl
