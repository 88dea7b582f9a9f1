#!/usr/bin/env bash
# Installs what Orvo needs (and, with --tests, what its tests need), then
# configures and builds into build/. Quick when nothing changed.
set -euo pipefail
cd "$(dirname "$0")/.."

want_tests=0
[ "${1:-}" = "--tests" ] && want_tests=1

runtime_pkgs=(cmake g++ make pkg-config ccache qt6-base-dev qt6-serialport-dev qt6-tools-dev qt6-tools-dev-tools
  qt6-l10n-tools qt6-translations-l10n libgl-dev libmodbus-dev libcpp-httplib-dev fonts-dejavu-core curl
  xdg-utils pkexec)
test_pkgs=(python3 python3-pymodbus python3-serial python3-serial-asyncio socat mbpoll python3-aiosmtpd openssl
  poppler-utils locales xvfb trayer chromium xauth x11-utils imagemagick xdotool)

pkgs=("${runtime_pkgs[@]}")
[ "$want_tests" = 1 ] && pkgs+=("${test_pkgs[@]}")

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Node.js and npm (for the pages' libraries and the browser tests) usually come
# with the machine; Debian's are taken only when there are none.
command -v npm >/dev/null 2>&1 || missing+=(nodejs npm)
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ "$want_tests" = 1 ]; then
  # The number tests also run under locales that write "3,14".
  for loc in de_DE pl_PL; do
    if ! locale -a 2>/dev/null | grep -qi "^${loc}\.utf-\?8$"; then
      SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
      $SUDO sed -i "s/^# *\(${loc}.UTF-8 UTF-8\)/\1/" /etc/locale.gen
      $SUDO locale-gen >/dev/null
    fi
  done
fi

# Front-end libraries come from npm, pinned by package-lock.json.
if [ -f package.json ]; then
  if [ ! -d node_modules ] || [ package-lock.json -nt node_modules ]; then
    npm ci --no-audit --no-fund --loglevel=error
  fi
fi

build_dir="${ORVO_BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="${ORVO_BUILD_TYPE:-Release}" ${ORVO_CMAKE_ARGS:-} >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
