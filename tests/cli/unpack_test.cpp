// Unpacking from the command line: the exact output, -q, -c, -s, locked
// archives, and the refusals of damaged or dangerous entries.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <gtest/gtest.h>

#include "archive_builder.h"
#include "harness.h"

namespace {

const std::string offset_line = "offset = 0, offset = 0\n";

// An archive of a directory d with two files and its closing record.
std::string two_file_archive(uint32_t flags = 4, const std::string& sealed = "") {
    return ab::header(flags, sealed) + ab::dir_entry("d") +
           ab::file_entry("d/a.txt", th::make_bytes(5000, 't'), true, 0100644, 946684800) +
           ab::file_entry("d/b.bin", th::make_bytes(300, 'r'), false, 0100600, 946684900) +
           ab::dir_entry("d", true);
}

struct stat stat_of(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st;
}

TEST(Unpack, ExactOutputAndRestoredFiles) {
    th::ScratchDir dir;
    th::write_file(dir / "a.kel", two_file_archive());
    auto r = ab::run_in(dir.path(), {"-u", "a.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, ab::banner + offset_line + "Uncompressing " + th::native_path(dir / "a.kel") + " ...\n" +
                         "d\nd/a.txt\nd/b.bin\n\n");
    EXPECT_EQ(th::read_file(dir / "d/a.txt"), th::make_bytes(5000, 't'));
    EXPECT_EQ(th::read_file(dir / "d/b.bin"), th::make_bytes(300, 'r'));
    EXPECT_EQ(stat_of(dir / "d/a.txt").st_mtime, 946684800);
    EXPECT_EQ(stat_of(dir / "d/b.bin").st_mode & 0777, th::restored_perms(false, 0600));
}

TEST(Unpack, QuietPrintsOnlyBannerAndOffsetLine) {
    th::ScratchDir dir;
    th::write_file(dir / "a.kel", two_file_archive());
    auto r = ab::run_in(dir.path(), {"-q", "-u", "a.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, ab::banner + offset_line);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(th::read_file(dir / "d/a.txt"), th::make_bytes(5000, 't'));
    // A missing archive under -q: the status only.
    r = ab::run_in(dir.path(), {"-q", "-u", "missing.kel"});
    EXPECT_EQ(r.status, th::status_of(-4));
    EXPECT_EQ(r.out, ab::banner + offset_line);
    EXPECT_EQ(r.err, "");
}

TEST(Unpack, StartDirectoryAndFileArguments) {
    th::ScratchDir dir;
    th::make_dirs(dir / "dest");
    th::write_file(dir / "a.kel", two_file_archive());
    // A file argument chooses its entry: only d/a.txt (with its directory)
    // is restored, under the -c directory.
    auto r = ab::run_in(dir.path(), {"-u", "-cdest", "d/a.txt", "a.kel"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(th::read_file(dir / "dest/d/a.txt"), th::make_bytes(5000, 't'));
    EXPECT_FALSE(th::exists(dir / "dest/d/b.bin"));
    EXPECT_FALSE(th::exists(dir / "d"));
}

TEST(Unpack, MissingArchiveAndEmptyName) {
    th::ScratchDir dir;
    auto r = ab::run_in(dir.path(), {"-u", "missing.kel"});
    EXPECT_EQ(r.status, th::status_of(-4));
    EXPECT_EQ(r.out, ab::banner + offset_line + "Uncompressing " + th::native_path(dir / "missing.kel") + " ...\n");
    EXPECT_EQ(r.err, "Could not open source file " + th::native_path(dir / "missing.kel") + "\nCould not open " +
                         th::native_path(dir / "missing.kel") + "\n");
    r = ab::run_in(dir.path(), {"-u", ""});
    EXPECT_EQ(r.status, th::status_of(-8));
    EXPECT_EQ(r.out, ab::banner + offset_line);
    EXPECT_EQ(r.err, "Zip filename missing, nothing to uncompress.\n");
}

TEST(Unpack, SkipSamePassesOverMatchingFilesOnly) {
    th::ScratchDir dir;
    th::write_file(dir / "a.kel", two_file_archive());
    ASSERT_EQ(ab::run_in(dir.path(), {"-u", "a.kel"}).status, 0);
    // Same size, other time: restored.  Untouched: skipped.
    struct timespec times[2] = {{946684901, 0}, {946684901, 0}};
    utimensat(AT_FDCWD, (dir / "d/b.bin").c_str(), times, 0);
    auto r = ab::run_in(dir.path(), {"-u", "-s", "a.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, ab::banner + offset_line + "Uncompressing " + th::native_path(dir / "a.kel") + " ...\n" + "d\n" +
                         th::output_path(dir.path(), "d") + " directory is already created \n" +
                         "Skipping d/a.txt\nd/b.bin\n\n");
    EXPECT_EQ(stat_of(dir / "d/b.bin").st_mtime, 946684900);
    // Another size: restored.
    th::write_file(dir / "d/a.txt", "short");
    utimensat(AT_FDCWD, (dir / "d/a.txt").c_str(), times, 0);
    r = ab::run_in(dir.path(), {"-q", "-u", "-s", "a.kel"});
    EXPECT_EQ(r.out, ab::banner + offset_line);
    EXPECT_EQ(th::read_file(dir / "d/a.txt"), th::make_bytes(5000, 't'));
    // An archive of another origin: -s passes over nothing.
    th::write_file(dir / "o.kel", two_file_archive(1));
    r = ab::run_in(dir.path(), {"-u", "-s", "o.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("Skipping"), std::string::npos);
}

TEST(Unpack, SkipSameComparesTheResolvedPath) {
    th::ScratchDir dir;
    th::make_dirs(dir / "t");
    th::write_file(dir / "a.kel", ab::header() + ab::file_entry("../x", "abc", false, 0100644, 946684800));
    // A matching file where the bare name points (beside t) is no match.
    th::write_file(dir / "x", "abc");
    struct timespec times[2] = {{946684800, 0}, {946684800, 0}};
    utimensat(AT_FDCWD, (dir / "x").c_str(), times, 0);
    auto r = ab::run_in(dir.path(), {"-u", "-s", "-ct", "a.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Unsafe path ../x restored as x\n");
    EXPECT_EQ(r.out.find("Skipping"), std::string::npos) << r.out;
    EXPECT_EQ(th::read_file(dir / "t/x"), "abc");
    // The restored file matches at the resolved path.
    r = ab::run_in(dir.path(), {"-u", "-s", "-ct", "a.kel"});
    EXPECT_NE(r.out.find("Skipping ../x\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
}

TEST(Unpack, LockedArchive) {
    th::ScratchDir dir;
    th::write_file(dir / "a.kel", two_file_archive(4 | 0x1000, ab::seal("Secret")));
    auto r = ab::run_in(dir.path(), {"-u", "-pWrong", "a.kel"});
    EXPECT_EQ(r.status, th::status_of(-3));
    EXPECT_EQ(r.err, "Incorrect password supplied.\nCould not open " + th::native_path(dir / "a.kel") + "\n");
    EXPECT_FALSE(th::exists(dir / "d"));
    // Quiet without -p: no prompt, no message.
    r = ab::run_in(dir.path(), {"-q", "-u", "a.kel"});
    EXPECT_EQ(r.status, th::status_of(-3));
    EXPECT_EQ(r.out, ab::banner + offset_line);
    EXPECT_EQ(r.err, "");
    r = ab::run_in(dir.path(), {"-u", "-pSecret", "a.kel"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(th::read_file(dir / "d/a.txt"), th::make_bytes(5000, 't'));
}

TEST(Unpack, LockedArchivePromptsOnTheTerminal) {
    th::ScratchDir dir;
    th::write_file(dir / "a.kel", two_file_archive(4 | 0x1000, ab::seal("pw")));
    auto p = th::run_in_pty({"-u", "a.kel"}, dir.path(), {"p", "w", "\r"});
    EXPECT_FALSE(p.timed_out);
    EXPECT_EQ(p.status, 0) << p.screen;
    EXPECT_NE(p.screen.find("Enter password:  **"), std::string::npos) << p.screen;
    EXPECT_EQ(p.screen.find("pw"), std::string::npos) << p.screen;
    EXPECT_EQ(th::read_file(dir / "d/b.bin"), th::make_bytes(300, 'r'));
}

TEST(Unpack, RefusalsOfDamagedEntries) {
    th::ScratchDir dir;
    // Over a FIFO: an open failure, not a hang.
    ASSERT_EQ(mkfifo((dir / "f").c_str(), 0644), 0);
    th::write_file(dir / "fifo.kel", ab::header() + ab::file_entry("f", "data"));
    auto r = ab::run_in(dir.path(), {"-u", "fifo.kel"});
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, th::status_of(-12));
    EXPECT_EQ(r.err, "Error creating or opening " + th::output_path(dir.path(), "f") + "\n");

    // A negative chunk length.
    ab::Fields f;
    f.flags = ab::RAW;
    f.clen = -3;
    th::write_file(dir / "neg.kel", ab::header() + ab::record("n", f) + "abc");
    r = ab::run_in(dir.path(), {"-u", "neg.kel"});
    EXPECT_EQ(r.status, th::status_of(-6));
    EXPECT_EQ(r.err, "Corrupt compressed data in " + th::output_path(dir.path(), "n") + "\n");
    EXPECT_FALSE(th::exists(dir / "n"));

    // A chunk that does not decode, after a good entry.
    std::string bad = ab::header() + ab::file_entry("good", "fine") + ab::record("bad", [] {
                          ab::Fields g;
                          g.clen = 7;
                          return g;
                      }()) +
                      std::string("\x1f\x9d\x8c\xff\xff\xff\xff", 7);
    th::write_file(dir / "bad.kel", bad);
    r = ab::run_in(dir.path(), {"-u", "bad.kel"});
    EXPECT_EQ(r.status, th::status_of(-6));
    EXPECT_EQ(r.out, ab::banner + offset_line + "Uncompressing " + th::native_path(dir / "bad.kel") + " ...\ngood\nbad\n\n");
    EXPECT_EQ(r.err, "Corrupt compressed data in " + th::output_path(dir.path(), "bad") + "\n");
    EXPECT_EQ(th::read_file(dir / "good"), "fine");
    EXPECT_FALSE(th::exists(dir / "bad"));

    // A name of 300 characters.
    th::write_file(dir / "long.kel", ab::header() + ab::file_entry(std::string(300, 'n'), "x"));
    r = ab::run_in(dir.path(), {"-u", "long.kel"});
    EXPECT_EQ(r.status, th::status_of(-6));
    EXPECT_EQ(r.err, "Error reading from " + th::native_path(dir / "long.kel") + "\n");
}

TEST(Unpack, ReadOnlyFileIsNotReplaced) {
    SKIP_UNDER_WINE("running as another user needs that user's own Wine prefix");
    if (!th::running_as_root()) GTEST_SKIP() << "needs root to run as uid 65534";
    th::ScratchDir dir;
    chmod(dir.path().c_str(), 0777);
    th::write_file(dir / "a.kel", ab::header() + ab::file_entry("ro", "new", false, 0100444, 946684800));
    th::RunOptions opt;
    opt.cwd = dir.path();
    opt.stdin_null = true;
    opt.as_nobody = true;
    // The first run makes the file read-only; the second cannot open it.
    auto r = th::run_kelparc({"-q", "-u", "a.kel"}, opt);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(stat_of(dir / "ro").st_mode & 0777, 0444u);
    r = th::run_kelparc({"-u", "a.kel"}, opt);
    EXPECT_EQ(r.status, th::status_of(-12));
    EXPECT_EQ(r.err, "Error creating or opening " + th::output_path(dir.path(), "ro") + "\n");
    EXPECT_EQ(th::read_file(dir / "ro"), "new");
}

TEST(Unpack, ShortWriteDeletesTheOutputFile) {
    th::ScratchDir dir;
    th::write_file(dir / "a.kel", ab::header() + ab::file_entry("small", "ok") +
                                      ab::file_entry("big", th::make_bytes(40000, 't'), true));
    th::RunOptions opt;
    opt.cwd = dir.path();
    opt.stdin_null = true;
    opt.fsize_limit = 20000;  // the second chunk of big cannot be written
    auto r = th::run_kelparc({"-u", "a.kel"}, opt);
    EXPECT_EQ(r.status, th::status_of(-13));
    EXPECT_EQ(r.err, "Error writing to file " + th::output_path(dir.path(), "big") + "\n");
    EXPECT_FALSE(th::exists(dir / "big"));
    EXPECT_EQ(th::read_file(dir / "small"), "ok");
}

// uid 65534 may write the existing file but make no file beside it in t:
// nothing is written in place, the file keeps its bytes, the walk stops.
TEST(Unpack, NoTemporaryFileLeavesTheExistingFile) {
    SKIP_UNDER_WINE("running as another user needs that user's own Wine prefix");
    if (!th::running_as_root()) GTEST_SKIP() << "needs root to run as uid 65534";
    th::ScratchDir dir;
    th::make_dirs(dir / "t");
    th::write_file(dir / "a.kel", ab::header() + ab::file_entry("big", th::make_bytes(40000, 't'), true) +
                                      ab::file_entry("later", "x"));
    th::write_file(dir / "t/big", "old");
    chmod((dir / "t/big").c_str(), 0666);
    chmod(dir.path().c_str(), 0755);
    th::RunOptions opt;
    opt.cwd = dir.path();
    opt.stdin_null = true;
    opt.as_nobody = true;
    auto r = th::run_kelparc({"-u", "-ct", "a.kel"}, opt);
    EXPECT_EQ(r.status, th::status_of(-12));
    EXPECT_EQ(r.err, "Cannot make a temporary file beside " + th::output_path(dir / "t", "big") + "\n");
    EXPECT_EQ(th::read_file(dir / "t/big"), "old");
    EXPECT_FALSE(th::exists(dir / "t/later"));
}

}  // namespace
