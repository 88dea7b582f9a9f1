#!/usr/bin/env bash
# Runs every side-by-side benchmark against the Release build in build/ and
# gathers the tables into bench/RESULTS.md. Loopback only; takes a few minutes.
# The soak run and the fuzzers have scripts of their own (soak.sh, fuzz.sh).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
for tool in wrk hyperfine nginx mbpoll chromium; do
  command -v "$tool" >/dev/null || { echo "missing $tool: apt-get install wrk hyperfine nginx-light mbpoll chromium"; exit 1; }
done
"$here/http.sh" "$root/build" 10
"$here/modbus.sh" "$root/build"
"$here/updates.sh" 3
"$here/pdf.sh" "$root/build"
"$here/collect.sh"
