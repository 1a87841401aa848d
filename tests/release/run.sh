#!/usr/bin/env bash
# Checks the release in dist/ (made by scripts/release.sh; ReleaseCheck.exe comes
# from scripts/build.sh): what the zip and the desktop-extension bundle hold, the
# exe's version and manifest as Windows reads them (under Wine), its debug link,
# the checksums, and a signature made with a certificate made on the spot. Exit
# code 0 when all pass.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
. "$ROOT/scripts/wine-env.sh" || exit 1
. "$ROOT/tests/checks.sh"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
VERSION="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$ROOT/build/win/CMakeCache.txt")"
ZIP="$ROOT/dist/OrvinMCP-$VERSION-win64.zip"
BUNDLE="$ROOT/dist/OrvinMCP-$VERSION.mcpb"
DEBUG="OrvinMCP-$VERSION.debug"
EXE="$WORK/zip/OrvinMCP.exe"

echo "== the release of version $VERSION"
check "the zip holds exactly the exe and the quick start" \
  test "$(unzip -Z1 "$ZIP" 2>/dev/null | tr '\n' ' ')" = "CZYTAJ-MNIE.txt OrvinMCP.exe "
unzip -q "$ZIP" -d "$WORK/zip"
notepad_text() {  # notepad_text <file>: UTF-8 with a byte order mark, every line ending in CR LF
  [ "$(head -c 3 "$1" | od -An -tx1)" = " ef bb bf" ] && iconv -f UTF-8 -t UTF-8 "$1" >/dev/null &&
    [ "$(grep -c $'\r$' "$1")" = "$(grep -c '' "$1")" ]
}
check "the quick start is UTF-8 with a byte order mark, every line ending in CR LF" \
  notepad_text "$WORK/zip/CZYTAJ-MNIE.txt"
check "the bundle holds exactly the exe and its manifest" \
  test "$(unzip -Z1 "$BUNDLE" 2>/dev/null | tr '\n' ' ')" = "OrvinMCP.exe manifest.json "
unzip -q "$BUNDLE" -d "$WORK/mcpb"
check "the bundle's exe is the zip's, byte for byte" cmp -s "$WORK/zip/OrvinMCP.exe" "$WORK/mcpb/OrvinMCP.exe"
check "the bundle's manifest passes the format's own validator and names version $VERSION" bash -c \
  "cd '$ROOT' && npx --no mcpb validate '$WORK/mcpb/manifest.json' >/dev/null &&
   grep -q '^  \"version\": \"$VERSION\",$' '$WORK/mcpb/manifest.json'"
check "SHA256SUMS holds for the zip, the bundle and the symbols" bash -c "cd '$ROOT/dist' && sha256sum --quiet -c SHA256SUMS"

echo "== OrvinMCP.exe as Windows reads it"
timeout 60 wine "$ROOT/build/win/bin/ReleaseCheck.exe" "$EXE" | tr -d '\r' >"$WORK/details"
cat >"$WORK/version" <<DETAILS
fixed FileVersion=$VERSION.0
fixed ProductVersion=$VERSION.0
CompanyName=OrvinMCP
FileDescription=Łącznik MCP dla Orvin CRM
FileVersion=$VERSION
LegalCopyright=© $(date -u -d "@$(git -C "$ROOT" log -1 --format=%ct)" +%Y) OrvinMCP
ProductName=OrvinMCP
ProductVersion=$VERSION
DETAILS
check "Properties > Details show version $VERSION, its owner and copyright" \
  cmp -s "$WORK/version" <(head -n 8 "$WORK/details")
manifest_right() {  # manifest_right <details>: as the product needs it
  grep -q '<requestedExecutionLevel level="asInvoker"' "$1" &&
    grep -q '<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>' "$1" && ! grep -q '<activeCodePage' "$1"
}
check "the manifest: no elevation, Windows 10 and 11, the ANSI code page kept" manifest_right "$WORK/details"
check "the exe has no symbols inside" test -z "$(x86_64-w64-mingw32-objdump -h "$EXE" | grep -E ' \.(debug_|symtab)')"
# A debug link is the file's name, zero bytes up to a multiple of 4, and the file's CRC-32 (gzip's).
x86_64-w64-mingw32-objcopy --dump-section .gnu_debuglink="$WORK/link" "$EXE" "$WORK/unused.exe"
{ printf '%s' "$DEBUG"; head -c $((4 - ${#DEBUG} % 4)) /dev/zero; gzip -c "$ROOT/dist/$DEBUG" | tail -c 8 | head -c 4; } \
  >"$WORK/expected-link"
check "its debug link names $DEBUG with that file's checksum" cmp -s "$WORK/expected-link" "$WORK/link"

echo "== signing"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=OrvinMCP test" -addext extendedKeyUsage=codeSigning \
  -keyout "$WORK/key.pem" -out "$WORK/cert.pem" 2>/dev/null
export ORVIN_SIGN_CERT="$WORK/cert.pem" ORVIN_SIGN_KEY="$WORK/key.pem" ORVIN_SIGN_CA="$WORK/cert.pem"
check "signed with a certificate made on the spot, the exe verifies" bash "$ROOT/scripts/sign.sh" sign "$EXE"
# One byte of the code, changed.
text="$(x86_64-w64-mingw32-objdump -h "$EXE" | awk '$2 == ".text" { print $6 }')"
at=$((16#$text + 4096))
byte=$(od -An -tu1 -j "$at" -N 1 "$EXE")
printf "\\$(printf %03o $(((byte + 1) % 256)))" | dd of="$EXE" bs=1 seek="$at" conv=notrunc 2>/dev/null
check "with one byte changed it no longer verifies" \
  bash -c "! bash '$ROOT/scripts/sign.sh' verify '$EXE' 2>/dev/null"

checks_done
