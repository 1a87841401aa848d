#!/usr/bin/env bash
# Runs the Windows-side checks under Wine: the platform smoke test and the stdin
# relay. Needs a finished build (scripts/build.sh). Exit code 0 when all pass.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BIN="$ROOT/build/win/bin"
. "$ROOT/scripts/wine-env.sh" || exit 1
WORK="$(mktemp -d)"
if wine_server_start; then
  trap 'rm -rf "$WORK"; wine_server_stop' EXIT
else
  trap 'rm -rf "$WORK"' EXIT
fi

. "$ROOT/tests/checks.sh"

relay() {  # relay <stdin file> <args for EchoPeek...>; leaves out, err, rc in $WORK
  local input="$1"
  shift
  timeout 60 wine "$BIN/StdinRelay.exe" "$BIN/EchoPeek.exe" "$@" <"$input" >"$WORK/out" 2>"$WORK/err"
  echo $? >"$WORK/rc"
}

echo "== PlatformSmoke.exe"
check "platform smoke test" timeout 120 wine "$BIN/PlatformSmoke.exe" "a b" "zażółć"

echo "== OrvinMCP.exe imports"
x86_64-w64-mingw32-objdump -p "$BIN/OrvinMCP.exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort >"$WORK/dlls"
printf 'advapi32.dll\nkernel32.dll\nmsvcrt.dll\nshell32.dll\nuser32.dll\nws2_32.dll\n' >"$WORK/system-dlls"
# Known DLLs only, none of the MinGW runtime: Windows never looks for them beside the exe.
check "the bridge imports only Known DLLs" cmp -s "$WORK/system-dlls" "$WORK/dlls"

echo "== StdinRelay.exe"
printf 'abc\n\0\377\r\nno final line feed' >"$WORK/small"
relay "$WORK/small" "a b" 'c:\dir with blank\' 'say "hi"' '' 'ł'
check "small input arrives byte for byte" cmp -s "$WORK/small" "$WORK/out"
check "exit code passed through" test "$(cat "$WORK/rc")" = 42
printf '[a b]\n[c:\\dir with blank\\]\n[say "hi"]\n[]\n[\xb3]\n' >"$WORK/args"
check "arguments arrive unchanged" cmp -s "$WORK/args" "$WORK/err"

head -c 3000000 /dev/urandom >"$WORK/large"
relay "$WORK/large"
check "3 MB of random bytes arrive byte for byte" cmp -s "$WORK/large" "$WORK/out"

: >"$WORK/empty"
relay "$WORK/empty"
check "empty input ends the program" test "$(cat "$WORK/rc")" = 42 -a ! -s "$WORK/out"

timeout 60 wine "$BIN/StdinRelay.exe" "$WORK/missing.exe" </dev/null >/dev/null 2>&1
check "a missing program gives exit code 127" test $? = 127

# Shows why the relay exists; Wine's behaviour, not ours, so not a check.
printf 'abc\n' | timeout 60 wine "$BIN/EchoPeek.exe" >/dev/null 2>"$WORK/direct"
echo "without the relay: $(tr -d '\r\n' <"$WORK/direct")"

checks_done
