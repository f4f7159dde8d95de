#!/usr/bin/env bash
# Runs the codec benchmark beside ncompress and gzip over the same bytes and
# prints the throughput ratios (medians of several runs).
#
#   bench/codec_bench.sh [BUILD_DIR]     (default: build-bench, Release)
#   RUNS=7 MB=32 bench/codec_bench.sh    (runs per figure, MB of each kind)
#
# Text is the machine's C headers, binary its shared libraries, tar a tar
# stream of /usr/include (zero-filled header blocks and padding), MB bytes
# of each.  Compression is compared with `compress -b12 -c`, decompression
# with `gzip -dc` of the same data's .Z (written by compress -b12).
# compress_blocks is compress_block two chunks at a time (compress_blocks_in,
# as storing hands chunks over).  Beside these in-process figures the script
# prints `compress -b12 -c`'s rate on the bytes of the whole-program
# comparison (single_core_bench.sh's 100 MB of tar data, under
# $BENCH_DIR, default /tmp/kelparc-bench, when it is there): that rate, not
# the one on MB megabytes, is what the whole program meets.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-bench}
runs=${RUNS:-5}
mb=${MB:-16}

cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELPARC_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target codec_bench >/dev/null
bench="$build/bench/codec_bench"

whole="${BENCH_DIR:-/tmp/kelparc-bench}/in/tar100"
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT

# The first MB megabytes of the files, in a fixed order.
collect() {  # dir name-pattern out max-depth
    find "$1" -maxdepth "$4" -type f -name "$2" -print0 | LC_ALL=C sort -z |
        xargs -0 cat 2>/dev/null | head -c "$((mb << 20))" >"$3" || true
}
collect /usr/include '*.h' "$data/text" 20
collect /usr/lib/x86_64-linux-gnu '*.so*' "$data/binary" 1
(cd /usr && tar -cf - include 2>/dev/null | head -c "$((mb << 20))") >"$data/tar" || true
for kind in text binary tar; do
    compress -b12 -c <"$data/$kind" >"$data/$kind.Z" || [ $? -eq 2 ]
done

# CPU time (user + system) in seconds of one run of a shell command.  CPU
# time, like the benchmark's own rates, so that other work on the machine
# weighs on neither side.
cpu_time() {
    { TIMEFORMAT='%U %S'; time bash -c "$1"; } 2>&1 | awk '{ printf "%.6f", $1 + $2 }'
}

# Each round runs our benchmark once and then every peer once, so that a
# change in the machine's load falls on both sides of a round's ratios;
# the figures printed are medians over the rounds.
for ((round = 0; round < runs; round++)); do
    "$bench" --benchmark_format=json "$data/text" "$data/binary" "$data/tar" >"$data/ours.$round.json" 2>/dev/null
    for kind in text binary tar; do
        echo "$round compress $kind $(cpu_time "compress -b12 -c <'$data/$kind' >/dev/null || [ \$? -eq 2 ]")"
        [ "$kind" = tar ] || echo "$round decompress $kind $(cpu_time "gzip -dc <'$data/$kind.Z' >/dev/null")"
    done
    [ -f "$whole" ] && echo "$round compress whole $(cpu_time "compress -b12 -c <'$whole' >/dev/null || [ \$? -eq 2 ]")"
done >"$data/peers.txt"

python3 - "$data" "$runs" "$whole" <<'EOF_PY'
import json, os, statistics, sys
data, runs, whole = sys.argv[1], int(sys.argv[2]), sys.argv[3]
sizes = {k: os.path.getsize(os.path.join(data, k)) for k in ("text", "binary", "tar")}
if os.path.exists(whole):
    sizes["whole"] = os.path.getsize(whole)
peer = {}
for line in open(os.path.join(data, "peers.txt")):
    r, op, kind, t = line.split()
    peer[(int(r), op, kind)] = sizes[kind] / float(t) / 1e6
ours = {}
for r in range(runs):
    for b in json.load(open(os.path.join(data, "ours.%d.json" % r)))["benchmarks"]:
        op, kind = b["name"].split("/")
        ours[(r, op.replace("_blocks", " (2 at once)").replace("_block", ""), kind)] = b["bytes_per_second"] / 1e6
print("%-34s %10s %18s %10s %8s %8s" % ("figure", "ours MB/s", "peer", "peer MB/s", "ratio", "target"))
for kind in ("text", "binary", "tar"):
    for op, name, target in (("compress", "compress -b12 -c", 1.3), ("compress (2 at once)", "compress -b12 -c", 1.3),
                             ("decompress", "gzip -dc (.Z)", 1.5)):
        if (0, op, kind) not in ours:
            continue
        o = [ours[(r, op, kind)] for r in range(runs)]
        p = [peer[(r, op.replace(" (2 at once)", ""), kind)] for r in range(runs)]
        ratios = [a / b for a, b in zip(o, p)]
        print("%-34s %10.1f %18s %10.1f %7.2fx %7.2fx" % (
            op + " " + kind, statistics.median(o), name, statistics.median(p), statistics.median(ratios), target))
print("(%s MB of each kind, medians of %d rounds, each round ours then the peers; ours on 16383-byte chunks;"
      % (os.environ.get("MB", "16"), runs))
print(" ratio: median of the rounds' ratios)")
if (0, "compress", "whole") in peer:
    w = statistics.median(peer[(r, "compress", "whole")] for r in range(runs))
    print("compress -b12 -c on the whole-program bytes (%s, %d MB): %.1f MB/s CPU time" % (whole, sizes["whole"] // 1000000, w))
EOF_PY
