#!/usr/bin/env bash
# Installs the Debian 12 packages Velmora builds, runs and tests with.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
mapfile -t pkgs < <(grep -v '^\s*#' "$here/debian-packages.txt" | tr ' ' '\n' | grep -v '^\s*$')
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${pkgs[@]}"
