#!/usr/bin/env bash
# The soak: three bridges on one CRM folder, each with a client of its own (the SDK
# 1.x, the SDK 2.x pinned to revision 2026-07-28, a raw line client), under faults
# at random times, for the given minutes (default 10); then the counts that must be
# 0, the samples over time and a picture in build/soak/ (summary.json, report.md,
# soak.svg). Exit code 0 only when the run passed.
#   bash scripts/soak.sh [minutes]
#   SOAK_SEED=<seed> bash scripts/soak.sh [minutes]    replays a run's schedule of faults
#   SOAK_BUILD=1 bash scripts/soak.sh                  builds first even when nothing is missing
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

# What is missing is installed and built, as the other scripts do.
if [ ! -d node_modules/@modelcontextprotocol/sdk ] || [ ! -d node_modules/@modelcontextprotocol/client ]; then
  bash scripts/setup.sh
fi
# ORVIN_WIN_BIN soaks another build of the Windows programs, as it does for the e2e tests.
missing=0
for exe in OrvinMCP StdinRelay CrmStandIn ProcessFigures; do
  [ -f "${ORVIN_WIN_BIN:-build/win/bin}/$exe.exe" ] || missing=1
done
if [ "$missing" -ne 0 ] || [ "${SOAK_BUILD:-}" = 1 ]; then
  bash scripts/build.sh >/dev/null
fi

node tests/soak/soak.mjs "$@"
