#!/usr/bin/env bash
# Fuzzes the JSON scanners, the edit of clients' JSON files, the request loop,
# forwarding, the tool-list cache and the HTTP response reader with libFuzzer
# (address and undefined-behaviour sanitizers) against the platform double.
# Installs clang from Debian when it is missing. Usage:
#   bash scripts/fuzz.sh [seconds per target, default 60] [target ...]
# Targets: json_text_fuzz json_edit_fuzz bridge_fuzz http_response_fuzz. Corpora grow in build/fuzz/corpus/<target>;
# a failing input is written to build/fuzz/ as crash-* and the script fails.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SECONDS_PER_TARGET="${1:-60}"
shift || true
TARGETS=("$@")
[ "${#TARGETS[@]}" -gt 0 ] || TARGETS=(json_text_fuzz json_edit_fuzz bridge_fuzz http_response_fuzz)

if ! command -v clang++ >/dev/null 2>&1; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo -n"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update </dev/null
  $SUDO apt-get install -y clang </dev/null
fi

BUILD="$ROOT/build/fuzz"
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -DORVIN_FUZZ=ON -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O1" >/dev/null
cmake --build "$BUILD" --parallel "$(nproc 2>/dev/null || echo 2)" --target "${TARGETS[@]}"

for target in "${TARGETS[@]}"; do
  corpus="$BUILD/corpus/$target"
  mkdir -p "$corpus"
  seeds=()
  [ -d "$ROOT/fuzz/seeds/$target" ] && seeds=("$ROOT/fuzz/seeds/$target")
  dict="$ROOT/fuzz/json.dict"
  [ "$target" = http_response_fuzz ] && dict="$ROOT/fuzz/http.dict"
  echo "== $target: $SECONDS_PER_TARGET s"
  (cd "$BUILD" && "$BUILD/bin/$target" -max_total_time="$SECONDS_PER_TARGET" -max_len=8192 -timeout=10 \
    -dict="$dict" -print_final_stats=1 "$corpus" "${seeds[@]}")
done
