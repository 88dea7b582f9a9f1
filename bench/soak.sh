#!/usr/bin/env bash
# Soak run: the real binary reads registers as fast as its 50 ms pause allows
# while the Modbus TCP slave is killed and started again on the same port
# every few seconds. Every reply must be the register values or one of the
# error texts the engine writes, and the resident memory of orvo must not
# keep growing. Prints a summary, writes it to bench/results-soak.md, and ends
# with status 1 when a reply was anything else or the memory grew too much.
#
#   bench/soak.sh [build-dir]          (default: build)
#
# Environment (all optional):
#   ORVO_SOAK_SECONDS     length of the run (default 180)
#   ORVO_SOAK_RESTART     seconds between slave restarts (default 4)
#   ORVO_SOAK_SAMPLE      seconds between memory samples (default 5)
#   ORVO_SOAK_RSS_MB      largest allowed growth of VmRSS, last sample against
#                         the first, in MiB (default 20)
#
# Needs curl and /usr/bin/python3. All traffic stays on 127.0.0.1.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
build="${1:-$root/build}"
[ -x "$build/orvo" ] || { echo "no orvo binary in $build: build first" >&2; exit 1; }
command -v curl >/dev/null || { echo "curl is missing" >&2; exit 1; }
seconds="${ORVO_SOAK_SECONDS:-180}"
restart_every="${ORVO_SOAK_RESTART:-4}"
sample_every="${ORVO_SOAK_SAMPLE:-5}"
rss_limit_mb="${ORVO_SOAK_RSS_MB:-20}"

work="$(mktemp -d)"
orvo_pid=""
slave_pid=""
poller_pid=""
cleanup() {
  for pid in "$poller_pid" "$orvo_pid" "$slave_pid"; do
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

values="$(seq -s, 101 110)"
# Starts the slave on port $1 (0: any free port) and sets slave_pid and slave_port.
start_slave() {
  : > "$work/slave.out"
  /usr/bin/python3 "$root/tests/fixtures/modbus_slave.py" --tcp "$1" --slave 1 --reg "300=$values" \
    > "$work/slave.out" 2>> "$work/slave.err" &
  slave_pid=$!
  local found=""
  for _ in $(seq 1 100); do
    found="$(sed -n 's/^READY tcp 127\.0\.0\.1:\([0-9]*\) .*/\1/p' "$work/slave.out")"
    [ -n "$found" ] && break
    sleep 0.05
  done
  [ -n "$found" ] || { echo "the slave did not start" >&2; cat "$work/slave.err" >&2; exit 1; }
  slave_port="$found"
}
stop_slave() {
  kill "$slave_pid" 2>/dev/null || true
  wait "$slave_pid" 2>/dev/null || true
  slave_pid=""
}

start_slave 0
port_of_slave="$slave_port"

# orvo in a folder of its own, on a free port, without a display.
start_orvo "$work" "$build"

base="http://127.0.0.1:$port/ajax.html"
reply="$(curl -sS "$base?func=connect&connType=tcp&ipAddres_tcp=127.0.0.1&port_tcp=$port_of_slave&slaveID=1&timeout=1000")"
[ "$reply" = '{"ok":"Connected with Modbus TCP."}' ] || { echo "connect failed: $reply" >&2; exit 1; }
read_url="$base?func=readRegisters&regAddr=300&valuesCnt=10"
[ "$(curl -sS "$read_url")" = "[$values]" ] || { echo "orvo read the wrong values" >&2; exit 1; }

# The poller: one request after the other until told to stop; every reply
# sorted by kind.
cat > "$work/poller.py" <<'EOF2'
import json, os, sys, urllib.request
url, expected, stop_file, out = sys.argv[1], sys.argv[2].encode(), sys.argv[3], sys.argv[4]
written = {
    b'{"error":"Unable to connect with TCP socket."}',
    b'{"error":"I/O error: did not receive any data from slave."}',
    b'{"error":"Not connected"}',
    b'{"error":"Number of registers returned does not match!"}',
}
kinds, others, requests = {}, [], 0
while not os.path.exists(stop_file):
    requests += 1
    try:
        with urllib.request.urlopen(url, timeout=30) as res:
            body = res.read()
            status = res.status
    except Exception as e:  # no answer, or not 200: neither values nor a written error
        body, status = ("no answer: %s" % e).encode(), 0
    if status == 200 and body == expected:
        kind = "values"
    elif status == 200 and (body in written or (body.startswith(b'{"error":"Protocol error! ')
                                                  and body.endswith(b'"}') and body.count(b'"') == 4)):
        kind = body.decode("latin-1")
    else:
        kind = "other"
        if len(others) < 10:
            others.append(body.decode("latin-1")[:200])
    kinds[kind] = kinds.get(kind, 0) + 1
json.dump({"requests": requests, "kinds": kinds, "others": others}, open(out, "w"))
EOF2
/usr/bin/python3 "$work/poller.py" "$read_url" "[$values]" "$work/stop" "$work/poller.json" &
poller_pid=$!

rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$orvo_pid/status" 2>/dev/null || true; }
samples=()
restarts=0
start=$(date +%s)
next_restart=$((start + restart_every))
next_sample=$start
while :; do
  now=$(date +%s)
  [ $((now - start)) -ge "$seconds" ] && break
  kill -0 "$orvo_pid" 2>/dev/null || { echo "orvo ended during the run" >&2; break; }
  if [ "$now" -ge "$next_sample" ]; then
    samples+=("$(rss_kb)")
    next_sample=$((now + sample_every))
  fi
  if [ "$now" -ge "$next_restart" ]; then
    stop_slave
    sleep 0.5
    start_slave "$port_of_slave"
    restarts=$((restarts + 1))
    next_restart=$((now + restart_every))
  fi
  sleep 0.2
done
touch "$work/stop"
wait "$poller_pid"
poller_pid=""
alive=yes
kill -0 "$orvo_pid" 2>/dev/null || alive=no
[ "$alive" = yes ] && samples+=("$(rss_kb)")

# Still serving: a page and a read of the right values.
page=fail
final_read=fail
if [ "$alive" = yes ]; then
  [ "$(curl -sS -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/index.html")" = 200 ] && page=ok
  [ "$(curl -sS "$read_url")" = "[$values]" ] && final_read=ok
fi

summary="$(/usr/bin/python3 - "$work/poller.json" "$rss_limit_mb" "$alive" "$page" "$final_read" \
  "$seconds" "$restarts" "$restart_every" "${samples[@]}" <<'EOF2'
import json, sys
poll = json.load(open(sys.argv[1]))
limit_mb, alive, page, final_read, seconds, restarts, every = sys.argv[2:9]
rss = [int(x) for x in sys.argv[9:] if x]
kinds = poll["kinds"]
fails = []
print("| | |")
print("|---|---:|")
print("| run | %s s, slave restarted %s times (every %s s) |" % (seconds, restarts, every))
print("| requests | %d |" % poll["requests"])
print("| values | %d |" % kinds.get("values", 0))
for kind in sorted(k for k in kinds if k not in ("values", "other")):
    print("| `%s` | %d |" % (kind, kinds[kind]))
print("| other | %d |" % kinds.get("other", 0))
if rss:
    growth = (rss[-1] - rss[0]) / 1024.0
    print("| VmRSS first / last / max | %.1f / %.1f / %.1f MiB (%d samples) |"
          % (rss[0] / 1024.0, rss[-1] / 1024.0, max(rss) / 1024.0, len(rss)))
    print("| VmRSS growth, last - first | %.1f MiB (allowed %s) |" % (growth, limit_mb))
    if growth > float(limit_mb):
        fails.append("memory grew by %.1f MiB" % growth)
else:
    fails.append("no memory samples")
print("| afterwards: page / register read | %s / %s |" % (page, final_read))
if kinds.get("other", 0):
    fails.append("%d replies were neither values nor a written error, e.g. %r" % (kinds["other"], poll["others"][:3]))
if alive != "yes":
    fails.append("orvo ended during the run")
if page != "ok" or final_read != "ok":
    fails.append("orvo did not serve correctly afterwards")
if kinds.get("values", 0) == 0:
    fails.append("no read succeeded")
print()
print("Result: " + ("PASS" if not fails else "FAIL: " + "; ".join(fails)))
EOF2
)"
{
  echo "# Soak: register reads while the slave restarts"
  echo
  echo "$(date -u '+%Y-%m-%d'), $(nproc) cores, build: $(basename "$build")"
  echo
  echo "One client reads 10 registers through \`ajax.html?func=readRegisters\` again and again (each"
  echo "read begins with orvo's 50 ms pause) while tests/fixtures/modbus_slave.py over Modbus TCP on"
  echo "127.0.0.1 is killed and started again on the same port; orvo's VmRSS is sampled every"
  echo "$sample_every s. A reply counts as \"values\" when it is exactly the registers' values."
  echo
  echo "$summary"
} > "$here/results-soak.md"
echo "$summary"
case "$summary" in
  *"Result: PASS"*) exit 0 ;;
  *) exit 1 ;;
esac
