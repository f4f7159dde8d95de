// The detailed listing (-l -v) and choosing entries with file arguments
// after -u and -l, on archives built byte by byte.
#include <gtest/gtest.h>

#include "archive_builder.h"
#include "harness.h"

namespace {

th::RunResult run_tz(const th::ScratchDir& dir, const std::vector<std::string>& args,
                     const std::string& tz = "UTC") {
    th::RunOptions opt;
    opt.cwd = dir.path();
    opt.stdin_null = true;
    opt.timeout_s = 20;
    opt.env.push_back("TZ=" + tz);
    return th::run_kelparc(args, opt);
}

std::string listing_head(const th::ScratchDir& dir, const std::string& name) {
    return ab::banner + "Listing " + th::native_path(dir / name) + " ...\n";
}

const std::string detail_header =
    "      Size     Stored Saved Modified         Attr Name\n"
    "---------- ---------- ----- ---------------- ---- ----\n";
const std::string totals_rule = "---------- ---------- -----                       ----\n";

const long before_1970 = -315619200;  // 1960-01-01 00:00 UTC
const long after_2038 = 4102444800;   // 2100-01-01 00:00 UTC
const long in_2001 = 1000000000;      // 2001-09-09 01:46:40 UTC

// A raw entry whose record claims `size` while its one chunk holds `data`.
std::string claimed_entry(const std::string& name, long size, const std::string& data, long mtime,
                          long mode = 0100644) {
    ab::Fields f;
    f.mode = mode;
    f.size = size;
    f.mtime = mtime;
    f.flags = ab::RAW;
    f.clen = static_cast<long>(data.size());
    return ab::record(name, f) + data;
}

// Every kind of entry, with the stored size of top/a.txt in *compressed.
std::string detailed_archive(long* compressed) {
    std::string text = th::make_bytes(40000, 't');
    *compressed = 0;
    for (size_t at = 0; at < text.size(); at += 16383) {
        *compressed += static_cast<long>(ab::lzw(text.substr(at, 16383)).size());
    }
    ab::Fields skipped;
    skipped.flags = ab::HIDDEN_SKIP | ab::RAW;
    skipped.clen = 2;
    ab::Fields old_dir;
    old_dir.mode = 040755;
    old_dir.size = 4096;
    old_dir.mtime = before_1970;
    return ab::header() + ab::record("top", old_dir) + ab::file_entry("top/a.txt", text, true) +
           ab::file_entry("top/ro.txt", "read only\n", false, 0100444, in_2001, "10") +
           ab::file_entry("top/sys", "", false, 0100644, in_2001, "01") + ab::dir_entry("top", true) +
           ab::record("hidden", skipped) + "zz" + claimed_entry("big", 2147483648L, "12345", after_2038) +
           claimed_entry("grown", 1, "abc", in_2001);
}

TEST(DetailedList, EveryKindOfEntry) {
    th::ScratchDir dir;
    long z = 0;
    th::write_file(dir / "a.kel", detailed_archive(&z));
    ASSERT_GT(z, 0);
    ASSERT_LT(z, 40000);
    auto r = run_tz(dir, {"-l", "-v", "a.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    char a_line[128];
    std::snprintf(a_line, sizeof a_line, "     40000 %10ld %4ld%% 2001-09-09 01:46 ---- top/a.txt\n", z,
                  (40000 - z) * 100 / 40000);
    long total_stored = z + 10 + 5 + 3;
    long long total_size = 40000LL + 10 + 2147483648LL + 1;
    char totals[128];
    std::snprintf(totals, sizeof totals, "%10lld %10ld %4lld%%                       6 entries\n", total_size,
                  total_stored, (total_size - total_stored) * 100 / total_size);
    // The Windows runtime converts no time before 1970 to a date.
    const std::string in_1960 = th::windows_target() ? "?\?\?\?-?\?-?\? ?\?:?\?" : "1960-01-01 00:00";
    EXPECT_EQ(r.out, listing_head(dir, "a.kel") + detail_header +
                         "         0          0    0% " + in_1960 + " d--- top\n" + a_line +
                         "        10         10    0% 2001-09-09 01:46 -rh- top/ro.txt\n"
                         "         0          0    0% 2001-09-09 01:46 ---s top/sys\n"
                         "2147483648          5   99% 2100-01-01 00:00 ---- big\n"
                         "         1          3 -200% 2001-09-09 01:46 ---- grown\n" +
                         totals_rule + totals);
    // The letter v bundles with l, and the time is local.
    auto tokyo = run_tz(dir, {"-lv", "a.kel"}, "JST-9");
    EXPECT_EQ(tokyo.status, 0);
    const std::string in_1960_tokyo = th::windows_target() ? "?\?\?\?-?\?-?\? ?\?:?\?" : "1960-01-01 09:00";
    EXPECT_NE(tokyo.out.find("    0% " + in_1960_tokyo + " d--- top\n"), std::string::npos) << tokyo.out;
    EXPECT_NE(tokyo.out.find(" 2100-01-01 09:00 ---- big\n"), std::string::npos);
    // Plain -l is as it was.
    r = run_tz(dir, {"-l", "a.kel"});
    EXPECT_EQ(r.out, listing_head(dir, "a.kel") + "top\ntop/a.txt\ntop/ro.txt\ntop/sys\n\n\nbig\ngrown\n\n");
}

TEST(DetailedList, EmptyDamagedAndLocked) {
    th::ScratchDir dir;
    th::write_file(dir / "empty.kel", ab::header());
    auto r = run_tz(dir, {"-v", "-l", "empty.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, listing_head(dir, "empty.kel") + detail_header + totals_rule +
                         "         0          0    0%                       0 entries\n");
    // Cut inside the second entry: the lines before it, no totals.
    std::string good = ab::header() + ab::file_entry("one", "1") + ab::file_entry("two", th::make_bytes(20000, 'r'));
    th::write_file(dir / "cut.kel", good.substr(0, good.size() - 10000));
    r = run_tz(dir, {"-l", "-v", "cut.kel"});
    EXPECT_EQ(r.status, th::status_of(-6));
    EXPECT_EQ(r.out, listing_head(dir, "cut.kel") + detail_header +
                         "         1          1    0% 2001-09-09 01:46 ---- one\n");
    th::write_file(dir / "locked.kel", ab::header(4 | 0x1000, ab::seal("pw")) + ab::file_entry("f", "xy"));
    r = run_tz(dir, {"-l", "-v", "-ppw", "locked.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, listing_head(dir, "locked.kel") + detail_header +
                         "         2          2    0% 2001-09-09 01:46 ---- f\n" + totals_rule +
                         "         2          2    0%                       1 entry\n");
    // Without -l the letter changes nothing.
    th::make_dirs(dir / "u");
    th::make_dirs(dir / "uv");
    auto plain = run_tz(dir, {"-u", "-ppw", "-cu", "locked.kel"});
    r = run_tz(dir, {"-uv", "-ppw", "-cuv", "locked.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, plain.out);
    EXPECT_EQ(th::read_file(dir / "uv/f"), "xy");
}

// src/a.c, src/b.h, src/sub/c.c, src/sub/deep/d.c, README, and one name
// stored with backslashes.
std::string tree_archive(uint32_t flags = 4, const std::string& sealed = "") {
    return ab::header(flags, sealed) + ab::dir_entry("src") + ab::file_entry("src/a.c", "a") +
           ab::file_entry("src/b.h", "b") + ab::dir_entry("src/sub") + ab::file_entry("src/sub/c.c", "c") +
           ab::dir_entry("src/sub/deep") + ab::file_entry("src/sub/deep/d.c", "d") +
           ab::dir_entry("src/sub/deep", true) + ab::dir_entry("src/sub", true) + ab::dir_entry("src", true) +
           ab::file_entry("README", "r") + ab::file_entry("win\\x.txt", "x");
}

TEST(Choose, ListByNamePatternAndDirectory) {
    th::ScratchDir dir;
    th::write_file(dir / "a.kel", tree_archive());
    struct Case {
        std::vector<std::string> args;
        std::string lines;
    } cases[] = {
        {{"src/a.c"}, "src/a.c\n"},
        {{"./src//a.c"}, "src/a.c\n"},
        // A leading separator ('/' introduces an option on Windows).
        {{th::windows_target() ? "\\src/a.c" : "/src\\a.c"}, "src/a.c\n"},
        {{"src/*.c"}, "src/a.c\n"},
        {{"*/?.?"}, "src/a.c\nsrc/b.h\n"},
        {{"*/?.*"}, "src/a.c\nsrc/b.h\nwin\\x.txt\n"},
        {{"*"}, "src\nsrc/a.c\nsrc/b.h\nsrc/sub\nsrc/sub/c.c\nsrc/sub/deep\nsrc/sub/deep/d.c\n\n\n\nREADME\nwin\\x.txt\n"},
        {{"src/sub/"}, "src/sub\nsrc/sub/c.c\nsrc/sub/deep\nsrc/sub/deep/d.c\n\n\n"},
        {{"win/x.txt", "README"}, "README\nwin\\x.txt\n"},
        {{"src/s*/*/*"}, "src/sub/deep/d.c\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"-l"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back("a.kel");
        auto r = run_tz(dir, args);
        EXPECT_EQ(r.status, 0) << c.args[0] << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, listing_head(dir, "a.kel") + c.lines + "\n") << c.args[0];
    }
    // Detailed: only the chosen entries, totals over them.
    auto r = run_tz(dir, {"-l", "-v", "src/sub/deep", "a.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, listing_head(dir, "a.kel") + detail_header +
                         "         0          0    0% 2001-09-09 01:46 d--- src/sub/deep\n"
                         "         1          1    0% 2001-09-09 01:46 ---- src/sub/deep/d.c\n" +
                         totals_rule + "         1          1    0%                       2 entries\n");
}

TEST(Choose, UnmatchedArgumentsAreReportedAfterTheWalk) {
    th::ScratchDir dir;
    th::write_file(dir / "a.kel", tree_archive());
    // Byte-exact names on Linux, case-blind on Windows; '*' never matches a
    // separator.
    auto r = run_tz(dir, {"-l", "SRC/a.c", "README", "*.c", "a.kel"});
    EXPECT_EQ(r.status, th::status_of(-24));
    if (th::windows_target()) {
        EXPECT_EQ(r.out, listing_head(dir, "a.kel") + "src/a.c\nREADME\n\n");
        EXPECT_EQ(r.err, "Nothing in the archive matches *.c\n");
    } else {
        EXPECT_EQ(r.out, listing_head(dir, "a.kel") + "README\n\n");
        EXPECT_EQ(r.err, "Nothing in the archive matches SRC/a.c\nNothing in the archive matches *.c\n");
    }
    // Arguments are never matched against the disk.
    th::write_file(dir / "here.c", "on disk");
    r = run_tz(dir, {"-u", "*.c", "missing*", "a.kel"});
    EXPECT_EQ(r.status, th::status_of(-24));
    EXPECT_EQ(r.out, ab::banner + "offset = 0, offset = 0\nUncompressing " + th::native_path(dir / "a.kel") + " ...\n\n");
    EXPECT_EQ(r.err, "Nothing in the archive matches *.c\nNothing in the archive matches missing*\n");
    EXPECT_FALSE(th::exists(dir / "src"));
    // The positional rule: "x -u a.kel" chooses the text -u.
    r = run_tz(dir, {"x", "-u", "a.kel"});
    EXPECT_EQ(r.status, th::status_of(-24));
    EXPECT_EQ(r.err, "Nothing in the archive matches -u\n");
    // Quiet: the status alone.
    r = run_tz(dir, {"-qu", "nothing", "a.kel"});
    EXPECT_EQ(r.status, th::status_of(-24));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, ab::banner + "offset = 0, offset = 0\n");
}

TEST(Choose, UnpackRestoresTheChosenEntriesWithTheirDirectories) {
    th::ScratchDir dir;
    th::write_file(dir / "a.kel", tree_archive());
    const std::string head = ab::banner + "offset = 0, offset = 0\nUncompressing " + th::native_path(dir / "a.kel") + " ...\n";
    th::make_dirs(dir / "one");
    auto r = run_tz(dir, {"-u", "-c", "one", "src/sub/deep/d.c", "a.kel"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, head + "src\nsrc/sub\nsrc/sub/deep\nsrc/sub/deep/d.c\n\n");
    EXPECT_EQ(th::read_file(dir / "one/src/sub/deep/d.c"), "d");
    EXPECT_FALSE(th::exists(dir / "one/src/a.c"));
    EXPECT_FALSE(th::exists(dir / "one/src/sub/c.c"));
    // A pattern and a directory; a name stored with backslashes, whose
    // directory has no record of its own (it is made silently).
    th::make_dirs(dir / "two");
    r = run_tz(dir, {"-u", "-ctwo", "src/*.h", "src/sub", "win/x.txt", "nope", "a.kel"});
    EXPECT_EQ(r.status, th::status_of(-24));
    EXPECT_EQ(r.out, head + "src\nsrc/b.h\nsrc/sub\nsrc/sub/c.c\nsrc/sub/deep\nsrc/sub/deep/d.c\nwin\\x.txt\n\n");
    EXPECT_EQ(r.err, "Nothing in the archive matches nope\n");
    EXPECT_EQ(th::read_file(dir / "two/src/b.h"), "b");
    EXPECT_EQ(th::read_file(dir / "two/src/sub/deep/d.c"), "d");
    EXPECT_EQ(th::read_file(dir / "two/win/x.txt"), "x");
    EXPECT_FALSE(th::exists(dir / "two/src/a.c"));
    EXPECT_FALSE(th::exists(dir / "two/README"));
    // Into the existing tree: the held directories report themselves as
    // every unpack does; -s passes over what is the same.
    r = run_tz(dir, {"-us", "-ctwo", "src/b.h", "a.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head + "src\n" + th::output_path(dir / "two", "src") + " directory is already created \nSkipping src/b.h\n\n");
}

TEST(Choose, OnlyTheDirectoriesAnEntryLiesInAreHeld) {
    // "a" is left behind once an entry outside it comes, as when its closing
    // record is missing: a/y later gets its directory made silently.
    th::ScratchDir dir;
    th::write_file(dir / "a.kel", ab::header() + ab::dir_entry("a") + ab::file_entry("b/x", "x") +
                                      ab::file_entry("a/y", "y") + ab::dir_entry("a", true));
    auto r = run_tz(dir, {"-u", "a/y", "b", "a.kel"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, ab::banner + "offset = 0, offset = 0\nUncompressing " + th::native_path(dir / "a.kel") + " ...\nb/x\na/y\n\n");
    EXPECT_EQ(th::read_file(dir / "a/y"), "y");
    EXPECT_EQ(th::read_file(dir / "b/x"), "x");
}

TEST(Choose, LockedArchive) {
    th::ScratchDir dir;
    th::write_file(dir / "a.kel", tree_archive(4 | 0x1000, ab::seal("Key")));
    auto r = run_tz(dir, {"-u", "-pKey", "README", "a.kel"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(th::read_file(dir / "README"), "r");
    EXPECT_FALSE(th::exists(dir / "src"));
    r = run_tz(dir, {"-l", "-pKey", "src/sub/c.c", "a.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, listing_head(dir, "a.kel") + "src/sub/c.c\n\n");
    r = run_tz(dir, {"-l", "-pkey", "src/sub/c.c", "a.kel"});
    EXPECT_EQ(r.status, th::status_of(-3));
    EXPECT_EQ(r.err, "Incorrect password supplied.\nCould not open " + th::native_path(dir / "a.kel") + "\n");
}

}  // namespace
