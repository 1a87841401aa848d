#!/usr/bin/env bash
# Checks the release in dist/ (made by scripts/release.sh; ReleaseCheck.exe comes
# from scripts/build.sh): what the zip and the desktop-extension bundle hold, the
# exe's version and manifest as Windows reads them (under Wine), its debug link,
# the checksums, and signatures made on the spot: with a key in a software token
# and a local time-stamping server, and with a key file. Exit code 0 when all pass.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
. "$ROOT/scripts/wine-env.sh" || exit 1
. "$ROOT/tests/checks.sh"
WORK="$(mktemp -d)"
responder=""
trap '[ -z "$responder" ] || kill "$responder" 2>/dev/null; rm -rf "$WORK"' EXIT
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
# The bundle lists the placeholder tool before the bridge runs: its description must be the one the bridge gives.
check "the bundle's placeholder tool is described as the bridge describes it" bash -c \
  "node -e 'process.stdout.write(JSON.parse(require(\"fs\").readFileSync(process.argv[1])).tools[0].description)' \
     '$WORK/mcpb/manifest.json' >'$WORK/description' && grep -qF -f '$WORK/description' '$WORK/mcpb/OrvinMCP.exe'"
check "SHA256SUMS holds for the zip, the bundle and the symbols" bash -c "cd '$ROOT/dist' && sha256sum --quiet -c SHA256SUMS"
notes_right() {  # notes_right <file>: the heading of this version with its date, entries, and no other version
  [ "$(grep -c '^## ' "$1")" = 1 ] && head -n 1 "$1" | grep -qx "## \[${VERSION//./\\.}\] - [0-9]\{4\}-[0-9][0-9]-[0-9][0-9]" &&
    grep -q '^- ' "$1"
}
check "beside the zip, the notes of version $VERSION: its section of the changelog alone" \
  notes_right "$ROOT/dist/CHANGELOG-$VERSION.md"

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
unset "${!ORVIN_SIGN_@}"
# The signer's key in a software token and its certificate, and a time-stamping server, made on the spot.
export SOFTHSM2_CONF="$WORK/softhsm2.conf"
mkdir "$WORK/tokens" && echo "directories.tokendir = $WORK/tokens" >"$SOFTHSM2_CONF" && echo 1234 >"$WORK/pin"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=OrvinMCP test" -addext extendedKeyUsage=codeSigning \
  -keyout "$WORK/key.pem" -out "$WORK/cert.pem" 2>/dev/null
openssl pkcs8 -topk8 -nocrypt -in "$WORK/key.pem" -out "$WORK/key.p8"
softhsm2-util --init-token --free --label orvin --pin 1234 --so-pin 12345678 >/dev/null
softhsm2-util --import "$WORK/key.p8" --token orvin --label signer --id 01 --pin 1234 >/dev/null
node "$ROOT/tests/release/timestamp-responder.mjs" "$WORK" >"$WORK/port" &
responder=$!
for _ in $(seq 100); do [ -s "$WORK/port" ] && break; sleep 0.1; done
cat "$WORK/cert.pem" "$WORK/tsa.pem" >"$WORK/roots.pem"
export ORVIN_SIGN_CERT="$WORK/cert.pem" ORVIN_SIGN_CA="$WORK/roots.pem"
TOKEN=(ORVIN_SIGN_KEY="pkcs11:token=orvin;object=signer" ORVIN_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so
  ORVIN_SIGN_KEY_PASSWORD_FILE="$WORK/pin")
STAMP=(ORVIN_SIGN_TIMESTAMP_URL="http://127.0.0.1:$(cat "$WORK/port")/")
signing() {  # signing <status> <what it says> <file> <settings...>: sign.sh ends so (0: signed) and says that
  local said status=0
  said="$(env "${@:4}" bash "$ROOT/scripts/sign.sh" sign "$3" 2>&1)" || status=$?
  [ "$status" -eq "$1" ] && grep -q -- "$2" <<<"$said"
}
cp "$EXE" "$WORK/key-file.exe"
cp "$BUNDLE" "$WORK/OrvinMCP.mcpb"
check "a key in a token, time-stamped: the exe verifies with its time stamp" \
  signing 0 "verifies, time-stamped [A-Z][a-z]* [ 0-9]* [0-9:]* [0-9]* GMT\.$" "$EXE" "${TOKEN[@]}" "${STAMP[@]}"
check "no time stamp: signing is refused" signing 1 "needs a time stamp" "$WORK/key-file.exe" "${TOKEN[@]}"
check "a key file with ORVIN_SIGN_NO_TIMESTAMP=1: the exe verifies, said to have no time stamp" \
  signing 0 "WITHOUT a time stamp" "$WORK/key-file.exe" ORVIN_SIGN_KEY="$WORK/key.pem" ORVIN_SIGN_NO_TIMESTAMP=1
check "a key file: the bundle verifies" \
  signing 0 "OrvinMCP.mcpb verifies" "$WORK/OrvinMCP.mcpb" ORVIN_SIGN_KEY="$WORK/key.pem" "${STAMP[@]}"
fails() { ! "$@" >/dev/null 2>&1; }
refused() {  # refused <what it says> "<sign.sh arguments>" <settings...>: sign.sh fails and says that
  local said
  ! said="$(env "${@:3}" bash "$ROOT/scripts/sign.sh" $2 2>&1)" && grep -q -- "$1" <<<"$said"
}
echo 4321 >"$WORK/wrong-pin"
check "a wrong PIN stops the check that comes before the builds" \
  refused "a wrong PIN" check "${TOKEN[@]}" ORVIN_SIGN_KEY_PASSWORD_FILE="$WORK/wrong-pin" "${STAMP[@]}"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Someone else" -keyout "$WORK/other-key.pem" \
  -out "$WORK/other.pem" 2>/dev/null
check "a signature made with another certificate is refused" \
  refused "is not made with the certificate in ORVIN_SIGN_CERT" "verify $EXE" ORVIN_SIGN_CERT="$WORK/other.pem"
flip() {  # flip <file> <offset>: one byte changed
  local byte
  byte=$(od -An -tu1 -j "$2" -N 1 "$1")
  printf "\\$(printf %03o $(((byte + 1) % 256)))" | dd of="$1" bs=1 seek="$2" conv=notrunc 2>/dev/null
}
# One byte of the code, and one of the bundle's exe.
flip "$EXE" $((16#$(x86_64-w64-mingw32-objdump -h "$EXE" | awk '$2 == ".text" { print $6 }') + 4096))
flip "$WORK/OrvinMCP.mcpb" 4096
check "with one byte changed the exe no longer verifies" fails bash "$ROOT/scripts/sign.sh" verify "$EXE"
check "with one byte changed the bundle no longer verifies" fails bash "$ROOT/scripts/sign.sh" verify "$WORK/OrvinMCP.mcpb"

checks_done
