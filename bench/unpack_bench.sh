#!/usr/bin/env bash
# Whole-program benchmark of unpacking and listing: kelparc (-j1 and its
# default) against `compress -dc out.tar.Z | tar -xf -`, `unzip -q`, and
# `gzip -dc` / `zstd -dc` of a file's own formats or `zstd -dc | tar -x` of
# a tree, on the same inputs, side by side in one run.  Prints the median
# wall time of 3 runs and how many times as fast as each peer kelparc is,
# then the time to list a 10,000-entry archive.
#
#   bench/unpack_bench.sh
#   BENCH_ZIP=0 bench/unpack_bench.sh    # leave out zip / unzip
#   BENCH_INPUTS="tar100 tree" bench/unpack_bench.sh   # only these inputs
#   BENCH_FRESH_FS=1 bench/unpack_bench.sh   # (root) each run on a new ext4
#
# With BENCH_FRESH_FS=1 every run unpacks onto an ext4 file system made for
# it alone, in a 2 GiB file under /dev/shm mounted through a loop device, so
# that neither the state of the machine's own file system (files deleted a
# while ago, a disk busy with other work) nor its disk's speed moves the
# figures: a tree unpacked on /tmp took 0.7 s or 1.7 s with the same build
# within the same hour.  It needs root, mkfs.ext4 and losetup.
#
# The inputs are those of archive_bench.sh (the same deterministic 100 MB
# file under $BENCH_DIR/in, default /tmp/kelparc-bench, and /usr/include);
# the archives and the unpacked copies go to $BENCH_DIR/unpack.  The
# release build goes to build-bench-unpack in the tree.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${BENCH_BUILD:-$ROOT/build-bench-unpack}"
WORK="${BENCH_DIR:-/tmp/kelparc-bench}"
RUNS="${BENCH_RUNS:-3}"
TREE_PARENT="${BENCH_TREE_PARENT:-/usr}"
TREE_NAME="${BENCH_TREE_NAME:-include}"
N_ENTRIES="${BENCH_LIST_ENTRIES:-10000}"

for tool in tar compress zip unzip python3 cmake; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 2; }
done

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DKELPARC_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target kelparc >/dev/null
KELPARC="$BUILD/kelparc"
OUT="$WORK/unpack"
mkdir -p "$WORK/in" "$OUT"

# The 100 MB input is archive_bench.sh's; one short run of it makes the
# file when it is missing.
if [ "$(stat -c %s "$WORK/in/mixed100" 2>/dev/null || echo 0)" != 100000000 ] ||
   [ "$(stat -c %s "$WORK/in/tar100" 2>/dev/null || echo 0)" != 100000000 ]; then
    BENCH_DIR="$WORK" BENCH_BIG=0 BENCH_RUNS=1 "$ROOT/bench/archive_bench.sh" >/dev/null
fi

# timed <dir> <command> [<command> ...]: runs each command (a shell command
# line) RUNS times, in rounds that take the commands in turn (every other
# round in the reverse order) so that a change in the machine's load falls
# on all of them alike; each run starts in a new empty directory under
# <dir> after a sync (neither timed).  The copies are deleted only at the
# end: ext4 passes over the inodes of files deleted in the last half minute
# when it makes new ones, so a tree unpacked right after the last copy was
# deleted can take ten times as long.  Prints the median wall time of each
# command, in order.
timed() {
    FRESH="${BENCH_FRESH_FS:-0}" python3 - "$RUNS" "$@" <<'EOF'
import os, shutil, subprocess, sys, time
runs, where, cmds = int(sys.argv[1]), sys.argv[2], sys.argv[3:]
fresh = os.environ["FRESH"] == "1"
image = f"/dev/shm/kelparc-bench-{os.getpid()}.img"
times = [[] for _ in cmds]
shutil.rmtree(where, ignore_errors=True)
n = 0
for r in range(runs):
    order = range(len(cmds)) if r % 2 == 0 else reversed(range(len(cmds)))
    for i in order:
        cmd = cmds[i]
        n += 1
        run_dir = os.path.join(where, str(n))
        os.makedirs(run_dir)
        if fresh:
            with open(image, "wb") as f:
                f.truncate(2 << 30)
            subprocess.run(["mkfs.ext4", "-q", "-F", image], check=True)
            subprocess.run(["mount", "-o", "loop", image, run_dir], check=True)
        subprocess.run(["sync"])
        t0 = time.perf_counter()
        p = subprocess.run(["sh", "-c", cmd], cwd=run_dir, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, text=True)
        times[i].append(time.perf_counter() - t0)
        if fresh:
            subprocess.run(["umount", run_dir], check=True)
            os.remove(image)
        if p.returncode != 0:
            sys.exit(f"failed ({p.returncode}): {cmd}: {p.stderr}")
shutil.rmtree(where, ignore_errors=True)
print(" ".join(f"{sorted(t)[len(t) // 2]:.3f}" for t in times))
EOF
}

ratio() { python3 -c "print(f'{$1 / $2:.2f}')"; }

# compare <label> <input dir> <input name>: archives the input once with each
# tool, then times unpacking (kelparc at -j1 and at its default, where
# worker threads decode ahead) and listing.  A
# file is also unpacked from its own .gz and .zst by `gzip -dc` and
# `zstd -dc`; a tree from `tar | zstd -1` by `zstd -dc | tar -x`.
compare() {
    local label="$1" dir="$2" name="$3"
    local k="$OUT/k.kel" t="$OUT/t.tar.Z" z="$OUT/z.zip" zs="$OUT/t.zst" gz="$OUT/t.gz"
    rm -f "$k" "$t" "$z" "$zs" "$gz"
    "$KELPARC" -q -w -r "-c$dir" "$name" "$k" >/dev/null
    (cd "$dir" && tar -cf - "$name" | compress -b12 -c > "$t")
    local labels=("kelparc -j1" "kelparc (default)" "compress -dc | tar -x")
    local cmds=("'$KELPARC' -q -j1 -u '$k'" "'$KELPARC' -q -u '$k'" "compress -dc '$t' | tar -xf -")
    if [ "${BENCH_ZIP:-1}" != 0 ]; then
        (cd "$dir" && zip -qr "$z" "$name")
        labels+=("unzip -q"); cmds+=("unzip -q '$z'")
    fi
    if [ -d "$dir/$name" ]; then
        if command -v zstd >/dev/null; then
            (cd "$dir" && tar -cf - "$name" | zstd -q -1 -T0 -c > "$zs")
            labels+=("zstd -dc | tar -x"); cmds+=("zstd -q -dc '$zs' | tar -xf -")
        fi
    else
        gzip -c "$dir/$name" > "$gz"
        labels+=("gzip -dc"); cmds+=("gzip -dc '$gz' > out")
        if command -v zstd >/dev/null; then
            zstd -q -c "$dir/$name" > "$zs"
            labels+=("zstd -dc"); cmds+=("zstd -q -dc '$zs' > out")
        fi
    fi
    local times
    read -r -a times < <(timed "$OUT/u" "${cmds[@]}")
    local kl tl
    read -r kl tl < <(timed "$OUT/l" "'$KELPARC' -l '$k'" "compress -dc '$t' | tar -tf -")
    # kelparc's copy is compared with the input (not timed).
    rm -rf "$OUT/u" && mkdir -p "$OUT/u" && (cd "$OUT/u" && "$KELPARC" -q -u "$k" >/dev/null)
    local diffs
    diffs=$(diff -rq "$dir/$name" "$OUT/u/$name" 2>&1 | wc -l || true)

    echo "== $label"
    printf "  %-28s%12s\n" tool "unpack s"
    local i
    for i in "${!labels[@]}"; do printf "  %-28s%12s\n" "${labels[$i]}" "${times[$i]}"; done
    for i in "${!labels[@]}"; do
        [ "$i" -lt 2 ] && continue
        echo "  ${labels[$i]} / kelparc: -j1 $(ratio "${times[$i]}" "${times[0]}")x, default $(ratio "${times[$i]}" "${times[1]}")x"
    done
    echo "  list: kelparc $kl s, compress -dc | tar -t $tl s"
    echo "  differences between the input and kelparc's copy: $diffs"
    rm -rf "$OUT/u" "$OUT/l" "$k" "$t" "$z" "$zs" "$gz"
}

# list_many: an archive of N_ENTRIES small files in 100 directories.
list_many() {
    local src="$OUT/many" k="$OUT/many.kel"
    rm -rf "$src" "$k"
    python3 - "$src" "$N_ENTRIES" <<'EOF'
import os, sys
root, n = sys.argv[1], int(sys.argv[2])
for i in range(n):
    d = os.path.join(root, "d%02d" % (i % 100))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "file%05d.txt" % i), "w") as f:
        f.write("entry %d\n" % i * (1 + i % 7))
EOF
    "$KELPARC" -q -w -r "-c$OUT" many "$k" >/dev/null
    local n_lines kl
    n_lines=$("$KELPARC" -l "$k" | grep -c '^many/d[0-9]*/file' || true)
    kl=$(timed "$OUT/l" "'$KELPARC' -l '$k'")
    echo "== listing an archive of $n_lines files ($(stat -c %s "$k") bytes)"
    echo "  kelparc -l: $kl s (median of $RUNS)"
    rm -rf "$src" "$k" "$OUT/l"
}

echo "kelparc unpack benchmark, median of $RUNS runs, $(date -u +%Y-%m-%dT%H:%MZ)$([ "${BENCH_FRESH_FS:-0}" = 1 ] && echo ", each run on a new ext4")"
INPUTS="${BENCH_INPUTS:-mixed100 tar100 tree}"
wanted() { [[ " $INPUTS " == *" $1 "* ]]; }
wanted mixed100 && compare "one 100 MB file (mixed text and binary)" "$WORK/in" mixed100
wanted tar100 && compare "one 100 MB file of tar data (/usr/include)" "$WORK/in" tar100
wanted tree && compare "tree $TREE_PARENT/$TREE_NAME ($(find "$TREE_PARENT/$TREE_NAME" | wc -l) entries)" "$TREE_PARENT" "$TREE_NAME"
list_many
