#!/usr/bin/env bash
# Checks that every C++ source of the tree is laid out as .clang-format says.
# With --fix, rewrites the ones that are not. Exits 1 and names the files
# when a check finds any.
set -euo pipefail
cd "$(dirname "$0")/.."
format=$(command -v clang-format-14 || command -v clang-format || true)
if [ -z "$format" ]; then
  echo "check_format: clang-format is not installed (scripts/setup.sh installs it)" >&2
  exit 1
fi
mapfile -t files < <(git ls-files --cached --others --exclude-standard '*.cpp' '*.h' 2>/dev/null | grep -v '^tests/fixtures/' ||
                     find driver sim lib tools tests bench fuzz -name '*.cpp' -o -name '*.h' | grep -v '^tests/fixtures/')
if [ "${1:-}" = "--fix" ]; then
  "$format" -i "${files[@]}"
  exit 0
fi
bad=()
for file in "${files[@]}"; do
  "$format" --dry-run -Werror "$file" >/dev/null 2>&1 || bad+=("$file")
done
if [ ${#bad[@]} -gt 0 ]; then
  printf 'not formatted: %s\n' "${bad[@]}"
  echo "check_format: ${#bad[@]} file(s); scripts/check_format.sh --fix rewrites them"
  exit 1
fi
echo "check_format: all ${#files[@]} files follow .clang-format"
