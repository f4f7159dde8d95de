// Whole-program tests of writing archives without losing what the user had:
// a new archive takes the old one's place only when it is complete, the
// archive is never one of its own inputs, -a refuses a file that is not an
// archive, closed and failing standard streams, long paths.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "write_support.h"

namespace {

namespace fs = std::filesystem;
using Names = std::set<std::string>;

th::RunResult run_in(const th::ScratchDir& dir, const std::vector<std::string>& args,
                     th::RunOptions opt = th::RunOptions()) {
    opt.cwd = dir.path();
    return th::run_kelparc(args, opt);
}

// The names in a directory: a temporary file left behind shows up here.
Names names_in(const std::string& dir) {
    Names names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

// Makes dir/out.kel from dir/old.txt and returns its bytes.
std::string make_old_archive(const th::ScratchDir& dir, th::RunOptions opt = th::RunOptions()) {
    th::write_file(dir / "old.txt", "what the old archive holds\n");
    EXPECT_EQ(run_in(dir, {"old.txt", "out.kel"}, opt).status, 0);
    return th::read_file(dir / "out.kel");
}

std::string write_error(const th::ScratchDir& dir, const std::string& archive = "out.kel") {
    return "Error writing to file " + th::native_path(dir / archive) + "\n";
}

// ---- a new archive replaces the old one only when complete -----------------

// The archive write fails for real (a file-size limit) at several points:
// inside the first block, after whole blocks, inside a record, in the final
// flush.  The old archive keeps every byte and no temporary file stays.
TEST(SafeWrite, WriteFailuresKeepTheOldArchive) {
    th::ScratchDir dir;
    std::string old = make_old_archive(dir);
    th::write_file(dir / "big", th::make_bytes(300000, 'r', 9));
    for (int i = 0; i < 1500; ++i) th::write_file(dir / "many/f" + std::to_string(1000 + i), "y");
    struct Case {
        std::vector<std::string> args;
        int64_t limit;
    };
    const Case cases[] = {{{"-w", "big", "out.kel"}, 20},
                          {{"-w", "big", "out.kel"}, 70000},
                          {{"-w", "big", "out.kel"}, 200000},
                          {{"-w", "-r", "many", "out.kel"}, 200},
                          {{"-w", "many/f1000", "out.kel"}, 20}};
    for (const Case& c : cases) {
        th::RunOptions opt;
        opt.fsize_limit = c.limit;
        auto r = run_in(dir, c.args, opt);
        EXPECT_EQ(r.status, th::status_of(-5)) << c.limit;
        EXPECT_EQ(r.err, write_error(dir)) << c.limit;
        EXPECT_EQ(th::read_file(dir / "out.kel"), old) << c.limit;
        EXPECT_EQ(names_in(dir.path()), (Names{"big", "many", "old.txt", "out.kel"})) << c.limit;
    }
}

// A source that cannot be read part-way: /proc/self/mem opens but fails at
// its first read, after a large file has filled whole blocks.
TEST(SafeWrite, SourceReadFailureKeepsTheOldArchive) {
    th::ScratchDir dir;
    std::string old = make_old_archive(dir);
    th::write_file(dir / "big", th::make_bytes(200000, 'r', 3));
    auto r = run_in(dir, {"-w", "big", "/proc/self/mem", "out.kel"});
    EXPECT_EQ(r.status, th::status_of(-4));
    EXPECT_EQ(r.err, "Could not read source file /proc/self/mem\n");
    EXPECT_EQ(th::read_file(dir / "out.kel"), old);
    EXPECT_EQ(names_in(dir.path()), (Names{"big", "old.txt", "out.kel"}));
    // Without an old archive nothing at all is left.
    auto n = run_in(dir, {"big", "/proc/self/mem", "new.kel"});
    EXPECT_EQ(n.status, th::status_of(-4));
    EXPECT_EQ(names_in(dir.path()), (Names{"big", "old.txt", "out.kel"}));
    th::RunOptions opt;
    opt.fsize_limit = 100000;
    auto f = run_in(dir, {"big", "new.kel"}, opt);
    EXPECT_EQ(f.status, th::status_of(-5));
    EXPECT_EQ(f.err, write_error(dir, "new.kel"));
    EXPECT_EQ(names_in(dir.path()), (Names{"big", "old.txt", "out.kel"}));
}

TEST(SafeWrite, UnopenableSourceKeepsTheOldArchive) {
    SKIP_UNDER_WINE("running as another user needs that user's own Wine prefix");
    if (!th::running_as_root()) GTEST_SKIP() << "needs root to run the program as another user";
    th::ScratchDir dir;
    th::RunOptions opt;
    opt.as_nobody = true;
    std::string old = make_old_archive(dir, opt);
    th::write_file(dir / "big", th::make_bytes(200000, 'r', 3));
    th::write_file(dir / "locked", "secret");
    ::chmod((dir / "locked").c_str(), 0);
    auto r = run_in(dir, {"-w", "big", "locked", "out.kel"}, opt);
    EXPECT_EQ(r.status, th::status_of(-4));
    EXPECT_EQ(r.err, "Could not open source file locked\n");
    EXPECT_EQ(r.out, wt::BANNER + "big\n");
    EXPECT_EQ(th::read_file(dir / "out.kel"), old);
    EXPECT_EQ(names_in(dir.path()), (Names{"big", "locked", "old.txt", "out.kel"}));
}

// The link stays and its target is replaced; a failed run leaves both.
TEST(SafeWrite, SymbolicLinkedArchiveReplacesItsTarget) {
    SKIP_UNDER_WINE("Wine shows a Unix symbolic link to a Windows program as the file it leads to");
    th::ScratchDir dir;
    th::write_file(dir / "a", "a\n");
    th::write_file(dir / "big", th::make_bytes(300000, 'r', 2));
    th::make_dirs(dir / "real");
    ASSERT_EQ(run_in(dir, {"a", "real/t.kel"}).status, 0);
    std::string old = th::read_file(dir / "real/t.kel");
    ASSERT_EQ(::symlink("real/t.kel", (dir / "link.kel").c_str()), 0);
    th::RunOptions opt;
    opt.fsize_limit = 100000;
    auto f = run_in(dir, {"-w", "big", "link.kel"}, opt);
    EXPECT_EQ(f.status, th::status_of(-5));
    EXPECT_EQ(f.err, write_error(dir, "link.kel"));
    EXPECT_EQ(th::read_file(dir / "real/t.kel"), old);
    EXPECT_EQ(names_in(dir / "real"), (Names{"t.kel"}));
    auto r = run_in(dir, {"-w", "big", "link.kel"});
    EXPECT_EQ(r.status, 0);
    struct stat st;
    ASSERT_EQ(::lstat((dir / "link.kel").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(fs::read_symlink(dir / "link.kel").string(), "real/t.kel");
    EXPECT_EQ(th::read_file(dir / "real/t.kel"), ab::header(4 + 0x100) + wt::file_entry_of("big", dir / "big"));
    EXPECT_EQ(names_in(dir / "real"), (Names{"t.kel"}));
    EXPECT_EQ(names_in(dir.path()), (Names{"a", "big", "link.kel", "real"}));
}

// The archive's name gets a new file; its other names keep the old one.
TEST(SafeWrite, HardLinkedArchiveIsReplacedByANewFile) {
    th::ScratchDir dir;
    std::string old = make_old_archive(dir);
    ASSERT_EQ(::link((dir / "out.kel").c_str(), (dir / "second").c_str()), 0);
    th::write_file(dir / "a", "a\n");
    wt::pin_times(dir / "a");
    auto r = run_in(dir, {"-w", "a", "out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(th::read_file(dir / "out.kel"), ab::header(4 + 0x100) + wt::file_entry_of("a", dir / "a"));
    EXPECT_EQ(th::read_file(dir / "second"), old);
}

// Neither the old archive inside the walked tree nor the new one being
// written (hidden, so -th makes the walk see it) is stored.
TEST(SafeWrite, OldArchiveInsideTheWalkedTreeIsNotStored) {
    th::ScratchDir dir;
    th::write_file(dir / "src/a", "a");
    ASSERT_EQ(run_in(dir, {"-r", "src", "src/out.kel"}).status, 0);
    auto r = run_in(dir, {"-w", "-r", "-th", "src", "src/out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, wt::BANNER + "src/a\n");
    wt::Parsed p = wt::parse_archive(th::read_file(dir / "src/out.kel"));
    EXPECT_EQ(wt::names_of(p), (std::vector<std::string>{"src", "src/a", "src(end)"}));
    EXPECT_EQ(names_in(dir / "src"), (Names{"a", "out.kel"}));
}

// A replaced archive keeps the permissions the old one had; a new one gets
// those of a new file.
TEST(SafeWrite, ReplacedArchiveKeepsItsMode) {
    th::ScratchDir dir;
    make_old_archive(dir);
    ::chmod((dir / "out.kel").c_str(), 0600);
    ASSERT_EQ(run_in(dir, {"old.txt", "fresh.kel"}).status, 0);
    ASSERT_EQ(run_in(dir, {"-w", "old.txt", "out.kel"}).status, 0);
    struct stat fresh, replaced;
    ASSERT_EQ(::stat((dir / "fresh.kel").c_str(), &fresh), 0);
    ASSERT_EQ(::stat((dir / "out.kel").c_str(), &replaced), 0);
    if (!th::windows_target()) {
        EXPECT_EQ(replaced.st_mode & 07777, 0600u);
    }
    EXPECT_TRUE(replaced.st_mode & S_IWUSR);
}

// No temporary file can be made in a directory the user cannot write: the
// archive there is not written in place, it stays as it was.
TEST(SafeWrite, ReadOnlyDirectoryKeepsTheArchive) {
    SKIP_UNDER_WINE("running as another user needs that user's own Wine prefix");
    if (!th::running_as_root()) GTEST_SKIP() << "needs root to run the program as another user";
    th::ScratchDir dir;
    th::write_file(dir / "a", "a\n");
    th::make_dirs(dir / "ro");
    th::write_file(dir / "ro/out.kel", "old");
    ASSERT_EQ(::chown((dir / "ro/out.kel").c_str(), 65534, 65534), 0);
    ::chmod((dir / "ro").c_str(), 0555);
    th::RunOptions opt;
    opt.as_nobody = true;
    std::string archive = th::native_path(dir / "ro/out.kel");
    auto r = run_in(dir, {"-w", "a", "ro/out.kel"}, opt);
    EXPECT_EQ(r.status, th::status_of(-4));
    EXPECT_EQ(r.err, "Cannot make a temporary file beside " + archive + "\nCould not open " + archive + "\n");
    EXPECT_EQ(th::read_file(dir / "ro/out.kel"), "old");
    // A read-only archive stays refused.
    ::chmod((dir / "ro/out.kel").c_str(), 0444);
    ::chmod((dir / "ro").c_str(), 0777);
    auto ro = run_in(dir, {"-w", "a", "ro/out.kel"}, opt);
    EXPECT_EQ(ro.status, th::status_of(-4));
    EXPECT_EQ(ro.err, "Could not open " + archive + "\n");
    EXPECT_EQ(names_in(dir / "ro"), (Names{"out.kel"}));
}

// SIGTERM while the new archive is being written: the temporary file goes,
// the old archive stays, and the process ends by the signal.  The run is
// held in the middle by a standard output nobody reads.
TEST(SafeWrite, SignalRemovesTheTemporaryFile) {
    SKIP_UNDER_WINE("a POSIX signal sent to the Wine loader is not a Windows console event");
    th::ScratchDir dir;
    std::string old = make_old_archive(dir);
    std::string long_part(60, 'n');
    for (int i = 0; i < 2000; ++i) th::write_file(dir / "tree/" + long_part + std::to_string(1000 + i), "z");
    int out_pipe[2];
    ASSERT_EQ(::pipe(out_pipe), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out_pipe[1], 1);
        ::close(out_pipe[0]);
        ::close(out_pipe[1]);
        if (::chdir(dir.path().c_str()) != 0) _exit(127);
        std::string bin = th::kelparc_path();
        ::execl(bin.c_str(), bin.c_str(), "-w", "-r", "tree", "out.kel", static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(out_pipe[1]);
    bool temp_seen = false;
    for (int i = 0; i < 1000 && !temp_seen; ++i) {
        temp_seen = names_in(dir.path()).size() > 3;
        if (!temp_seen) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // blocked on the full pipe by now
    ::kill(pid, SIGTERM);
    int ws = 0;
    ::waitpid(pid, &ws, 0);
    ::close(out_pipe[0]);
    EXPECT_TRUE(temp_seen);
    EXPECT_TRUE(WIFSIGNALED(ws) && WTERMSIG(ws) == SIGTERM);
    EXPECT_EQ(th::read_file(dir / "out.kel"), old);
    EXPECT_EQ(names_in(dir.path()), (Names{"old.txt", "out.kel", "tree"}));
}

// ---- the archive is not one of its own inputs --------------------------------

TEST(SafeWrite, ArchiveNamedAsAnInput) {
    th::ScratchDir dir;
    th::write_file(dir / "a.txt", "a\n");
    th::write_file(dir / "b.txt", "bee\n");
    wt::pin_times(dir / "a.txt");
    std::string full = th::native_path(dir / "b.txt");
    auto r = run_in(dir, {"-w", "a.txt", "b.txt", "b.txt"});
    EXPECT_EQ(r.status, th::status_of(-4));
    EXPECT_EQ(r.err, "The archive " + full + " is also one of the files to store\n");
    EXPECT_EQ(r.out, wt::BANNER);
    EXPECT_EQ(th::read_file(dir / "b.txt"), "bee\n");
    // Without -w the existing archive is refused first, as always.
    auto no_w = run_in(dir, {"a.txt", "b.txt", "b.txt"});
    EXPECT_EQ(no_w.status, th::status_of(-4));
    EXPECT_EQ(no_w.err, "Cannot overwrite current zip file " + full + ".\n" +
                            "Use the -w option to overwrite an existing zip file.\n" + "Could not open " + full + "\n");
    // Another name for the same file, from the -c directory.
    th::make_dirs(dir / "sub");
    ASSERT_EQ(::symlink("../b.txt", (dir / "sub/link").c_str()), 0);
    auto via = run_in(dir, {"-w", "-csub", "link", "b.txt"});
    EXPECT_EQ(via.status, th::status_of(-4));
    EXPECT_EQ(via.err, "The archive " + full + " is also one of the files to store\n");
    EXPECT_EQ(th::read_file(dir / "b.txt"), "bee\n");
    // Found through a pattern it is only left out.
    auto pat = run_in(dir, {"-w", "*.txt", "b.txt"});
    EXPECT_EQ(pat.status, 0);
    EXPECT_EQ(th::read_file(dir / "b.txt"), ab::header(4 + 0x100) + wt::file_entry_of("a.txt", dir / "a.txt"));
    // Append refuses it alike and leaves the archive as it was; through a
    // pattern it is left out there too.
    std::string before = th::read_file(dir / "b.txt");
    auto app = run_in(dir, {"-a", "a.txt", "b.txt", "b.txt"});
    EXPECT_EQ(app.status, th::status_of(-4));
    EXPECT_EQ(app.err, "The archive " + full + " is also one of the files to store\n");
    EXPECT_EQ(th::read_file(dir / "b.txt"), before);
    EXPECT_EQ(run_in(dir, {"-a", "b.*", "b.txt"}).status, 0);
    EXPECT_EQ(th::read_file(dir / "b.txt"), before);
}

// ---- -a onto a file that is not an archive -----------------------------------

TEST(SafeWrite, AppendOntoAFileThatIsNotAnArchive) {
    th::ScratchDir dir;
    th::write_file(dir / "f", "f\n");
    th::write_file(dir / "notes.txt", "remember the milk\n");
    std::string full = th::native_path(dir / "notes.txt");
    auto r = run_in(dir, {"-a", "f", "notes.txt"});
    EXPECT_EQ(r.status, th::status_of(-6));
    EXPECT_EQ(r.err, "Bad file format for " + full + "\nCould not open " + full + "\n");
    EXPECT_EQ(r.out, wt::BANNER);
    EXPECT_EQ(th::read_file(dir / "notes.txt"), "remember the milk\n");
    // An archive cut inside its header.
    ASSERT_EQ(run_in(dir, {"f", "whole.kel"}).status, 0);
    std::string cut = th::read_file(dir / "whole.kel").substr(0, 12);
    th::write_file(dir / "cut.kel", cut);
    auto c = run_in(dir, {"-a", "f", "cut.kel"});
    EXPECT_EQ(c.status, th::status_of(-6));
    EXPECT_EQ(c.err, "Bad file format for " + th::native_path(dir / "cut.kel") + "\nCould not open " +
                         th::native_path(dir / "cut.kel") + "\n");
    EXPECT_EQ(th::read_file(dir / "cut.kel"), cut);
    // A locked archive is appended to without its password.
    ASSERT_EQ(run_in(dir, {"-pSecret", "f", "locked.kel"}).status, 0);
    std::string locked = th::read_file(dir / "locked.kel");
    th::RunOptions opt;
    opt.stdin_null = true;
    auto l = run_in(dir, {"-a", "notes.txt", "locked.kel"}, opt);
    EXPECT_EQ(l.status, 0);
    EXPECT_EQ(l.out, wt::BANNER + "notes.txt\n");
    EXPECT_EQ(th::read_file(dir / "locked.kel").compare(0, locked.size(), locked), 0);
}

// ---- standard streams -------------------------------------------------------

// A closed standard output or error is the null device: the archive never
// takes its descriptor, so nothing printed lands in it.
TEST(SafeWrite, ClosedStandardStreamsNeverReachTheArchive) {
    SKIP_UNDER_WINE("Wine gives a Windows program no closed standard handles to test");
    th::ScratchDir dir;
    th::write_file(dir / "src/a", "a");
    th::RunOptions opt;
    opt.close_stdout = true;
    auto r = run_in(dir, {"-r", "src", "out.kel"}, opt);
    EXPECT_EQ(r.status, 0);
    std::string bytes = th::read_file(dir / "out.kel");
    EXPECT_EQ(bytes.find("KELPARC"), std::string::npos);
    wt::Parsed p = wt::parse_archive(bytes);
    EXPECT_TRUE(p.ok) << p.error;
    EXPECT_EQ(wt::names_of(p), (std::vector<std::string>{"src", "src/a", "src(end)"}));
    th::RunOptions no_err;
    no_err.close_stderr = true;
    auto e = run_in(dir, {"-r", "--keep-going", "missing", "src", "err.kel"}, no_err);
    EXPECT_EQ(e.status, th::status_of(-4));
    bytes = th::read_file(dir / "err.kel");
    EXPECT_EQ(bytes.find("Could not stat"), std::string::npos);
    EXPECT_TRUE(wt::parse_archive(bytes).ok);
}

TEST(SafeWrite, StandardOutputFailuresStopTheRun) {
    th::ScratchDir dir;
    std::string old = make_old_archive(dir);
    const std::string message = "Error writing to standard output\n";
    th::RunOptions full;
    full.stdout_path = "/dev/full";
    auto l = run_in(dir, {"-l", "out.kel"}, full);
    EXPECT_EQ(l.status, th::status_of(-13));
    EXPECT_EQ(l.err, message);
    // Compressing: nothing is replaced, no temporary file stays.
    th::write_file(dir / "src/a", th::make_bytes(5000, 't', 1));
    auto c = run_in(dir, {"-w", "-r", "src", "out.kel"}, full);
    EXPECT_EQ(c.status, th::status_of(-13));
    EXPECT_EQ(c.err, message);
    EXPECT_EQ(th::read_file(dir / "out.kel"), old);
    // A pipe whose reader is gone: the run stops, neither killed nor with a
    // message.
    th::RunOptions gone;
    gone.stdout_reader_gone = true;
    auto p = run_in(dir, {"-r", "src", "new.kel"}, gone);
    EXPECT_EQ(p.signal, 0);
    EXPECT_EQ(p.status, th::status_of(-13));
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(names_in(dir.path()), (Names{"old.txt", "out.kel", "src"}));
    auto lg = run_in(dir, {"-l", "out.kel"}, gone);
    EXPECT_EQ(lg.status, th::status_of(-13));
    EXPECT_EQ(lg.err, "");
    // Unpacking stops before the entry whose name could not be printed.
    th::make_dirs(dir / "t");
    full.cwd = dir / "t";
    auto u = th::run_kelparc({"-u", "../out.kel"}, full);
    EXPECT_EQ(u.status, th::status_of(-13));
    EXPECT_EQ(u.err, message);
    EXPECT_TRUE(names_in(dir / "t").empty());
}

// ---- paths ----------------------------------------------------------------------

// An archive and a -c directory deeper than a stored name may be (and
// than the 259 characters of the Windows narrow calls).
TEST(SafeWrite, LongArchiveAndStartDirectoryPaths) {
    th::ScratchDir dir;
    std::string deep;
    for (int i = 0; i < 6; ++i) deep += (i ? "/" : "") + std::string(60, static_cast<char>('a' + i));
    th::make_dirs(dir / deep);
    th::write_file(dir / deep + "/in.txt", "in\n");
    th::write_file(dir / "top.txt", "top\n");
    auto r = run_in(dir, {"top.txt", deep + "/out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    auto l = run_in(dir, {"-l", deep + "/out.kel"});
    EXPECT_EQ(l.status, 0);
    EXPECT_EQ(l.out, wt::BANNER + "Listing " + th::native_path(dir / deep + "/out.kel") + " ...\ntop.txt\n\n");
    auto c = run_in(dir, {"-c" + deep, "in.txt", "c.kel"});
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.out, wt::BANNER + "in.txt\n");
    EXPECT_EQ(wt::names_of(wt::parse_archive(th::read_file(dir / "c.kel"))), (std::vector<std::string>{"in.txt"}));
}

// Runs fn in a child process inside dir/<levels> (entered one level at a
// time, creating them when make is set); returns its exit code.
int in_deep_dir(const std::string& dir, const std::vector<std::string>& levels, bool make, int (*fn)()) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(dir.c_str()) != 0) _exit(100);
        for (const std::string& level : levels) {
            if (make) ::mkdir(level.c_str(), 0777);
            if (::chdir(level.c_str()) != 0) _exit(101);
        }
        _exit(fn());
    }
    int ws = 0;
    ::waitpid(pid, &ws, 0);
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
}

// A working directory longer than the system's path limit: the archive is
// still reached by the name given, and every message names it.
TEST(SafeWrite, WorkingDirectoryBeyondThePathLimit) {
    SKIP_UNDER_WINE("Wine starts a program whose working directory is beyond 260 characters in C:\\windows instead");
    th::ScratchDir dir;
    std::vector<std::string> levels;
    std::string deep = dir.path();
    for (int i = 0; i < 20; ++i) {
        levels.push_back(std::string(250, 'd') + std::to_string(10 + i));
        deep += "/" + levels.back();
    }
    ASSERT_EQ(in_deep_dir(dir.path(), levels, true, [] {
                  int fd = ::open("f.txt", O_WRONLY | O_CREAT, 0666);
                  return fd >= 0 && ::write(fd, "f\n", 2) == 2 ? 0 : 1;
              }),
              0);
    th::RunOptions opt;
    opt.cwd = deep;
    auto r = th::run_kelparc({"f.txt", "a.kel"}, opt);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    auto l = th::run_kelparc({"-l", "a.kel"}, opt);
    EXPECT_EQ(l.status, 0);
    EXPECT_EQ(l.out, wt::BANNER + "Listing a.kel ...\nf.txt\n\n");
    auto m = th::run_kelparc({"-l", "missing.kel"}, opt);
    EXPECT_EQ(m.status, th::status_of(-4));
    EXPECT_EQ(m.err, "Could not open source file missing.kel\nCould not open missing.kel\n");
    auto a = th::run_kelparc({"-a", "f.txt", "missing.kel"}, opt);
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.err, "Zip file does not exist missing.kel.\nDo not use the -a option to write to new zip file.\n");
    // A directory met in a walk whose path is beyond the limit cannot be
    // read (nor told from an ancestor): the run fails and writes nothing;
    // with --keep-going it is stored empty and the run still fails.
    std::vector<std::string> mid(levels.begin(), levels.begin() + 15);
    mid.push_back(std::string(50, 'e'));
    std::string mid_path = dir.path();
    for (const std::string& level : mid) mid_path += "/" + level;
    ASSERT_LT(mid_path.size() + 3, 4095u);
    ASSERT_GT(mid_path.size() + 3 + 250, 4095u);
    const std::string sub(250, 's');
    ASSERT_EQ(in_deep_dir(dir.path(), mid, true, [] {
                  return ::mkdir("d", 0777) == 0 && ::mkdir(("d/" + std::string(250, 's')).c_str(), 0777) == 0 ? 0 : 1;
              }),
              0);
    opt.cwd = mid_path;
    auto w = th::run_kelparc({"-r", "d", "w.kel"}, opt);
    EXPECT_EQ(w.status, th::status_of(-4));
    EXPECT_EQ(w.err, "Cannot read directory d/" + sub + "\n");
    EXPECT_FALSE(th::exists(mid_path + "/w.kel"));
    auto k = th::run_kelparc({"-r", "--keep-going", "d", "w.kel"}, opt);
    EXPECT_EQ(k.status, th::status_of(-4));
    EXPECT_EQ(k.err, "Cannot read directory d/" + sub + "\n");
    EXPECT_EQ(th::run_kelparc({"-l", "w.kel"}, opt).out,
              wt::BANNER + "Listing " + mid_path + "/w.kel ...\nd\nd/" + sub + "\n\n\n\n");
    in_deep_dir(dir.path(), mid, false, [] {
        ::unlink("w.kel");
        ::rmdir(("d/" + std::string(250, 's')).c_str());
        ::rmdir("d");
        return ::chdir("..") == 0 ? ::rmdir(std::string(50, 'e').c_str()) : 1;
    });
    // The tree is taken down from the inside: its paths are too long for
    // the ordinary removal.
    in_deep_dir(dir.path(), levels, false, [] {
        ::unlink("f.txt");
        ::unlink("a.kel");
        ::unlink("missing.kel");
        for (int i = 19; i >= 0; --i) {
            if (::chdir("..") != 0) return 1;
            ::rmdir((std::string(250, 'd') + std::to_string(10 + i)).c_str());
        }
        return 0;
    });
}

}  // namespace
