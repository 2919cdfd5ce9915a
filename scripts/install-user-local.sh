#!/bin/sh
# Installs the app from its package for this user alone, without root:
#   ROOT/velmora-VERSION/usr/...   the unpacked package
#   ROOT/current                   a link to the one that runs (updates replace it in one step)
#   ~/.local/bin/velmora           a link to ROOT/current/usr/bin/velmora
# usage: scripts/install-user-local.sh PACKAGE.deb [ROOT]   (ROOT: ~/.local/lib/velmora)
set -eu
die() { echo "install-user-local: $*" >&2; exit 1; }
deb=${1:-}
[ -f "$deb" ] || die "usage: $0 PACKAGE.deb [ROOT]"
root=${2:-${XDG_DATA_HOME:-$HOME/.local/share}/../lib/velmora}
mkdir -p "$root"
root=$(cd "$root" && pwd)
version=$(dpkg-deb -f "$deb" Version | tr -c 'A-Za-z0-9.+~\n-' '_')
name=velmora-$version
staging=$(mktemp -d "$root/.partial-XXXXXX")
trap 'rm -rf "$staging"' EXIT
dpkg-deb -x "$deb" "$staging"
[ -x "$staging/usr/bin/velmora" ] || die "$deb holds no velmora"
rm -rf "${root:?}/$name"
mv "$staging" "$root/$name"
ln -sfn "$name" "$root/.current.new"
mv -T "$root/.current.new" "$root/current"
bin=$HOME/.local/bin
mkdir -p "$bin"
ln -sfn "$root/current/usr/bin/velmora" "$bin/velmora"
here=$(cd "$(dirname "$0")" && pwd)
"$here/install-desktop-entry.sh" "$bin/velmora" || true
echo "velmora $version installed in $root (run: $bin/velmora)"
