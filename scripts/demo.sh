#!/usr/bin/env bash
# The main job: builds everything, then lets a real MCP client (the official
# TypeScript SDK) run OrvinMCP.exe under Wine, first without the CRM application
# and then with the stand-in in its place.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

bash scripts/setup.sh
bash scripts/build.sh >/dev/null
node demo/demo.mjs
. scripts/wine-env.sh >/dev/null 2>&1 && wine_server_stop
