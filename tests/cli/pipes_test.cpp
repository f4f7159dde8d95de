// The archive "-" (standard output when writing, standard input when
// reading) and --to-stdout: the bytes on the streams, the texts moved to
// standard error, the refusals and the failures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive_builder.h"
#include "harness.h"

namespace {

const std::string banner = ab::banner;

// A tree of a multi-chunk file, a small file and a subdirectory.
void make_tree(const th::ScratchDir& dir) {
    th::write_file(dir / "src/big.txt", th::make_bytes(50000, 't', 7));
    th::write_file(dir / "src/sub/r.bin", th::make_bytes(20000, 'r', 3));
    th::write_file(dir / "src/sub/e.txt", "");
}

th::RunResult run_with_input(const std::string& cwd, const std::vector<std::string>& args, const std::string& in) {
    th::RunOptions opt;
    opt.cwd = cwd;
    opt.stdin_data = in;
    return th::run_kelparc(args, opt);
}

}  // namespace

// The archive written to standard output holds what a file would get (the
// detailed listings agree; access times may not), and what would have been
// printed on standard output is on standard error.
TEST(Pipes, ArchiveToStandardOutputMatchesTheFileAndUnpacksFromStandardInput) {
    th::ScratchDir dir;
    make_tree(dir);
    auto to_file = ab::run_in(dir.path(), {"-r", "src", "a.kel"});
    auto to_pipe = ab::run_in(dir.path(), {"-r", "src", "-"});
    ASSERT_EQ(to_file.status, 0);
    ASSERT_EQ(to_pipe.status, 0);
    EXPECT_EQ(to_pipe.raw_out.size(), th::read_file(dir / "a.kel").size());
    EXPECT_EQ(to_pipe.err, to_file.out + to_file.err);
    th::make_dirs(dir / "dest");
    auto from_pipe = run_with_input(dir / "dest", {"-u", "-"}, to_pipe.raw_out);
    EXPECT_EQ(from_pipe.status, 0);
    EXPECT_EQ(from_pipe.out, banner + "offset = 0, offset = 0\nUncompressing - ...\n"
                                      "src\nsrc/big.txt\nsrc/sub\nsrc/sub/e.txt\nsrc/sub/r.bin\n\n");
    EXPECT_EQ(from_pipe.err, "");
    EXPECT_EQ(th::shell("diff -r '" + dir / "src" + "' '" + dir / "dest/src" + "'"), 0);
    auto listed = run_with_input(dir.path(), {"-l", "-v", "-"}, to_pipe.raw_out);
    auto listed_file = ab::run_in(dir.path(), {"-l", "-v", "a.kel"});
    EXPECT_EQ(listed.status, 0);
    const std::string file_line = "Listing " + th::native_path(dir / "a.kel") + " ...\n";
    ASSERT_EQ(listed_file.out.find(file_line), banner.size());
    EXPECT_EQ(listed.out, banner + "Listing - ...\n" + listed_file.out.substr(banner.size() + file_line.size()));
}

TEST(Pipes, LockedArchiveFromStandardInput) {
    th::ScratchDir dir;
    th::write_file(dir / "f.txt", "locked");
    auto locked = ab::run_in(dir.path(), {"-psecret", "f.txt", "-"});
    ASSERT_EQ(locked.status, 0);
    th::make_dirs(dir / "dest");
    auto with_p = run_with_input(dir / "dest", {"-u", "-psecret", "-"}, locked.raw_out);
    EXPECT_EQ(with_p.status, 0);
    EXPECT_EQ(th::read_file(dir / "dest/f.txt"), "locked");
    // Without -p and without a terminal nobody can type it: the archive on
    // standard input is never read as keys.
    auto without = run_with_input(dir / "dest", {"-l", "-"}, locked.raw_out);
    EXPECT_EQ(without.status, th::status_of(-19));
    EXPECT_EQ(without.out, banner + "Listing - ...\nEnter password:  ");
    EXPECT_EQ(without.err, "Could not open -\n");
}

TEST(Pipes, RefusalsAndMessagesNameTheArchiveDash) {
    th::ScratchDir dir;
    th::write_file(dir / "f.txt", "x");
    const std::string unpacking = banner + "offset = 0, offset = 0\nUncompressing - ...\n";
    struct Case {
        std::vector<std::string> args;
        std::string in;
        int status;
        std::string out;
        std::string err;
    } cases[] = {
        // Writing to "-": the banner is on standard error too.
        {{"-a", "f.txt", "-"}, "", 252, "", banner + "Could not open -\n"},
        {{"-w", "f.txt", "-"}, "", 252, "", banner + "Could not open -\n"},
        {{"-l", "--files-from=-", "-"}, "f.txt\n", th::status_of(-21), banner, "Cannot read the file list -\n"},
        {{"-q", "-u", "--files-from=-", "-"}, "f.txt\n", th::status_of(-21), banner, ""},
        {{"-u", "-"}, "not an archive", 250, unpacking, "Bad file format for -\nCould not open -\n"},
        {{"-l", "-"}, "", 250, banner + "Listing - ...\n", "Bad file format for -\nCould not open -\n"},
    };
    for (const Case& c : cases) {
        auto r = run_with_input(dir.path(), c.args, c.in);
        EXPECT_EQ(r.status, c.status) << c.args[0];
        EXPECT_EQ(r.out, c.out) << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
    }
    EXPECT_FALSE(th::exists(dir / "-"));
}

TEST(Pipes, AFileNamedDashIsReachedAsDotSlashDash) {
    th::ScratchDir dir;
    th::write_file(dir / "f.txt", "x");
    auto made = ab::run_in(dir.path(), {"f.txt", "./-"});
    EXPECT_EQ(made.status, 0);
    EXPECT_EQ(made.out, banner + "f.txt\n");
    ASSERT_TRUE(th::exists(dir / "-"));
    auto listed = ab::run_in(dir.path(), {"-l", "./-"});
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(listed.out, banner + "Listing " + th::native_path(dir / "-") + " ...\nf.txt\n\n");
}

// A failed write of the archive to standard output: message 18, -5; the
// stream ends where it is.
TEST(Pipes, FailedWriteToStandardOutputIsAnArchiveWriteFailure) {
    SKIP_UNDER_WINE("Wine has no /dev/full");
    th::ScratchDir dir;
    make_tree(dir);
    th::RunOptions opt;
    opt.cwd = dir.path();
    opt.stdout_path = "/dev/full";
    auto r = th::run_kelparc({"-r", "src", "-"}, opt);
    EXPECT_EQ(r.status, th::status_of(-5));
    EXPECT_EQ(r.err, banner + "src/big.txt\nsrc/sub/e.txt\nsrc/sub/r.bin\nError writing to file -\n");
}

// --to-stdout: the chosen files' contents in archive order, the texts of
// unpacking on standard error, nothing on disk.
TEST(ToStdout, ContentsInArchiveOrderAndNothingOnDisk) {
    th::ScratchDir dir;
    make_tree(dir);
    ASSERT_EQ(ab::run_in(dir.path(), {"-r", "src", "a.kel"}).status, 0);
    th::make_dirs(dir / "dest");
    const std::string archive = th::native_path(dir / "a.kel");
    struct Case {
        std::vector<std::string> chosen;
        std::string contents;
        std::string names;
    } cases[] = {
        {{"src/big.txt"}, th::read_file(dir / "src/big.txt"), "src\nsrc/big.txt\n"},
        {{}, th::read_file(dir / "src/big.txt") + th::read_file(dir / "src/sub/r.bin"),
         "src\nsrc/big.txt\nsrc/sub\nsrc/sub/e.txt\nsrc/sub/r.bin\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"-u", "--to-stdout"};
        args.insert(args.end(), c.chosen.begin(), c.chosen.end());
        args.push_back(archive);
        th::RunOptions opt;
        opt.cwd = dir / "dest";
        auto r = th::run_kelparc(args, opt);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.raw_out, c.contents);
        EXPECT_EQ(r.err, banner + "offset = 0, offset = 0\nUncompressing " + archive + " ...\n" + c.names + "\n");
    }
    EXPECT_EQ(th::shell("test -z \"$(ls -A '" + dir / "dest" + "')\""), 0);
}

// Damage: the bytes before it stay written; message and status as when
// unpacking.
TEST(ToStdout, DamageKeepsWhatWasWritten) {
    th::ScratchDir dir;
    const std::string first = th::make_bytes(16383, 'r', 5);
    ab::Fields f;
    f.size = 16383 + 100;
    f.flags = ab::MORE | ab::RAW;
    f.clen = 16383;
    // The second chunk: a stream magic, then codes above any defined one.
    const std::string bad = std::string("\x1f\x9d\x8c\xff\xff\xff\xff\xff", 8);
    th::write_file(dir / "d.kel", ab::header() + ab::record("f.bin", f) + first + ab::linked_header(8, 0) + bad);
    auto unpacked = ab::run_in(dir.path(), {"-u", "d.kel"});
    auto streamed = ab::run_in(dir.path(), {"-u", "--to-stdout", "d.kel"});
    EXPECT_EQ(unpacked.status, 250);
    EXPECT_EQ(streamed.status, 250);
    EXPECT_EQ(streamed.raw_out, first);
    EXPECT_NE(unpacked.err.find("Corrupt compressed data in "), std::string::npos);
    EXPECT_NE(streamed.err.find("Corrupt compressed data in f.bin\n"), std::string::npos);
}

// With the archive on standard input the password is typed at the terminal.
TEST(Pipes, PasswordOfAnArchiveFromStandardInputComesFromTheTerminal) {
    SKIP_UNDER_WINE("the redirection is the host shell's");
    th::ScratchDir dir;
    th::write_file(dir / "f.txt", "locked");
    ASSERT_EQ(ab::run_in(dir.path(), {"-psecret", "f.txt", "a.kel"}).status, 0);
    th::make_dirs(dir / "dest");
    const std::string cmd = "'" + th::kelparc_path() + "' -u -p - < ../a.kel";
    auto r = th::run_in_pty("/bin/sh", {"-c", cmd}, dir / "dest", {"s", "e", "c", "r", "e", "t", "\r"});
    EXPECT_EQ(r.status, 0) << r.screen;
    EXPECT_EQ(th::read_file(dir / "dest/f.txt"), "locked");
}

// A reader that goes away (| head) ends --to-stdout with -13 and no message;
// a full device is a reported failure.
TEST(ToStdout, ReaderGoneEndsTheRunQuietly) {
    SKIP_UNDER_WINE("uses the host shell's pipes and /dev/full");
    th::ScratchDir dir;
    th::write_file(dir / "big.bin", th::make_bytes(2000000, 'r', 7));
    ASSERT_EQ(ab::run_in(dir.path(), {"-q", "big.bin", "big.kel"}).status, 0);
    const std::string k = "'" + th::kelparc_path() + "'";
    const std::string in_dir = "cd '" + dir.path() + "' && ";
    ASSERT_EQ(th::shell(in_dir + "(" + k + " -u --to-stdout big.kel 2>pipe.err; echo $? >pipe.st) | head -c 10 >/dev/null"), 0);
    ASSERT_EQ(th::shell(in_dir + k + " -u --to-stdout big.kel >/dev/full 2>full.err; echo $? >full.st"), 0);
    EXPECT_EQ(th::read_file(dir / "pipe.st"), std::to_string(th::status_of(-13)) + "\n");
    EXPECT_EQ(th::read_file(dir / "pipe.err").find("Error writing"), std::string::npos);
    EXPECT_EQ(th::read_file(dir / "full.st"), std::to_string(th::status_of(-13)) + "\n");
    EXPECT_NE(th::read_file(dir / "full.err").find("Error writing to standard output\n"), std::string::npos);
}
