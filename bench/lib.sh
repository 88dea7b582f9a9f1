# Shared by the benchmark scripts (sourced, not run).

# A free TCP port on 127.0.0.1.
free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# start_orvo WORK BUILD [EXTRA_LISTENER_KEYS]
# Starts orvo from BUILD in WORK/orvo on a free port, without a display and with
# its own per-user folders, and waits until it listens. Sets `port` and `orvo_pid`.
start_orvo() {
  local work="$1" build="$2" extra="${3:-}"
  port="$(free_port)"
  mkdir -p "$work/orvo/www" "$work/home/.config" "$work/runtime"
  chmod 700 "$work/runtime"
  cp "$build/orvo" "$work/orvo/orvo"
  printf '<!doctype html><title>Orvo</title>\n' > "$work/orvo/www/index.html"
  printf '[listener]\nport=%s\nhost=127.0.0.1\n%b[docroot]\npath=www\n' "$port" "$extra" > "$work/orvo/config.ini"
  env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen HOME="$work/home" \
    XDG_CONFIG_HOME="$work/home/.config" XDG_RUNTIME_DIR="$work/runtime" \
    "$work/orvo/orvo" -r > "$work/orvo.out" 2> "$work/orvo.err" &
  orvo_pid=$!
  for _ in $(seq 1 100); do
    grep -q "listening on" "$work/orvo.out" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "orvo did not start" >&2
  cat "$work/orvo.err" >&2
  exit 1
}
