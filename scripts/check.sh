#!/usr/bin/env bash
# The fast checks that need no build and no services: C++ formatting, Python lint, the
# module sources' boundary (no C-API call outside the runtime). Seconds, so a slip fails
# CI at once. `--fix` applies the formatter and the linter's safe fixes instead.
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
  "$(grep -E '^ruff==' requirements.txt)" "$(grep -E '^clang-format==' requirements.txt)"

mapfile -t cxx < <(git ls-files '*.cpp' '*.hpp')
if [[ ${1:-} == --fix ]]; then
  clang-format -i "${cxx[@]}"
  ruff check --fix .
  exit 0
fi

echo "==> clang-format" >&2
clang-format --dry-run --Werror "${cxx[@]}"
echo "==> ruff" >&2
ruff check --quiet .
echo "==> module sources use the runtime's vocabulary, not the C API" >&2
module_dirs=(api/routers/tessera api/services/planwork api/helpers/plots)
if grep -nE '\bPy[A-Za-z]*_[A-Za-z0-9]+\s*\(|rt::detail::' -r "${module_dirs[@]}" --include='*.cpp' --include='*.hpp'; then
  echo "error: C-API calls in module sources (above): add what they need to the runtime" >&2
  exit 1
fi
echo "==> checks passed" >&2
