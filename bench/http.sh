#!/usr/bin/env bash
# Static file and AJAX requests per second of orvo against nginx serving the
# same 1 KB file, start-to-first-200, and idle memory. Loopback only.
# Usage: bench/http.sh [build-dir] [seconds-per-run]
set -euo pipefail
. "$(dirname "$0")/lib.sh"
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../build}" && pwd)"
secs="${2:-10}"
for tool in wrk nginx; do command -v "$tool" >/dev/null || { echo "missing $tool (apt-get install wrk nginx-light)"; exit 1; }; done

work="$(mktemp -d)"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

orvo_port=$(free_port); nginx_port=$(free_port)

mkdir -p "$work/www" "$work/runtime" "$work/home/.config" "$work/nginx"
chmod 700 "$work/runtime"
head -c 1024 /dev/urandom | base64 -w 64 | head -c 1024 > "$work/www/file.txt"
echo "<!doctype html><title>x</title>" > "$work/www/index.html"
cp "$build/orvo" "$work/orvo"
cat > "$work/config.ini" <<INI
[listener]
port=$orvo_port
host=127.0.0.1
[docroot]
path=www
INI
cat > "$work/nginx/nginx.conf" <<CONF
worker_processes auto;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  tcp_nodelay on;
  types { text/plain txt; text/html html; }
  server { listen 127.0.0.1:$nginx_port; root $work/www; }
}
CONF

env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work/runtime" XDG_CONFIG_HOME="$work/home/.config" HOME="$work/home" \
  "$work/orvo" -r > "$work/orvo.out" 2>&1 &
orvo_pid=$!; pids+=("$orvo_pid")
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" &
pids+=("$!")
for _ in $(seq 100); do grep -q listening "$work/orvo.out" && curl -sf "http://127.0.0.1:$nginx_port/file.txt" >/dev/null && break; sleep 0.05; done
sleep 1
idle_rss=$(awk '/VmRSS/ {print $2}' /proc/$orvo_pid/status)

rps() { wrk -t2 -c32 -d"${secs}s" "$1" | awk '/Requests\/sec/ {print $2}'; }
nginx_static=$(rps "http://127.0.0.1:$nginx_port/file.txt")
orvo_static=$(rps "http://127.0.0.1:$orvo_port/file.txt")
orvo_ajax=$(rps "http://127.0.0.1:$orvo_port/ajax.html?func=")
loaded_rss=$(awk '/VmHWM/ {print $2}' /proc/$orvo_pid/status)
kill "$orvo_pid"; wait "$orvo_pid" 2>/dev/null || true

start_port=$(free_port)
sed -i "s/^port=.*/port=$start_port/" "$work/config.ini"
read -r start_median start_min start_max < <(/usr/bin/python3 "$here/starttime.py" "$work" "$start_port" 20)

ratio=$(awk -v a="$orvo_static" -v b="$nginx_static" 'BEGIN { printf "%.2f", a / b }')
report=$(cat <<MD
# HTTP ($(date -u +%Y-%m-%d), $(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo))

| measure | orvo | nginx-light | aim |
|---|---|---|---|
| 1 KB static file, requests/s (wrk -t2 -c32, ${secs}s) | $orvo_static | $nginx_static | orvo ≥ 0.7 × nginx (now $ratio) |
| empty AJAX call, requests/s | $orvo_ajax | — | |
| start to first 200, median (min–max) of 20, ms | $start_median ($start_min–$start_max) | — | < 60 |
| idle RSS, MB | $(awk -v k="$idle_rss" 'BEGIN { printf "%.1f", k/1024 }') | — | < 40 |
| peak RSS after the runs, MB | $(awk -v k="$loaded_rss" 'BEGIN { printf "%.1f", k/1024 }') | — | |
MD
)
echo "$report"
echo "$report" > "$here/results-http.md"
