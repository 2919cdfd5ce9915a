#!/usr/bin/env bash
# Runs every fuzz target for a fixed time from its seed corpus (fuzz/corpus/<target>/), as
# many at once as there are cores. New inputs go to a scratch folder, not the tree; a
# crash's input is kept in $FUZZ_ARTIFACTS (default BUILD_DIR/fuzz-artifacts). Exits non-zero
# when any target fails.
# usage: fuzz/run.sh BUILD_DIR [SECONDS_EACH]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:?usage: fuzz/run.sh BUILD_DIR [SECONDS_EACH]}" && pwd)"
seconds="${2:-20}"
artifacts="${FUZZ_ARTIFACTS:-$build/fuzz-artifacts}"
mkdir -p "$artifacts"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

# One target; its verdict goes to $scratch/NAME.status so the parent can gather them.
fuzz_one() {
  local name="$1" seeds="$2" target="$build/fuzz/$1"
  if [ ! -x "$target" ]; then
    echo "fuzz: $name is not built" >&2
    echo failed >"$scratch/$name.status"
    return
  fi
  mkdir -p "$scratch/$name"
  # -close_fd_mask=3: the targets' own output is noise; reports still reach stderr.
  if "$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=3072 -close_fd_mask=3 \
      -print_final_stats=1 -artifact_prefix="$artifacts/$name-" \
      "$scratch/$name" "$seeds" 2>"$scratch/$name.log"; then
    echo "fuzz: $name: $(grep -E '^stat::number_of_executed_units|^stat::new_units_added' \
      "$scratch/$name.log" | tr '\n' ' ')"
    echo passed >"$scratch/$name.status"
  else
    tail -n 60 "$scratch/$name.log" >&2
    echo failed >"$scratch/$name.status"
  fi
}

parallel="${FUZZ_JOBS:-$(nproc)}"
names=()
for seeds in "$here"/corpus/*/; do
  name="$(basename "$seeds")"
  names+=("$name")
  echo "fuzz: $name for ${seconds}s"
  fuzz_one "$name" "$seeds" &
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n || true; done
done
wait

failed=()
for name in "${names[@]}"; do
  [ "$(cat "$scratch/$name.status" 2>/dev/null)" = passed ] || failed+=("$name")
done
if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz: failed: ${failed[*]} (inputs in $artifacts)" >&2
  exit 1
fi
