// Unpacking over files that exist: a file is replaced only by a whole
// entry, so a damaged or cut archive, a write that falls short or a signal
// leaves the old file byte for byte, and no temporary file stays behind;
// what could not be replaced before is still refused.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "archive_builder.h"
#include "harness.h"

namespace {

const time_t T_PAST = 946684800;  // 2000-01-01
const std::string OLD = "the user's own file, which must survive\n";

struct stat stat_of(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st;
}

// Names in dir that begin with '.': where a temporary file would be left.
std::vector<std::string> dot_names(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return names;
    while (struct dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != ".." && n[0] == '.') names.push_back(n);
    }
    closedir(d);
    return names;
}

// A folder holding the user's file f (mode 0640, an old time) and an
// archive that is unpacked over it.
struct Area {
    th::ScratchDir dir;
    std::string target = dir / "t";
    std::string archive = dir / "a.kel";
    Area() {
        th::write_file(target + "/f", OLD);
        chmod((target + "/f").c_str(), 0640);
        struct timespec times[2] = {{T_PAST, 0}, {T_PAST, 0}};
        utimensat(AT_FDCWD, (target + "/f").c_str(), times, 0);
    }
    th::RunResult unpack(const std::string& bytes, int64_t fsize_limit = -1) {
        th::write_file(archive, bytes);
        th::RunOptions opt;
        opt.cwd = dir.path();
        opt.stdin_null = true;
        opt.fsize_limit = fsize_limit;
        return th::run_kelparc({"-u", "-ct", "a.kel"}, opt);
    }
    // f is exactly as the user left it, and nothing else is beside it.
    void expect_untouched(const std::string& what) {
        EXPECT_EQ(th::read_file(target + "/f"), OLD) << what;
        EXPECT_EQ(stat_of(target + "/f").st_mode & 0777, 0640u) << what;
        EXPECT_EQ(stat_of(target + "/f").st_mtime, T_PAST) << what;
        EXPECT_TRUE(dot_names(target).empty()) << what << ": " << dot_names(target)[0];
    }
};

TEST(UnpackReplace, DamagedOrCutEntryLeavesTheExistingFile) {
    umask(022);
    Area a;
    const std::string corrupt = "Corrupt compressed data in " + th::output_path(a.target, "f") + "\n";
    // A first code above the next free one.
    const std::string bad_lzw("\x1f\x9d\x8c\xff\xff\xff\xff", 7);
    ab::Fields f;
    f.size = 100;
    f.clen = static_cast<long>(bad_lzw.size());
    auto r = a.unpack(ab::header() + ab::record("f", f) + bad_lzw);
    EXPECT_EQ(r.status, th::status_of(-6));
    EXPECT_EQ(r.err, corrupt);
    a.expect_untouched("corrupt chunk");

    // A second chunk that does not decode, after a first one that did.
    std::string two = ab::file_entry("f", th::make_bytes(20000, 't'), true);
    std::string second_bad = two.substr(0, two.size() - 40) + std::string(40, '\xff');
    r = a.unpack(ab::header() + second_bad);
    EXPECT_NE(r.status, 0);
    a.expect_untouched("second chunk damaged");

    // Cut inside the second chunk, inside the linked header, inside the first.
    for (size_t cut : {two.size() - 5, two.size() - 200, size_t{100}}) {
        r = a.unpack(ab::header() + two.substr(0, cut));
        EXPECT_NE(r.status, 0) << "cut at " << cut;
        a.expect_untouched("cut at " + std::to_string(cut));
    }
    f.flags = ab::RAW | ab::MORE;
    f.clen = 3;
    r = a.unpack(ab::header() + ab::record("f", f) + "abc");
    EXPECT_EQ(r.status, th::status_of(-14));
    EXPECT_EQ(r.err, "Error reading linked header data.\n");
    a.expect_untouched("linked header missing");

    // The whole entry replaces the file, with the stored time and mode.
    r = a.unpack(ab::header() + ab::file_entry("f", "new", false, 0100604, T_PAST + 7));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(th::read_file(a.target + "/f"), "new");
    EXPECT_EQ(stat_of(a.target + "/f").st_mode & 0777, th::restored_perms(false, 0604));
    EXPECT_EQ(stat_of(a.target + "/f").st_mtime, T_PAST + 7);
    EXPECT_TRUE(dot_names(a.target).empty());
}

TEST(UnpackReplace, ShortWriteLeavesTheExistingFile) {
    Area a;
    std::string bytes = ab::header() + ab::file_entry("small", "ok") +
                        ab::file_entry("f", th::make_bytes(40000, 't'), true);
    // Limits inside the first chunk, the second and the third.
    for (int64_t limit : {1000, 20000, 36000}) {
        auto r = a.unpack(bytes, limit);
        EXPECT_EQ(r.status, th::status_of(-13)) << limit;
        EXPECT_EQ(r.err, "Error writing to file " + th::output_path(a.target, "f") + "\n") << limit;
        a.expect_untouched("limit " + std::to_string(limit));
        EXPECT_EQ(th::read_file(a.target + "/small"), "ok");
    }
}

TEST(UnpackReplace, WhatCouldNotBeReplacedIsStillRefused) {
    Area a;
    th::make_dirs(a.target + "/d/inside");
    ASSERT_EQ(mkfifo((a.target + "/p").c_str(), 0644), 0);
    for (const char* name : {"d", "p"}) {
        auto r = a.unpack(ab::header() + ab::file_entry(name, "data"));
        EXPECT_EQ(r.status, th::status_of(-12)) << name;
        EXPECT_EQ(r.err, "Error creating or opening " + th::output_path(a.target, name) + "\n");
    }
    EXPECT_TRUE(th::exists(a.target + "/d/inside"));
    EXPECT_TRUE(S_ISFIFO(stat_of(a.target + "/p").st_mode));
    a.expect_untouched("refusals");
}

TEST(UnpackReplace, ReadOnlyFileOfAnOrdinaryUserInAWritableFolder) {
    SKIP_UNDER_WINE("running as another user needs that user's own Wine prefix");
    if (!th::running_as_root()) GTEST_SKIP() << "needs root to run as uid 65534";
    Area a;
    // The folder would let uid 65534 rename over the file; the file's own
    // permission still says no.
    chmod(a.dir.path().c_str(), 0777);
    chmod(a.target.c_str(), 0777);
    chmod((a.target + "/f").c_str(), 0444);
    th::write_file(a.archive, ab::header() + ab::file_entry("f", "new") + ab::file_entry("g", "mine"));
    th::RunOptions opt;
    opt.cwd = a.dir.path();
    opt.stdin_null = true;
    opt.as_nobody = true;
    auto r = th::run_kelparc({"-u", "-ct", "a.kel"}, opt);
    EXPECT_EQ(r.status, th::status_of(-12));
    EXPECT_EQ(r.err, "Error creating or opening " + th::output_path(a.target, "f") + "\n");
    EXPECT_EQ(th::read_file(a.target + "/f"), OLD);
    EXPECT_TRUE(dot_names(a.target).empty());
    // A new file of uid 65534: owner-only while written, its stored mode at
    // the end.
    th::write_file(a.archive, ab::header() + ab::file_entry("g", "mine", false, 0100644));
    r = th::run_kelparc({"-u", "-q", "-ct", "a.kel"}, opt);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(stat_of(a.target + "/g").st_uid, 65534u);
    EXPECT_EQ(th::read_file(a.target + "/g"), "mine");
}

// Runs kelparc -u -ct a.kel in dir with a file size limit and SIGXFSZ at
// its default action, as under a shell's ulimit -f.  Returns the wait status.
int run_under_ulimit(const std::string& dir, rlim_t limit) {
    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        struct rlimit rl = {limit, limit};
        setrlimit(RLIMIT_FSIZE, &rl);
        signal(SIGXFSZ, SIG_DFL);
        if (chdir(dir.c_str()) != 0) _exit(127);
        execl(th::kelparc_path().c_str(), "kelparc", "-u", "-ct", "a.kel", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

TEST(UnpackReplace, FileSizeLimitSignalRemovesTheTemporaryFile) {
    SKIP_UNDER_WINE("SIGXFSZ at its default action ends the Wine loader, not the Windows program");
    Area a;
    th::write_file(a.archive, ab::header() + ab::file_entry("f", th::make_bytes(40000, 't'), true));
    int status = run_under_ulimit(a.dir.path(), 20000);
    // The run still ends by the signal, as it always did.
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
    a.expect_untouched("after SIGXFSZ");
}

TEST(UnpackReplace, SignalRemovesTheTemporaryFile) {
    SKIP_UNDER_WINE("a POSIX signal sent to the Wine loader is not a Windows console event");
    Area a;
    // 256 MB of zeros in a small archive: long enough to be caught
    // while it is written.
    th::ScratchDir src;
    {
        std::string zeros(1 << 20, '\0');
        FILE* out = fopen((src / "f").c_str(), "wb");
        ASSERT_NE(out, nullptr);
        for (int i = 0; i < 256; ++i) fwrite(zeros.data(), 1, zeros.size(), out);
        fclose(out);
    }
    th::RunOptions pack;
    pack.cwd = src.path();
    pack.stdin_null = true;
    ASSERT_EQ(th::run_kelparc({"-q", "f", a.archive}, pack).status, 0);
    unlink((src / "f").c_str());

    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        if (chdir(a.dir.path().c_str()) != 0) _exit(127);
        execl(th::kelparc_path().c_str(), "kelparc", "-u", "-q", "-ct", "a.kel", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    // The temporary file lives as long as the 256 MB are written: watched
    // for until it shows or the run ends.  Its first bytes tell that it is
    // noted for deletion (that is done before anything is written).
    bool seen = false;
    bool ended = false;
    int status = 0;
    std::vector<std::string> temps;
    while (!seen && !ended) {
        temps = dot_names(a.target);
        seen = !temps.empty() && stat_of(a.target + "/" + temps[0]).st_size > 0;
        if (!seen) {
            ended = waitpid(pid, &status, WNOHANG) == pid;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    ASSERT_TRUE(seen) << "no temporary file was seen while the entry was written";
    // Owner-only while it is written.
    EXPECT_EQ(stat_of(a.target + "/" + temps[0]).st_mode & 0777, 0600u);
    kill(pid, SIGTERM);
    waitpid(pid, &status, 0);
    if (!WIFSIGNALED(status)) GTEST_SKIP() << "the unpack ended before the signal came";
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    a.expect_untouched("after SIGTERM");
}

}  // namespace
