#!/usr/bin/env bash
# Builds korvanta for Debian's debug interpreter (python3.11-dbg) and runs the
# whole test suite under the leak-hunting plugin. Any leak fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON_DBG:-python3.11-dbg}
venv=.venv-dbg

"$python" -m venv "$venv"
export PYTHONWARNINGS=ignore  # the debug interpreter warns about pip's own unclosed files
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/pip" install -q scikit-build-core pytest hypothesis
"$venv/bin/pip" install -q tokenizers || echo "tokenizers is not installable for $python; its test is skipped"
"$venv/bin/pip" install -q --no-build-isolation -C build-dir=build/dbg .
unset PYTHONWARNINGS
PYTHONPATH=tools "$venv/bin/python" -m pytest -q -p leakhunt -p no:cacheprovider "$@"
