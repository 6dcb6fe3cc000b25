#!/usr/bin/env bash
# Checks the house style (docs/architecture.md, "Conventions"): every C and C++
# file formatted as .clang-format says, and the naming rules a pattern can see.
# Lists what breaks them and exits non-zero.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if ! command -v clang-format >/dev/null; then
  echo "check-style: clang-format is missing (scripts/install-deps.sh installs it)" >&2
  exit 1
fi

failed=0

mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.c')
unformatted=()
for f in "${files[@]}"; do
  if ! clang-format --dry-run --Werror "$f" >/dev/null 2>&1; then
    unformatted+=("$f")
  fi
done
if [ ${#unformatted[@]} -ne 0 ]; then
  echo "check-style: not formatted as .clang-format says (fix with: clang-format -i FILE):" >&2
  printf '  %s\n' "${unformatted[@]}" >&2
  failed=1
fi

# Each rule: what it forbids, then a pattern over the C++ files (comments
# included, so a rule's own words must not appear in one).
rule() {
  local what=$1 pattern=$2 hits
  shift 2
  hits=$(git grep -nE "$pattern" -- "$@" || true)
  if [ -n "$hits" ]; then
    echo "check-style: $what:" >&2
    printf '%s\n' "$hits" | sed 's/^/  /' >&2
    failed=1
  fi
}
rule "an enumeration that is not scoped (write enum class)" \
  '^\s*(typedef\s+)?enum(\s+[A-Za-z_][A-Za-z0-9_]*)?\s*(:[^:]|\{|$)' '*.cpp' '*.h'
rule "a constant with a k prefix (constants are PascalCase)" \
  '\b(constexpr|const)\b[^=(;]*\bk[A-Z][A-Za-z0-9]*\s*(=|\{|\[)' '*.cpp' '*.h'
rule "a using-directive at namespace scope in a header" '^using namespace ' '*.h'

exit $failed
