#!/usr/bin/env bash
# Whole-program single-core comparison: `kelparc -q -j1` against
# `compress -b12 -c` on the same bytes, both whole programs writing a new
# output file each run.  Inputs: 100 MB of tar data (the tar stream of
# /usr/include, repeated; archive_bench.sh's tar100) and 100 MB of the
# machine's shared libraries.  Rounds alternate the order of the two tools;
# the figure is the median of the rounds' ratios (compress time / kelparc
# time), beside the medians of each tool's wall and CPU times.
#
#   bench/single_core_bench.sh            # 9 rounds
#   BENCH_RUNS=15 bench/single_core_bench.sh
#
# Inputs live under $BENCH_DIR (default /tmp/kelparc-bench); the release
# build goes to build-bench in the tree.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${BENCH_BUILD:-$ROOT/build-bench}"
WORK="${BENCH_DIR:-/tmp/kelparc-bench}"
RUNS="${BENCH_RUNS:-9}"

for tool in tar compress python3 cmake; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 2; }
done

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DKELPARC_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target kelparc >/dev/null
KELPARC="$BUILD/kelparc"
mkdir -p "$WORK/in" "$WORK/out"

# The tar data is archive_bench.sh's; made here the same way when missing.
if [ "$(stat -c %s "$WORK/in/tar100" 2>/dev/null || echo 0)" != 100000000 ]; then
    (cd /usr && tar -cf - include 2>/dev/null) > "$WORK/in/tar1"
    while [ "$(stat -c %s "$WORK/in/tar1")" -lt 100000000 ]; do cat "$WORK/in/tar1" "$WORK/in/tar1" > "$WORK/in/tar2"; mv "$WORK/in/tar2" "$WORK/in/tar1"; done
    head -c 100000000 "$WORK/in/tar1" > "$WORK/in/tar100"
    rm -f "$WORK/in/tar1"
fi
# 100 MB of shared libraries, in a fixed order.
if [ "$(stat -c %s "$WORK/in/lib100" 2>/dev/null || echo 0)" != 100000000 ]; then
    find /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f -name '*.so*' -print0 | LC_ALL=C sort -z |
        xargs -0 cat 2>/dev/null | head -c 100000000 > "$WORK/in/lib100" || true
fi

python3 - "$RUNS" "$KELPARC" "$WORK" <<'EOF_PY'
import os, resource, statistics, subprocess, sys, time
runs, kelparc, work = int(sys.argv[1]), sys.argv[2], sys.argv[3]
out = os.path.join(work, "out")
def run(cmd, target):
    if os.path.exists(target):
        os.remove(target)  # every run writes a new file; the removal is not timed
    subprocess.run(["sync"])
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    p = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wall = time.perf_counter() - t0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if p.returncode not in (0, 2) or not os.path.exists(target):
        sys.exit(f"failed ({p.returncode}): {' '.join(cmd)}")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu
print(f"single-core comparison, {runs} rounds, {time.strftime('%Y-%m-%dT%H:%MZ', time.gmtime())},"
      f" load before: {open('/proc/loadavg').read().split()[0]}")
print(f"  {'input':<24}{'kelparc -j1 s':>14}{'compress s':>12}{'cpu k/c s':>16}{'ratio':>8}  (compress / kelparc, median of rounds)")
for name, label in (("tar100", "100 MB tar data"), ("lib100", "100 MB shared libraries")):
    src = os.path.join(work, "in", name)
    k_out, c_out = os.path.join(out, "s1.kel"), os.path.join(out, "s1.Z")
    kel = ["sh", "-c", f"'{kelparc}' -q -w -j1 '{src}' '{k_out}'"]
    com = ["sh", "-c", f"compress -b12 -c < '{src}' > '{c_out}'; [ $? -le 2 ]"]
    kw, kc, cw, cc, ratios = [], [], [], [], []
    for r in range(runs):
        order = [("k", kel, k_out), ("c", com, c_out)]
        if r % 2:
            order.reverse()
        got = {}
        for tag, cmd, target in order:
            got[tag] = run(cmd, target)
        kw.append(got["k"][0]); kc.append(got["k"][1]); cw.append(got["c"][0]); cc.append(got["c"][1])
        ratios.append(got["c"][0] / got["k"][0])
    m = statistics.median
    print(f"  {label:<24}{m(kw):>14.3f}{m(cw):>12.3f}{m(kc):>8.3f}/{m(cc):<7.3f}{m(ratios):>7.2f}x"
          f"  (range {min(ratios):.2f}-{max(ratios):.2f}; sizes {os.path.getsize(k_out)} / {os.path.getsize(c_out)})")
EOF_PY
