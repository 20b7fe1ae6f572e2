#!/usr/bin/env bash
# Checks that the project's C and C++ sources are formatted as .clang-format says (clang-format
# 14, Debian's): lists every file that is not, with the first lines clang-format would change,
# and exits 1 if there is one. `bash scripts/format-check.sh --fix` rewrites them in place.
#
# The files are those git knows (tracked, or new and not ignored), so build trees never count; code taken from elsewhere (the Crypto++, libdeflate and SHA-1 sources
# compiled from Debian's packages) lives in the cache, outside the tree, and any folder named
# third_party or vendor is left out as well.
set -euo pipefail
cd "$(dirname "$0")/.."

format=$(command -v clang-format-14 || command -v clang-format || true)
if [ -z "$format" ]; then
  echo "format-check: clang-format is not installed (scripts/setup.sh installs it)" >&2
  exit 2
fi

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -d '' files < <(git ls-files -z --cached --others --exclude-standard)
else
  mapfile -d '' files < <(find . -path ./build -prune -o -path ./.git -prune -o -type f -printf '%P\0')
fi

checked=0
bad=()
for f in "${files[@]}"; do
  case "$f" in
    */third_party/* | */vendor/* | build/* | */build/*) continue ;;
    *.c | *.cc | *.cpp | *.h | *.hpp | *.inc) ;;
    *) continue ;;
  esac
  [ -f "$f" ] || continue  # deleted but not yet staged
  checked=$((checked + 1))
  if ! "$format" --dry-run -Werror "$f" >/dev/null 2>&1; then bad+=("$f"); fi
done

if [ ${#bad[@]} -eq 0 ]; then
  echo "format-check: $checked files, all formatted"
  exit 0
fi
if [ "${1:-}" = --fix ]; then
  "$format" -i "${bad[@]}"
  echo "format-check: reformatted ${bad[*]}"
  exit 0
fi
echo "format-check: ${#bad[@]} files not formatted as .clang-format says:" >&2
for f in "${bad[@]}"; do
  echo "  $f" >&2
  "$format" "$f" | diff -u --label "$f" --label "$f (formatted)" "$f" - | sed -n '1,12p' >&2 || true
done
echo "format-check: fix with: bash scripts/format-check.sh --fix" >&2
exit 1
