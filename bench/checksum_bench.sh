#!/usr/bin/env bash
# What --checksum costs when archiving, and how --test compares with
# unpacking into an empty folder.  Inputs: the /usr/include tree and the
# first 100 MB of a tar of it.  Runs are interleaved (with and without
# --checksum one after the other, each writing a new archive) and the
# median wall time and the median processor time (user + system, which a
# machine shared with other work disturbs less) of each are printed.
#
#   bench/checksum_bench.sh                # 7 rounds
#   BENCH_RUNS=11 bench/checksum_bench.sh
#   BENCH_JOBS=-j1 bench/checksum_bench.sh # one compression worker
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${BENCH_BUILD:-$ROOT/build-bench}"
WORK="${BENCH_DIR:-/tmp/kelparc-checksum-bench}"
RUNS="${BENCH_RUNS:-7}"
JOBS="${BENCH_JOBS:-}"

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DKELPARC_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target kelparc >/dev/null
KELPARC="$BUILD/kelparc"
mkdir -p "$WORK"
[ -s "$WORK/tar100m" ] || tar cf - -C /usr include 2>/dev/null | head -c 100000000 > "$WORK/tar100m"

# "wall cpu" seconds of one run of the command line, its output thrown away.
seconds() {
    /usr/bin/time -o "$WORK/time.txt" -f "%e %U %S" "$@" >/dev/null 2>&1 || true
    awk '{ printf "%s %.2f\n", $1, $2 + $3 }' "$WORK/time.txt"
}

# Medians of the first and second columns: "wall cpu".
middle() { sort -g | awk '{ v[NR] = $1 } END { printf "%.3f", v[int((NR + 1) / 2)] }'; }
median() {
    local rows
    rows=$(cat)
    echo "$(cut -d' ' -f1 <<<"$rows" | middle) $(cut -d' ' -f2 <<<"$rows" | middle)"
}

# The cost in percent of b over a.
cost() { echo "$1 $2" | awk '{ printf "%+.1f %%", ($2 - $1) * 100 / $1 }'; }

# Archives `what` (a path under the input's parent) RUNS times with and
# without --checksum.
archive_cost() {
    local label=$1 parent=$2 what=$3 plain=() summed=()
    for ((i = 0; i < RUNS; i++)); do
        rm -f "$WORK/p.kel" "$WORK/s.kel"
        plain+=("$(cd "$parent" && seconds "$KELPARC" -q $JOBS -r "$what" "$WORK/p.kel")")
        summed+=("$(cd "$parent" && seconds "$KELPARC" -q $JOBS --checksum -r "$what" "$WORK/s.kel")")
    done
    local mp ms
    read -r pw pc <<<"$(printf '%s\n' "${plain[@]}" | median)"
    read -r sw sc <<<"$(printf '%s\n' "${summed[@]}" | median)"
    printf '%-12s wall: plain %6ss --checksum %6ss (%s)   cpu: plain %6ss --checksum %6ss (%s)\n' \
        "$label" "$pw" "$sw" "$(cost "$pw" "$sw")" "$pc" "$sc" "$(cost "$pc" "$sc")"
}

# --test against -u into an empty folder, on the archive made with
# checksums.
test_speed() {
    local label=$1 unpacked=() tested=()
    for ((i = 0; i < RUNS; i++)); do
        rm -rf "$WORK/u" && mkdir "$WORK/u"
        unpacked+=("$(seconds "$KELPARC" -q -u "-c$WORK/u" "$WORK/s.kel")")
        tested+=("$(seconds "$KELPARC" -q --test "$WORK/s.kel")")
    done
    read -r uw uc <<<"$(printf '%s\n' "${unpacked[@]}" | median)"
    read -r tw tc <<<"$(printf '%s\n' "${tested[@]}" | median)"
    printf '%-12s wall: -u %6ss --test %6ss   cpu: -u %6ss --test %6ss\n' "$label" "$uw" "$tw" "$uc" "$tc"
}

echo "median of $RUNS runs, kelparc ${JOBS:-(default -j)}"
archive_cost "tree" /usr include
test_speed "tree"
archive_cost "100 MB file" "$WORK" tar100m
test_speed "100 MB file"
rm -rf "$WORK/u" "$WORK/p.kel" "$WORK/s.kel" "$WORK/time.txt"
