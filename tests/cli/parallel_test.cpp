// Storing with compression workers: for every worker count the archive,
// standard output, standard error and status are those of -j1, also when
// writes fail part-way, a source cannot be read, or a file grows or shrinks
// while it is stored.  Faults come from RLIMIT_FSIZE and from seam_probe,
// which replaces the platform's read and write calls.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "write_support.h"

namespace {

const std::vector<int> kJobs = {1, 2, 3, 8};

// What a run leaves: its streams, its status and every file in the archive's
// directory.
struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
    std::map<std::string, std::string> files;
};

// Every file and directory under dir (a directory as "name/" with no
// content), by its path below dir.
std::map<std::string, std::string> files_in(const std::string& dir, const std::string& below = "") {
    std::map<std::string, std::string> files;
    DIR* d = ::opendir((dir + "/" + below).c_str());
    if (d == nullptr) return files;
    while (dirent* e = ::readdir(d)) {
        const std::string name = below + e->d_name;
        if (std::string(e->d_name) == "." || std::string(e->d_name) == "..") continue;
        struct stat st;
        if (::lstat((dir + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            files[name + "/"] = "";
            for (auto& [k, v] : files_in(dir, name + "/")) files[k] = v;
        } else {
            files[name] = th::read_file(dir + "/" + name);
        }
    }
    ::closedir(d);
    return files;
}

// Reads every file under root once: a file's first read after it was
// written moves its access time, which its record holds, and every run
// must see the same times.
void settle_access_times(const std::string& root) {
    th::shell("find '" + root + "' -type f -exec cat {} + > /dev/null");
}

// A tree with files of every chunk shape (empty, one byte, exactly one
// chunk, one byte more, two full chunks, many chunks), text, zeros, random
// bytes and zero-heavy tar-like data, subdirectories, an empty one.
void make_tree(const std::string& root) {
    const size_t sizes[] = {0, 1, 100, 16383, 16384, 32766, 32767, 100000, 250000};
    const char kinds[] = {'t', 'z', 'r'};
    int n = 0;
    for (size_t size : sizes) {
        for (char kind : kinds) {
            const std::string sub = n % 3 == 0 ? "" : n % 3 == 1 ? "a/" : "a/b/";
            ++n;
            th::write_file(root + "/" + sub + "f" + std::to_string(n) + kind, th::make_bytes(size, kind, static_cast<uint32_t>(n)));
        }
    }
    std::string tar_like;
    for (int i = 0; tar_like.size() < 400000; ++i) {
        tar_like += std::string(512, '\0') + th::make_bytes(700 + i * 37 % 3000, 't', static_cast<uint32_t>(i));
        tar_like.append((512 - tar_like.size() % 512) % 512, '\0');
    }
    th::write_file(root + "/c/tar_like", tar_like);
    th::make_dirs(root + "/empty");
    th::write_file(root + "/a/.hidden", th::make_bytes(20000, 't', 9));
    th::make_dirs(root + "/.hidden_dir");
    th::write_file(root + "/.hidden_dir/x", "x");
    settle_access_times(root);
}

// Runs kelparc (or seam_probe with rules) with -j<jobs> first (no -j for
// jobs 0), in dir, after out/ was made to hold only old_archive as a.kel
// (nothing when empty).
Outcome run_with(const th::ScratchDir& dir, int jobs, const std::vector<std::string>& args,
                 const std::string& old_archive = "", const std::vector<std::string>& rules = {},
                 th::RunOptions opt = th::RunOptions()) {
    th::remove_tree(dir / "out");
    th::make_dirs(dir / "out");
    ::chmod((dir / "out").c_str(), 0777);  // for a run as an ordinary user
    if (!old_archive.empty()) th::write_file(dir / "out/a.kel", old_archive);
    std::vector<std::string> all;
    if (jobs > 0) all.push_back("-j" + std::to_string(jobs));
    all.insert(all.end(), args.begin(), args.end());
    opt.cwd = dir.path();
    th::RunResult r;
    if (rules.empty()) {
        r = th::run_kelparc(all, opt);
    } else {
        std::vector<std::string> probe(rules);
        probe.push_back("--");
        probe.insert(probe.end(), all.begin(), all.end());
        r = th::run_program(th::seam_probe_path(), probe, opt);
    }
    Outcome o;
    o.status = r.signal != 0 ? 1000 + r.signal : r.status;
    o.out = r.out;
    o.err = r.err;
    o.files = files_in(dir / "out");
    return o;
}

// Every worker count gives the -j1 outcome; returns that outcome.
Outcome expect_same_for_every_count(const th::ScratchDir& dir, const std::vector<std::string>& args,
                                    const std::string& what, const std::string& old_archive = "",
                                    const std::vector<std::string>& rules = {},
                                    const th::RunOptions& opt = th::RunOptions()) {
    const Outcome one = run_with(dir, 1, args, old_archive, rules, opt);
    for (int jobs : {0, 2, 3, 8}) {
        const Outcome o = run_with(dir, jobs, args, old_archive, rules, opt);
        EXPECT_EQ(o.status, one.status) << what << " -j" << jobs;
        EXPECT_EQ(o.out, one.out) << what << " -j" << jobs;
        EXPECT_EQ(o.err, one.err) << what << " -j" << jobs;
        EXPECT_TRUE(o.files == one.files) << what << " -j" << jobs << ": the files left differ";
    }
    return one;
}

}  // namespace

// Trees, single files, appends and the machine's own headers: the same
// archive and output for every worker count, and an archive that reads back.
TEST(Parallel, SameArchiveAndOutputForEveryWorkerCount) {
    th::ScratchDir dir;
    make_tree(dir / "src");
    th::write_file(dir / "big", th::make_bytes(3000000, 't', 5) + th::make_bytes(1000000, 'r', 6));
    settle_access_times(dir / "big");
    Outcome tree = expect_same_for_every_count(dir, {"-r", "src", "out/a.kel"}, "tree");
    EXPECT_EQ(tree.status, 0);
    ASSERT_EQ(tree.files.count("a.kel"), 1u);
    wt::Parsed parsed = wt::parse_archive(tree.files["a.kel"]);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_GT(parsed.entries.size(), 30u);
    expect_same_for_every_count(dir, {"big", "src/a/f5z", "missing", "src/f1t", "out/a.kel"}, "files");
    expect_same_for_every_count(dir, {"-a", "-r", "src", "big", "out/a.kel"}, "append", tree.files["a.kel"]);
    expect_same_for_every_count(dir, {"-q", "-r", "src", "out/a.kel"}, "quiet");
    // Attribute blocks are read by name from the walk's working directory.
    Outcome hidden = expect_same_for_every_count(dir, {"-r", "-ths", "src", "out/a.kel"}, "hidden");
    EXPECT_NE(hidden.out.find("src/.hidden_dir/x\n"), std::string::npos);
    struct stat st;
    if (::stat("/usr/include/linux", &st) == 0) {
        Outcome inc = expect_same_for_every_count(dir, {"-r", "-c/usr/include", "linux", "out/a.kel"}, "headers");
        EXPECT_EQ(inc.status, 0);
    }
    // The archive made with workers unpacks to the tree.
    th::RunOptions o;
    o.cwd = dir.path();
    EXPECT_EQ(th::run_kelparc({"-j3", "-ths", "-r", "src", "t.kel"}, o).status, 0);
    th::make_dirs(dir / "back");
    EXPECT_EQ(th::run_kelparc({"-u", "-cback", "t.kel"}, o).status, 0);
    EXPECT_EQ(th::shell("diff -r '" + (dir / "src") + "' '" + (dir / "back/src") + "'"), 0);
}

// A file size limit anywhere in the archive: the same messages, status and
// leftovers (a new archive, a -w over an old one, an append) for every count.
TEST(Parallel, FileSizeLimitAtManyOffsets) {
    th::ScratchDir dir;
    make_tree(dir / "src");
    const Outcome whole = run_with(dir, 1, {"-r", "src", "out/a.kel"});
    const std::string old = whole.files.at("a.kel");
    const int64_t size = static_cast<int64_t>(old.size());
    std::vector<int64_t> limits = {0, 1, 30, 65533, 65534, 65535, 131068, 131069};
    for (int64_t at = 200000; at < size; at += size / 7) limits.push_back(at);
    limits.push_back(size - 1);
    for (int64_t limit : limits) {
        th::RunOptions opt;
        opt.fsize_limit = limit;
        const std::string at = " limit " + std::to_string(limit);
        expect_same_for_every_count(dir, {"-r", "src", "out/a.kel"}, "new" + at, "", {}, opt);
        expect_same_for_every_count(dir, {"-w", "-r", "src", "out/a.kel"}, "overwrite" + at, old, {}, opt);
        opt.fsize_limit = limit + size;
        expect_same_for_every_count(dir, {"-a", "-r", "src", "out/a.kel"}, "append" + at, old, {}, opt);
    }
}

// A write that fails at every call in turn, through the seam.
TEST(Parallel, WriteFailureAtEveryCall) {
    th::ScratchDir dir;
    make_tree(dir / "src");
    const Outcome whole = run_with(dir, 1, {"-r", "src", "out/a.kel"});
    const size_t n_writes = whole.files.at("a.kel").size() / 65534 + 2;
    for (size_t n = 1; n <= n_writes + 1; ++n) {
        const std::string rule = "--fail-write=" + std::to_string(n);
        const Outcome o = expect_same_for_every_count(dir, {"-r", "src", "out/a.kel"}, rule, "", {rule});
        if (n <= n_writes - 1) {
            EXPECT_EQ(o.status, th::status_of(-5)) << rule;
            EXPECT_NE(o.err.find("Error writing to file"), std::string::npos) << rule;
        }
    }
}

// A source that cannot be read in the middle of a tree, by a failing read
// and by its permissions: the walk stops at the same place for every count.
TEST(Parallel, UnreadableSourceMidTree) {
    th::ScratchDir dir;
    make_tree(dir / "src");
    for (int k : {1, 2, 5, 9, 17, 30, 44}) {
        const std::string rule = "--fail-read=" + std::to_string(k);
        const Outcome o = expect_same_for_every_count(dir, {"-r", "src", "out/a.kel"}, rule, "", {rule});
        EXPECT_NE(o.err.find("Could not read source file"), std::string::npos) << rule;
    }
    // The read faults above ran; what follows needs another user.
    SKIP_UNDER_WINE("running as another user needs that user's own Wine prefix");
    ::chmod((dir / "src/a/f11z").c_str(), 0);
    th::RunOptions opt;
    opt.as_nobody = true;
    ::chmod(dir.path().c_str(), 0777);
    const Outcome o = expect_same_for_every_count(dir, {"-r", "src", "out/a.kel"}, "mode 000", "", {}, opt);
    EXPECT_NE(o.err.find("Could not open source file"), std::string::npos);
}

bool same_entry(const wt::Entry& a, const wt::Entry& b) {
    auto chunks_equal = [](const std::vector<wt::Chunk>& x, const std::vector<wt::Chunk>& y) {
        if (x.size() != y.size()) return false;
        for (size_t i = 0; i < x.size(); ++i) {
            if (x[i].flags != y[i].flags || x[i].data != y[i].data) return false;
        }
        return true;
    };
    return a.name == b.name && a.mode == b.mode && a.flags == b.flags && a.size == b.size && a.atime == b.atime &&
           a.mtime == b.mtime && a.ctime == b.ctime && a.clen == b.clen && a.attr == b.attr &&
           chunks_equal(a.chunks, b.chunks);
}

// True when `got` is `all` with exactly one entry taken out.
bool all_but_one(const std::vector<wt::Entry>& all, const std::vector<wt::Entry>& got) {
    if (got.size() + 1 != all.size()) return false;
    size_t skipped = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        if (skipped == 0 && !same_entry(all[i], got[i])) skipped = 1;
        if (!same_entry(all[i + skipped], got[i])) return false;
    }
    return true;
}

// With --keep-going a source whose read fails, part-way or at once, is
// taken back whole and the run goes on: every other entry is as a run
// without the fault writes it, for every worker count, appending too.
TEST(Parallel, KeepGoingTakesBackAHalfReadEntry) {
    th::ScratchDir dir;
    make_tree(dir / "src");
    const Outcome whole = run_with(dir, 1, {"-r", "src", "out/a.kel"});
    const wt::Parsed all = wt::parse_archive(whole.files.at("a.kel"));
    ASSERT_TRUE(all.ok);
    // The 7th read is the third of a file of many chunks.
    for (int k : {1, 2, 5, 7, 9, 17, 30, 44}) {
        const std::string rule = "--fail-read=" + std::to_string(k);
        const Outcome o = expect_same_for_every_count(dir, {"--keep-going", "-r", "src", "out/a.kel"}, rule, "", {rule});
        EXPECT_EQ(o.status, th::status_of(-4)) << rule;
        EXPECT_EQ(o.err.rfind("Could not read source file ", 0), 0u) << rule << " " << o.err;
        const wt::Parsed p = wt::parse_archive(o.files.count("a.kel") ? o.files.at("a.kel") : "");
        EXPECT_EQ(p.header, all.header) << rule;
        EXPECT_TRUE(p.ok && all_but_one(all.entries, p.entries)) << rule;
    }
    const std::string rule = "--fail-read=7";
    // On standard output nothing can be taken back: the run ends there.
    const Outcome streamed = run_with(dir, 1, {"--keep-going", "-r", "src", "-"}, "", {rule});
    EXPECT_EQ(streamed.status, th::status_of(-4));
    const size_t failed_at = streamed.err.find("Could not read source file");
    ASSERT_NE(failed_at, std::string::npos);
    EXPECT_EQ(streamed.err.find('\n', failed_at) + 1, streamed.err.size()) << "the run went on";
    const Outcome appended = expect_same_for_every_count(dir, {"-a", "--keep-going", "-r", "src", "out/a.kel"},
                                                         "-a " + rule, whole.files.at("a.kel"), {rule});
    EXPECT_EQ(appended.status, th::status_of(-4));
    const std::string& bytes = appended.files.at("a.kel");
    ASSERT_EQ(bytes.compare(0, whole.files.at("a.kel").size(), whole.files.at("a.kel")), 0);
    const wt::Parsed p = wt::parse_archive(bytes);
    ASSERT_TRUE(p.ok) << p.error;
    const std::vector<wt::Entry> added(p.entries.begin() + static_cast<long>(all.entries.size()), p.entries.end());
    EXPECT_TRUE(all_but_one(all.entries, added));
}

// Files that grow or shrink while they are stored (from a chosen read on):
// every count gives the -j1 archive, which keeps what was read.
TEST(Parallel, FilesThatGrowOrShrinkWhileStored) {
    th::ScratchDir dir;
    make_tree(dir / "src");
    for (int k : {1, 3, 4, 8, 12, 25, 40}) {
        for (const std::string& rule : {"--shrink=" + std::to_string(k), "--grow=" + std::to_string(k) + ":20000",
                                        "--grow=" + std::to_string(k) + ":5"}) {
            const Outcome o = expect_same_for_every_count(dir, {"-r", "src", "out/a.kel"}, rule, "", {rule});
            EXPECT_EQ(o.status, 0) << rule;
            wt::Parsed p = wt::parse_archive(o.files.count("a.kel") ? o.files.at("a.kel") : "");
            EXPECT_TRUE(p.ok) << rule << " " << p.error;
        }
    }
}

// Unpacking, testing and streaming archives whole and damaged (cut inside a
// big file or late, a chunk with a flipped byte or overwritten), with and
// without checksums, and unpacking onto a full disk: for every thread count
// the files left, the output and the status are those of -j1.
TEST(Parallel, UnpackSameForEveryWorkerCount) {
    th::ScratchDir dir;
    make_tree(dir / "src");
    th::write_file(dir / "src/big", th::make_bytes(3000000, 't', 5) + th::make_bytes(600000, 'r', 6));
    settle_access_times(dir / "src");
    th::RunOptions o;
    o.cwd = dir.path();
    for (const std::string base : {"plain", "sums"}) {
        std::vector<std::string> args = {"-q", "-r", "src", base + ".kel"};
        if (base == "sums") args.insert(args.begin(), "--checksum");
        ASSERT_EQ(th::run_kelparc(args, o).status, 0);
        const std::string whole = th::read_file(dir / (base + ".kel"));
        const wt::Parsed parsed = wt::parse_archive(whole);
        ASSERT_TRUE(parsed.ok) << parsed.error;
        std::string mid_chunk;
        for (const wt::Entry& e : parsed.entries)
            if (e.name == "src/big") mid_chunk = e.chunks[e.chunks.size() / 2].data;
        const size_t at = whole.find(mid_chunk);
        ASSERT_NE(at, std::string::npos);
        std::string flipped = whole, overwritten = whole;
        flipped[at + mid_chunk.size() / 2] ^= 0x55;
        overwritten.replace(at + 3, 200, 200, '\xff');
        const std::pair<std::string, std::string> variants[] = {
            {"whole", whole},
            {"cut in big", whole.substr(0, at + mid_chunk.size() / 2)},
            {"cut late", whole.substr(0, whole.size() * 9 / 10)},
            {"flipped", flipped},
            {"overwritten", overwritten},
        };
        for (const auto& [what, bytes] : variants) {
            th::write_file(dir / "x.kel", bytes);
            const std::string name = base + " " + what;
            const Outcome u = expect_same_for_every_count(dir, {"-u", "-cout", "x.kel"}, name + " -u");
            if (what == "whole") {
                EXPECT_EQ(u.files.at("src/big"), th::read_file(dir / "src/big")) << name;
            } else {
                EXPECT_NE(u.status, 0) << name;
            }
            expect_same_for_every_count(dir, {"--test", "x.kel"}, name + " --test");
            expect_same_for_every_count(dir, {"-u", "--to-stdout", "x.kel"}, name + " --to-stdout");
        }
    }
    th::write_file(dir / "x.kel", th::read_file(dir / "plain.kel"));
    // Each rule fails a write of the unpack, the last of them its last write.
    for (const std::string n : {"1", "5", "20", "40"}) {
        const std::string rule = "--fail-write=" + n;
        EXPECT_NE(expect_same_for_every_count(dir, {"-u", "-cout", "x.kel"}, rule, "", {rule}).status, 0) << rule;
    }
    for (int64_t limit : {0, 100000, 2000000}) {
        th::RunOptions opt;
        opt.fsize_limit = limit;
        expect_same_for_every_count(dir, {"-u", "-cout", "x.kel"}, "limit " + std::to_string(limit), "", {}, opt);
    }
}

// -j: the usage line, the values refused (message 54 where an unknown letter
// is reported, result -23), and a value that every operation accepts.
TEST(Parallel, JobsOption) {
    const th::RunResult usage = th::run_kelparc({});
    EXPECT_NE(usage.out.find("   -c<path> : Use the path as the point to begin searching for files\n"
                             "   -j<n>    : Use n threads (default: one per processor)\n"
                             "   -l       : List contents of a zip file\n"),
              std::string::npos)
        << usage.out;
    for (const std::string bad : {"0", "65", "x", "", "-1", "2x", "99999999999999999999"}) {
        const th::RunResult r = th::run_kelparc({"-j" + bad, "f", "a.kel"});
        EXPECT_EQ(r.status, th::status_of(-23)) << bad;
        EXPECT_EQ(r.out, wt::BANNER) << bad;
        EXPECT_EQ(r.err, "Invalid value for -j: " + bad + "\n") << bad;
    }
    const th::RunResult mixed = th::run_kelparc({"-x", "-j0", "-J65", "f", "a.kel"});
    EXPECT_EQ(mixed.err, "Invalid option \"x\" ignored.\nInvalid value for -j: 0\nInvalid value for -j: 65\n");
    EXPECT_EQ(mixed.status, th::status_of(-23));
    const th::RunResult quiet = th::run_kelparc({"-q", "-j0", "f", "a.kel"});
    EXPECT_EQ(quiet.err, "");
    EXPECT_EQ(quiet.status, th::status_of(-23));

    th::ScratchDir dir;
    th::write_file(dir / "f", "hello");
    settle_access_times(dir / "f");
    th::RunOptions opt;
    opt.cwd = dir.path();
    EXPECT_EQ(th::run_kelparc({"-j64", "f", "a.kel"}, opt).status, 0);
    const th::RunResult list = th::run_kelparc({"-l", "-j2", "a.kel"}, opt);
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.err, "");
    th::make_dirs(dir / "back");
    const th::RunResult unpack = th::run_kelparc({"-u", "-j1", "-cback", "a.kel"}, opt);
    EXPECT_EQ(unpack.status, 0) << unpack.err;
    EXPECT_EQ(th::read_file(dir / "back/f"), "hello");
    // Recorded nowhere: the archive is the one written without -j.
    const std::string with_j = th::read_file(dir / "a.kel");
    ::unlink((dir / "a.kel").c_str());
    EXPECT_EQ(th::run_kelparc({"f", "a.kel"}, opt).status, 0);
    EXPECT_EQ(th::read_file(dir / "a.kel"), with_j);
}

// Standard output that fails part-way through the names (full device, a
// pipe without reader): the run stops at the same name for every
// count, and no archive or temporary file is left.
TEST(Parallel, StandardOutputFailingPartWay) {
    th::ScratchDir dir;
    // About 20 KB of name lines, so the failure comes in the middle of the
    // walk, after some chunks have gone to the workers.
    for (int d = 0; d < 8; ++d) {
        for (int f = 0; f < 40; ++f) {
            th::write_file(dir / ("src/dir" + std::to_string(d) + "/a_file_with_a_longer_name_" + std::to_string(f)),
                           th::make_bytes(static_cast<size_t>(f * 900), f % 2 ? 't' : 'z', static_cast<uint32_t>(f)));
        }
    }
    settle_access_times(dir / "src");
    th::RunOptions full;
    full.stdout_path = "/dev/full";
    th::RunOptions gone;
    gone.stdout_reader_gone = true;
    const std::string message = "Error writing to standard output\n";
    // A read that fails after the failure is never reached.
    const std::string late_fault = "--fail-read=500";
    const Outcome fault = run_with(dir, 1, {"-r", "src", "out/a.kel"}, "", {late_fault});
    EXPECT_NE(fault.err.find("Could not read source file"), std::string::npos);
    // A reader that has gone is no error to report.
    for (const auto& [opt, expected] : {std::make_pair(full, message), std::make_pair(gone, std::string())}) {
        const Outcome o = expect_same_for_every_count(dir, {"-r", "src", "out/a.kel"}, "stdout", "", {late_fault}, opt);
        EXPECT_EQ(o.status, th::status_of(-13));
        EXPECT_EQ(o.err, expected);
        EXPECT_TRUE(o.files.empty());
    }
    // The same over an old archive, which stays as it was.
    const Outcome whole = run_with(dir, 1, {"-r", "src", "out/a.kel"});
    ASSERT_EQ(whole.status, 0);
    const Outcome over =
        expect_same_for_every_count(dir, {"-w", "-r", "src", "out/a.kel"}, "stdout -w", "old bytes", {}, full);
    EXPECT_EQ(over.status, th::status_of(-13));
    EXPECT_EQ(over.files, (std::map<std::string, std::string>{{"a.kel", "old bytes"}}));
    // Quiet: only the banner is printed; it fails at the last flush, once
    // every chunk is written, and the archive is not put in place.
    const Outcome quiet = expect_same_for_every_count(dir, {"-q", "-r", "src", "out/a.kel"}, "stdout -q", "", {}, full);
    EXPECT_EQ(quiet.status, th::status_of(-13));
    EXPECT_TRUE(quiet.files.empty());
}
