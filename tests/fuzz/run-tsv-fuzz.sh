#!/usr/bin/env bash
# Builds the TSV fuzz target with clang's libFuzzer and runs it for a bounded time.
# Usage: run-tsv-fuzz.sh SOURCE_DIR WORK_DIR SECONDS
set -euo pipefail
source_dir=$1
work_dir=$2
seconds=$3
mkdir -p "$work_dir/corpus"
clang++ -std=c++20 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -I"$source_dir/src" $(pkg-config --cflags Qt6Core) \
  "$source_dir/tests/fuzz/tsv_decode_fuzz.cpp" "$source_dir/src/sheet/TSV.cpp" \
  $(pkg-config --libs Qt6Core) -o "$work_dir/tsv_decode_fuzz"
# Seeds: the shapes that matter most, so the run starts from interesting inputs.
printf 'a\tb\nc' > "$work_dir/corpus/plain"
printf '"x\ty"\tz\r\n"say ""hi"""\r\r' > "$work_dir/corpus/quoted"
printf '"unterminated\n' > "$work_dir/corpus/open-quote"
"$work_dir/tsv_decode_fuzz" -max_total_time="$seconds" -max_len=512 -print_final_stats=1 \
  "$work_dir/corpus"
