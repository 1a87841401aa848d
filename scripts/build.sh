#!/usr/bin/env bash
# Builds the native tree (portable code and unit tests) in build/native and the
# Windows tree (cross-built with MinGW-w64) in build/win. For single targets:
#   cmake --build build/win --target StdinRelay PlatformSmoke
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="$(nproc 2>/dev/null || echo 2)"

# Release code with assertions kept.
cmake -S "$ROOT" -B "$ROOT/build/native" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2"
cmake --build "$ROOT/build/native" --parallel "$JOBS"

cmake -S "$ROOT" -B "$ROOT/build/win" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake"
cmake --build "$ROOT/build/win" --parallel "$JOBS"

echo
echo "Native unit tests: $ROOT/build/native/bin/unit_tests (or: ctest --test-dir $ROOT/build/native)"
echo "Windows programs:"
for exe in OrvinMCP StdinRelay CrmStandIn PlatformSmoke EchoPeek SendBroadcast WindowProbe; do
  if [ -f "$ROOT/build/win/bin/$exe.exe" ]; then
    echo "  $ROOT/build/win/bin/$exe.exe"
  fi
done
