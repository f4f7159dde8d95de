// Damage found and survived: bit flips in stored chunks, a damaged entry in
// the middle of a tree, checksum entries (the documented example and the
// reading rules), --test and --compare.
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "harness.h"

namespace {

const std::string offset_line = "offset = 0, offset = 0\n";

// Where each stored chunk of an archive (without a password) lies.
struct ChunkAt {
    size_t at;
    size_t len;
    bool raw;
    bool checksum;  // the chunk of a checksum entry
};

std::vector<ChunkAt> chunks_of(const std::string& a) {
    std::vector<ChunkAt> out;
    size_t pos = 10 + std::stoul(a.substr(6, 4));
    while (pos + 4 <= a.size()) {
        size_t r = std::strtoul(a.c_str() + pos, nullptr, 10);
        std::string text = a.substr(pos + 4, r);
        long n[8] = {};
        std::istringstream nums(text.substr(text.find('\x04') + 1));
        for (long& v : n) nums >> v;
        pos += 4 + r + static_cast<size_t>(n[7]);
        long len = n[6], flags = n[1];
        bool checksum = (flags & ab::HIDDEN_SKIP) != 0;
        while (len > 0) {
            out.push_back(ChunkAt{pos, static_cast<size_t>(len), (flags & ab::RAW) != 0, checksum});
            pos += static_cast<size_t>(len);
            if (!(flags & ab::MORE)) break;
            std::sscanf(a.c_str() + pos, "%ld %ld", &len, &flags);
            pos += 10;
        }
    }
    return out;
}

// A small tree of varied files: text over several chunks, random bytes
// (stored raw), a short text, an empty file.
struct Tree {
    std::vector<std::pair<std::string, std::string>> files;
    explicit Tree(const std::string& root) {
        files = {{"t/big.txt", th::make_bytes(40000, 't', 3)},
                 {"t/noise.bin", th::make_bytes(20000, 'r', 5)},
                 {"t/sub/small.txt", th::make_bytes(300, 't', 9)},
                 {"t/sub/empty", ""}};
        for (const auto& f : files) th::write_file(root + "/" + f.first, f.second);
    }
};

// Fills target with a file of other content at every name of the tree.
void plant_old_files(const Tree& tree, const std::string& target) {
    for (const auto& f : tree.files) th::write_file(target + "/" + f.first, "old " + f.first);
}

bool is_damage_message(const std::string& err) {
    for (const char* m : {"Corrupt compressed data in ", "Checksum mismatch in ", "Size of ", "Error reading "})
        if (err.find(m) != std::string::npos) return true;
    return false;
}

// One bit flipped at each of many places inside the chunks of an archive
// of tree.  Returns how many flips restored other content than stored, and
// how many of those the run reported (status not 0).
struct FlipCounts {
    int runs = 0;
    int damaging = 0;
    int detected = 0;
};

FlipCounts flip_bits(const std::string& dir, const Tree& tree, const std::string& archive, bool checksums) {
    FlipCounts counts;
    std::vector<ChunkAt> chunks = chunks_of(archive);
    for (const ChunkAt& c : chunks) {
        for (size_t k = 0; k < 12; ++k) {
            size_t off = c.at + (c.len - 1) * k / 11;
            std::string bad = archive;
            bad[off] = static_cast<char>(bad[off] ^ (1 << ((off * 5 + k) % 8)));
            th::write_file(dir + "/bad.kel", bad);
            std::string target = dir + "/out";
            th::remove_tree(target);
            th::make_dirs(target);
            plant_old_files(tree, target);
            auto u = ab::run_in(dir, {"-u", "-c" + th::native_path(target), "bad.kel"});
            auto t = ab::run_in(dir, {"--test", "bad.kel"});
            std::string where = "offset " + std::to_string(off) + (c.raw ? " raw" : " compressed");
            ++counts.runs;
            bool differs = false;
            for (const auto& f : tree.files) {
                std::string got = th::read_file(target + "/" + f.first);
                if (got != f.second) differs = true;
                // Each file is the original or the old one left as it was.
                if (checksums) {
                    EXPECT_TRUE(got == f.second || got == "old " + f.first) << where << " " << f.first;
                }
            }
            // --test finds what unpacking finds.
            EXPECT_EQ(t.status, u.status) << where;
            if (u.status != 0) {
                EXPECT_TRUE(is_damage_message(u.err)) << where << ": " << u.err;
            }
            if (differs) ++counts.damaging;
            if (differs && u.status != 0) ++counts.detected;
            if (checksums) {
                // No run ends well with other content than stored.
                EXPECT_FALSE(differs && u.status == 0) << where;
            } else if (u.status == 0) {
                // Without checksums a file may differ, never in length.
                for (const auto& f : tree.files)
                    EXPECT_EQ(th::read_file(target + "/" + f.first).size(), f.second.size()) << where;
            }
        }
    }
    return counts;
}

TEST(Integrity, BitFlipsInChunksAreFoundOrHarmless) {
    th::ScratchDir dir;
    Tree tree(dir.path());
    for (bool checksums : {true, false}) {
        std::vector<std::string> args = {"-r", "t", "a.kel"};
        if (checksums) args.insert(args.begin(), "--checksum");
        args.insert(args.begin(), "-w");
        ASSERT_EQ(ab::run_in(dir.path(), args).status, 0);
        FlipCounts c = flip_bits(dir.path(), tree, th::read_file(dir / "a.kel"), checksums);
        std::cout << (checksums ? "with" : "without") << " checksums: " << c.runs << " flips, " << c.damaging
                  << " changed what was restored, " << c.detected << " of those reported\n";
        if (checksums) {
            EXPECT_EQ(c.detected, c.damaging);
        }
    }
}

// Makes the first compressed chunk of the entry stored under name
// undecodable (a code width of 16 bits in its stream header).
std::string spoil_entry(const std::string& archive, const std::string& name) {
    size_t rec = archive.find(name + '\x04');
    std::string bad = archive;
    for (const ChunkAt& c : chunks_of(archive)) {
        if (c.at > rec && !c.raw && !c.checksum) {
            bad[c.at + 2] = '\x90';
            return bad;
        }
    }
    return bad;
}

TEST(Integrity, DamagedEntryInTheMiddleOfATreeIsLeftOutAndTheRestRestored) {
    th::ScratchDir dir;
    std::vector<std::string> names;
    for (int i = 0; i < 12; ++i) {
        names.push_back("tree/d" + std::to_string(i % 3) + "/f" + std::to_string(i));
        th::write_file(dir / names.back(), th::make_bytes(5000 + 3000 * i, 't', i));
    }
    const std::string victim = names[6];
    for (const char* jobs : {"-j1", "-j4"}) {
        ASSERT_EQ(ab::run_in(dir.path(), {"-w", jobs, "-r", "tree", "a.kel"}).status, 0);
        th::write_file(dir / "bad.kel", spoil_entry(th::read_file(dir / "a.kel"), victim));
        th::remove_tree(dir / "out");
        th::write_file(dir / ("out/" + victim), "kept");
        auto r = ab::run_in(dir.path(), {"-u", jobs, "-c" + th::native_path(dir / "out"), "bad.kel"});
        EXPECT_EQ(r.status, th::status_of(-6)) << jobs;
        EXPECT_EQ(r.err, "Corrupt compressed data in " + th::output_path(dir / "out", victim) + "\n") << jobs;
        for (const std::string& n : names)
            EXPECT_EQ(th::read_file(dir / ("out/" + n)), n == victim ? "kept" : th::read_file(dir / n)) << n;
        // Nothing but the entries' own files is left behind.
        EXPECT_EQ(th::shell("test $(find '" + dir / "out" + "' -type f | wc -l) -eq 12"), 0);
    }
}

TEST(Integrity, ArchivesWithChecksumsAreTheSameForEveryNumberOfWorkers) {
    th::ScratchDir dir;
    Tree tree(dir.path());
    th::write_file(dir / "t/huge", th::make_bytes(300000, 't', 4));
    // The first read of a new file or directory moves its access time, which
    // its record holds: every run below must see the same times.
    th::shell("find '" + dir / "t" + "' -type f -exec cat {} + > /dev/null");
    ASSERT_EQ(ab::run_in(dir.path(), {"--checksum", "-j1", "-r", "t", "one.kel"}).status, 0);
    ASSERT_EQ(ab::run_in(dir.path(), {"--checksum", "-j4", "-r", "t", "four.kel"}).status, 0);
    ASSERT_EQ(ab::run_in(dir.path(), {"--checksum", "-r", "t", "all.kel"}).status, 0);
    EXPECT_EQ(th::read_file(dir / "one.kel"), th::read_file(dir / "four.kel"));
    EXPECT_EQ(th::read_file(dir / "one.kel"), th::read_file(dir / "all.kel"));
}

// The hex dump of the checksum example in docs/format.md.
std::string documented_example() {
    std::ifstream in(std::string(KELPARC_SOURCE_DIR) + "/docs/format.md");
    std::string line, bytes;
    bool inside = false;
    while (std::getline(in, line)) {
        if (line.find("checksum example") != std::string::npos) inside = true;
        if (!inside || line.size() < 10 || line[8] != ':') {
            if (inside && !bytes.empty()) break;
            continue;
        }
        std::istringstream hex(line.substr(10, 48));
        std::string b;
        while (hex >> b) bytes.push_back(static_cast<char>(std::stoi(b, nullptr, 16)));
    }
    return bytes;
}

std::string checksum_entry(const std::string& name, const std::string& text) {
    ab::Fields f;
    f.mode = 0;
    f.flags = ab::HIDDEN_SKIP | ab::RAW;
    f.size = f.clen = static_cast<long>(text.size());
    f.atime = f.mtime = f.ctime = 0;
    return ab::record(name, f) + text;
}

const std::string hello_sum = "xxh3-128 6bba86c7e069f56d5a10b435f1c8e49c";

TEST(Integrity, DocumentedChecksumExampleReadsBack) {
    th::ScratchDir dir;
    std::string hand = ab::header() + ab::file_entry("a.txt", "hello\n", false, 0100644, 1700000000) +
                       checksum_entry("a.txt", hello_sum);
    ASSERT_EQ(documented_example(), hand);
    th::write_file(dir / "ex.kel", hand);
    auto u = ab::run_in(dir.path(), {"-u", "ex.kel"});
    EXPECT_EQ(u.status, 0);
    EXPECT_EQ(u.err, "");
    EXPECT_EQ(th::read_file(dir / "a.txt"), "hello\n");
    // xxh128sum checks the restored file on its own.
    EXPECT_EQ(th::shell("cd '" + dir.path() + "' && echo '" + hello_sum.substr(9) + "  a.txt' | xxh128sum -c --status"), 0);
    auto l = ab::run_in(dir.path(), {"-l", "ex.kel"});
    EXPECT_EQ(l.out, ab::banner + "Listing " + th::native_path(dir / "ex.kel") + " ...\na.txt\n\n");
    auto v = ab::run_in(dir.path(), {"-l", "-v", "ex.kel"});
    EXPECT_NE(v.out.find(" a.txt " + hello_sum.substr(9) + "\n"), std::string::npos) << v.out;
    auto t = ab::run_in(dir.path(), {"--test", "ex.kel"});
    EXPECT_EQ(t.status, 0);
    EXPECT_EQ(t.out, ab::banner + "Testing " + th::native_path(dir / "ex.kel") +
                         " ...\na.txt\nTested 1 entries: 0 damaged, 1 checked against a checksum\n");
    auto q = ab::run_in(dir.path(), {"-q", "--test", "ex.kel"});
    EXPECT_EQ(q.out + q.err, ab::banner);
    // kelparc writes the same bytes.
    th::write_file(dir / "a.txt", "hello\n");
    struct utimbuf times = {1700000000, 1700000000};
    ASSERT_EQ(utime((dir / "a.txt").c_str(), &times), 0);
    ASSERT_EQ(chmod((dir / "a.txt").c_str(), 0644), 0);
    ASSERT_EQ(ab::run_in(dir.path(), {"--checksum", "a.txt", "w.kel"}).status, 0);
    std::string written = th::read_file(dir / "w.kel");
    std::string expect = hand;
    // Only the change time, which no program can set, and the mode, which
    // Windows reports as 0666, may differ.
    std::string ctime = written.substr(written.find("1700000000 1700000000 ") + 22, 10);
    size_t at = expect.find("1700000000 1700000000 1000000000");
    expect.replace(at + 22, 10, ctime);
    size_t mode_at = written.find("a.txt\x04") + 6;
    expect.replace(expect.find("33188"), 5, written.substr(mode_at, written.find(' ', mode_at) - mode_at));
    EXPECT_EQ(written, expect);
}

// How a file entry followed by a checksum entry (or something like one) is
// read.
TEST(Integrity, ChecksumEntryReadingRules) {
    const std::string good = ab::file_entry("a.txt", "hello\n");
    ab::Fields longer;  // a record claiming 10 bytes for "hello\n"
    longer.flags = ab::RAW;
    longer.size = 10;
    longer.clen = 6;
    const std::string wrong_size = ab::record("a.txt", longer) + "hello\n";
    ab::Fields big;
    big.flags = ab::RAW;
    big.size = big.clen = 16384;
    struct Case {
        const char* what;
        std::string entries;
        int status;
        std::string err;  // with @ for the output path of a.txt
        bool restored;
    };
    const Case cases[] = {
        {"matching", good + checksum_entry("a.txt", hello_sum), 0, "", true},
        {"other hex", good + checksum_entry("a.txt", "xxh3-128 6bba86c7e069f56d5a10b435f1c8e49d"), -6,
         "Checksum mismatch in @\n", false},
        {"upper case", good + checksum_entry("a.txt", "xxh3-128 6BBA86C7E069F56D5A10B435F1C8E49C"), -6,
         "Checksum mismatch in @\n", false},
        {"short", good + checksum_entry("a.txt", "xxh3-128 6bba"), -6, "Checksum mismatch in @\n", false},
        {"other name", good + checksum_entry("b.txt", hello_sum), -6, "Checksum mismatch in @\n", false},
        {"after a directory", ab::dir_entry("d") + checksum_entry("d", hello_sum) + good, 0, "", true},
        {"other hidden entry", good + checksum_entry("a.txt", "a note"), 0, "", true},
        {"size vouched for", wrong_size + checksum_entry("a.txt", hello_sum), 0,
         "Size of @ differs from its record: 6 bytes restored, 10 recorded\n", true},
        {"size without checksum", wrong_size, -6, "Size of @ differs from its record: 6 bytes restored, 10 recorded\n",
         true},
        {"chunk over 16383 bytes", ab::record("a.txt", big) + std::string(16384, 'x') + good, -6,
         "Corrupt compressed data in @\n", true},
        {"cut checksum entry", good + checksum_entry("a.txt", hello_sum).substr(0, 50), -6,
         "Error reading from a.txt\n", true},
    };
    for (const Case& c : cases) {
        th::ScratchDir dir;
        th::write_file(dir / "a.kel", ab::header() + c.entries);
        auto r = ab::run_in(dir.path(), {"-u", "a.kel"});
        std::string err = c.err;
        size_t at = err.find('@');
        if (at != std::string::npos) err.replace(at, 1, th::output_path(dir.path(), "a.txt"));
        EXPECT_EQ(r.status, th::status_of(c.status)) << c.what;
        EXPECT_EQ(r.err, err) << c.what;
        EXPECT_EQ(th::exists(dir / "a.txt"), c.restored) << c.what;
        if (c.restored) {
            EXPECT_EQ(th::read_file(dir / "a.txt"), "hello\n") << c.what;
        }
        auto t = ab::run_in(dir.path(), {"--test", "a.kel"});
        EXPECT_EQ(t.status, th::status_of(c.status)) << c.what;
    }
}

TEST(Integrity, CompareNamesEachDifference) {
    th::ScratchDir dir;
    const char* names[] = {"c/same", "c/touched", "c/cut", "c/gone", "c/replaced", "c/dir"};
    for (const char* n : names) th::write_file(dir / n, th::make_bytes(30000, 't', 2) + n);
    ASSERT_EQ(ab::run_in(dir.path(), {"-r", "c", "a.kel"}).status, 0);
    auto r = ab::run_in(dir.path(), {"--compare", "a.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Compared 7 entries: 0 differ, 0 damaged\n"), std::string::npos) << r.out;

    struct utimbuf later = {2000000000, 2000000000};
    ASSERT_EQ(utime((dir / "c/touched").c_str(), &later), 0);
    ASSERT_EQ(truncate((dir / "c/cut").c_str(), 100), 0);
    ASSERT_EQ(std::remove((dir / "c/gone").c_str()), 0);
    std::string replaced = th::read_file(dir / "c/replaced");
    replaced[20000] ^= 1;
    th::write_file(dir / "c/replaced", replaced);
    ASSERT_EQ(std::remove((dir / "c/dir").c_str()), 0);
    th::make_dirs(dir / "c/dir");
    r = ab::run_in(dir.path(), {"--compare", "a.kel"});
    EXPECT_EQ(r.status, th::status_of(-25));
    EXPECT_EQ(r.err, "");
    std::string expect = ab::banner + "Testing " + th::native_path(dir / "a.kel") + " ...\nc\nc/cut\n" +
                         th::output_path(dir.path(), "c/cut") + " differs: size\nc/dir\n" +
                         th::output_path(dir.path(), "c/dir") + " differs: not a file\nc/gone\n" +
                         th::output_path(dir.path(), "c/gone") + " differs: missing\nc/replaced\n" +
                         th::output_path(dir.path(), "c/replaced") + " differs: contents\nc/same\nc/touched\n" +
                         th::output_path(dir.path(), "c/touched") +
                         " differs: modification time\nCompared 7 entries: 5 differ, 0 damaged\n";
    EXPECT_EQ(r.out, expect);
    // Nothing was changed on disk.
    EXPECT_FALSE(th::exists(dir / "c/gone"));
    EXPECT_EQ(th::read_file(dir / "c/replaced"), replaced);
    // A link leading out of the target is no file of it, whatever it leads to.
    if (!th::windows_target()) {
        th::ScratchDir other;
        th::write_file(other / "outside", th::read_file(dir / "c/same"));
        ASSERT_EQ(std::remove((dir / "c/same").c_str()), 0);
        ASSERT_EQ(symlink((other / "outside").c_str(), (dir / "c/same").c_str()), 0);
        r = ab::run_in(dir.path(), {"--compare", "c/same", "a.kel"});
        EXPECT_NE(r.out.find(th::output_path(dir.path(), "c/same") + " differs: missing\n"), std::string::npos)
            << r.out;
    }
}

// -s and file arguments pass over a file's checksum entry with the file.
TEST(Integrity, ChecksumEntriesGoWithTheirFile) {
    th::ScratchDir dir;
    Tree tree(dir.path());
    ASSERT_EQ(ab::run_in(dir.path(), {"--checksum", "-r", "t", "a.kel"}).status, 0);
    th::make_dirs(dir / "out");
    const std::string in_out = "-c" + th::native_path(dir / "out");
    auto r = ab::run_in(dir.path(), {"-u", in_out, "t/sub/small.txt", "a.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, ab::banner + offset_line + "Uncompressing " + th::native_path(dir / "a.kel") +
                         " ...\nt\nt/sub\nt/sub/small.txt\n\n");
    r = ab::run_in(dir.path(), {"-u", in_out, "a.kel"});
    EXPECT_EQ(r.status, 0);
    r = ab::run_in(dir.path(), {"-u", "-s", in_out, "a.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    for (const auto& f : tree.files) EXPECT_NE(r.out.find("Skipping " + f.first + "\n"), std::string::npos) << r.out;
    auto l = ab::run_in(dir.path(), {"-l", "t/big.txt", "a.kel"});
    EXPECT_EQ(l.out, ab::banner + "Listing " + th::native_path(dir / "a.kel") + " ...\nt/big.txt\n\n");
}

}  // namespace
