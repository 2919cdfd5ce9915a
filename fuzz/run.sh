#!/usr/bin/env bash
# Runs every fuzz target for a fixed time from its seed corpus (fuzz/corpus/<target>/).
# New inputs go to a scratch folder, not the tree; a crash's input is kept in
# $FUZZ_ARTIFACTS (default BUILD_DIR/fuzz-artifacts). Exits non-zero when any target fails.
# usage: fuzz/run.sh BUILD_DIR [SECONDS_EACH]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:?usage: fuzz/run.sh BUILD_DIR [SECONDS_EACH]}" && pwd)"
seconds="${2:-20}"
artifacts="${FUZZ_ARTIFACTS:-$build/fuzz-artifacts}"
mkdir -p "$artifacts"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

failed=()
for seeds in "$here"/corpus/*/; do
  name="$(basename "$seeds")"
  target="$build/fuzz/$name"
  if [ ! -x "$target" ]; then
    echo "fuzz: $name is not built" >&2
    failed+=("$name")
    continue
  fi
  mkdir -p "$scratch/$name"
  echo "fuzz: $name for ${seconds}s"
  # -close_fd_mask=3: the targets' own output is noise; reports still reach stderr.
  if ! "$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=3072 -close_fd_mask=3 \
      -print_final_stats=1 -artifact_prefix="$artifacts/$name-" \
      "$scratch/$name" "$seeds" 2>"$scratch/$name.log"; then
    tail -n 60 "$scratch/$name.log" >&2
    failed+=("$name")
  else
    grep -E '^stat::number_of_executed_units|^stat::new_units_added' "$scratch/$name.log" | tr '\n' ' '
    echo
  fi
done
if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz: failed: ${failed[*]} (inputs in $artifacts)" >&2
  exit 1
fi
