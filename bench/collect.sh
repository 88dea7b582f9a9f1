#!/usr/bin/env bash
# Gathers the latest bench/results-*.md tables into bench/RESULTS.md.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
{
  echo "# Benchmark results"
  echo
  echo "Machine: $(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo), $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo), $(. /etc/os-release; echo "$PRETTY_NAME"), kernel $(uname -r)."
  echo "Each table compares Orvo with its reference in the same run, on loopback. The machine was shared with"
  echo "other work while these ran, so absolute figures move between runs; the ratios within one table are the point."
  for part in http modbus updates pdf soak fuzz; do
    f="$here/results-$part.md"
    [ -f "$f" ] || continue
    echo
    sed 's/^# /## /' "$f"
  done
} > "$here/RESULTS.md"
echo "wrote $here/RESULTS.md"
