#!/usr/bin/env bash
# Builds Orvo and starts it from build/ with its bundled config.ini and pages.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
cd build
exec ./orvo "$@"
