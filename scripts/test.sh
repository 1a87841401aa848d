#!/usr/bin/env bash
# Every test of the project on a fresh Debian machine: installs what is missing,
# checks the links of the documentation, builds both trees, then runs the native
# unit tests, the Windows-side platform checks, the end-to-end tests of the real
# exe under Wine and a soak of 2 minutes (scripts/soak.sh, its report in
# build/soak/), and last makes the release (scripts/release.sh) and checks it.
# Exit code 0 only when every stage passed.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

bash scripts/setup.sh || exit 1

failed=()
stage() {  # stage <name> <command...>
  local name="$1"
  shift
  echo
  echo "=== $name"
  "$@" || failed+=("$name")
}

# Before the build, since it needs none and takes a second.
stage "links in the documentation" bash -c "node scripts/check-links.mjs && node --test tests/docs/"
bash scripts/build.sh || exit 1

stage "unit tests (native)" ctest --test-dir build/native --output-on-failure
stage "platform checks (Wine)" bash tests/platform/run.sh
stage "end-to-end tests (Wine)" npm test --prefix "$ROOT" --silent
stage "soak, 2 minutes (Wine)" bash scripts/soak.sh 2
stage "release" bash scripts/release.sh
stage "release checks (Wine)" bash tests/release/run.sh

# The tests keep a wineserver alive between launches; end it with them.
. scripts/wine-env.sh >/dev/null 2>&1 && wine_server_stop

echo
if [ "${#failed[@]}" -gt 0 ]; then
  echo "Failed: ${failed[*]}"
  exit 1
fi
echo "All test stages passed."
