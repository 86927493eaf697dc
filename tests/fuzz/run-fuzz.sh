#!/usr/bin/env bash
# Builds one libFuzzer target with clang (when its sources changed) and runs it.
# Usage: run-fuzz.sh SOURCE_DIR WORK_DIR TARGET [libFuzzer options...]
# The run starts from tests/fuzz/corpus/TARGET. New inputs go to WORK_DIR/corpus/TARGET, or, with
# TABREL_FUZZ_KEEP=1 (scripts/fuzz), into tests/fuzz/corpus/TARGET itself.
set -euo pipefail
source_dir=$1
work_dir=$2
target=$3
shift 3
src=$source_dir/src
case $target in
tsv_decode) sources="$src/sheet/TSV.cpp" ;;
stream_lines) sources="$src/connection/NativeStreamLines.cpp $src/connection/Utf8LineScan.cpp
                       $src/connection/NativeClientError.cpp $src/connection/UrlError.cpp" ;;
event_parser) sources="$src/sheet/SheetEventParser.cpp" ;;
wire_decode) sources="$src/sheet/SheetWire.cpp $src/sheet/Coordinate.cpp $src/connection/JsonReader.cpp" ;;
status) sources="$src/connection/NativeClientError.cpp $src/connection/UrlError.cpp" ;;
a1) sources="$src/sheet/Coordinate.cpp" ;;
*) echo "unknown fuzz target: $target" >&2; exit 2 ;;
esac
mkdir -p "$work_dir/corpus/$target"
binary=$work_dir/${target}_fuzz
main=$source_dir/tests/fuzz/${target}_fuzz.cpp
# A loop rather than `ls -t | head -1`: under pipefail, head closing the pipe early kills ls with
# SIGPIPE once the listing outgrows one write, which ended the script silently on long paths.
stale() {
  [[ -x $binary ]] || return 0
  local file
  for file in "$main" $sources "$src"/*/*.h; do
    [[ $file -nt $binary ]] && return 0
  done
  return 1
}
if stale; then
  clang++ -std=c++20 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I"$src" $(pkg-config --cflags Qt6Core Qt6Network simdjson) "$main" $sources \
    $(pkg-config --libs Qt6Core Qt6Network simdjson) -o "$binary"
fi
# A text of 4 KiB reaches every limit of these readers; longer inputs only run slower.
if [[ ${TABREL_FUZZ_KEEP:-0} == 1 ]]; then
  corpora=("$source_dir/tests/fuzz/corpus/$target")
else
  corpora=("$work_dir/corpus/$target" "$source_dir/tests/fuzz/corpus/$target")
fi
"$binary" -max_len=4096 -print_final_stats=1 "$@" "${corpora[@]}"
