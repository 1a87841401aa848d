#!/usr/bin/env bash
# Authenticode signature (SHA-256) of a Windows program, with osslsigncode:
#   bash scripts/sign.sh sign <exe>     signs the file in place, then verifies it
#   bash scripts/sign.sh verify <exe>   verifies the signature only
# Signing takes the certificate and key from files named by the environment:
#   ORVIN_SIGN_CERT               the certificate, PEM or DER (with its intermediates)
#   ORVIN_SIGN_KEY                its private key, PEM or DER
#   ORVIN_SIGN_KEY_PASSWORD_FILE  the key's password, when it has one
#   ORVIN_SIGN_TIMESTAMP_URL      an RFC 3161 time-stamping server: without a time
#                                 stamp the signature is valid only as long as the
#                                 certificate is
# Verifying trusts the root certificates in ORVIN_SIGN_CA, or else the system's.
set -euo pipefail

verify() {
  local ca=() report
  [ -z "${ORVIN_SIGN_CA:-}" ] || ca=(-CAfile "$ORVIN_SIGN_CA")
  if ! report="$(osslsigncode verify -in "$1" "${ca[@]}" 2>&1)"; then
    echo "$report" >&2
    echo "The signature of $1 does not verify." >&2
    return 1
  fi
  echo "The signature of $(basename "$1") verifies."
}

sign() {
  : "${ORVIN_SIGN_CERT:?names the certificate file}" "${ORVIN_SIGN_KEY:?names the private key file}"
  local options=(-certs "$ORVIN_SIGN_CERT" -key "$ORVIN_SIGN_KEY" -h sha256 -n OrvinMCP)
  [ -z "${ORVIN_SIGN_KEY_PASSWORD_FILE:-}" ] || options+=(-readpass "$ORVIN_SIGN_KEY_PASSWORD_FILE")
  [ -z "${ORVIN_SIGN_TIMESTAMP_URL:-}" ] || options+=(-ts "$ORVIN_SIGN_TIMESTAMP_URL")
  # osslsigncode never writes over its input: sign into a neighbour, then replace.
  rm -f "$1.signed"
  if ! osslsigncode sign "${options[@]}" -in "$1" -out "$1.signed" >/dev/null; then
    rm -f "$1.signed"
    echo "Signing $1 failed." >&2
    return 1
  fi
  mv "$1.signed" "$1"
  verify "$1"
}

case "${1:-}:${2:-}" in
  sign:?*) sign "$2" ;;
  verify:?*) verify "$2" ;;
  *) echo "usage: bash scripts/sign.sh sign|verify <exe>" >&2; exit 2 ;;
esac
