#!/usr/bin/env bash
# Sets up, builds, and runs the main job on the bundled example.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build
export PATH="$PWD/build/bin:$PATH"
pakrev || true
