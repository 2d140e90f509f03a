#!/bin/sh
# Makes the certificates the TLS tests use, in directory $1.
set -e
cd "$1"
q() { "$@" >/dev/null 2>&1; }
subj_leaf="/C=US/O=Example Corp/CN=Device 7"

cat > ca.ext <<'X'
basicConstraints=critical,CA:TRUE
keyUsage=critical,keyCertSign,cRLSign
subjectKeyIdentifier=hash
X
cat > leaf.ext <<'X'
basicConstraints=CA:FALSE
subjectAltName=IP:127.0.0.1
X
cat > forged.ext <<'X'
basicConstraints=CA:FALSE
authorityKeyIdentifier=none
subjectAltName=IP:127.0.0.1
X

# A root, an intermediate under it, a leaf under the intermediate.
q openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -days 30 \
  -subj "/C=US/O=Test Root/CN=Test Root CA" -addext basicConstraints=critical,CA:TRUE \
  -addext keyUsage=critical,keyCertSign,cRLSign
q openssl req -newkey rsa:2048 -nodes -keyout int.key -out int.csr -subj "/C=US/O=Test Root/CN=Test Intermediate"
q openssl x509 -req -in int.csr -CA root.pem -CAkey root.key -CAcreateserial -out int.pem -days 30 -extfile ca.ext
q openssl req -newkey rsa:2048 -nodes -keyout leaf.key -out leaf.csr -subj "$subj_leaf"
q openssl x509 -req -in leaf.csr -CA int.pem -CAkey int.key -CAcreateserial -out leaf.pem -days 30 -extfile leaf.ext
cat leaf.pem int.pem > leaf_chain.pem

# Leaves under the real intermediate that name other peers: a DNS name, a
# common name alone, and an impostor whose common name is right but whose
# DNS name (the one that counts) is not.
cat > dns.ext <<'X'
basicConstraints=CA:FALSE
subjectAltName=DNS:localhost
X
cat > evil.ext <<'X'
basicConstraints=CA:FALSE
subjectAltName=DNS:evil.example.com
X
q openssl req -newkey rsa:2048 -nodes -keyout named.key -out dns.csr -subj "/O=Example Corp/CN=Device 7"
q openssl x509 -req -in dns.csr -CA int.pem -CAkey int.key -CAcreateserial -out dns.pem -days 30 -extfile dns.ext
q openssl req -new -key named.key -out cn.csr -subj "/O=Example Corp/CN=localhost"
printf 'basicConstraints=CA:FALSE\n' > cn.ext
q openssl x509 -req -in cn.csr -CA int.pem -CAkey int.key -CAcreateserial -out cnonly.pem -days 30 -extfile cn.ext
q openssl x509 -req -in cn.csr -CA int.pem -CAkey int.key -CAcreateserial -out evil.pem -days 30 -extfile evil.ext

# A leaf signed by an impostor intermediate of the same name; served with the
# real intermediate its signature does not verify.
q openssl req -newkey rsa:2048 -nodes -keyout fakeint.key -out fakeint.csr -subj "/C=US/O=Test Root/CN=Test Intermediate"
q openssl x509 -req -in fakeint.csr -signkey fakeint.key -out fakeint.pem -days 30 -extfile ca.ext
q openssl x509 -req -in leaf.csr -CA fakeint.pem -CAkey fakeint.key -CAcreateserial -out forged.pem -days 30 -extfile forged.ext
cat forged.pem int.pem > forged_chain.pem

# An expired leaf under the real intermediate.
q openssl x509 -req -in leaf.csr -CA int.pem -CAkey int.key -CAcreateserial -out expired.pem -days -1 -extfile leaf.ext
cat expired.pem int.pem > expired_chain.pem

# MD5 signatures under the real root: on the leaf, and on an intermediate
# whose leaf is signed with SHA-256.
q openssl x509 -req -md5 -in leaf.csr -CA int.pem -CAkey int.key -CAcreateserial -out md5.pem -days 30 -extfile leaf.ext
cat md5.pem int.pem > md5_chain.pem
q openssl req -newkey rsa:2048 -nodes -keyout md5int.key -out md5int.csr -subj "/C=US/O=Test Root/CN=Old Intermediate"
q openssl x509 -req -md5 -in md5int.csr -CA root.pem -CAkey root.key -CAcreateserial -out md5int.pem -days 30 -extfile ca.ext
q openssl x509 -req -in leaf.csr -CA md5int.pem -CAkey md5int.key -CAcreateserial -out md5intleaf.pem -days 30 -extfile leaf.ext
cat md5intleaf.pem md5int.pem > md5int_chain.pem

# A subject whose organizational unit holds "/CN=" (its one-line text then
# reads /OU=x/CN=bank/CN=Device 9).
q openssl req -x509 -newkey rsa:2048 -nodes -keyout cnou.key -out cnou.pem -days 30 \
  -subj "/O=Example Corp/OU=x\/CN=bank/CN=Device 9" -addext subjectAltName=IP:127.0.0.1

# Self-signed, version 3 and version 1; expired and self-signed.
q openssl req -x509 -newkey rsa:2048 -nodes -keyout self.key -out self.pem -days 30 -subj "$subj_leaf"
q openssl req -new -key self.key -out self.csr -subj "/C=US/O=Example Corp/OU=Lab/L=Springfield/CN=Device 8/emailAddress=lab@example.com"
q openssl x509 -req -in self.csr -signkey self.key -out v1.pem -days 30
q openssl x509 -req -in self.csr -signkey self.key -out selfexpired.pem -days -1

# Other key kinds.
q openssl req -x509 -newkey rsa:4096 -nodes -keyout rsa4096.key -out rsa4096.pem -days 30 -subj "/CN=Big Key"
q openssl genpkey -genparam -algorithm DSA -pkeyopt dsa_paramgen_bits:2048 -out dsaparam.pem
q openssl req -x509 -newkey dsa:dsaparam.pem -nodes -keyout dsa.key -out dsa.pem -days 30 -subj "/CN=DSA Key"
q openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ec.key -out ec.pem -days 30 -subj "/CN=EC Key"

# Client certificate under its own CA, and a key that does not match it.
q openssl req -x509 -newkey rsa:2048 -nodes -keyout clientca.key -out clientca.pem -days 30 -subj "/CN=Client CA"
q openssl req -newkey rsa:2048 -nodes -keyout client.key -out client.csr -subj "/CN=Client"
q openssl x509 -req -in client.csr -CA clientca.pem -CAkey clientca.key -CAcreateserial -out client.pem -days 30
q openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out other.key
echo done > ready
