#!/usr/bin/env bash
# Makes a throwaway test CA and code-signing certificates for one build (never committed).
#   publisher    subject holds "Varnelo International Co., Ltd"           (accepted)
#   other        a different publisher                                     (rejected)
#   lowercase    the publisher in other letter case                        (rejected)
#   longer       the publisher text inside a longer organisation name      (accepted)
#   untrusted    the publisher, but issued by a CA that is in no Root store
#   stray        the publisher, issued by a CA (under the test root) that the signature leaves out;
#                its AIA, OCSP and CRL addresses point at 127.0.0.1:<stray.port>, fresh names
#                per build, where a test listens to see whether a check fetches anything
set -euo pipefail
out=$1
mkdir -p "$out"
cd "$out"
[ -f stray.pem ] && exit 0

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

port=$(( 20000 + $(od -An -N2 -tu2 /dev/urandom) % 20000 ))
tag=$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')
echo "$port" > stray.port
url="http://127.0.0.1:$port/$tag"
cat >> ext.cnf <<CNF
[stray_issuer]
basicConstraints=critical,CA:TRUE
keyUsage=critical,keyCertSign,cRLSign
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
[stray_leaf]
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=codeSigning
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
authorityInfoAccess=caIssuers;URI:$url/issuer.crt,OCSP;URI:$url/ocsp
crlDistributionPoints=URI:$url/leaf.crl
CNF
openssl req -newkey rsa:2048 -nodes -keyout stray-issuer.key -out stray-issuer.csr \
  -subj "/CN=Stray Issuing CA/O=Varnelo Test" 2>/dev/null
openssl x509 -req -in stray-issuer.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out stray-issuer.crt \
  -days 30 -extfile ext.cnf -extensions stray_issuer 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout stray.key -out stray.csr \
  -subj "/C=CN/O=Varnelo International Co., Ltd/CN=Varnelo International Co., Ltd" 2>/dev/null
openssl x509 -req -in stray.csr -CA stray-issuer.crt -CAkey stray-issuer.key -CAcreateserial \
  -out stray.crt -days 30 -extfile ext.cnf -extensions stray_leaf 2>/dev/null
cp stray.crt stray.pem  # the leaf alone: its issuer is not in the signature
openssl x509 -in ca.crt -outform der -out ca.der
rm -f ./*.csr ./*.srl
