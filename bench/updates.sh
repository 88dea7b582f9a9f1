#!/usr/bin/env bash
# Module installation speed and memory, through the real program, against the
# local update server (tests/fixtures/update_server.py), loopback only.
#
#  1. A module of 100 files (10 KB to 1 MB, about 50 MB in all) installed by
#     orvo ("startUpdating", then "getUpdateStatus" polled every 10 ms), next
#     to curl fetching the same files one after another, in the same run.
#  2. orvo's peak resident memory (VmHWM) while it installs one 200 MB file.
#
# Prints a Markdown table and writes it to bench/results-updates.md.
# Usage: bench/updates.sh [rounds]     (build first: scripts/setup.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="${ORVO_BUILD_DIR:-build}"
rounds="${1:-3}"
python=/usr/bin/python3

[ -x "$build/orvo" ] || { echo "no $build/orvo: build first (scripts/setup.sh)" >&2; exit 1; }
command -v curl >/dev/null || { echo "curl is needed" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  # Only the processes this script started, by their PID.
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N; }
free_port() { "$python" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_for_line() { # file pattern seconds
  local i
  for ((i = 0; i < $3 * 20; i++)); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "timed out waiting for '$2' in $1" >&2
  cat "$1" >&2 || true
  return 1
}

# --- the update server -------------------------------------------------------
count=100
min=$((10 * 1024))
max=$((1024 * 1024))
sizes=()
for ((i = 0; i < count; i++)); do sizes+=($((min + (max - min) * i / (count - 1)))); done
total=0
for s in "${sizes[@]}"; do total=$((total + s)); done

{
  printf '{"fileLists":{"bench":['
  for ((i = 0; i < count; i++)); do
    [ "$i" -gt 0 ] && printf ','
    printf '"{base}/gen/%d/modules/bench/f%03d.bin"' "${sizes[$i]}" "$i"
  done
  printf '],"big":["{base}/big/200MB/modules/big/blob.bin"]}}\n'
} > "$work/server.json"

"$python" -u tests/fixtures/update_server.py --config "$work/server.json" > "$work/server.out" 2>&1 &
pids+=($!)
wait_for_line "$work/server.out" "ready port=" 10
sport=$(sed -n 's/.*ready port=\([0-9]*\).*/\1/p' "$work/server.out")
base="http://127.0.0.1:$sport"

# --- orvo in a folder of its own ---------------------------------------------
start_orvo() { # folder -> sets orvo_pid, oport
  local dir=$1
  rm -rf "$dir"
  mkdir -p "$dir/www" "$dir/home/.config" "$dir/runtime" "$dir/fakebin"
  chmod 700 "$dir/runtime"
  cp "$build/orvo" "$dir/orvo"
  printf '#!/bin/sh\nexit 0\n' > "$dir/fakebin/xdg-open"
  chmod +x "$dir/fakebin/xdg-open"
  oport=$(free_port)
  printf '[listener]\nport=%s\nhost=127.0.0.1\n[docroot]\npath=www\n[updates]\nupdateServer=%s/\n' \
    "$oport" "$base" > "$dir/config.ini"
  (cd "$dir" && exec env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen HOME="$dir/home" \
    XDG_CONFIG_HOME="$dir/home/.config" XDG_RUNTIME_DIR="$dir/runtime" PATH="$dir/fakebin:$PATH" \
    ./orvo -r > "$dir/out.txt" 2> "$dir/err.txt") &
  orvo_pid=$!
  pids+=("$orvo_pid")
  wait_for_line "$dir/out.txt" "listening on" 15
}

ajax() { curl -s "http://127.0.0.1:$oport/ajax.html?$1"; }

# Starts an update of module $1 and polls until it ends; prints the seconds taken.
install_module() {
  local t0 t1 status
  t0=$(now)
  status=$(ajax "func=startUpdating&modulesList=%255B%2522$1%2522%255D")
  [ "$status" = '{"ok":"Update started"}' ] || { echo "start refused: $status" >&2; return 1; }
  while status=$(ajax "func=getUpdateStatus"); [ "$status" = '{"ok":"In progress"}' ]; do sleep 0.01; done
  t1=$(now)
  [ "$status" = '{"ok":"Completed correctly."}' ] || { echo "update ended with $status" >&2; return 1; }
  echo "$t1 - $t0" | bc -l
}

median() { sort -n | awk '{a[NR]=$1} END {m=(NR%2)?a[(NR+1)/2]:(a[NR/2]+a[NR/2+1])/2; printf "%.3f", m}'; }

# --- 1. 100 files: orvo against curl -----------------------------------------
start_orvo "$work/orvo1"
curl_args=()
for ((i = 0; i < count; i++)); do
  curl_args+=(-o "$work/curl/f$(printf %03d "$i").bin" "$base/gen/${sizes[$i]}/modules/bench/f$(printf %03d "$i").bin")
done

orvo_times=()
curl_times=()
for ((r = 0; r < rounds; r++)); do
  orvo_times+=("$(install_module bench)")
  rm -rf "$work/curl"; mkdir -p "$work/curl"
  t0=$(now)
  curl -s --fail "${curl_args[@]}"
  t1=$(now)
  curl_times+=("$(echo "$t1 - $t0" | bc -l)")
done
installed=$(find "$work/orvo1/www/modules/bench" -type f | wc -l)
installed_bytes=$(find "$work/orvo1/www/modules/bench" -type f -printf '%s\n' | awk '{s+=$1} END {print s}')
[ "$installed" = "$count" ] && [ "$installed_bytes" = "$total" ] || {
  echo "orvo installed $installed files, $installed_bytes bytes; expected $count, $total" >&2; exit 1; }
orvo_med=$(printf '%s\n' "${orvo_times[@]}" | median)
curl_med=$(printf '%s\n' "${curl_times[@]}" | median)
kill "$orvo_pid"; wait "$orvo_pid" 2>/dev/null || true

# --- 2. one 200 MB file: peak memory ------------------------------------------
start_orvo "$work/orvo2"
rss_idle=$(awk '/^VmRSS/ {print $2}' "/proc/$orvo_pid/status")
peak_sampled=0
(
  while kill -0 "$orvo_pid" 2>/dev/null; do
    awk '/^VmRSS/ {print $2}' "/proc/$orvo_pid/status" 2>/dev/null || true
    sleep 0.05
  done
) > "$work/rss.txt" &
sampler=$!
pids+=("$sampler")
big_time=$(install_module big)
hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$orvo_pid/status")
kill "$sampler" 2>/dev/null || true
wait "$sampler" 2>/dev/null || true
peak_sampled=$(sort -n "$work/rss.txt" | tail -1)
big_size=$(stat -c %s "$work/orvo2/www/modules/big/blob.bin")
[ "$big_size" = $((200 * 1024 * 1024)) ] || { echo "200 MB file installed with $big_size bytes" >&2; exit 1; }
kill "$orvo_pid"; wait "$orvo_pid" 2>/dev/null || true

mb() { echo "scale=1; $1 / 1024" | bc -l; }
rate() { echo "scale=1; $1 / 1048576 / $2" | bc -l; }
table=$(cat <<EOF
# Module update benchmark

$(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $rounds rounds (median), loopback update server (Python http.server).

| Case | Time (s) | Throughput (MB/s) | Notes |
|---|---|---|---|
| orvo: install 100 files, $(mb $((total / 1024))) MB | $orvo_med | $(rate "$total" "$orvo_med") | startUpdating until getUpdateStatus reports the end (polled every 10 ms); includes staging and copying into the document root |
| curl: the same 100 files one after another | $curl_med | $(rate "$total" "$curl_med") | one curl process, one connection, written to disk |
| orvo / curl | $(echo "scale=2; $orvo_med / $curl_med" | bc -l)x | | |
| orvo: install one 200 MB file | $(printf '%.3f' "$big_time") | $(rate $((200 * 1048576)) "$big_time") | |

| orvo memory while installing 200 MB | MB |
|---|---|
| resident at rest before the run (VmRSS) | $(mb "$rss_idle") |
| peak resident, sampled every 50 ms (VmRSS) | $(mb "$peak_sampled") |
| peak resident, kernel high-water mark (VmHWM) | $(mb "$hwm") |
EOF
)
echo "$table"
echo "$table" > "$root/bench/results-updates.md"
