#!/bin/bash
# Builds kestrel and starts it. Where no kestrel.cfg exists yet beside the
# executable, writes one that points the camera at the built-in synthetic
# camera and the web server at a free unprivileged loopback port. Shows the
# window when there is a display, otherwise runs as a daemon.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_TESTS=OFF
cmake --build "$root/build" -j "$(nproc)"

cfg="$root/build/kestrel.cfg"
if [ ! -e "$cfg" ]; then
    port=8080
    while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do
        port=$((port + 1))
    done
    daemon=false
    if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
        daemon=true
    fi
    printf '%s\r\n' "ip=127.0.0.1" "port=$port" "ipc_ip=test://1280x720@25" \
        "daemon_mode=$daemon" > "$cfg"
fi

cfg_value() {
    { grep -a "^$1=" "$cfg" || true; } | head -1 | tr -d '\r' | cut -d= -f2-
}
port=$(cfg_value port)
ip=$(cfg_value ip)
login=$(cfg_value login)
password=$(cfg_value password)
[ "$ip" = "0.0.0.0" ] && ip=127.0.0.1
echo "kestrel: web page at http://${ip:-127.0.0.1}:${port:-80}/ (user ${login:-user}, password ${password:-4137})"
echo "kestrel: log at $root/build/kestrel.log; stop with Ctrl+C"
exec "$root/build/kestrel"
