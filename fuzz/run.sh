#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for a bounded time.
#
#   fuzz/run.sh [HARNESS...]           fuzz each (all when none is named)
#   fuzz/run.sh --merge [HARNESS...]   minimise what the runs found into fuzz/corpus/
#
# FUZZ_SECONDS  time per harness (default 60)
# FUZZ_BUILD    build directory (default build/fuzz)
# FUZZ_CXX      the clang to build with (default clang++-14, else clang++)
# FUZZ_NO_BUILD set to 1 to run the harnesses already built
#
# Each run starts from the committed corpus (fuzz/corpus/<harness>) and the seeds
# that fuzz/make_seeds.py writes; what it finds new collects in
# $FUZZ_BUILD/corpus/<harness>, and --merge folds that into fuzz/corpus with
# libFuzzer's -merge=1 (only inputs that add coverage are kept). An input that
# breaks a check or trips a sanitizer is written to $FUZZ_BUILD/findings/<harness>/;
# once fixed, it goes into fuzz/corpus/<harness> as a regression input.
set -u
cd "$(dirname "$0")/.."
SECONDS_EACH=${FUZZ_SECONDS:-60}
BUILD=${FUZZ_BUILD:-build/fuzz}
PYTHON=${PYTHON:-python3}
CMAKE=${CMAKE:-cmake}
MERGE=0
if [ "${1:-}" = --merge ]; then MERGE=1; shift; fi
HARNESSES=("$@")
[ ${#HARNESSES[@]} -eq 0 ] && HARNESSES=(memories pack tokenize lcs text index_ops index_state index_file)

if [ "${FUZZ_NO_BUILD:-0}" != 1 ]; then
    CXX=${FUZZ_CXX:-$(command -v clang++-14 || command -v clang++)}
    [ -n "$CXX" ] || { echo "fuzz: clang not found (Debian: apt-get install clang-14 libclang-rt-14-dev)"; exit 1; }
    "$CMAKE" -S fuzz -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER="$CXX" >/dev/null || exit 1
    "$CMAKE" --build "$BUILD" >/dev/null || exit 1
fi
"$PYTHON" fuzz/make_seeds.py "$BUILD/seeds" || exit 1

# Options of one harness: the LCS harness's work grows with the square of its
# input in the reference model; the state reader must never make one allocation
# far beyond its input (64 KiB at most here).
options() {
    case "$1" in
        lcs) echo -max_len=4096 ;;
        index_state) echo -max_len=65536 -malloc_limit_mb=16 ;;
        index_file) echo -max_len=65536 -malloc_limit_mb=16 ;;
        index_ops) echo -max_len=2048 ;;
    esac
}

status=0
for harness in "${HARNESSES[@]}"; do
    mkdir -p "$BUILD/corpus/$harness" "$BUILD/findings/$harness" "$BUILD/logs" "fuzz/corpus/$harness"
    log="$BUILD/logs/$harness.log"
    if [ $MERGE = 1 ]; then
        # The seeds go in first, so that only inputs reaching beyond them are kept;
        # they are written again on every run, so they are not committed.
        merged="$BUILD/merged/$harness"
        rm -rf "$merged" && mkdir -p "$merged"
        cp "$BUILD/seeds/$harness"/* "$merged/"
        "$BUILD/fuzz_$harness" -merge=1 $(options "$harness") "$merged" "fuzz/corpus/$harness" \
            "$BUILD/corpus/$harness" >"$log" 2>&1 || { echo "fuzz_$harness: merge failed, see $log"; status=1; continue; }
        for seed in "$BUILD/seeds/$harness"/*; do rm -f "$merged/$(basename "$seed")"; done
        rm -rf "fuzz/corpus/$harness" && mv "$merged" "fuzz/corpus/$harness"
        echo "fuzz_$harness: fuzz/corpus/$harness holds $(ls "fuzz/corpus/$harness" | wc -l) inputs"
        continue
    fi
    "$BUILD/fuzz_$harness" -max_total_time="$SECONDS_EACH" -timeout=30 -print_final_stats=1 \
        $(options "$harness") -dict=fuzz/json.dict -artifact_prefix="$BUILD/findings/$harness/" \
        "$BUILD/corpus/$harness" "fuzz/corpus/$harness" "$BUILD/seeds/$harness" >"$log" 2>&1
    rc=$?
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
    coverage=$(grep -o 'DONE *cov: [0-9]* ft: [0-9]*' "$log" | tail -1 | sed 's/DONE *//')
    if [ $rc -eq 0 ]; then
        echo "fuzz_$harness: ${runs:-?} executions in $SECONDS_EACH s, ${coverage:-cov: ?}, no finding"
    else
        echo "fuzz_$harness: FINDING (exit $rc), see $log and $BUILD/findings/$harness/"
        grep -m3 -E 'fuzz check failed|ERROR: AddressSanitizer|runtime error|ERROR: libFuzzer|out-of-memory|malloc\(' "$log"
        status=1
    fi
done
exit $status
