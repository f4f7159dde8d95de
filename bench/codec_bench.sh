#!/usr/bin/env bash
# Runs the codec benchmark beside ncompress and gzip over the same bytes and
# prints the throughput ratios (medians of several runs).
#
#   bench/codec_bench.sh [BUILD_DIR]     (default: build-bench, Release)
#   RUNS=7 MB=32 bench/codec_bench.sh    (runs per figure, MB of each kind)
#
# Text is the machine's C headers, binary its shared libraries, MB bytes of
# each.  Compression is compared with `compress -b12 -c`, decompression with
# `gzip -dc` of the same data's .Z (written by compress -b12).
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-bench}
runs=${RUNS:-5}
mb=${MB:-16}

cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELPARC_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target codec_bench >/dev/null
bench="$build/bench/codec_bench"

data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT

# The first MB megabytes of the files, in a fixed order.
collect() {  # dir name-pattern out max-depth
    find "$1" -maxdepth "$4" -type f -name "$2" -print0 | LC_ALL=C sort -z |
        xargs -0 cat 2>/dev/null | head -c "$((mb << 20))" >"$3" || true
}
collect /usr/include '*.h' "$data/text" 20
collect /usr/lib/x86_64-linux-gnu '*.so*' "$data/binary" 1
for kind in text binary; do
    compress -b12 -c <"$data/$kind" >"$data/$kind.Z" || [ $? -eq 2 ]
done

# Median CPU time (user + system) in seconds of a shell command, over $runs
# runs.  CPU time, like the benchmark's own rates, so that other work on
# the machine weighs on neither side.
median_time() {
    local times=() i t
    for ((i = 0; i < runs; i++)); do
        t=$( { TIMEFORMAT='%U %S'; time bash -c "$1"; } 2>&1 | awk '{ printf "%d", ($1 + $2) * 1e6 }')
        times+=("$t")
    done
    printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END { printf "%.6f", v[int((NR + 1) / 2)] / 1e6 }'
}

"$bench" --benchmark_repetitions="$runs" --benchmark_format=json "$data/text" "$data/binary" \
    >"$data/ours.json" 2>/dev/null

# Median bytes per second of one of our benchmarks, in MB/s (10^6 bytes).
ours_mbps() {
    python3 - "$data/ours.json" "$1" <<'EOF'
import json, sys
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b["name"] == sys.argv[2] + "_median":
        print("%.1f" % (b["bytes_per_second"] / 1e6))
EOF
}

printf '%-22s %10s %24s %10s %8s %8s\n' "figure" "ours MB/s" "peer" "peer MB/s" "ratio" "target"
for kind in text binary; do
    size=$(stat -c %s "$data/$kind")
    ct=$(median_time "compress -b12 -c <'$data/$kind' >/dev/null || [ \$? -eq 2 ]")
    dt=$(median_time "gzip -dc <'$data/$kind.Z' >/dev/null")
    c_peer=$(awk -v s="$size" -v t="$ct" 'BEGIN { printf "%.1f", s / t / 1e6 }')
    d_peer=$(awk -v s="$size" -v t="$dt" 'BEGIN { printf "%.1f", s / t / 1e6 }')
    c_ours=$(ours_mbps "compress_block/$kind")
    d_ours=$(ours_mbps "decompress_block/$kind")
    printf '%-22s %10s %24s %10s %8s %8s\n' \
        "compress $kind" "$c_ours" "compress -b12 -c" "$c_peer" \
        "$(awk -v a="$c_ours" -v b="$c_peer" 'BEGIN { printf "%.2fx", a / b }')" "1.30x"
    printf '%-22s %10s %24s %10s %8s %8s\n' \
        "decompress $kind" "$d_ours" "gzip -dc (.Z)" "$d_peer" \
        "$(awk -v a="$d_ours" -v b="$d_peer" 'BEGIN { printf "%.2fx", a / b }')" "1.50x"
done
echo "($mb MB of each kind, median of $runs runs; ours on 16383-byte chunks)"
