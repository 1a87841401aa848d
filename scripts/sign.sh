#!/usr/bin/env bash
# Signs the files of a release and verifies their signatures:
#   bash scripts/sign.sh check           says whether the settings below can sign (before a long build):
#                                        opens the key once, with its password or the token's PIN
#   bash scripts/sign.sh sign <file>     signs the file in place, then verifies it
#   bash scripts/sign.sh verify <file>   verifies the signature only
# A Windows program gets an Authenticode signature (SHA-256, osslsigncode) with an RFC 3161 time
# stamp; a desktop-extension bundle (.mcpb) gets the bundle format's own signature (mcpb sign),
# which takes its key from a file only.
# The settings, from the environment:
#   ORVIN_SIGN_CERT               the certificate, PEM or DER (with its intermediates)
#   ORVIN_SIGN_KEY                its private key: a PEM or DER file, or the PKCS#11 URI of a key
#                                 in a hardware token or HSM (pkcs11:token=…;object=…)
#   ORVIN_SIGN_PKCS11_MODULE      the token's PKCS#11 module (.so), for a PKCS#11 URI
#   ORVIN_SIGN_KEY_PASSWORD_FILE  a file holding the key file's password or the token's PIN
#   ORVIN_SIGN_TIMESTAMP_URL      the RFC 3161 time-stamping server; required, since without a
#                                 time stamp the signature is valid only as long as the certificate
#   ORVIN_SIGN_NO_TIMESTAMP=1     signs without a time stamp all the same, and says so
# Verifying trusts the root certificates in ORVIN_SIGN_CA (the signer's and the time-stamping
# server's), or else the system's, and with ORVIN_SIGN_CERT it requires its first certificate, the
# signer's, to have made the signature.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# The key without its password (mcpb sign takes no other) and the bytes a check looks at live in
# a folder of the owner's alone (mktemp -d makes it 0700), never in the shared temporary folder
# itself; it goes when the script ends, also on Ctrl-C or a kill.
PRIVATE="$(mktemp -d)"
trap 'rm -rf "$PRIVATE"' EXIT
trap 'exit 130' INT HUP TERM
umask 077

in_token() { [[ "${ORVIN_SIGN_KEY:-}" == pkcs11:* ]]; }

check() {
  if [ -z "${ORVIN_SIGN_CERT:-}" ] || [ -z "${ORVIN_SIGN_KEY:-}" ]; then
    echo "Signing needs both ORVIN_SIGN_CERT and ORVIN_SIGN_KEY." >&2
    return 1
  fi
  if [ ! -r "$ORVIN_SIGN_CERT" ] || { ! in_token && [ ! -r "$ORVIN_SIGN_KEY" ]; }; then
    echo "The certificate or key file cannot be read: $ORVIN_SIGN_CERT, $ORVIN_SIGN_KEY." >&2
    return 1
  fi
  if in_token && [ ! -r "${ORVIN_SIGN_PKCS11_MODULE:-}" ]; then
    echo "A key in a token ($ORVIN_SIGN_KEY) needs the token's PKCS#11 module in ORVIN_SIGN_PKCS11_MODULE." >&2
    return 1
  fi
  if [ -z "${ORVIN_SIGN_TIMESTAMP_URL:-}" ] && [ "${ORVIN_SIGN_NO_TIMESTAMP:-}" != 1 ]; then
    echo "A signature needs a time stamp, or it ends with the certificate: set ORVIN_SIGN_TIMESTAMP_URL" \
      "(ORVIN_SIGN_NO_TIMESTAMP=1 signs without one)." >&2
    return 1
  fi
}

# The signer's certificate: the first one in ORVIN_SIGN_CERT, as PEM in the private folder.
leaf() {
  openssl storeutl -certs "$ORVIN_SIGN_CERT" | awk '/^-----BEGIN/ { n++ } n == 1; n == 1 && /^-----END/ { exit }' \
    >"$PRIVATE/leaf.pem" && [ -s "$PRIVATE/leaf.pem" ]
}

NOT_THE_SIGNER="is not made with the certificate in ORVIN_SIGN_CERT (its first one, the signer's)"

# Opens the key once, as signing will: a wrong password or PIN costs one try, before any build, and
# a key that does not belong to the certificate shows now too. A token without a PIN file would ask
# for the PIN here and again for each signature, so its key is only tried when signing.
try_key() {
  local report
  if ! leaf; then
    echo "$ORVIN_SIGN_CERT holds no certificate." >&2
    return 1
  fi
  openssl x509 -in "$PRIVATE/leaf.pem" -pubkey -noout >"$PRIVATE/certificate-key.pem"
  if in_token; then
    [ -n "${ORVIN_SIGN_KEY_PASSWORD_FILE:-}" ] || return 0
    echo "$ORVIN_SIGN_KEY" >"$PRIVATE/probe"
    # The engine finds the token's module by this variable; a wrong PIN may crash it on the way out.
    if ! report="$(
      exec 2>&1
      PKCS11_MODULE_PATH="$ORVIN_SIGN_PKCS11_MODULE" openssl dgst -sha256 -engine pkcs11 -keyform engine \
        -sign "$ORVIN_SIGN_KEY" -passin "file:$ORVIN_SIGN_KEY_PASSWORD_FILE" -out "$PRIVATE/probe.sig" "$PRIVATE/probe"
    )"; then
      echo "$report" >&2
      echo "The key $ORVIN_SIGN_KEY cannot be used: a wrong PIN in $ORVIN_SIGN_KEY_PASSWORD_FILE, or no such key in the token." >&2
      return 1
    fi
    if ! openssl dgst -sha256 -verify "$PRIVATE/certificate-key.pem" -signature "$PRIVATE/probe.sig" "$PRIVATE/probe" \
      >/dev/null 2>&1; then
      echo "The key $ORVIN_SIGN_KEY does not belong to the certificate in $ORVIN_SIGN_CERT." >&2
      return 1
    fi
    return 0
  fi
  # Without a password file an encrypted key fails here rather than ask at the terminal.
  local password="pass:"
  [ -z "${ORVIN_SIGN_KEY_PASSWORD_FILE:-}" ] || password="file:$ORVIN_SIGN_KEY_PASSWORD_FILE"
  if ! report="$(openssl pkey -in "$ORVIN_SIGN_KEY" -pubout -out "$PRIVATE/key-public.pem" -passin "$password" 2>&1)"; then
    echo "$report" >&2
    echo "The key file $ORVIN_SIGN_KEY cannot be opened: a wrong password, or an encrypted key without" \
      "ORVIN_SIGN_KEY_PASSWORD_FILE." >&2
    return 1
  fi
  if ! cmp -s "$PRIVATE/key-public.pem" "$PRIVATE/certificate-key.pem"; then
    echo "The key file $ORVIN_SIGN_KEY does not belong to the certificate in $ORVIN_SIGN_CERT." >&2
    return 1
  fi
}

verify_exe() {
  local ca=() signer=() report stamp
  [ -z "${ORVIN_SIGN_CA:-}" ] || ca=(-CAfile "$ORVIN_SIGN_CA" -TSA-CAfile "$ORVIN_SIGN_CA")
  if [ -n "${ORVIN_SIGN_CERT:-}" ]; then
    leaf || { echo "$ORVIN_SIGN_CERT holds no certificate." >&2; return 1; }
    signer=(-require-leaf-hash "SHA256:$(openssl x509 -in "$PRIVATE/leaf.pem" -outform DER | sha256sum | cut -d' ' -f1)")
  fi
  if ! report="$(osslsigncode verify -in "$1" "${ca[@]}" "${signer[@]}" 2>&1)"; then
    echo "$report" >&2
    if grep -q "Leaf hash match: failed" <<<"$report"; then
      echo "The signature of $1 $NOT_THE_SIGNER." >&2
    else
      echo "The signature of $1 does not verify." >&2
    fi
    return 1
  fi
  # osslsigncode 2.5 (Debian 12) and later versions word the time stamp differently.
  stamp="$(sed -n -E 's/^[[:space:]]*(The signature is timestamped|Timestamp time): //p' <<<"$report" | head -n 1)"
  echo "The signature of $(basename "$1") verifies, ${stamp:+time-stamped }${stamp:-without a time stamp}."
}

sign_exe() {
  local options=(-certs "$ORVIN_SIGN_CERT" -key "$ORVIN_SIGN_KEY" -h sha256 -n OrvinMCP)
  ! in_token || options+=(-pkcs11module "$ORVIN_SIGN_PKCS11_MODULE")
  [ -z "${ORVIN_SIGN_KEY_PASSWORD_FILE:-}" ] || options+=(-readpass "$ORVIN_SIGN_KEY_PASSWORD_FILE")
  if [ -n "${ORVIN_SIGN_TIMESTAMP_URL:-}" ]; then
    options+=(-ts "$ORVIN_SIGN_TIMESTAMP_URL")
  else
    echo "Signing $(basename "$1") WITHOUT a time stamp (ORVIN_SIGN_NO_TIMESTAMP=1):" \
      "the signature ends with the certificate."
  fi
  # osslsigncode never writes over its input: sign into a neighbour, then replace.
  rm -f "$1.signed"
  if ! osslsigncode sign "${options[@]}" -in "$1" -out "$1.signed" >/dev/null; then
    rm -f "$1.signed"
    echo "Signing $1 failed." >&2
    return 1
  fi
  mv "$1.signed" "$1"
  verify_exe "$1"
}

# mcpb verify cannot tell on Debian 12 (it asks openssl verify for the purpose "codesigning", which
# OpenSSL does not know), so openssl checks the bundle's signature block itself: "MCPB_SIG_V1", the
# length of the detached PKCS#7 signature of all bytes before the block (4 bytes, little-endian),
# the signature, "MCPB_SIG_END".
verify_bundle() {
  local size at length folder="$PRIVATE" ca=() report verified=""
  size="$(stat -c %s "$1")"
  at="$(grep -obUa MCPB_SIG_V1 "$1" | tail -n 1 | cut -d: -f1)"
  length="$(od -An -tu4 --endian=little -j $((${at:-0} + 11)) -N 4 "$1" | tr -d ' ')"
  if [ -z "$at" ] || [ $((at + 15 + ${length:-0} + 12)) -ne "$size" ]; then
    echo "$1 is not signed." >&2
    return 1
  fi
  [ -z "${ORVIN_SIGN_CA:-}" ] || ca=(-CAfile "$ORVIN_SIGN_CA")
  head -c "$at" "$1" >"$folder/content"
  tail -c +$((at + 16)) "$1" | head -c "$length" >"$folder/signature"
  report="$(openssl cms -verify -binary -inform DER -in "$folder/signature" -content "$folder/content" \
    -purpose any "${ca[@]}" -signer "$folder/signer.pem" -out /dev/null 2>&1)" && verified=1
  if [ -z "$verified" ]; then
    echo "$report" >&2
    echo "The signature of $1 does not verify." >&2
    return 1
  fi
  if [ -n "${ORVIN_SIGN_CERT:-}" ] && ! { leaf && cmp -s <(openssl x509 -in "$folder/signer.pem" -outform DER) \
    <(openssl x509 -in "$folder/leaf.pem" -outform DER); }; then
    echo "The signature of $1 $NOT_THE_SIGNER." >&2
    return 1
  fi
  echo "The signature of $(basename "$1") verifies."
}

sign_bundle() {
  if in_token; then
    echo "mcpb sign takes no key in a token: $(basename "$1") stays unsigned (the exe in it is signed)."
    return 0
  fi
  # mcpb sign reads PEM only, one certificate a file and a key without a password: it gets such
  # copies in a folder of the owner's alone, for the moment of signing.
  local bundle="$1" pem="$PRIVATE/pem" report
  mkdir "$pem"
  if ! report="$(
    exec 2>&1
    trap 'rm -rf "$pem"' EXIT
    openssl pkey -in "$ORVIN_SIGN_KEY" -out "$pem/key.pem" \
      ${ORVIN_SIGN_KEY_PASSWORD_FILE:+-passin "file:$ORVIN_SIGN_KEY_PASSWORD_FILE"} &&
      openssl storeutl -certs "$ORVIN_SIGN_CERT" | awk -v dir="$pem" '
        /^-----BEGIN/ { name = sprintf("%s/cert-%02d.pem", dir, ++n) }
        name { print > name }
        /^-----END/ { name = "" }' &&
      set -- "$pem"/cert-*.pem &&
      "$ROOT/node_modules/.bin/mcpb" sign "$bundle" --cert "$1" --key "$pem/key.pem" \
        ${2:+--intermediate "${@:2}"}
  )"; then
    echo "$report" >&2
    echo "Signing $1 failed." >&2
    return 1
  fi
  verify_bundle "$1"
}

case "${1:-}:${2:-}" in
  check:) check && try_key ;;
  sign:*.mcpb) check && sign_bundle "$2" ;;
  sign:?*) check && sign_exe "$2" ;;
  verify:*.mcpb) verify_bundle "$2" ;;
  verify:?*) verify_exe "$2" ;;
  *) echo "usage: bash scripts/sign.sh check | sign <file> | verify <file>" >&2; exit 2 ;;
esac
