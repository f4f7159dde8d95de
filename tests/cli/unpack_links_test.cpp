// Unpacking into a target that holds symbolic links: a link on the way to
// an entry (a parent or the name itself) is followed only when it leads to
// a place beneath the target by relative steps; every other entry is left
// out with message 60, the walk goes on and ends with -12, and nothing
// outside the target changes.  Also a -c directory that cannot be entered,
// signals at random points of an unpack over existing files, and a file
// system with no inode left for a temporary file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "archive_builder.h"
#include "harness.h"

namespace {

namespace fs = std::filesystem;

// Every name under dir with its kind, mode, time, bytes or link text.
std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> all;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        struct stat st;
        ::lstat(e.path().c_str(), &st);
        std::string what = std::to_string(st.st_mode) + " " + std::to_string(st.st_mtime) + " ";
        if (S_ISLNK(st.st_mode)) what += fs::read_symlink(e.path()).string();
        else if (S_ISREG(st.st_mode)) what += th::read_file(e.path().string());
        all[fs::relative(e.path(), dir).string()] = what;
    }
    return all;
}

struct LinkCase {
    const char* link;   // under the target
    const char* text;   // "@C" stands for the canary's full path, "@T" the target's
    const char* entry;  // stored name restored
    bool dir_entry;
    const char* lands;  // where the entry's bytes land under the target; "" left out
};

const LinkCase LINK_CASES[] = {
    {"abs_out", "@C", "abs_out/f", false, ""},
    {"rel_out", "../canary", "rel_out/new", false, ""},
    {"abs_in", "@T/real", "abs_in/x", false, ""},  // absolute: refused even inside
    {"rel_in", "real", "rel_in/y", false, "real/y"},
    {"real/up", "../../canary", "real/up/z", false, ""},
    {"real/back", "..", "real/back/w", false, "w"},
    {"chain1", "chain2", "chain1/q", false, ""},
    {"chain2", "../canary", "chain2/q", false, ""},
    {"name_out", "../canary/f", "name_out", false, ""},
    {"name_abs", "@C/f", "name_abs", false, ""},
    {"name_in", "real/existing", "name_in", false, "real/existing"},
    {"dang_out", "../canary/made", "dang_out", false, ""},
    {"dang_in", "real/made", "dang_in", false, "real/made"},
    {"dir_out", "../canary/d", "dir_out/newdir", true, ""},
};

std::string expand(std::string text, const std::string& canary, const std::string& target) {
    if (text.rfind("@C", 0) == 0) text = canary + text.substr(2);
    if (text.rfind("@T", 0) == 0) text = target + text.substr(2);
    return text;
}

// One unpack of every case; how: "" as it is, "no-openat2" through the
// name-by-name walk, "target-link" into the target through a link to it.
void unpack_among_links(const std::string& how) {
    th::ScratchDir d;
    std::string target = d / "t", canary = d / "canary";
    th::write_file(canary + "/f", "canary f\n");
    th::write_file(canary + "/d/g", "canary g\n");
    th::write_file(target + "/real/existing", "old existing\n");
    std::string archive = ab::header();
    std::string err;
    for (const LinkCase& c : LINK_CASES) {
        ASSERT_EQ(::symlink(expand(c.text, canary, target).c_str(), (target + "/" + c.link).c_str()), 0) << c.link;
        archive += c.dir_entry ? ab::dir_entry(c.entry) : ab::file_entry(c.entry, std::string("new ") + c.entry);
        if (c.lands[0] == '\0')
            err += "Not restoring " + th::output_path(target, c.entry) + ": a symbolic link leads out of the target\n";
    }
    th::write_file(d / "a.kel", archive);
    auto canary_before = snapshot(canary);
    th::RunOptions opt;
    opt.cwd = d.path();
    opt.stdin_null = true;
    std::string into = "t";
    if (how == "no-openat2") {
        opt.env = th::fault_library_env();
        opt.env.push_back("KELPARC_FAULT_NO_OPENAT2=1");
    }
    if (how == "target-link") {
        ASSERT_EQ(::symlink("t", (d / "tl").c_str()), 0);
        into = "tl";
    }
    // Messages name the target as the working directory reads once entered.
    auto r = th::run_kelparc({"-u", "-c" + into, "a.kel"}, opt);
    EXPECT_EQ(r.status, th::status_of(-12)) << how;
    EXPECT_EQ(r.err, err) << how;
    EXPECT_EQ(snapshot(canary), canary_before) << how;
    for (const LinkCase& c : LINK_CASES) {
        EXPECT_EQ(fs::read_symlink(target + "/" + c.link).string(), expand(c.text, canary, target)) << how;
        if (c.lands[0] == '\0') continue;
        EXPECT_EQ(th::read_file(target + "/" + c.lands), std::string("new ") + c.entry) << how << " " << c.entry;
    }
}

TEST(UnpackLinks, NothingOutsideTheTargetChanges) {
    SKIP_UNDER_WINE("Wine shows a Unix symbolic link to a file as a plain file, and the Windows build "
                    "follows absolute links that end inside");
    for (const char* how : {"", "no-openat2", "target-link"}) unpack_among_links(how);
}

// uid 65534 cannot enter the -c directory: nothing is read or written, and
// the working directory, which holds a file of the archive's name, stays.
TEST(UnpackLinks, StartDirectoryThatCannotBeEnteredChangesNothing) {
    SKIP_UNDER_WINE("running as another user needs that user's own Wine prefix");
    if (!th::running_as_root()) GTEST_SKIP() << "needs root to run as uid 65534";
    th::ScratchDir d;
    th::write_file(d / "a.kel", ab::header() + ab::file_entry("f", "new"));
    th::write_file(d / "f", "old");
    th::make_dirs(d / "closed");
    ::chmod(d.path().c_str(), 0777);
    ::chmod((d / "f").c_str(), 0666);
    ::chmod((d / "closed").c_str(), 0666);
    th::RunOptions opt;
    opt.cwd = d.path();
    opt.stdin_null = true;
    opt.as_nobody = true;
    for (const char* op : {"-u", "-l"}) {
        auto r = th::run_kelparc({op, "-cclosed", "a.kel"}, opt);
        EXPECT_EQ(r.status, th::status_of(-2)) << op;
        EXPECT_EQ(r.err, "Invalid path specified with -c option, closed.\n") << op;
        EXPECT_EQ(th::read_file(d / "f"), "old") << op;
    }
}

// SIGINT, SIGTERM or SIGHUP at a random moment of an unpack over existing
// files: each file holds its old bytes or its whole new ones, and no
// temporary file stays.
TEST(UnpackLinks, SignalsAtRandomPointsLeaveOldOrNewFiles) {
    SKIP_UNDER_WINE("a POSIX signal sent to the Wine loader is not a Windows console event");
    th::ScratchDir d;
    std::string archive = ab::header();
    std::vector<std::string> names, news;
    for (int i = 0; i < 12; ++i) {
        names.push_back("f" + std::to_string(i));
        news.push_back(th::make_bytes(200000, 't', static_cast<uint32_t>(i + 1)));
        archive += ab::file_entry(names.back(), news.back(), true);
    }
    th::write_file(d / "a.kel", archive);
    std::mt19937 random(19);
    const int signals[] = {SIGINT, SIGTERM, SIGHUP};
    int ended_by_signal = 0;
    const auto start_unpack = [&d] {
        pid_t pid = ::fork();
        if (pid == 0) {
            int null_fd = ::open("/dev/null", O_RDWR);
            ::dup2(null_fd, 0);
            ::dup2(null_fd, 1);
            ::dup2(null_fd, 2);
            if (::chdir(d.path().c_str()) != 0) _exit(127);
            ::execl(th::kelparc_path().c_str(), "kelparc", "-u", "-ct", "a.kel", static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid;
    };
    // The signals fall within the time a whole unpack takes on this machine.
    for (const std::string& n : names) th::write_file(d / "t/" + n, "old " + n);
    const auto t0 = std::chrono::steady_clock::now();
    ::waitpid(start_unpack(), nullptr, 0);
    const long window_us = std::max<long>(
        1000, std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count());
    for (int round = 0; round < 24; ++round) {
        th::remove_tree(d / "t");
        for (const std::string& n : names) th::write_file(d / "t/" + n, "old " + n);
        pid_t pid = start_unpack();
        std::this_thread::sleep_for(std::chrono::microseconds(random() % window_us));
        ::kill(pid, signals[round % 3]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (WIFSIGNALED(status)) ++ended_by_signal;
        for (size_t i = 0; i < names.size(); ++i) {
            std::string now = th::read_file(d / "t/" + names[i]);
            EXPECT_TRUE(now == "old " + names[i] || now == news[i]) << round << " " << names[i];
        }
        for (const auto& e : fs::directory_iterator(d / "t"))
            EXPECT_NE(e.path().filename().string().rfind(".kelparc-", 0), 0u) << round << " " << e.path();
    }
    EXPECT_GT(ended_by_signal, 0) << "every unpack ended before its signal";
}

// A file system whose every inode is taken (a tmpfs mounted with three:
// its root, the archive, the file): no temporary file can be made beside
// the archive or beside the file, and neither is written in place.
TEST(UnpackLinks, NoInodeForATemporaryFileWritesNothingInPlace) {
    SKIP_UNDER_WINE("mounting a file system is the Linux test's own");
    th::ScratchDir d;
    std::string full = d / "full";
    th::make_dirs(full);
    if (::mount("tmpfs", full.c_str(), "tmpfs", 0, "size=1m,nr_inodes=3") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    th::write_file(full + "/a.kel", "old archive");
    th::write_file(full + "/f", "old file");
    th::write_file(d / "src.kel", ab::header() + ab::file_entry("f", "new"));
    th::write_file(d / "x", "x");
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string err;
    };
    std::string archive = th::native_path(full + "/a.kel");
    const std::string no_temp = "Cannot make a temporary file beside ";
    const Case cases[] = {
        {{"-w", "x", archive}, -4, no_temp + archive + "\nCould not open " + archive + "\n"},
        {{"-u", "-c" + full, "src.kel"}, -12, no_temp + th::output_path(full, "f") + "\n"},
    };
    th::RunOptions opt;
    opt.cwd = d.path();
    opt.stdin_null = true;
    for (const Case& c : cases) {
        auto r = th::run_kelparc(c.args, opt);
        EXPECT_EQ(r.status, th::status_of(c.code)) << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
        EXPECT_EQ(th::read_file(full + "/a.kel"), "old archive") << c.args[0];
        EXPECT_EQ(th::read_file(full + "/f"), "old file") << c.args[0];
    }
    ::umount(full.c_str());
}

}  // namespace
