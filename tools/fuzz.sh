#!/usr/bin/env bash
# Builds the libFuzzer harness over the parser, renderer and hash (clang with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs it on the seed
# corpus for the given number of seconds (default 60). New inputs go to fuzz/out.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
mkdir -p build/fuzz fuzz/out
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -Isrc fuzz/fuzz_markup.cpp src/parser/markup.cpp src/fragment/record.cpp src/fragment/render.cpp \
    src/fragment/siphash.cpp -o build/fuzz/fuzz_markup
build/fuzz/fuzz_markup -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
    -dict=fuzz/markup.dict -artifact_prefix=build/fuzz/ fuzz/out fuzz/corpus
