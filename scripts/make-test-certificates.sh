#!/usr/bin/env bash
# Makes the P-256 test hierarchy whose certificates the sensor adapter embeds:
#
#   root (not embedded) -> intermediate CA 2 (1114 bytes)
#       -> intermediate CA 1 A (967) -> model certificates 0 (807) and 1 (808)
#       -> intermediate CA 1 B (1025) -> model certificate 2 (846)
#
# The secure connection picks a chain by the length of the claimed model
# certificate, so every DER length is binding. Each certificate carries a
# non-critical filler extension that is resized, and the certificate re-signed
# (an ECDSA signature varies in length), until the DER length is exact.
#
# Writes the six embedded DER files into sensor/certificates/ and the root
# certificate and all private keys into tests/sensor/data/certificates/. The
# build never runs this script: it embeds the committed DER files and checks
# their lengths.
#   scripts/make-test-certificates.sh
set -euo pipefail
cd "$(dirname "$0")/.."

EMBED_DIR=sensor/certificates
KEY_DIR=tests/sensor/data/certificates
mkdir -p "$EMBED_DIR" "$KEY_DIR"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# An OID of the UUID arc, so that it can clash with no registered extension.
FILLER_OID=2.25.171613095650666088042701606697595788635
DAYS=7300

new_key() { # file
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 \
        -pkeyopt ec_param_enc:named_curve -out "$1" 2>/dev/null
}

# extensions file for a CA or an end certificate with `filler` bytes of filler
write_extensions() { # file kind filler
    local filler=$3 text=""
    if ((filler > 0)); then
        text=$(head -c "$filler" /dev/zero | tr '\0' 'F')
    fi
    {
        echo "[ext]"
        if [ "$2" = ca ]; then
            echo "basicConstraints = critical, CA:TRUE"
            echo "keyUsage = critical, keyCertSign, cRLSign"
        else
            echo "basicConstraints = critical, CA:FALSE"
            echo "keyUsage = critical, digitalSignature"
        fi
        echo "subjectKeyIdentifier = hash"
        echo "authorityKeyIdentifier = keyid:always"
        if ((filler > 0)); then
            echo "$FILLER_OID = ASN1:UTF8String:$text"
        fi
    } >"$1"
}

# make_certificate out.der target kind subject serial key issuer.der issuer.key
make_certificate() {
    local out=$1 target=$2 kind=$3 subject=$4 serial=$5 key=$6 issuer=$7 issuerKey=$8
    local csr=$WORK/req.csr ext=$WORK/ext.cnf filler=0 length tries=0
    openssl req -new -key "$key" -subj "$subject" -out "$csr"
    openssl x509 -in "$issuer" -inform DER -out "$WORK/issuer.pem"
    while :; do
        write_extensions "$ext" "$kind" "$filler"
        openssl x509 -req -in "$csr" -CA "$WORK/issuer.pem" -CAkey "$issuerKey" \
            -set_serial "$serial" -days "$DAYS" -sha256 -extfile "$ext" -extensions ext \
            -outform DER -out "$out" 2>/dev/null
        length=$(stat -c %s "$out")
        ((length == target)) && break
        tries=$((tries + 1))
        if ((tries > 200)); then
            echo "could not size $out to $target bytes (last $length)" >&2
            exit 1
        fi
        # The filler's own length field grows past 127 bytes, so step by the
        # difference and let the next round settle it.
        filler=$((filler + target - length))
        if ((filler < 0)); then
            echo "$out is $length bytes without filler, more than $target" >&2
            exit 1
        fi
    done
    echo "$out: $length bytes"
}

new_key "$KEY_DIR/root.key.pem"
openssl req -new -x509 -key "$KEY_DIR/root.key.pem" -subj "/O=TolviMoc Test/CN=TolviMoc Test Root" \
    -days "$DAYS" -sha256 -set_serial 1 \
    -addext "basicConstraints = critical, CA:TRUE" \
    -addext "keyUsage = critical, keyCertSign, cRLSign" \
    -outform DER -out "$KEY_DIR/root.der"

for name in intermediate_ca2 intermediate_ca1_a intermediate_ca1_b model_0 model_1 model_2; do
    new_key "$KEY_DIR/$name.key.pem"
done

make_certificate "$EMBED_DIR/intermediate_ca2.der" 1114 ca \
    "/O=TolviMoc Test/CN=TolviMoc Test Intermediate CA 2" 2 \
    "$KEY_DIR/intermediate_ca2.key.pem" "$KEY_DIR/root.der" "$KEY_DIR/root.key.pem"
make_certificate "$EMBED_DIR/intermediate_ca1_a.der" 967 ca \
    "/O=TolviMoc Test/CN=TolviMoc Test Intermediate CA 1 A" 3 \
    "$KEY_DIR/intermediate_ca1_a.key.pem" "$EMBED_DIR/intermediate_ca2.der" \
    "$KEY_DIR/intermediate_ca2.key.pem"
make_certificate "$EMBED_DIR/intermediate_ca1_b.der" 1025 ca \
    "/O=TolviMoc Test/CN=TolviMoc Test Intermediate CA 1 B" 4 \
    "$KEY_DIR/intermediate_ca1_b.key.pem" "$EMBED_DIR/intermediate_ca2.der" \
    "$KEY_DIR/intermediate_ca2.key.pem"
make_certificate "$EMBED_DIR/model_0.der" 807 end \
    "/O=TolviMoc Test/CN=TolviMoc Test Sensor Model 0" 5 \
    "$KEY_DIR/model_0.key.pem" "$EMBED_DIR/intermediate_ca1_a.der" \
    "$KEY_DIR/intermediate_ca1_a.key.pem"
make_certificate "$EMBED_DIR/model_1.der" 808 end \
    "/O=TolviMoc Test/CN=TolviMoc Test Sensor Model 1" 6 \
    "$KEY_DIR/model_1.key.pem" "$EMBED_DIR/intermediate_ca1_a.der" \
    "$KEY_DIR/intermediate_ca1_a.key.pem"
make_certificate "$EMBED_DIR/model_2.der" 846 end \
    "/O=TolviMoc Test/CN=TolviMoc Test Sensor Model 2" 7 \
    "$KEY_DIR/model_2.key.pem" "$EMBED_DIR/intermediate_ca1_b.der" \
    "$KEY_DIR/intermediate_ca1_b.key.pem"
