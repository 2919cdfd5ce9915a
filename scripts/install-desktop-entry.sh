#!/bin/sh
# Registers Velmora for this user as the handler of "velmora:" links (the sign-in
# callback): a desktop entry in ~/.local/share/applications that runs the given binary.
# usage: scripts/install-desktop-entry.sh [PATH-TO-velmora]
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
binary=${1:-$(command -v velmora || echo "$here/build/src/app/velmora")}
case $binary in /*) ;; *) binary=$(cd "$(dirname "$binary")" && pwd)/$(basename "$binary") ;; esac
[ -x "$binary" ] || { echo "install-desktop-entry: no velmora at $binary" >&2; exit 1; }
apps=${XDG_DATA_HOME:-$HOME/.local/share}/applications
mkdir -p "$apps"
# Desktop entries quote arguments with double quotes; a path with one cannot be written.
case $binary in *\"*|*\\*) echo "install-desktop-entry: unusable path $binary" >&2; exit 1 ;; esac
sed "s|^Exec=velmora %u|Exec=\"$binary\" %u|" "$here/data/velmora.desktop" > "$apps/velmora.desktop.tmp"
mv "$apps/velmora.desktop.tmp" "$apps/velmora.desktop"
if command -v xdg-mime >/dev/null; then xdg-mime default velmora.desktop x-scheme-handler/velmora; fi
if command -v update-desktop-database >/dev/null; then update-desktop-database "$apps" || true; fi
echo "velmora: links velmora:// open $binary"
