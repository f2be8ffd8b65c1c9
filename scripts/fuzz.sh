#!/usr/bin/env bash
# Builds the libFuzzer programs of scripts/fuzz with clang (address and
# undefined-behaviour sanitizers) in build-fuzz and runs each for a while.
#
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
#   SECONDS  run time per target (default 60)
#   TARGET   e.g. html_to_text or html_to_text_fuzz; default: every target
#
# Corpus:  build-fuzz/corpus/<name>, seeded from scripts/fuzz/seeds/<name>/.
# Crashes: scripts/fuzz/crashes/<name>/ (turn each into a regression test;
# the test build replays every kept file as the ctest test Fuzz.<name>).
# Extra libFuzzer flags can be passed in FUZZ_ARGS. Installs nothing: needs
# clang and libFuzzer (scripts/install-deps.sh). Exits non-zero when a target
# found a crash, a leak or a hang.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
fuzz_dir=$root/scripts/fuzz
build=$root/build-fuzz

seconds=60
if [[ $# -gt 0 && $1 =~ ^[0-9]+$ ]]; then
    seconds=$1
    shift
fi

targets=()
if [[ $# -gt 0 ]]; then
    for arg in "$@"; do
        targets+=("${arg%_fuzz}")
    done
else
    for source in "$fuzz_dir"/*_fuzz.cpp; do
        name=$(basename "$source" .cpp)
        targets+=("${name%_fuzz}")
    done
fi
for name in "${targets[@]}"; do
    if [[ ! -f $fuzz_dir/${name}_fuzz.cpp ]]; then
        echo "fuzz.sh: no target $name (scripts/fuzz/${name}_fuzz.cpp missing)" >&2
        exit 2
    fi
done

find_tool() {
    for candidate in "$@"; do
        if command -v "$candidate" >/dev/null 2>&1; then
            command -v "$candidate"
            return 0
        fi
    done
    echo "fuzz.sh: none of $* found; run scripts/install-deps.sh" >&2
    exit 2
}
cxx=$(find_tool clang++ clang++-14)
cc=$(find_tool clang clang-14)

# Several builds share two cores: take the common build lock when there is one.
locked() {
    if command -v flock >/dev/null 2>&1; then
        flock /tmp/diravid-build.lock "$@"
    else
        "$@"
    fi
}

locked cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
    -DDIRAVID_FUZZ=ON -DDIRAVID_TESTS=OFF -DDIRAVID_SANITIZE=OFF >/dev/null
build_targets=()
for name in "${targets[@]}"; do
    build_targets+=(--target "${name}_fuzz")
done
locked cmake --build "$build" -j2 "${build_targets[@]}"

# Undefined behaviour must stop the run so the input is kept.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}

failed=()
for name in "${targets[@]}"; do
    corpus=$build/corpus/$name
    crashes=$fuzz_dir/crashes/$name
    mkdir -p "$corpus" "$crashes"
    args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
          -artifact_prefix="$crashes/")
    if [[ -f $fuzz_dir/$name.dict ]]; then
        args+=(-dict="$fuzz_dir/$name.dict")
    fi
    dirs=("$corpus")
    if [[ -d $fuzz_dir/seeds/$name ]]; then
        dirs+=("$fuzz_dir/seeds/$name")
    fi
    echo "== $name: ${seconds}s"
    # One process: the machine's other core stays free for builds and tests.
    # shellcheck disable=SC2086
    if ! "$build/scripts/fuzz/${name}_fuzz" "${args[@]}" ${FUZZ_ARGS:-} "${dirs[@]}"; then
        failed+=("$name")
        echo "== $name: FAILED, inputs kept in scripts/fuzz/crashes/$name/"
    else
        echo "== $name: clean"
    fi
    rmdir "$crashes" 2>/dev/null || true
    rmdir "$fuzz_dir/crashes" 2>/dev/null || true
done

if [[ ${#failed[@]} -gt 0 ]]; then
    echo "fuzz.sh: findings in: ${failed[*]}" >&2
    exit 1
fi
echo "fuzz.sh: all targets clean"
