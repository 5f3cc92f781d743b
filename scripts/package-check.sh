#!/bin/bash
# Checks the Debian package by hand (not part of the tests; needs root and
# apt): builds it from a build folder (default build/), runs lintian,
# installs it with apt, rates the unit with systemd-analyze security
# --offline=true, runs one instance from the installed files (under systemd
# when it is PID 1, else directly with --config), purges the package and
# shows that only the instance's state is left, which it then removes.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
instance=package-check
state=/var/lib/kestrel/$instance

echo "== cpack"
rm -f "$build"/package/kestrel_*.deb
cpack --config "$build/CPackConfig.cmake" | tail -1
deb=$(ls "$build"/package/kestrel_*.deb)
dpkg-deb -f "$deb" Package Version Architecture Depends

echo "== lintian"
lintian_status=0
lintian "$deb" || lintian_status=$?
echo "lintian exit status $lintian_status (0: no errors)"

echo "== apt install"
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb" 2>&1 | grep -E "kestrel|Setting up|newly installed" || true
dpkg -L kestrel | grep -vE '^/\.$|^/(usr|lib)(/share|/share/doc|/bin|/systemd)?$'

echo "== systemd-analyze security --offline=true"
systemd-analyze security --offline=true /lib/systemd/system/kestrel@.service || true

echo "== one instance from the installed files"
# A loopback port, so the check listens nowhere else.
mkdir -p "$state"
printf 'daemon_mode=true\r\nip=127.0.0.1\r\nport=18080\r\nipc_ip=test://320x240@10\r\nrec_active=true\r\n' \
    > "$state/kestrel.cfg"
if [ "$(ps -o comm= -p 1)" = systemd ]; then
    systemctl start "kestrel@$instance"
    sleep 3
    systemctl status --no-pager "kestrel@$instance" | head -5
    systemctl stop "kestrel@$instance"
else
    echo "(systemd is not PID 1 here: running /usr/bin/kestrel --config directly)"
    /usr/bin/kestrel --config "$state/kestrel.cfg" &
    pid=$!
    sleep 3
    curl -s -o /dev/null -w "GET / -> %{http_code} (401: the page asks for the password)\n" http://127.0.0.1:18080/
    kill -TERM $pid
    wait $pid && echo "kestrel exited 0 on SIGTERM"
fi
ls -l "$state" "$state/root"

echo "== apt purge"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q kestrel 2>&1 | grep -E "Removing|Purging" || true
dpkg -s kestrel >/dev/null 2>&1 && echo "STILL INSTALLED" || echo "kestrel is not installed"
for path in /usr/bin/kestrel /usr/share/kestrel /usr/share/doc/kestrel /lib/systemd/system/kestrel@.service; do
    [ -e "$path" ] && echo "LEFT BEHIND: $path" || echo "gone: $path"
done
echo "left: the instance's state"; find /var/lib/kestrel -maxdepth 2
rm -rf "$state"
rmdir /var/lib/kestrel 2>/dev/null || true
exit $lintian_status
