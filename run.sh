#!/bin/bash
# Installs the missing Debian packages, builds Tarvello and starts it.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/packages.sh

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "Tarvello is a desktop program: it needs a graphical session (DISPLAY or" >&2
    echo "WAYLAND_DISPLAY is not set). Start it from your desktop's terminal." >&2
    exit 1
fi

install_packages "${BUILD_PACKAGES[@]}"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build

if [ "$(id -u)" != 0 ] && ! getcap build/tarvello 2>/dev/null | grep -q cap_net_bind_service; then
    echo "Note: to receive messages on TCP port 4 as an ordinary user, allow it once:"
    echo "  sudo setcap cap_net_bind_service=+ep $(pwd)/build/tarvello"
fi
exec build/tarvello
