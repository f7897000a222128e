#!/usr/bin/env bash
# Builds the sdist and the wheel, then checks both from scratch:
#   - the wheel in a fresh venv: the test suite, stubtest, a strict mypy run
#     over the examples, and the prompt-learning example;
#   - the sdist unpacked in a fresh venv: built from source and tested there.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$python" -m venv "$work/build-env"
"$work/build-env/bin/pip" install -q build
rm -rf dist
"$work/build-env/bin/python" -m build --outdir dist .

echo "--- the wheel in a fresh venv"
"$python" -m venv "$work/wheel"
"$work/wheel/bin/pip" install -q "$(ls dist/*.whl)[test]" mypy
"$work/wheel/bin/python" -m pytest -q -p no:cacheprovider
(cd "$work" && "$work/wheel/bin/python" -m mypy.stubtest korvanta --allowlist "$OLDPWD/stubs/stubtest-allowlist.txt")
"$work/wheel/bin/python" -m mypy --strict --no-incremental examples/
"$work/wheel/bin/python" examples/prompt_learning.py

echo "--- the sdist, built from source in a fresh venv"
tar -xzf dist/*.tar.gz -C "$work"
"$python" -m venv "$work/sdist"
(cd "$work"/korvanta-*/ && "$work/sdist/bin/pip" install -q '.[test]' && "$work/sdist/bin/python" -m pytest -q -p no:cacheprovider)
echo "package checks passed"
