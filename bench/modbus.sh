#!/usr/bin/env bash
# Register reads through the real binary: "readRegisters" of 10 and of 200
# 16-bit values (curl -> orvo -> Modbus TCP -> the scriptable test slave),
# against mbpoll reading the same registers from the same slave in the same
# run. Every orvo read begins with a fixed 50 ms pause; the table also shows
# what orvo spends above it. Prints a Markdown table and writes it to
# bench/results-modbus.md.
#
#   bench/modbus.sh [build-dir]      (default: build)
#
# Needs hyperfine, curl and mbpoll. All traffic stays on 127.0.0.1.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
build="${1:-$root/build}"
[ -x "$build/orvo" ] || { echo "no orvo binary in $build: build first" >&2; exit 1; }
for tool in hyperfine curl mbpoll; do
  command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done
runs="${ORVO_BENCH_RUNS:-40}"

work="$(mktemp -d)"
orvo_pid=""
slave_pid=""
cleanup() {
  for pid in "$orvo_pid" "$slave_pid"; do
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

# The slave, with 200 registers of distinct values from address 1000.
values="$(seq -s, 1 200)"
/usr/bin/python3 "$root/tests/fixtures/modbus_slave.py" --tcp 0 --slave 1 --reg "1000=$values" \
  > "$work/slave.out" 2> "$work/slave.err" &
slave_pid=$!
slave_port=""
for _ in $(seq 1 100); do
  slave_port="$(sed -n 's/^READY tcp 127\.0\.0\.1:\([0-9]*\) .*/\1/p' "$work/slave.out")"
  [ -n "$slave_port" ] && break
  sleep 0.1
done
[ -n "$slave_port" ] || { echo "the slave did not start" >&2; cat "$work/slave.err" >&2; exit 1; }

# orvo in a folder of its own, on a free port, without a display.
start_orvo "$work" "$build"

base="http://127.0.0.1:$port/ajax.html"
reply="$(curl -sS "$base?func=connect&connType=tcp&ipAddres_tcp=127.0.0.1&port_tcp=$slave_port&slaveID=1&timeout=1000")"
[ "$reply" = '{"ok":"Connected with Modbus TCP."}' ] || { echo "connect failed: $reply" >&2; exit 1; }

# Both tools must read the same values before anything is timed.
read10="$base?func=readRegisters&regAddr=1000&valuesCnt=10"
read200="$base?func=readRegisters&regAddr=1000&valuesCnt=200"
[ "$(curl -sS "$read10")" = "[$(seq -s, 1 10)]" ] || { echo "orvo read the wrong values" >&2; exit 1; }
[ "$(curl -sS "$read200")" = "[$values]" ] || { echo "orvo read the wrong values" >&2; exit 1; }
mb="mbpoll -m tcp -p $slave_port -a 1 -t 4 -0 -1"
# mbpoll reads at most 125 registers per call: 200 take two calls.
mb10="$mb -r 1000 -c 10 127.0.0.1"
mb200="$mb -r 1000 -c 125 127.0.0.1 && $mb -r 1125 -c 75 127.0.0.1"
[ "$($mb10 | grep -c '^\[')" = 10 ] || { echo "mbpoll could not read" >&2; exit 1; }

hyperfine -N --warmup 3 --runs "$runs" --export-json "$work/orvo.json" \
  -n "http" "curl -sS -o /dev/null http://127.0.0.1:$port/index.html" \
  -n "orvo 10" "curl -sS -o /dev/null $read10" \
  -n "orvo 200" "curl -sS -o /dev/null $read200" > /dev/null
hyperfine --warmup 3 --runs "$runs" --export-json "$work/mbpoll.json" \
  -n "mbpoll 10" "$mb10 > /dev/null" \
  -n "mbpoll 200" "$mb200 > /dev/null" > /dev/null

table="$(/usr/bin/python3 - "$work/orvo.json" "$work/mbpoll.json" "$runs" <<'EOF2'
import json, sys
orvo = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
mb = {r["command"]: r for r in json.load(open(sys.argv[2]))["results"]}
ms = lambda s: s * 1000.0
print("| Values read | orvo: curl -> readRegisters (ms) | orvo above the 50 ms pause (ms) | mbpoll, same registers (ms) |")
print("|---:|---:|---:|---:|")
for n in ("10", "200"):
    o, m = orvo["orvo " + n], mb["mbpoll " + n]
    print("| %s | %.1f ± %.1f | %.1f | %.1f ± %.1f |" % (
        n, ms(o["mean"]), ms(o["stddev"]), ms(o["mean"]) - 50.0, ms(m["mean"]), ms(m["stddev"])))
print()
print("For scale: curl fetching a static page from the same orvo takes %.1f ± %.1f ms, so the Modbus "
      "side of a read (probe, connect, frames, close) is the rest above the pause." % (
      ms(orvo["http"]["mean"]), ms(orvo["http"]["stddev"])))
print()
print("Mean ± standard deviation of %s runs after 3 warm-up runs (hyperfine). Slave: "
      "tests/fixtures/modbus_slave.py over Modbus TCP on 127.0.0.1. orvo opens and closes the "
      "Modbus link for every request (a TCP probe, then the library's connect); mbpoll starts a "
      "process and connects once per call, and needs two calls for 200 registers "
      "(125 + 75), as orvo needs two frames." % sys.argv[3])
EOF2
)"
{
  echo "# Register reads over Modbus TCP"
  echo
  echo "$(date -u '+%Y-%m-%d'), $(nproc) cores, build: $(basename "$build")"
  echo
  echo "$table"
} > "$here/results-modbus.md"
echo "$table"
