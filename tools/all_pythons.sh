#!/usr/bin/env bash
# Builds korvanta and runs the whole test suite on every CPython from 3.10 up
# that pyenv knows on this machine (or on the interpreters given as arguments).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -gt 0 ]; then
    pythons=("$@")
else
    root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
    pythons=()
    for dir in "$root"/versions/3.*; do
        minor=$(basename "$dir" | cut -d. -f2)
        [[ "$minor" =~ ^[0-9]+$ ]] && [ "$minor" -ge 10 ] && [ -x "$dir/bin/python3" ] && pythons+=("$dir/bin/python3")
    done
fi
[ ${#pythons[@]} -gt 0 ] || { echo "no CPython 3.10+ found" >&2; exit 1; }

failed=()
for python in "${pythons[@]}"; do
    version=$("$python" -c 'import platform; print(platform.python_version())')
    echo "=== CPython $version ($python)"
    venv=".venv-py$version"
    if "$python" -m venv "$venv" && "$venv/bin/python" -m pip install -q --upgrade pip &&
        "$venv/bin/pip" install -q '.[test]' && "$venv/bin/python" -m pytest -q -p no:cacheprovider; then
        echo "=== CPython $version: passed"
    else
        echo "=== CPython $version: FAILED"
        failed+=("$version")
    fi
done
[ ${#failed[@]} -eq 0 ] || { echo "failed on: ${failed[*]}" >&2; exit 1; }
echo "passed on ${#pythons[@]} interpreter(s)"
