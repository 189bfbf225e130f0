#!/usr/bin/env bash
# Builds the fuzz harnesses with clang and runs each for a bounded time.
#
#   fuzz/run.sh [HARNESS...]          all harnesses when none is named
#
# FUZZ_SECONDS  time per harness (default 60)
# FUZZ_BUILD    build directory (default build/fuzz)
# FUZZ_NO_BUILD set to 1 to run the harnesses already built
#
# New corpus entries collect in $FUZZ_BUILD/corpus/<harness>; an input that
# breaks a check or trips a sanitizer is written to $FUZZ_BUILD/findings/<harness>/.
set -u
cd "$(dirname "$0")/.."
SECONDS_EACH=${FUZZ_SECONDS:-60}
BUILD=${FUZZ_BUILD:-build/fuzz}
PYTHON=${PYTHON:-python3}
CMAKE=${CMAKE:-cmake}
HARNESSES=("$@")
[ ${#HARNESSES[@]} -eq 0 ] && HARNESSES=(memories pack tokenize lcs text)

if [ "${FUZZ_NO_BUILD:-0}" != 1 ]; then
    command -v clang++ >/dev/null || { echo "fuzz: clang++ not found (Debian: apt-get install clang libclang-rt-14-dev)"; exit 1; }
    "$CMAKE" -S fuzz -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null || exit 1
    "$CMAKE" --build "$BUILD" || exit 1
fi
"$PYTHON" fuzz/make_seeds.py "$BUILD/seeds" || exit 1

status=0
for harness in "${HARNESSES[@]}"; do
    mkdir -p "$BUILD/corpus/$harness" "$BUILD/findings/$harness" "$BUILD/logs"
    log="$BUILD/logs/$harness.log"
    max_len=()
    [ "$harness" = lcs ] && max_len=(-max_len=4096)
    "$BUILD/fuzz_$harness" -max_total_time="$SECONDS_EACH" -timeout=30 -print_final_stats=1 \
        "${max_len[@]}" -dict=fuzz/json.dict -artifact_prefix="$BUILD/findings/$harness/" \
        "$BUILD/corpus/$harness" "$BUILD/seeds/$harness" >"$log" 2>&1
    rc=$?
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
    took=$(grep -o 'Done [0-9]* runs in [0-9]* second' "$log" | grep -o 'in [0-9]*' | grep -o '[0-9]*')
    if [ $rc -eq 0 ]; then
        echo "fuzz_$harness: ${runs:-?} executions in ${took:-?} s, no finding"
    else
        echo "fuzz_$harness: FINDING (exit $rc), see $log and $BUILD/findings/$harness/"
        grep -m3 -E 'fuzz check failed|ERROR: AddressSanitizer|runtime error|ERROR: libFuzzer' "$log"
        status=1
    fi
done
exit $status
