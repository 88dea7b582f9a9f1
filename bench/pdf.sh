#!/usr/bin/env bash
# HTML to PDF: a 20-page table report rendered by orvo (POST to saveFile.html as
# multipart, through the real binary) and by headless Chromium from the same
# HTML. Prints a Markdown table and writes it to bench/results-pdf.md.
#
#   bench/pdf.sh [build-dir]      (default: build)
#
# Needs hyperfine, curl, chromium and poppler-utils. All traffic stays on 127.0.0.1.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
build="${1:-$root/build}"
[ -x "$build/orvo" ] || { echo "no orvo binary in $build: build first" >&2; exit 1; }
for tool in hyperfine curl chromium pdfinfo; do
  command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done

work="$(mktemp -d)"
orvo_pid=""
cleanup() {
  if [ -n "$orvo_pid" ]; then kill "$orvo_pid" 2>/dev/null || true; wait "$orvo_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# The report: a heading, a summary and a 1130-row table: 20 A4 pages from orvo.
/usr/bin/python3 - "$work/report.html" <<'EOF'
import sys
rows = []
for i in range(1130):
    rows.append("<tr><td>%d</td><td>Holding register %d</td><td>%.2f</td><td>V</td><td>%s</td></tr>"
                % (40001 + i, i, 230 + (i % 97) * 0.13, "ok" if i % 11 else "check"))
html = ("<!doctype html><html><head><meta charset=utf-8><title>Register report</title>"
        "<style>@page{size:A4;margin:4mm 0} table{border-collapse:collapse;width:100%} td,th{border:1px solid #888;padding:2px 4px}</style>"
        "</head><body><h1>Register report</h1><p>Device 17, 115200 bit/s, 8E1. Values read in one pass.</p>"
        "<table><tr><th>Address</th><th>Name</th><th>Value</th><th>Unit</th><th>State</th></tr>"
        + "".join(rows) + "</table><p>End of report.</p></body></html>")
open(sys.argv[1], "w", encoding="utf-8").write(html)
EOF

# orvo in a folder of its own, on a free port, without a display.
start_orvo "$work" "$build" "maxMultiPartSize=64000000\n"

orvo_cmd="curl -sS --fail -o '$work/orvo.pdf' -F filename=report.pdf -F 'fileContent=<$work/report.html' http://127.0.0.1:$port/saveFile.html"
chromium_cmd="chromium --headless --no-sandbox --disable-gpu --disable-background-networking --disable-component-update --disable-sync --no-first-run --user-data-dir='$work/chromium-profile' --no-pdf-header-footer --print-to-pdf='$work/chromium.pdf' 'file://$work/report.html' >/dev/null 2>&1"

hyperfine --warmup 1 --runs 10 --export-json "$work/orvo.json" -n orvo "$orvo_cmd" >&2
hyperfine --warmup 1 --runs 5 --export-json "$work/chromium.json" -n chromium "$chromium_cmd" >&2

orvo_rss_kb="$(awk '/VmHWM/ {print $2}' "/proc/$orvo_pid/status")"

row() { # name json pdf
  /usr/bin/python3 - "$1" "$2" "$3" <<'EOF'
import json, os, re, subprocess, sys
name, result, pdf = sys.argv[1:]
r = json.load(open(result))["results"][0]
info = subprocess.run(["pdfinfo", pdf], capture_output=True, text=True).stdout
pages = re.search(r"Pages:\s+(\d+)", info).group(1)
size = re.search(r"Page size:\s+(.*)", info).group(1).strip()
print("| %s | %.0f | %.0f | %.0f | %s | %s | %d |" % (name, r["mean"] * 1000, r["min"] * 1000, r["max"] * 1000,
                                                     pages, size, os.path.getsize(pdf) // 1024))
EOF
}

{
  echo "# HTML to PDF: a 20-page table report"
  echo
  echo "$(date -u +%Y-%m-%d), $(nproc) cores, $(uname -m); report HTML $(( $(stat -c %s "$work/report.html") / 1024 )) KiB, 1130 table rows."
  echo "orvo: POST saveFile.html (multipart) to the running binary, response read in full (curl)."
  echo "chromium: a new headless browser per run, --print-to-pdf of the same file (its @page rule asks for A4 with the same 4 mm margins; orvo ignores it)."
  echo
  echo "| renderer | mean ms | min ms | max ms | pages | page size | PDF KiB |"
  echo "|---|---:|---:|---:|---:|---|---:|"
  row orvo "$work/orvo.json" "$work/orvo.pdf"
  row chromium "$work/chromium.json" "$work/chromium.pdf"
  echo
  echo "orvo peak resident memory after the runs: $(( orvo_rss_kb / 1024 )) MiB (whole process)."
} | tee "$here/results-pdf.md"
