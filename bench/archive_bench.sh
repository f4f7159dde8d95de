#!/usr/bin/env bash
# Whole-program benchmark of archiving: kelparc with one compression worker
# (-j1) and with its default (one per online processor) against
# `compress -b12 -c` (one file) or `tar -cf - DIR | compress -b12 -c` (a
# tree; also `tar | zstd -1 -T0`, `tar | lz4 -1` and `tar | pigz -1` where
# installed) and `zip -qr` on the same inputs, side by side in one run.  Prints
# the median wall time of 3 rounds (each round runs every tool once), the
# output size, how many times as fast as the peers kelparc is, and peak RSS.
#
#   bench/archive_bench.sh            # 100 MB files, /usr/include, RSS at 1 GB
#   BENCH_BIG=0 bench/archive_bench.sh   # leave out the 1 GB file
#   BENCH_JOBS="1 2 3 4 8" bench/archive_bench.sh   # these worker counts
#                                        # (0: no -j, the default)
#   BENCH_ZIP=0 bench/archive_bench.sh   # leave out zip (the slowest by far)
#   BENCH_INPUTS="tar100 tree" bench/archive_bench.sh   # only these inputs
#                                        # (of mixed100, tar100, tree)
#   BENCH_QUIET=1 bench/archive_bench.sh # each run waits (up to 30 s) until
#                                        # the processors were idle for a
#                                        # second: on a shared machine the
#                                        # workers need free cores
#
# Inputs are generated deterministically under $BENCH_DIR (default
# /tmp/kelparc-bench); the release build goes to build-bench in the tree.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${BENCH_BUILD:-$ROOT/build-bench}"
WORK="${BENCH_DIR:-/tmp/kelparc-bench}"
RUNS="${BENCH_RUNS:-3}"
BIG="${BENCH_BIG:-1}"
TREE_PARENT="${BENCH_TREE_PARENT:-/usr}"
TREE_NAME="${BENCH_TREE_NAME:-include}"
JOBS="${BENCH_JOBS:-1 0}"
QUIET="${BENCH_QUIET:-0}"

for tool in tar compress zip python3 cmake; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 2; }
done

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DKELPARC_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target kelparc >/dev/null
KELPARC="$BUILD/kelparc"
mkdir -p "$WORK/in" "$WORK/out"

# The 100 MB input: C text and binary in alternating stretches of 1 MiB -
# source text, pseudo-random bytes, tables of small integers - so the
# compressor meets chunks that shrink a lot, not at all, and in between.
python3 - "$WORK/in/mixed100" 100000000 <<'EOF'
import os, random, struct, sys
path, size = sys.argv[1], int(sys.argv[2])
if os.path.exists(path) and os.path.getsize(path) == size:
    sys.exit(0)
rng = random.Random(12345)
text = b""
for root, _, files in sorted(os.walk("/usr/include")):
    for f in sorted(files):
        if f.endswith(".h"):
            with open(os.path.join(root, f), "rb") as h:
                text += h.read()
    if len(text) > 8 << 20:
        break
stretch = 1 << 20
with open(path, "wb") as out:
    written, kind, text_at = 0, 0, 0
    while written < size:
        n = min(stretch, size - written)
        if kind == 0:
            piece = (text[text_at:] + text)[:n]
            text_at = (text_at + n) % len(text)
        elif kind == 1:
            piece = rng.randbytes(n)
        else:
            piece = b"".join(struct.pack("<I", rng.randrange(1000)) for _ in range(n // 4))
            piece += b"\0" * (n - len(piece))
        out.write(piece)
        written += n
        kind = (kind + 1) % 3
EOF

# 100 MB of tar data: the tar stream of /usr/include (its zero-filled
# header blocks and padding), repeated up to the size.
python3 - "$WORK/in/tar100" 100000000 <<'EOF'
import os, subprocess, sys
path, size = sys.argv[1], int(sys.argv[2])
if os.path.exists(path) and os.path.getsize(path) == size:
    sys.exit(0)
data = subprocess.run(["tar", "-cf", "-", "-C", "/usr", "include"], stdout=subprocess.PIPE,
                      stderr=subprocess.DEVNULL).stdout
with open(path, "wb") as out:
    written = 0
    while written < size:
        piece = data[:size - written]
        out.write(piece)
        written += len(piece)
EOF

if [ "$BIG" = 1 ]; then
    if [ "$(stat -c %s "$WORK/in/mixed1000" 2>/dev/null || echo 0)" != 1000000000 ]; then
        for _ in 1 2 3 4 5 6 7 8 9 10; do cat "$WORK/in/mixed100"; done > "$WORK/in/mixed1000"
    fi
fi

# Peak RSS needs a parent that is small itself: a child forked from python
# inherits python's resident size into its high-water mark.  rss_run forks
# and execs the command, waits for it and prints its ru_maxrss (KiB; for a
# shell pipeline the largest process of it) on standard error.
RSS_RUN="$BUILD/rss_run"
if [ ! -x "$RSS_RUN" ]; then
    cat > "$BUILD/rss_run.c" <<'EOF_C'
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
int main(int argc, char** argv) {
    if (argc < 2) return 2;
    pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    struct rusage ru;
    if (wait4(pid, &status, 0, &ru) < 0) return 2;
    fprintf(stderr, "%ld\n", ru.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
EOF_C
    cc -O2 -o "$RSS_RUN" "$BUILD/rss_run.c"
fi

# measure <command...>: runs the command RUNS times; prints
# "median_seconds peak_rss_kib" (the largest RSS of the runs).
measure() {
    python3 - "$RUNS" "$RSS_RUN" "$@" <<'EOF'
import subprocess, sys, time
runs, cmd = int(sys.argv[1]), sys.argv[2:]
times, rss = [], 0
for _ in range(runs):
    t0 = time.perf_counter()
    p = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    times.append(time.perf_counter() - t0)
    if p.returncode != 0:
        sys.exit(f"failed ({p.returncode}): {' '.join(cmd)}: {p.stderr}")
    rss = max(rss, int(p.stderr.split()[-1]))
times.sort()
print(f"{times[len(times) // 2]:.3f} {rss}")
EOF
}

size_of() { stat -c %s "$1"; }

# compare <label> <input dir> <input name>: kelparc at each worker count of
# JOBS and the peers on one input (a file: compress -b12 -c; a directory:
# tar | compress -b12).  Each round runs every tool once, one after the
# other, each writing a new output file, with a sync before each run, so
# that a change in the machine's load
# falls on all of them; the figures are medians over the rounds, the speed
# ratios medians of the rounds' ratios.
compare() {
    local label="$1" dir="$2" name="$3" o="$WORK/out"
    rm -f "$o"/k*.kel "$o"/t.* "$o/z.zip"
    python3 - "$label" "$RUNS" "$RSS_RUN" "$dir" "$name" "$o" "$KELPARC" "$JOBS" "$QUIET" <<'EOF'
import os, shutil, statistics, subprocess, sys, time
label, runs = sys.argv[1], int(sys.argv[2])
rss_run, d, name, o, kelparc, jobs, quiet = sys.argv[3:10]
def cpu_ticks():
    with open("/proc/stat") as f:
        v = [int(x) for x in f.readline().split()[1:]]
    return sum(v), v[3] + v[4]
def wait_until_idle():  # the processors idle for a whole second, or 30 s passed
    end = time.time() + 30
    while time.time() < end:
        a = cpu_ticks()
        time.sleep(1)
        b = cpu_ticks()
        if (b[1] - a[1]) >= 0.95 * (b[0] - a[0]):
            return
tools = []
for j in jobs.split():
    tag = "kelparc -j" + j if j != "0" else "kelparc (default)"
    opt = ["-j" + j] if j != "0" else []
    tools.append((tag, [kelparc, "-q", "-w", "-r"] + opt + ["-c" + d, name, f"{o}/k{j}.kel"], f"{o}/k{j}.kel"))
n_kelparc = len(tools)
if os.path.isdir(os.path.join(d, name)):
    tools.append(("tar | compress -b12", ["sh", "-c", f"cd '{d}' && tar -cf - '{name}' | compress -b12 -c > '{o}/t.Z'"], o + "/t.Z"))
    # What users pick instead, where installed.
    for tool, cmd, ext in (("tar | zstd -1 -T0", "zstd -q -1 -T0", "zst"), ("tar | lz4 -1", "lz4 -q -1", "lz4"),
                           ("tar | pigz -1", "pigz -1", "gz")):
        if shutil.which(cmd.split()[0]):
            tools.append((tool, ["sh", "-c", f"cd '{d}' && tar -cf - '{name}' | {cmd} -c > '{o}/t.{ext}'"], f"{o}/t.{ext}"))
else:
    tools.append(("compress -b12 -c", ["sh", "-c", f"compress -b12 -c < '{d}/{name}' > '{o}/t.Z'; [ $? -le 2 ]"], o + "/t.Z"))
if os.environ.get("BENCH_ZIP", "1") != "0":
    tools.append(("zip -qr", ["sh", "-c", f"cd '{d}' && rm -f '{o}/z.zip' && zip -qr '{o}/z.zip' '{name}'"], o + "/z.zip"))
times = {t[0]: [] for t in tools}
rss = {t[0]: 0 for t in tools}
for _ in range(runs):
    for tool, cmd, out in tools:
        # Every run writes a new file: the previous output is removed
        # first, outside the timing.  Freeing tens of megabytes takes tens
        # of milliseconds on ext4, and it would fall on the tools unevenly
        # (the pipeline truncates at its start while tar already runs;
        # kelparc replaces the old archive at its end).
        if os.path.exists(out):
            os.remove(out)
        subprocess.run(["sync"])
        if quiet == "1":
            wait_until_idle()
        t0 = time.perf_counter()
        p = subprocess.run([rss_run] + cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        times[tool].append(time.perf_counter() - t0)
        if p.returncode != 0:
            sys.exit(f"failed ({p.returncode}): {' '.join(cmd)}: {p.stderr}")
        rss[tool] = max(rss[tool], int(p.stderr.split()[-1]))
size = {t[0]: os.path.getsize(t[2]) for t in tools}
med = {k: statistics.median(v) for k, v in times.items()}
def speed(a, b):  # how many times as fast a is as b
    return statistics.median(y / x for x, y in zip(times[a], times[b]))
print(f"== {label}")
print(f"  {'tool':<22}{'wall s':>9}{'output bytes':>15}{'peak RSS KiB':>14}")
for tool, _, _ in tools:
    print(f"  {tool:<22}{med[tool]:>9.3f}{size[tool]:>15}{rss[tool]:>14}")
for tool, _, _ in tools[:n_kelparc]:
    print(f"  {tool}: " + ", ".join(f"{speed(tool, p):.2f}x as fast as {p} (size {size[tool] / size[p]:.3f})"
                                    for p, _, _ in tools[n_kelparc:]))
EOF
}

echo "kelparc archive benchmark, medians of $RUNS rounds, $(date -u +%Y-%m-%dT%H:%MZ)"
echo "machine: $(nproc) online processors; load before: $(cut -d' ' -f1-3 /proc/loadavg); runs wait for idle processors: $QUIET"
INPUTS="${BENCH_INPUTS:-mixed100 tar100 tree}"
wanted() { [[ " $INPUTS " == *" $1 "* ]]; }
wanted mixed100 && compare "one 100 MB file (mixed text and binary)" "$WORK/in" mixed100
wanted tar100 && compare "one 100 MB file of tar data (/usr/include)" "$WORK/in" tar100
wanted tree && compare "tree $TREE_PARENT/$TREE_NAME ($(find "$TREE_PARENT/$TREE_NAME" | wc -l) entries)" "$TREE_PARENT" "$TREE_NAME"

if [ "$BIG" = 1 ]; then
    RUNS=1
    echo "== peak RSS of kelparc by input size (one run each)"
    for j in 1 0; do
        opt=(); [ "$j" = 0 ] || opt=("-j$j")
        read -r bt brss < <(measure "$KELPARC" -q -w "${opt[@]}" "-c$WORK/in" mixed1000 "$WORK/out/big.kel")
        read -r st srss < <(measure "$KELPARC" -q -w "${opt[@]}" "-c$WORK/in" mixed100 "$WORK/out/small.kel")
        echo "  ${opt[*]:-default (no -j)}: 100 MB file: ${srss} KiB    1 GB file: ${brss} KiB (${bt} s)"
    done
    rm -f "$WORK/out/big.kel"
fi
