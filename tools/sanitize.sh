#!/usr/bin/env bash
# Builds korvanta with AddressSanitizer and UndefinedBehaviorSanitizer and runs
# the whole test suite against it. Any sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
venv=.venv-asan

"$python" -m venv "$venv"
"$venv/bin/pip" install -q scikit-build-core pytest hypothesis tokenizers
"$venv/bin/pip" install -q --no-build-isolation \
    -C cmake.define.KORVANTA_SANITIZE=ON -C build-dir=build/asan -C cmake.build-type=RelWithDebInfo .

log=$(mktemp -d)/sanitizer
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1:log_path=$log:strict_string_checks=1:detect_stack_use_after_return=1"
export LSAN_OPTIONS="suppressions=$PWD/tools/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$log"
export KORVANTA_SANITIZED=1

status=0
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=$?
unset LD_PRELOAD
if compgen -G "$log*" >/dev/null; then
    cat "$log"*
    echo "sanitizer reports found" >&2
    exit 1
fi
exit $status
