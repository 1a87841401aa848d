#!/usr/bin/env bash
# Installs what building and testing need on Debian 12. Safe to run again: it only
# installs what is missing. Runs as root, or through sudo; never asks anything.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export DEBIAN_FRONTEND=noninteractive

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo -n"
fi

# wine64 alone runs 64-bit programs; the wine32 it asks for is only needed for 32-bit ones.
PACKAGES=(g++ cmake make libgtest-dev libgmock-dev g++-mingw-w64-x86-64 wine wine64 locales)
# The release: zip and unzip, Authenticode signing, and the test's certificate made on the spot;
# the test's key in a software token (SoftHSM2) and the PKCS#11 engine osslsigncode reaches it through.
PACKAGES+=(zip unzip osslsigncode openssl softhsm2 libengine-pkcs11-openssl)
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  PACKAGES+=(nodejs npm)
fi

missing=()
for package in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update </dev/null
  $SUDO apt-get install -y "${missing[@]}" </dev/null
fi

# Wine takes its ANSI code page from the Unix locale: pl_PL.UTF-8 gives 1250.
if ! locale -a 2>/dev/null | grep -qi '^pl_PL\.utf-\?8$'; then
  echo "Generating locale pl_PL.UTF-8"
  $SUDO sed -i 's/^# *\(pl_PL\.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^pl_PL\.UTF-8 UTF-8' /etc/locale.gen || echo 'pl_PL.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen </dev/null
fi

# The MCP client of the tests and the demo (the official TypeScript SDK), and the desktop-extension
# bundle's validator and signer (mcpb), as locked.
(cd "$ROOT" && npm ci --no-audit --no-fund </dev/null)

echo "Setup complete."
