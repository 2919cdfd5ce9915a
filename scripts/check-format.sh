#!/usr/bin/env bash
# Checks that the C++ sources match the repository's .clang-format; lists the files that
# do not (fix them with `clang-format -i FILE`). Exits non-zero when any differs.
set -euo pipefail
cd "$(dirname "$0")/.."
format="${CLANG_FORMAT:-$(command -v clang-format-14 || command -v clang-format || true)}"
if [ -z "$format" ]; then
  echo "check-format: clang-format is not installed (Debian: clang-format-14)" >&2
  exit 2
fi
mapfile -t files < <(find src server tests bench fuzz -type f \( -name '*.cpp' -o -name '*.h' \) | sort)
drift=()
for f in "${files[@]}"; do
  if ! "$format" --style=file "$f" | cmp -s - "$f"; then drift+=("$f"); fi
done
if [ "${#drift[@]}" -gt 0 ]; then
  printf 'check-format: not formatted: %s\n' "${drift[@]}" >&2
  echo "check-format: ${#drift[@]} of ${#files[@]} files differ from .clang-format" >&2
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"
