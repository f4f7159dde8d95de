// What storing reports instead of losing silently: a directory that cannot
// be read (message 52, still a well-formed entry) and a file whose size
// changed between its status and its reading (message 53, stored as read).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <string>
#include <vector>

#include "write_support.h"

namespace {

th::RunResult run_in(const std::string& dir, const std::vector<std::string>& args,
                     th::RunOptions opt = th::RunOptions()) {
    opt.cwd = dir;
    opt.stdin_null = true;
    return th::run_kelparc(args, opt);
}

std::vector<std::string> names_in(const std::string& archive) {
    wt::Parsed p = wt::parse_archive(th::read_file(archive));
    EXPECT_TRUE(p.ok) << p.error;
    return wt::names_of(p);
}

// With --keep-going (without it the run fails: see CompressWalk).
TEST(UnreadableDirectory, ReportedAndStoredWithBothRecords) {
    SKIP_UNDER_WINE("running as another user needs that user's own Wine prefix");
    if (!th::running_as_root()) GTEST_SKIP() << "needs root to run the program as another user";
    th::ScratchDir dir;
    th::write_file(dir / "src/a/inside", "i");
    th::write_file(dir / "src/b/inside", "i");
    th::write_file(dir / "src/z", "z");
    ::chmod((dir / "src/a").c_str(), 0);     // no permission at all
    ::chmod((dir / "src/b").c_str(), 0333);  // enterable, not readable
    th::RunOptions opt;
    opt.as_nobody = true;
    auto r = run_in(dir.path(), {"-r", "--keep-going", "src", "out.kel"}, opt);
    EXPECT_EQ(r.status, th::status_of(-4));
    EXPECT_EQ(r.err, "Cannot read directory src/a\nCannot read directory src/b\n");
    EXPECT_EQ(r.out, wt::BANNER + "src/z\n");
    EXPECT_EQ(names_in(dir / "out.kel"), (std::vector<std::string>{"src", "src/z", "src/a", "src/a(end)", "src/b",
                                                                  "src/b(end)", "src(end)"}));
    // Named at the top of the walk.
    r = run_in(dir.path(), {"-r", "-w", "--keep-going", "src/a", "out.kel"}, opt);
    EXPECT_EQ(r.status, th::status_of(-4));
    EXPECT_EQ(r.err, "Cannot read directory src/a\n");
    EXPECT_EQ(names_in(dir / "out.kel"), (std::vector<std::string>{"src/a", "src/a(end)"}));
    ::chmod((dir / "src/a").c_str(), 0755);
    ::chmod((dir / "src/b").c_str(), 0755);
}

// A directory whose every entry, "." and ".." included, is filtered out is
// an empty directory: both records, no message.
TEST(UnreadableDirectory, NothingPassingTheFilterIsAnEmptyDirectory) {
    th::ScratchDir dir;
    th::write_file(dir / "p/h/.dot", "hidden by name");
    const char hidden[] = "0x2";
    if (::setxattr((dir / "p").c_str(), "user.DOSATTRIB", hidden, 3, 0) != 0 ||
        ::setxattr((dir / "p/h").c_str(), "user.DOSATTRIB", hidden, 3, 0) != 0) {
        GTEST_SKIP() << "file system refuses extended attributes";
    }
    auto r = run_in(dir.path(), {"-r", "p/h", "out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(names_in(dir / "out.kel"), (std::vector<std::string>{"p/h", "p/h(end)"}));
}

// /proc files have a status size of 0 and content when read.
TEST(ChangedFile, GrownFileIsStoredAsReadWithAMessage) {
    th::ScratchDir dir;
    auto r = run_in(dir.path(), {th::native_path("/proc/self/status"), "out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "File changed while it was stored: " + th::native_path("/proc/self/status") + "\n");
    EXPECT_EQ(r.out, wt::BANNER + "status\n");
    wt::Parsed p = wt::parse_archive(th::read_file(dir / "out.kel"));
    ASSERT_TRUE(p.ok) << p.error;
    ASSERT_EQ(p.entries.size(), 1u);
    EXPECT_EQ(p.entries[0].size, 0);  // the status size
    EXPECT_GT(p.entries[0].clen, 0);
    th::make_dirs(dir / "out");
    r = run_in(dir.path(), {"-u", "-cout", "out.kel"});
    // Restored as stored, with the difference from its record reported.
    EXPECT_EQ(r.status, th::status_of(-6));
    EXPECT_EQ(r.err.rfind("Size of " + th::output_path(dir / "out", "status") + " differs from its record: ", 0), 0u)
        << r.err;
    EXPECT_NE(r.err.find(" bytes restored, 0 recorded\n"), std::string::npos) << r.err;
    // Under Wine /proc/self is reached through the Wine server, whose name
    // it shows.
    const std::string name_line = th::windows_target() ? "Name:\twineserver" : "Name:\tkelparc\n";
    EXPECT_EQ(th::read_file(dir / "out/status").compare(0, name_line.size(), name_line), 0);
    // Inside a walk the message names the stored path.
    r = run_in(dir.path(), {"-w", "-r", th::native_path("/proc/sys/kernel/random"), "out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("File changed while it was stored: " + th::native_path("/proc/sys/kernel/random") +
                         "/boot_id\n"),
              std::string::npos)
        << r.err;
}

// A sysfs attribute reports a status size of a whole page and holds a few
// bytes.
TEST(ChangedFile, ShrunkFileIsStoredAsReadWithAMessage) {
    const std::string path = "/sys/class/net/lo/mtu";
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) GTEST_SKIP() << "no " << path;
    std::string content = th::read_file(path);
    if (static_cast<size_t>(st.st_size) == content.size()) GTEST_SKIP() << path << " reports its real size";
    th::ScratchDir dir;
    auto r = run_in(dir.path(), {th::native_path(path), "out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "File changed while it was stored: " + th::native_path(path) + "\n");
    wt::Parsed p = wt::parse_archive(th::read_file(dir / "out.kel"));
    ASSERT_TRUE(p.ok) << p.error;
    ASSERT_EQ(p.entries.size(), 1u);
    EXPECT_EQ(p.entries[0].size, st.st_size);
    ASSERT_EQ(p.entries[0].chunks.size(), 1u);
    EXPECT_EQ(p.entries[0].chunks[0].data, content);  // raw: too short to compress
    // An ordinary file whose size holds is stored without a word.
    th::write_file(dir / "f", th::make_bytes(40000, 't'));
    r = run_in(dir.path(), {"-w", "f", "out.kel"});
    EXPECT_EQ(r.err, "");
}

}  // namespace
