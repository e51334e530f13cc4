#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs what exists so far.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
TESSERA_ONLY=linux bash scripts/test.sh
