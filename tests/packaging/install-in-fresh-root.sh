#!/bin/bash
# Builds the Debian packages, checks them with lintian, installs them with apt into a fresh
# Debian 12 root (debootstrap, minbase) and checks that the app starts and that the server's
# unit command line answers "ping". Needs root and a Debian mirror.
# usage: install-in-fresh-root.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
mirror=${VELMORA_DEBIAN_MIRROR:-http://deb.debian.org/debian}
cache=$build/packaging-cache
started=$(date +%s)
step() { echo "[$(( $(date +%s) - started ))s] $*"; }
check() { "$@" || { echo "packaging test: failed: $*"; exit 1; }; }

[ "$(id -u)" -eq 0 ] || { echo "packaging test: needs root (chroot, mounts)"; exit 77; }
for tool in debootstrap lintian cpack chroot; do
    command -v $tool >/dev/null || { echo "packaging test: needs $tool"; exit 77; }
done

step "packages"
out=$(mktemp -d)
root=$(mktemp -d)
server_pid=""
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
    for m in var/cache/apt/archives dev/pts dev proc; do mountpoint -q "$root/$m" && umount -l "$root/$m"; done
    rm -rf "$out" "$root"
}
trap cleanup EXIT
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; exit 1; }
app=$(ls "$out"/velmora_*.deb)
server=$(ls "$out"/velmora-server_*.deb)
dpkg-deb -f "$app" Depends | grep -q libqt6widgets6 || { echo "app: no library dependencies"; exit 1; }

step "lintian"
lintian --fail-on error --suppress-tags no-manual-page "$app" "$server"

step "fresh root"
mkdir -p "$cache"
if [ ! -f "$cache/minbase.tar" ]; then
    debootstrap --variant=minbase bookworm "$root" "$mirror" >"$out/debootstrap.log" 2>&1 ||
        { tail -20 "$out/debootstrap.log"; exit 1; }
    tar -C "$root" -cf "$cache/minbase.tar.partial" . && mv "$cache/minbase.tar.partial" "$cache/minbase.tar"
else
    tar -C "$root" -xf "$cache/minbase.tar"
fi
# The root folder as a system has it (mktemp made it private).
chmod 0755 "$root"
mount --bind /dev "$root/dev"
mount -t devpts devpts "$root/dev/pts" 2>/dev/null || true
mount -t proc proc "$root/proc"
# Downloaded packages are kept between runs.
mkdir -p "$cache/archives/partial"
mount --bind "$cache/archives" "$root/var/cache/apt/archives"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$app" "$server" "$root/tmp/"

step "apt install"
# No service starts inside the build root: there is no systemd running there.
printf '#!/bin/sh\nexit 101\n' > "$root/usr/sbin/policy-rc.d" && chmod +x "$root/usr/sbin/policy-rc.d"
# apt in the root keeps what it downloads (minbase's docker-style clean hook would not).
rm -f "$root/etc/apt/apt.conf.d/docker-clean"
chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get -q update >"$out/apt.log" 2>&1
chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get -q install -y --no-install-recommends \
    "/tmp/$(basename "$app")" "/tmp/$(basename "$server")" >>"$out/apt.log" 2>&1 ||
    { tail -30 "$out/apt.log"; exit 1; }

step "the app starts"
version=$(chroot "$root" velmora --version)
echo "$version" | grep -q '^Velmora ' || { echo "velmora --version said: $version"; exit 1; }
echo "$version"
check test -f "$root/usr/share/applications/velmora.desktop"
check grep -q 'x-scheme-handler/velmora' "$root/usr/share/applications/velmora.desktop"
check test -f "$root/etc/xdg/autostart/velmora.desktop"
check test -f "$root/usr/share/icons/hicolor/scalable/apps/velmora.svg"

step "the server's unit answers ping"
check chroot "$root" getent passwd velmora-server >/dev/null
perms=$(chroot "$root" stat -c '%U:%G %a' /etc/velmora-server/server.conf)
check test "$perms" = "root:velmora-server 640"
unit=$root/lib/systemd/system/velmora-server.service
for want in 'User=velmora-server' 'StateDirectory=velmora-server' 'ProtectSystem=strict' \
            'NoNewPrivileges=yes'; do
    grep -qx "$want" "$unit" || { echo "unit lacks $want"; exit 1; }
done
# What systemd would run: the unit's ExecStart, as its user, with the settings file and the
# state folder it would make; the token from a file only the service reads.
port=$(( 20000 + RANDOM % 20000 ))
token=packaging-$RANDOM
conf=$root/etc/velmora-server/server.conf
# Never the default port, which a developer's own server may be using.
sed -i "s|127.0.0.1:8443|127.0.0.1:$port|; s|^#token-file = |token-file = |" "$conf"
check grep -q "^listen = 127.0.0.1:$port" "$conf"
echo "$token" > "$root/etc/velmora-server/token"
check chroot "$root" chown velmora-server:velmora-server /etc/velmora-server/token
chmod 0600 "$root/etc/velmora-server/token"
mkdir -p "$root/var/lib/velmora-server"
check chroot "$root" chown velmora-server:velmora-server /var/lib/velmora-server
chmod 0700 "$root/var/lib/velmora-server"
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
# systemd drops an unbraced $VAR of ExecStart that is not set: so does the shell's eval.
chroot "$root" setpriv --reuid=velmora-server --regid=velmora-server --init-groups \
    /bin/sh -c 'eval "exec $0"' "$exec_start" >"$out/server.log" 2>&1 &
server_pid=$!
answer=""
for _ in $(seq 1 600); do
    answer=$(curl -s -m 2 -H "Authorization: Bearer $token" "http://127.0.0.1:$port/ping" || true)
    [ "$answer" = pong ] && break
    kill -0 "$server_pid" 2>/dev/null || { cat "$out/server.log"; exit 1; }
    sleep 0.2
done
[ "$answer" = pong ] || { echo "no pong: $answer"; tail -20 "$out/server.log"; exit 1; }
check grep -q "listening on http://127.0.0.1:$port" "$out/server.log"
step "done"
