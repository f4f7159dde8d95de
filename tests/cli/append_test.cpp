// Whole-program tests of appending: new entries follow the old ones, a
// missing archive is created, and a failed append leaves the archive it was
// given exactly as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "write_support.h"

namespace {

th::RunResult run_in(const th::ScratchDir& dir, const std::vector<std::string>& args,
                     th::RunOptions opt = th::RunOptions()) {
    opt.cwd = dir.path();
    return th::run_kelparc(args, opt);
}

TEST(Append, NewEntriesFollowTheOldOnes) {
    th::ScratchDir dir;
    th::write_file(dir / "a.txt", "first file\n");
    th::write_file(dir / "b.txt", th::make_bytes(20000, 't', 8));
    wt::pin_all({dir / "a.txt", dir / "b.txt"});
    ASSERT_EQ(run_in(dir, {"a.txt", "out.kel"}).status, 0);
    std::string before = th::read_file(dir / "out.kel");
    ::chmod((dir / "out.kel").c_str(), 0444);
    auto r = run_in(dir, {"-a", "b.txt", "out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, wt::BANNER + "b.txt\n");
    // No second header: the entry simply follows.
    EXPECT_EQ(th::read_file(dir / "out.kel"), before + wt::file_entry_of("b.txt", dir / "b.txt"));
    // The archive keeps its permission bits.
    struct stat st;
    ASSERT_EQ(::stat((dir / "out.kel").c_str(), &st), 0);
    if (!th::windows_target()) {
        EXPECT_EQ(st.st_mode & 0777, 0444u);
    }
}

TEST(Append, MissingArchiveIsCreated) {
    th::ScratchDir dir;
    th::write_file(dir / "a.txt", "a\n");
    wt::pin_times(dir / "a.txt");
    auto r = run_in(dir, {"-a", "a.txt", "out.kel"});
    std::string full = th::native_path(dir / "out.kel");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Zip file does not exist " + full + ".\nDo not use the -a option to write to new zip file.\n");
    EXPECT_EQ(r.out, wt::BANNER + "a.txt\n");
    // The header records the run's option word, -a included.
    EXPECT_EQ(th::read_file(dir / "out.kel"), ab::header(4 + 0x200) + wt::file_entry_of("a.txt", dir / "a.txt"));
}

TEST(Append, MissingArchiveNameAndEmptyAppend) {
    th::ScratchDir dir;
    th::write_file(dir / "a.txt", "a\n");
    auto e = run_in(dir, {"-a", "a.txt", ""});
    EXPECT_EQ(e.status, th::status_of(-8));
    EXPECT_EQ(e.err, "Zip filename missing, nothing to append to.\n");
    ASSERT_EQ(run_in(dir, {"a.txt", "out.kel"}).status, 0);
    std::string before = th::read_file(dir / "out.kel");
    th::make_dirs(dir / "d");
    auto r = run_in(dir, {"-a", "d", "out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Warning your zip file is empty.\n");
    EXPECT_EQ(th::read_file(dir / "out.kel"), before);
}

// The archive write fails for real part-way (a file-size limit): the
// archive is cut back to what it was before the run.
TEST(AppendFailures, WriteFailureLeavesTheArchiveAsItWas) {
    th::ScratchDir dir;
    th::write_file(dir / "a.txt", th::make_bytes(30000, 'r', 1));
    th::write_file(dir / "big", th::make_bytes(400000, 'r', 2));
    ASSERT_EQ(run_in(dir, {"a.txt", "out.kel"}).status, 0);
    std::string before = th::read_file(dir / "out.kel");
    th::RunOptions opt;
    opt.fsize_limit = static_cast<int64_t>(before.size()) + 100000;
    auto r = run_in(dir, {"-a", "big", "out.kel"}, opt);
    EXPECT_EQ(r.status, th::status_of(-5));
    EXPECT_EQ(r.err, "Error writing to file " + th::native_path(dir / "out.kel") + "\n");
    EXPECT_EQ(th::read_file(dir / "out.kel"), before);
    // A failure in the final flush too.
    th::write_file(dir / "small", "small");
    opt.fsize_limit = static_cast<int64_t>(before.size()) + 10;
    auto f = run_in(dir, {"-a", "small", "out.kel"}, opt);
    EXPECT_EQ(f.status, th::status_of(-5));
    EXPECT_EQ(f.err, "Error writing to file " + th::native_path(dir / "out.kel") + "\n");
    EXPECT_EQ(th::read_file(dir / "out.kel"), before);
}

TEST(AppendFailures, UnreadableSourceLeavesTheArchiveAsItWas) {
    SKIP_UNDER_WINE("running as another user needs that user's own Wine prefix");
    if (!th::running_as_root()) GTEST_SKIP() << "needs root to run the program as another user";
    th::ScratchDir dir;
    th::write_file(dir / "a.txt", "a");
    // Enough data before the failing name that whole blocks reach the disk.
    th::write_file(dir / "big", th::make_bytes(200000, 'r', 3));
    th::write_file(dir / "locked", "secret");
    ::chmod((dir / "locked").c_str(), 0);
    th::RunOptions opt;
    opt.as_nobody = true;
    ASSERT_EQ(run_in(dir, {"a.txt", "out.kel"}, opt).status, 0);
    std::string before = th::read_file(dir / "out.kel");
    auto r = run_in(dir, {"-a", "big", "locked", "out.kel"}, opt);
    EXPECT_EQ(r.status, th::status_of(-4));
    EXPECT_EQ(r.err, "Could not open source file locked\n");
    EXPECT_EQ(r.out, wt::BANNER + "big\n");
    EXPECT_EQ(th::read_file(dir / "out.kel"), before);
}

TEST(AppendFailures, SourceReadErrorLeavesTheArchiveAsItWas) {
    th::ScratchDir dir;
    th::write_file(dir / "a.txt", "a");
    th::write_file(dir / "big", th::make_bytes(200000, 'r', 5));
    ASSERT_EQ(run_in(dir, {"a.txt", "out.kel"}).status, 0);
    std::string before = th::read_file(dir / "out.kel");
    auto r = run_in(dir, {"-a", "big", "/proc/self/mem", "out.kel"});
    EXPECT_EQ(r.status, th::status_of(-4));
    EXPECT_EQ(r.err, "Could not read source file /proc/self/mem\n");
    EXPECT_EQ(th::read_file(dir / "out.kel"), before);
}

// An append that had to create the archive is a new archive: a write
// failure removes it, as compress does.
TEST(AppendFailures, CreatedArchiveIsRemovedOnWriteFailure) {
    th::ScratchDir dir;
    th::write_file(dir / "big", th::make_bytes(300000, 'r', 4));
    th::RunOptions opt;
    opt.fsize_limit = 100000;
    auto r = run_in(dir, {"-a", "big", "out.kel"}, opt);
    std::string full = th::native_path(dir / "out.kel");
    EXPECT_EQ(r.status, th::status_of(-5));
    EXPECT_EQ(r.err, "Zip file does not exist " + full + ".\nDo not use the -a option to write to new zip file.\n" +
                         "Error writing to file " + full + "\n");
    EXPECT_FALSE(th::exists(dir / "out.kel"));
}

}  // namespace
