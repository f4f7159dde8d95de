// The POSIX platform layer where its emulation can go wrong: directory
// search order and matching, hidden and DOS attributes, lexical full paths,
// backslashes, FIFOs that must never block, the umask, console keys.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "fixtures.h"
#include "harness.h"
#include "platform/platform.h"

namespace {

// Each test runs inside its own scratch directory.
class Plat : public th::InScratchDir {
protected:
    std::string cwd() const { return dir_.path(); }
};

// Runs fn in a child process and returns its exit code, or -1 when it did
// not finish within 5 seconds (it is then killed): a call that blocks fails
// the test instead of hanging the suite.
int in_child(const std::function<int()>& fn) {
    pid_t pid = ::fork();
    if (pid == 0) _exit(fn());
    for (int i = 0; i < 500; ++i) {
        int ws = 0;
        if (::waitpid(pid, &ws, WNOHANG) == pid) return WIFEXITED(ws) ? WEXITSTATUS(ws) : -2;
        ::usleep(10000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

// Every name a search for pattern reports, in order, or {"<invalid>"}.
std::vector<std::string> find_all(const char* pattern, uint32_t* end_error = nullptr) {
    plat::FindData d;
    plat::FindHandle h = plat::FindFirstFileA(pattern, &d);
    if (h == plat::NO_FIND_HANDLE) return {"<invalid>"};
    std::vector<std::string> names;
    do names.push_back(d.cFileName);
    while (plat::FindNextFileA(h, &d));
    if (end_error != nullptr) *end_error = plat::GetLastError();
    plat::FindClose(h);
    return names;
}

uint32_t find_attrs(const char* pattern, const std::string& name) {
    plat::FindData d;
    plat::FindHandle h = plat::FindFirstFileA(pattern, &d);
    uint32_t found = 0xDEADBEEF;
    if (h == plat::NO_FIND_HANDLE) return found;
    do
        if (name == d.cFileName) found = d.dwFileAttributes;
    while (plat::FindNextFileA(h, &d));
    plat::FindClose(h);
    return found;
}

// Writes text to fd whole (test output of child processes).
void put(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
}

mode_t mode_of(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

bool xattrs_supported(const std::string& path) {
    if (::setxattr(path.c_str(), "user.kelparc_probe", "1", 1, 0) != 0) return false;
    ::removexattr(path.c_str(), "user.kelparc_probe");
    return true;
}

}  // namespace

// ---- file handles ---------------------------------------------------------

TEST_F(Plat, ReadWriteRoundTripShortReadAtEndAndChsize) {
    std::string data = th::make_bytes(200000, 'r', 7);
    int fd = plat::_open("f.bin", plat::OF_WRONLY | plat::OF_CREAT | plat::OF_TRUNC | plat::OF_BINARY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(plat::_write(fd, data.data(), 200000), 200000);
    EXPECT_EQ(plat::_close(fd), 0);

    fd = plat::_open("f.bin", plat::OF_RDONLY | plat::OF_BINARY);
    ASSERT_GE(fd, 0);
    std::string back(300000, '\0');
    EXPECT_EQ(plat::_read(fd, &back[0], 150000), 150000);
    EXPECT_EQ(plat::_read(fd, &back[150000], 150000), 50000);  // short: end of file
    EXPECT_EQ(plat::_read(fd, &back[0], 10), 0);
    back.resize(200000);
    EXPECT_EQ(back, data);
    EXPECT_EQ(plat::_lseek(fd, 0, plat::SEEK_END_), 200000);
    EXPECT_EQ(plat::_lseek(fd, -10, plat::SEEK_CUR_), 199990);
    EXPECT_EQ(plat::_lseek(fd, 5, plat::SEEK_SET_), 5);
    EXPECT_EQ(plat::_lseek(fd, 0, 7), -1);
    EXPECT_EQ(plat::_close(fd), 0);

    fd = plat::_open("f.bin", plat::OF_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(plat::_chsize(fd, 10), 0);
    EXPECT_EQ(plat::_chsize(fd, 20), 0);  // extends with zeros
    EXPECT_EQ(plat::_chsize(fd, -1), -1);
    plat::_close(fd);
    EXPECT_EQ(th::read_file("f.bin"), data.substr(0, 10) + std::string(10, '\0'));
    EXPECT_EQ(plat::_close(fd), -1);  // already closed
}

namespace {

// A replacement table: reads see every byte turned to 'x'; the third write
// and every later one fails.
int g_writes_seen = 0;
long upper_read(int fd, void* buf, unsigned n) {
    const long got = plat::system_io_calls().read(fd, buf, n);
    if (got > 0) std::memset(buf, 'x', static_cast<size_t>(got));
    return got;
}
long third_write_fails(int fd, const void* buf, unsigned n) {
    if (++g_writes_seen >= 3) return -1;
    return plat::system_io_calls().write(fd, buf, n);
}
const plat::IoCalls replaced = {upper_read, third_write_fails};

}  // namespace

// The test seam: _read and _write go through the table installed, and the
// system's calls come back when it is removed.
TEST_F(Plat, ReadAndWriteGoThroughTheReplaceableTable) {
    g_writes_seen = 0;
    const plat::IoCalls* before = plat::set_io_calls(&replaced);
    int fd = plat::_open("seam.bin", plat::OF_WRONLY | plat::OF_CREAT | plat::OF_TRUNC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(plat::_write(fd, "ab", 2), 2);
    EXPECT_EQ(plat::_write(fd, "cd", 2), 2);
    EXPECT_EQ(plat::_write(fd, "ef", 2), -1);
    EXPECT_EQ(plat::_write(fd, "gh", 2), -1);
    plat::_close(fd);
    fd = plat::_open("seam.bin", plat::OF_RDONLY);
    char back[8] = {};
    EXPECT_EQ(plat::_read(fd, back, sizeof back), 4);
    EXPECT_EQ(std::string(back, 4), "xxxx");
    plat::_close(fd);
    EXPECT_EQ(plat::set_io_calls(before), &replaced);
    EXPECT_EQ(th::read_file("seam.bin"), "abcd");
    fd = plat::_open("seam.bin", plat::OF_RDONLY);
    EXPECT_EQ(plat::_read(fd, back, sizeof back), 4);
    EXPECT_EQ(std::string(back, 4), "abcd");
    plat::_close(fd);
    EXPECT_EQ(plat::set_io_calls(nullptr), &plat::system_io_calls());
}

TEST_F(Plat, OpenFlagsAppendExclusiveAndReadOnlyCreation) {
    th::write_file("a.txt", "abc");
    int fd = plat::_open("a.txt", plat::OF_WRONLY | plat::OF_APPEND);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(plat::_write(fd, "def", 3), 3);
    plat::_close(fd);
    EXPECT_EQ(th::read_file("a.txt"), "abcdef");

    EXPECT_EQ(plat::_open("a.txt", plat::OF_WRONLY | plat::OF_CREAT | plat::OF_EXCL), -1);
    EXPECT_EQ(plat::_open("missing", plat::OF_RDONLY), -1);
    EXPECT_NE(plat::GetLastError(), 0u);

    mode_t old = ::umask(022);
    fd = plat::_open("ro.txt", plat::OF_WRONLY | plat::OF_CREAT | plat::OF_TRUNC, plat::S_IREAD_);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(plat::_write(fd, "x", 1), 1);  // the creating handle still writes
    plat::_close(fd);
    fd = plat::_open("rw.txt", plat::OF_WRONLY | plat::OF_CREAT | plat::OF_TRUNC);
    plat::_close(fd);
    ::umask(old);
    EXPECT_EQ(mode_of("ro.txt") & 07777, 0444u);
    EXPECT_EQ(mode_of("rw.txt") & 07777, 0644u);
}

// A write the file system stops part way (here the file size limit) gives
// the short count, and the next one -1.
TEST_F(Plat, WriteReportsShortCountWhenTheFileCannotGrow) {
    int rc = in_child([] {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl;
        rl.rlim_cur = rl.rlim_max = 1000;
        if (::setrlimit(RLIMIT_FSIZE, &rl) != 0) return 10;
        int fd = plat::_open("limited", plat::OF_WRONLY | plat::OF_CREAT | plat::OF_TRUNC);
        if (fd < 0) return 11;
        std::string data(5000, 'd');
        if (plat::_write(fd, data.data(), 5000) != 1000) return 12;
        if (plat::_write(fd, data.data(), 10) != -1) return 13;
        return plat::GetLastError() != 0 ? 0 : 14;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(th::read_file("limited"), std::string(1000, 'd'));
}

TEST_F(Plat, LargeOffsetsAreSixtyFourBit) {
    const int64_t five_gib = int64_t(5) << 30;
    int fd = plat::_open("big", plat::OF_RDWR | plat::OF_CREAT | plat::OF_TRUNC);
    ASSERT_GE(fd, 0);
    if (plat::_chsize(fd, five_gib) != 0) {
        plat::_close(fd);
        GTEST_SKIP() << "file system refuses a sparse 5 GiB file";
    }
    EXPECT_EQ(plat::_lseek(fd, 0, plat::SEEK_END_), five_gib);
    EXPECT_EQ(plat::_write(fd, "z", 1), 1);
    plat::_close(fd);
    plat::StatRec st;
    ASSERT_EQ(plat::_stat("big", &st), 0);
    EXPECT_EQ(st.size, five_gib + 1);
}

// Regular files only: a FIFO, a device or a directory is refused at once,
// for reading and for writing, never waited on.
TEST_F(Plat, OpenRefusesFifoDeviceAndDirectoryWithoutBlocking) {
    ASSERT_EQ(::mkfifo("fifo", 0666), 0);
    th::make_dirs("dir");
    EXPECT_EQ(in_child([] { return plat::_open("fifo", plat::OF_RDONLY) == -1 ? 0 : 1; }), 0);
    // No reader.
    EXPECT_EQ(in_child([] { return plat::_open("fifo", plat::OF_WRONLY) == -1 ? 0 : 1; }), 0);
    EXPECT_EQ(in_child([] {
                  return plat::_open("fifo", plat::OF_WRONLY | plat::OF_CREAT | plat::OF_TRUNC) == -1 ? 0 : 1;
              }),
              0);
    // With a reader waiting, a write open would succeed on a FIFO: still refused.
    int reader = ::open("fifo", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(in_child([] { return plat::_open("fifo", plat::OF_WRONLY) == -1 ? 0 : 1; }), 0);
    ::close(reader);
    EXPECT_EQ(plat::_open("/dev/null", plat::OF_RDONLY), -1);
    EXPECT_EQ(plat::_open("/dev/null", plat::OF_WRONLY | plat::OF_TRUNC), -1);
    EXPECT_EQ(plat::_open("dir", plat::OF_RDONLY), -1);
    EXPECT_EQ(plat::_open("dir", plat::OF_WRONLY), -1);
    EXPECT_EQ(mode_of("fifo") & S_IFMT, static_cast<mode_t>(S_IFIFO));  // left as it was
}

// A file only read stays non-blocking (a read that would wait fails); one
// opened for writing is back in blocking mode.
TEST_F(Plat, OpenedFileBlocksOnlyWhenWritten) {
    th::write_file("f", "x");
    int fd = plat::_open("f", plat::OF_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_NE(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    plat::_close(fd);
    fd = plat::_open("f", plat::OF_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    plat::_close(fd);
}

// ---- status ---------------------------------------------------------------

TEST_F(Plat, StatReportsRegularFilesAndDirectoriesOnly) {
    th::write_file("f", "12345");
    th::make_dirs("d");
    ASSERT_EQ(::mkfifo("fifo", 0666), 0);
    ASSERT_EQ(::symlink("f", "link"), 0);
    ASSERT_EQ(::symlink("nowhere", "dangling"), 0);
    plat::StatRec st;
    ASSERT_EQ(plat::_stat("f", &st), 0);
    EXPECT_EQ(st.size, 5);
    EXPECT_EQ(st.mode & 0xF000, plat::MODE_REG);
    EXPECT_EQ(st.mode, mode_of("f") & 0xFFFF);
    plat::StatRec via_link;
    ASSERT_EQ(plat::_stat("link", &via_link), 0);  // links are followed
    EXPECT_TRUE(plat::same_file(via_link.id, st.id));
    ASSERT_EQ(plat::_stat("d", &st), 0);
    EXPECT_EQ(st.mode & 0xF000, plat::MODE_DIR);
    // The cause tells what is left out as it stands from what is missing.
    const std::pair<const char*, uint32_t> refused[] = {{"fifo", plat::ERR_NOT_A_FILE},
                                                        {"/dev/null", plat::ERR_NOT_A_FILE},
                                                        {"dangling", plat::ERR_FILE_NOT_FOUND},
                                                        {"missing", plat::ERR_FILE_NOT_FOUND}};
    for (const auto& [path, cause] : refused) {
        EXPECT_EQ(plat::_stat(path, &st), -1) << path;
        EXPECT_EQ(plat::GetLastError(), cause) << path;
    }
}

TEST_F(Plat, UtimeSetsSecondsBeyond2038) {
    th::write_file("f", "x");
    const int64_t atime = 1000000000, mtime = 4102444800;  // 2001 and 2100
    ASSERT_EQ(plat::_utime("f", atime, mtime), 0);
    plat::StatRec st;
    ASSERT_EQ(plat::_stat("f", &st), 0);
    EXPECT_EQ(st.atime, atime);
    EXPECT_EQ(st.mtime, mtime);
    EXPECT_EQ(plat::_utime("missing", atime, mtime), -1);
}

TEST_F(Plat, AccessAndUnlink) {
    th::write_file("f", "x");
    EXPECT_EQ(plat::_access("f", 0), 0);
    EXPECT_EQ(plat::_access("f", 4), 0);
    EXPECT_EQ(plat::_access("missing", 0), -1);
    EXPECT_EQ(plat::_unlink("f"), 0);
    EXPECT_FALSE(th::exists("f"));
    EXPECT_EQ(plat::_unlink("f"), -1);
}

// A path names an open file by any of its names, never another file.
TEST_F(Plat, SameFileByAnyNameOfAnOpenHandle) {
    th::write_file("f", "x");
    th::write_file("other", "x");
    ASSERT_EQ(::link("f", "hard"), 0);
    ASSERT_EQ(::symlink("f", "soft"), 0);
    ASSERT_EQ(::mkdir("d", 0755), 0);
    int h = plat::_open("f", plat::OF_RDONLY);
    ASSERT_GE(h, 0);
    EXPECT_TRUE(plat::is_same_file("f", h));
    EXPECT_TRUE(plat::is_same_file((cwd() + "/d/../f").c_str(), h));
    EXPECT_TRUE(plat::is_same_file("d\\..\\hard", h));
    EXPECT_TRUE(plat::is_same_file("soft", h));
    EXPECT_FALSE(plat::is_same_file("other", h));
    EXPECT_FALSE(plat::is_same_file("d", h));
    EXPECT_FALSE(plat::is_same_file("missing", h));
    plat::_close(h);
    EXPECT_FALSE(plat::is_same_file("f", h));
}

// The mask applies to the mode given; special bits are never set; the
// process umask is left as it was.
TEST_F(Plat, ChmodAppliesUmaskAndDropsSpecialBits) {
    th::write_file("f", "x");
    mode_t old = ::umask(027);
    EXPECT_EQ(plat::_chmod("f", 0777), 0);
    EXPECT_EQ(mode_of("f") & 07777, 0750u);
    EXPECT_EQ(plat::_chmod("f", 06777), 0);
    EXPECT_EQ(mode_of("f") & 07777, 0750u);
    EXPECT_EQ(plat::_chmod("f", 0444), 0);  // without 0x80: read-only
    EXPECT_EQ(mode_of("f") & 07777, 0440u);
    int h = ::open("f", O_RDWR);
    EXPECT_EQ(plat::handle_chmod(h, 06666), 0);  // so does a handle's
    EXPECT_EQ(mode_of("f") & 07777, 0640u);
    ::close(h);
    mode_t during = ::umask(old);
    EXPECT_EQ(during, 027u);
    EXPECT_EQ(plat::_chmod("missing", 0666), -1);
}

// A walk's cache hands out the directory it holds only while that is the
// one its name reaches or the same directory moved: a directory deleted and
// made again is looked up afresh, and a link made where the held one was
// never takes a place out of the target.
TEST_F(Plat, PlaceCacheNeverLeadsOutOfTheTarget) {
    struct Case {
        const char* change;  // what happens to t/a between two places
        const char* lands;   // where the second place's file is, under t
    };
    const Case cases[] = {
        {"none", "a/f2"},
        {"remade", "a/f2"},
        {"moved, a link out in its place", "moved/f2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.change);
        std::string t = cwd() + "/t", out = cwd() + "/out";
        std::filesystem::remove_all(t);
        std::filesystem::remove_all(out);
        std::filesystem::create_directories(t + "/a");
        std::filesystem::create_directories(out);
        plat::PlaceCache cache;
        plat::Place p;
        ASSERT_EQ(plat::place_beneath(t.c_str(), "a/f1", true, &p, nullptr, 0, &cache), plat::PLACE_OK);
        EXPECT_TRUE(p.name_absent);
        plat::place_close(&p);
        std::string change = c.change;
        if (change == "remade") {
            std::filesystem::remove(t + "/a");
            std::filesystem::create_directories(t + "/a");
        } else if (change != "none") {
            std::filesystem::rename(t + "/a", t + "/moved");
            std::filesystem::create_directory_symlink(out, t + "/a");
        }
        ASSERT_EQ(plat::place_beneath(t.c_str(), "a/f2", true, &p, nullptr, 0, &cache), plat::PLACE_OK);
        char temp[plat::PATH_CAP];
        int h = plat::place_open_temp(&p, temp, sizeof temp, 1);
        ASSERT_GE(h, 0);
        plat::_close(h);
        EXPECT_EQ(plat::place_rename_temp(&p, temp), 0);
        plat::remove_on_signal(1, nullptr);
        plat::place_close(&p);
        EXPECT_TRUE(std::filesystem::exists(t + "/" + c.lands));
        EXPECT_TRUE(std::filesystem::is_empty(out));
        // Without the cache the link leads out.
        if (change != "none" && change != "remade") {
            EXPECT_EQ(plat::place_beneath(t.c_str(), "a/f3", true, &p, nullptr, 0), plat::PLACE_LEADS_OUT);
        }
    }
}

// ---- paths ----------------------------------------------------------------

TEST_F(Plat, BackslashesWorkAsSeparators) {
    ASSERT_EQ(plat::_mkdir("a"), 0);
    ASSERT_EQ(plat::_mkdir("a\\b"), 0);
    int fd = plat::_open("a\\b\\c.txt", plat::OF_WRONLY | plat::OF_CREAT | plat::OF_TRUNC);
    ASSERT_GE(fd, 0);
    plat::_write(fd, "hi", 2);
    plat::_close(fd);
    EXPECT_EQ(th::read_file("a/b/c.txt"), "hi");
    plat::StatRec st;
    EXPECT_EQ(plat::_stat("a\\b\\c.txt", &st), 0);
    EXPECT_EQ(plat::_access("a\\b/c.txt", 0), 0);
    EXPECT_EQ(plat::_utime("a\\b\\c.txt", 5, 5), 0);
    EXPECT_EQ(plat::_chmod("a\\b\\c.txt", 0644), 0);
    EXPECT_EQ(find_all("a\\b\\*.txt"), std::vector<std::string>{"c.txt"});
    EXPECT_EQ(plat::_chdir("a\\b"), 0);
    EXPECT_EQ(plat::_access("c.txt", 0), 0);
    EXPECT_EQ(plat::_chdir("..\\.."), 0);
    EXPECT_EQ(plat::_unlink("a\\b\\c.txt"), 0);
    EXPECT_FALSE(th::exists("a/b/c.txt"));
}

TEST_F(Plat, OverlongPathIsRefusedNotCut) {
    std::string longer(plat::PATH_CAP, 'x');
    plat::StatRec st;
    EXPECT_EQ(plat::_stat(longer.c_str(), &st), -1);
    EXPECT_EQ(plat::_open(longer.c_str(), plat::OF_WRONLY | plat::OF_CREAT), -1);
    EXPECT_EQ(plat::_mkdir(longer.c_str()), -1);
}

TEST_F(Plat, FullpathCollapsesLexically) {
    char out[plat::PATH_CAP];
    std::string here = cwd();
    EXPECT_EQ(std::string(plat::_fullpath(out, "a/./b//c/../d", sizeof out)), here + "/a/b/d");
    EXPECT_EQ(std::string(plat::_fullpath(out, "a\\b\\..\\c", sizeof out)), here + "/a/c");
    EXPECT_EQ(std::string(plat::_fullpath(out, ".", sizeof out)), here);
    EXPECT_EQ(std::string(plat::_fullpath(out, "sub/", sizeof out)), here + "/sub");
    std::string parent = here.substr(0, here.rfind('/'));
    EXPECT_EQ(std::string(plat::_fullpath(out, "..", sizeof out)), parent);
    EXPECT_EQ(std::string(plat::_fullpath(out, "/x/../../y", sizeof out)), "/y");
    EXPECT_EQ(std::string(plat::_fullpath(out, "//a///b/.", sizeof out)), "/a/b");
    EXPECT_EQ(std::string(plat::_fullpath(out, "/", sizeof out)), "/");
    EXPECT_EQ(std::string(plat::_fullpath(out, "/..", sizeof out)), "/");
    EXPECT_EQ(std::string(plat::_fullpath(out, "\\tmp\\x", sizeof out)), "/tmp/x");
    // No link is resolved: "lnk/.." is the working directory, not /.
    ASSERT_EQ(::symlink("/usr/share", "lnk"), 0);
    EXPECT_EQ(std::string(plat::_fullpath(out, "lnk/..", sizeof out)), here);
}

TEST_F(Plat, FullpathFailsWhenTheResultDoesNotFit) {
    char out[16];
    EXPECT_STREQ(plat::_fullpath(out, "/abc/def", 9), "/abc/def");  // 8 characters and the NUL
    EXPECT_EQ(plat::_fullpath(out, "/abc/def", 8), nullptr);
    EXPECT_STREQ(plat::_fullpath(out, "/abc/../def", 5), "/def") << "the collapsed form is what must fit";
    std::string longer(plat::PATH_CAP, 'x');
    char big[plat::PATH_CAP];
    EXPECT_EQ(plat::_fullpath(big, longer.c_str(), sizeof big), nullptr);
}

TEST_F(Plat, GetcwdFailsWhenTooSmall) {
    char buf[plat::PATH_CAP];
    ASSERT_EQ(plat::_getcwd(buf, sizeof buf), buf);
    EXPECT_EQ(std::string(buf), cwd());
    char small[4];
    EXPECT_EQ(plat::_getcwd(small, sizeof small), nullptr);
}

TEST(PlatSplit, SplitpathBothSeparatorsAndBounds) {
    char drive[256], dir[256], fname[256], ext[256];
    plat::_splitpath("/usr/local/bin/kelparc", drive, dir, fname, ext);
    EXPECT_STREQ(drive, "");
    EXPECT_STREQ(dir, "/usr/local/bin/");
    EXPECT_STREQ(fname, "kelparc");
    EXPECT_STREQ(ext, "");
    plat::_splitpath("C:\\tools\\kelparc.exe", drive, dir, fname, ext);
    EXPECT_STREQ(dir, "C:\\tools\\");
    EXPECT_STREQ(fname, "kelparc");
    EXPECT_STREQ(ext, ".exe");
    plat::_splitpath("a.d/prog", nullptr, nullptr, fname, ext);  // the dot of a directory is not an extension
    EXPECT_STREQ(fname, "prog");
    EXPECT_STREQ(ext, "");
    plat::_splitpath("x.tar.gz", nullptr, nullptr, fname, nullptr);
    EXPECT_STREQ(fname, "x.tar");
    std::string long_name(600, 'n');
    plat::_splitpath(long_name.c_str(), nullptr, dir, fname, ext);
    EXPECT_EQ(strlen(fname), 255u);
    EXPECT_STREQ(dir, "");
}

// ---- attributes -----------------------------------------------------------

TEST_F(Plat, AttributesFromModeAndName) {
    th::write_file("f", "x");
    th::write_file(".hid", "x");
    th::make_dirs("d/.inner");
    th::write_file("ro", "x");
    ::chmod("ro", 0444);
    ASSERT_EQ(::mkfifo("fifo", 0666), 0);
    EXPECT_EQ(plat::GetFileAttributesA("f"), 0u);
    EXPECT_EQ(plat::GetFileAttributesA(".hid"), plat::ATTR_HIDDEN);
    EXPECT_EQ(plat::GetFileAttributesA("./.hid"), plat::ATTR_HIDDEN);
    EXPECT_EQ(plat::GetFileAttributesA("d"), plat::ATTR_DIRECTORY);
    EXPECT_EQ(plat::GetFileAttributesA("d\\.inner\\"), plat::ATTR_DIRECTORY | plat::ATTR_HIDDEN);
    EXPECT_EQ(plat::GetFileAttributesA("."), plat::ATTR_DIRECTORY);
    EXPECT_EQ(plat::GetFileAttributesA("d/.inner/.."), plat::ATTR_DIRECTORY);
    EXPECT_EQ(plat::GetFileAttributesA("ro"), plat::ATTR_READONLY);
    EXPECT_EQ(plat::GetFileAttributesA("missing"), plat::ATTR_INVALID);
    EXPECT_EQ(plat::GetFileAttributesA("fifo"), plat::ATTR_INVALID);
}

// user.DOSATTRIB as Samba and Wine write it: "0x<hex>", with or without a
// NUL, or at the head of Samba's longer encoded record.
TEST_F(Plat, DosAttribSetAndReadBack) {
    th::write_file("f", "x");
    if (!xattrs_supported("f")) GTEST_SKIP() << "no user extended attributes here";
    ASSERT_NE(plat::SetFileAttributesA("f", plat::ATTR_HIDDEN | plat::ATTR_SYSTEM |
                                                plat::ATTR_ARCHIVE | plat::ATTR_READONLY),
              0);
    char raw[64] = {0};
    ssize_t n = ::getxattr("f", "user.DOSATTRIB", raw, sizeof raw - 1);
    EXPECT_EQ(std::string(raw, n > 0 ? static_cast<size_t>(n) : 0), "0x26");  // read-only lives in the mode
    EXPECT_EQ(plat::GetFileAttributesA("f"), 0x26u);
    th::write_file("d/g", "x");
    ASSERT_NE(plat::SetFileAttributesA("d\\g", plat::ATTR_SYSTEM), 0);
    EXPECT_EQ(plat::GetFileAttributesA("d/g"), plat::ATTR_SYSTEM);

    auto with_raw = [](const std::string& value) {
        ::setxattr("f", "user.DOSATTRIB", value.data(), value.size(), 0);
        return plat::GetFileAttributesA("f");
    };
    EXPECT_EQ(with_raw(std::string("0x22\0", 5)), 0x22u);
    EXPECT_EQ(with_raw(std::string("0X2\0\3\0\0\0\x11\x22", 10)), 0x2u);
    EXPECT_EQ(with_raw(std::string("0x20") + std::string(400, '\0')), 0x20u);  // longer than the first read
    EXPECT_EQ(with_raw("0x1"), 0u);
    EXPECT_EQ(with_raw("0x"), 0u);
    EXPECT_EQ(with_raw("26"), 0u);
    EXPECT_EQ(with_raw("0x1000000026"), 0u);  // wider than 32 bits
    EXPECT_EQ(with_raw("0xzz"), 0u);
    ::chmod("f", 0444);
    EXPECT_EQ(with_raw("0x2"), plat::ATTR_HIDDEN | plat::ATTR_READONLY);
    EXPECT_EQ(plat::SetFileAttributesA("missing", plat::ATTR_HIDDEN), 0);
}

// ---- directory search -----------------------------------------------------

class PlatFind : public Plat {
protected:
    void SetUp() override {
        Plat::SetUp();
        for (const char* name : {"b.txt", "a.txt", "B.txt", "c.dat", ".hid", "Z", "a", "ab", "abc.tar.gz",
                                 "\xC3\xA9t\xC3\xA9", "!x", "-opt"})
            th::write_file(name, "x");
        th::make_dirs("sub/inner");
        th::write_file("sub/one.txt", "1");
    }
};

TEST_F(PlatFind, DotsFirstThenAscendingByteOrderAndNormalEnd) {
    uint32_t end = 0;
    // '!' and '-' sort below '.': the dot entries still come first.
    std::vector<std::string> expect = {".",    "..", "!x", "-opt", ".hid",       "B.txt", "Z",   "a",
                                       "a.txt", "ab", "abc.tar.gz", "b.txt", "c.dat", "sub",
                                       "\xC3\xA9t\xC3\xA9"};
    EXPECT_EQ(find_all("*", &end), expect);
    EXPECT_EQ(end, plat::ERR_NO_MORE_FILES);
    EXPECT_EQ(find_all("*.*"), expect) << "*.* matches names without a dot too";
}

TEST_F(PlatFind, WildcardsAreCaseSensitiveAndOnlyInTheLastComponent) {
    EXPECT_EQ(find_all("*.txt"), (std::vector<std::string>{"B.txt", "a.txt", "b.txt"}));
    EXPECT_EQ(find_all("?.txt"), (std::vector<std::string>{"B.txt", "a.txt", "b.txt"}));
    EXPECT_EQ(find_all("a*"), (std::vector<std::string>{"a", "a.txt", "ab", "abc.tar.gz"}));
    EXPECT_EQ(find_all("a?"), (std::vector<std::string>{"ab"}));
    EXPECT_EQ(find_all("*a*.*z"), (std::vector<std::string>{"abc.tar.gz"}));
    EXPECT_EQ(find_all("a*t*r*"), (std::vector<std::string>{"abc.tar.gz"}));
    EXPECT_EQ(find_all("*."), (std::vector<std::string>{".", ".."}));
    EXPECT_EQ(find_all(".*"), (std::vector<std::string>{".", "..", ".hid"}));
    EXPECT_EQ(find_all("c.dat"), (std::vector<std::string>{"c.dat"}));
    EXPECT_EQ(find_all("*.TXT"), (std::vector<std::string>{"<invalid>"}));
    EXPECT_EQ(find_all("A"), (std::vector<std::string>{"<invalid>"}));
    EXPECT_EQ(find_all("sub/*.txt"), (std::vector<std::string>{"one.txt"}));
    EXPECT_EQ(find_all("sub/*"), (std::vector<std::string>{".", "..", "inner", "one.txt"}));
    EXPECT_EQ(find_all((cwd() + "/sub/o*").c_str()), (std::vector<std::string>{"one.txt"}));
    EXPECT_EQ(find_all("s*/*"), (std::vector<std::string>{"<invalid>"}));
    EXPECT_EQ(find_all("sub/"), (std::vector<std::string>{"<invalid>"}));
}

TEST_F(PlatFind, EntriesCarryAttributeBits) {
    ::chmod("c.dat", 0444);
    EXPECT_EQ(find_attrs("*", "sub"), plat::ATTR_DIRECTORY);
    EXPECT_EQ(find_attrs("*", ".hid"), plat::ATTR_HIDDEN);
    EXPECT_EQ(find_attrs("*", "."), plat::ATTR_DIRECTORY);
    EXPECT_EQ(find_attrs("*", "a.txt"), 0u);
    EXPECT_EQ(find_attrs("*", "c.dat"), plat::ATTR_READONLY);
    EXPECT_EQ(find_attrs("sub/*", "inner"), plat::ATTR_DIRECTORY);
    if (xattrs_supported("a.txt")) {
        ASSERT_NE(plat::SetFileAttributesA("sub/one.txt", plat::ATTR_HIDDEN), 0);
        EXPECT_EQ(find_attrs("sub\\*", "one.txt"), plat::ATTR_HIDDEN);
    }
}

// A listed name is looked up as the directory holds it: a '\' inside it
// never reaches another directory (split at '\', these two names would
// reach the directory sub and the read-only file c.dat).
TEST_F(PlatFind, ListedNamesAreNotSplitAtBackslash) {
    th::write_file("sub/inner/..\\..\\sub", "a file");
    th::write_file("sub/inner/..\\..\\c.dat", "a writable file");
    ::chmod("c.dat", 0444);
    EXPECT_EQ(find_all("sub/inner/*"), (std::vector<std::string>{".", "..", "..\\..\\c.dat", "..\\..\\sub"}));
    EXPECT_EQ(find_attrs("sub/inner/*", "..\\..\\sub"), 0u);
    EXPECT_EQ(find_attrs("sub/inner/*", "..\\..\\c.dat"), 0u);
}

// A name whose status cannot be read is still reported, with no bits, so
// the caller's status call fails and says so.
TEST_F(PlatFind, UnreadableEntriesAreReportedWithZeroAttributes) {
    ASSERT_EQ(::symlink("nowhere", "dangling"), 0);
    ASSERT_EQ(::mkfifo("fifo", 0666), 0);
    EXPECT_EQ(find_all("dangling"), std::vector<std::string>{"dangling"});
    EXPECT_EQ(find_attrs("*", "dangling"), 0u);
    EXPECT_EQ(find_attrs("*", "fifo"), 0u);
}

TEST_F(PlatFind, FailuresAreNotTheNormalEnd) {
    plat::FindData d;
    EXPECT_EQ(plat::FindFirstFileA("nosuchdir/*", &d), plat::NO_FIND_HANDLE);
    EXPECT_NE(plat::GetLastError(), 0u);
    EXPECT_NE(plat::GetLastError(), plat::ERR_NO_MORE_FILES);
    EXPECT_EQ(plat::FindFirstFileA("c.dat/*", &d), plat::NO_FIND_HANDLE);
    EXPECT_NE(plat::GetLastError(), plat::ERR_NO_MORE_FILES);
    EXPECT_EQ(plat::FindFirstFileA("*.none", &d), plat::NO_FIND_HANDLE);
    EXPECT_NE(plat::GetLastError(), plat::ERR_NO_MORE_FILES);
    EXPECT_EQ(plat::FindNextFileA(plat::NO_FIND_HANDLE, &d), 0);
    EXPECT_NE(plat::GetLastError(), plat::ERR_NO_MORE_FILES);
    if (!th::running_as_root()) {
        ::chmod("sub", 0);
        EXPECT_EQ(plat::FindFirstFileA("sub/*", &d), plat::NO_FIND_HANDLE);
        ::chmod("sub", 0755);
    }
}

TEST(PlatOptions, OnlyDashIntroducesAnOption) {
    EXPECT_TRUE(plat::is_option_prefix('-'));
    EXPECT_FALSE(plat::is_option_prefix('/'));
    EXPECT_FALSE(plat::is_option_prefix('a'));
}

// ---- console --------------------------------------------------------------

namespace {

// Reads keys with _getch until -1 or `count` keys, and returns them as text
// "k1 k2 ...".
std::string key_list(int count) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        int k = plat::_getch();
        out += (out.empty() ? "" : " ") + std::to_string(k);
        if (k == -1) break;
    }
    return out;
}

// Runs `count` _getch calls in a child on a fresh pseudo-terminal and types
// keys there, one write per entry after `pause_ms`.  The child checks after
// every call that echo and line mode are back, and prints "keys: ..." and
// "restored: yes|no".  Returns all the terminal showed.
std::string keys_on_pty(const std::vector<std::string>& keys, int count, int pause_ms = 80) {
    int master = -1;
    pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        bool restored = true;
        std::string out;
        put(1, "READY\n");
        for (int i = 0; i < count; ++i) {
            int k = plat::_getch();
            out += (out.empty() ? "" : " ") + std::to_string(k);
            struct termios t;
            ::tcgetattr(0, &t);
            if ((t.c_lflag & (ECHO | ICANON | ISIG)) != (ECHO | ICANON | ISIG)) restored = false;
            if (k == -1) break;
        }
        std::string report = "keys: " + out + "\nrestored: " + (restored ? "yes" : "no") + "\n";
        put(1, report);
        _exit(0);
    }
    std::string screen;
    auto pump = [&](int ms) {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < until) {
            struct pollfd p = {master, POLLIN, 0};
            if (::poll(&p, 1, 10) > 0) {
                char buf[512];
                ssize_t n = ::read(master, buf, sizeof buf);
                if (n > 0) screen.append(buf, static_cast<size_t>(n));
                else break;
            }
        }
    };
    for (int i = 0; i < 200 && screen.find("READY") == std::string::npos; ++i) pump(10);
    pump(300);  // the child is in its first _getch by then
    for (const auto& k : keys) {
        put(master, k);
        pump(pause_ms);
    }
    int ws = 0;
    for (int i = 0; i < 300 && ::waitpid(pid, &ws, WNOHANG) != pid; ++i) pump(10);
    pump(50);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ::close(master);
    return screen;
}

}  // namespace

TEST(PlatConsole, TerminalKeysRawAndRestored) {
    std::string screen = keys_on_pty({"x", "\r", "\x7f", "\b", "\x03", "\x04", "\x1a", "\x1b[A", "\x1bOP",
                                      "\x1b[3~", "\x1b", "\x1bq", "\xe9", "y"},
                                     18, 120);
    EXPECT_NE(screen.find("keys: 120 13 8 8 3 26 26 224 72 224 59 224 83 27 27 113 233 121\r\n"), std::string::npos)
        << screen;
    EXPECT_NE(screen.find("restored: yes"), std::string::npos) << screen;
    // Nothing typed appeared on the terminal before the report.
    std::string before = screen.substr(0, screen.find("keys:"));
    EXPECT_EQ(before.find('x'), std::string::npos) << before;
    EXPECT_EQ(before.find('y'), std::string::npos) << before;
    EXPECT_EQ(before.find("^C"), std::string::npos) << before;
}

// A terminating signal while a key is awaited leaves the terminal usable.
TEST(PlatConsole, TerminalRestoredWhenKilledWhileWaiting) {
    int master = -1;
    pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        put(1, "READY\n");
        plat::_getch();
        _exit(0);
    }
    std::string screen;
    for (int i = 0; i < 200 && screen.find("READY") == std::string::npos; ++i) {
        struct pollfd p = {master, POLLIN, 0};
        char buf[64];
        if (::poll(&p, 1, 10) > 0) {
            ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0) screen.append(buf, static_cast<size_t>(n));
        }
    }
    ::usleep(200000);  // inside _getch now
    struct termios during;
    ASSERT_EQ(::tcgetattr(master, &during), 0);
    EXPECT_EQ(during.c_lflag & (ECHO | ICANON), 0u) << "raw while waiting";
    ::kill(pid, SIGTERM);
    int ws = 0;
    ::waitpid(pid, &ws, 0);
    EXPECT_TRUE(WIFSIGNALED(ws) && WTERMSIG(ws) == SIGTERM);
    struct termios after;
    ASSERT_EQ(::tcgetattr(master, &after), 0);
    EXPECT_EQ(after.c_lflag & (ECHO | ICANON | ISIG), static_cast<tcflag_t>(ECHO | ICANON | ISIG));
    ::close(master);
}

// Without a terminal the keys are the bytes of standard input; the end of
// input gives -1, and _putch writes to standard error.
TEST(PlatConsole, WithoutTerminalKeysComeFromStdin) {
    int in_pipe[2], out_pipe[2], err_pipe[2];
    ASSERT_EQ(::pipe(in_pipe), 0);
    ASSERT_EQ(::pipe(out_pipe), 0);
    ASSERT_EQ(::pipe(err_pipe), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();  // no controlling terminal
        ::dup2(in_pipe[0], 0);
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) ::close(fd);
        std::string keys = key_list(10);
        plat::_putch('*');
        put(1, keys);
        _exit(0);
    }
    ::close(in_pipe[0]);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    const char input[] = "ab\n\r\x7f\x04";
    ASSERT_EQ(::write(in_pipe[1], input, sizeof input - 1), static_cast<ssize_t>(sizeof input - 1));
    ::close(in_pipe[1]);
    ::waitpid(pid, nullptr, 0);
    char buf[256];
    ssize_t n = ::read(out_pipe[0], buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "97 98 13 13 8 26 -1");
    n = ::read(err_pipe[0], buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "*");
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
}

TEST(PlatformSearch, AttributesFollowTheSearchedDirectoryAfterChdir) {
    // A relative search keeps reporting the attributes of its own
    // directory's entries when the caller changes directory meanwhile.
    th::ScratchDir dir;
    th::write_file(dir / "d/.hidden", "h");
    th::write_file(dir / "d/plain", "p");
    char here[plat::PATH_CAP];
    ASSERT_NE(plat::_getcwd(here, sizeof here), nullptr);
    ASSERT_EQ(plat::_chdir(dir.path().c_str()), 0);
    plat::FindData fd;
    plat::FindHandle h = plat::FindFirstFileA("d/*", &fd);
    ASSERT_NE(h, plat::NO_FIND_HANDLE);
    ASSERT_EQ(plat::_chdir("d"), 0);
    std::map<std::string, uint32_t> seen;
    while (plat::FindNextFileA(h, &fd)) seen[fd.cFileName] = fd.dwFileAttributes;
    plat::FindClose(h);
    plat::_chdir(here);
    ASSERT_EQ(seen.count(".hidden"), 1u);
    EXPECT_TRUE(seen[".hidden"] & plat::ATTR_HIDDEN);
    EXPECT_FALSE(seen["plain"] & plat::ATTR_HIDDEN);
}

TEST(PlatformSearch, StatusOfTheEntryJustFoundIsThatFilesOwn) {
    // The status read with a search entry's attributes serves the status
    // call that follows for the same file, and only for it.
    th::ScratchDir dir;
    th::write_file(dir / "one/f", "12345");
    th::write_file(dir / "two/f", "1234567890");
    char here[plat::PATH_CAP];
    ASSERT_NE(plat::_getcwd(here, sizeof here), nullptr);
    ASSERT_EQ(plat::_chdir(dir.path().c_str()), 0);
    plat::FindData fd;
    plat::StatRec st;
    auto find_f = [&](const char* pattern) {
        plat::FindHandle h = plat::FindFirstFileA(pattern, &fd);
        ASSERT_NE(h, plat::NO_FIND_HANDLE);
        while (std::strcmp(fd.cFileName, "f") != 0) ASSERT_NE(plat::FindNextFileA(h, &fd), 0);
        plat::FindClose(h);
    };
    // Entered and read back: the entry's own status.
    find_f("one/*");
    ASSERT_EQ(plat::_chdir("one"), 0);
    ASSERT_NE(plat::_getcwd(fd.cFileName, sizeof fd.cFileName), nullptr);
    ASSERT_EQ(plat::_stat("f", &st), 0);
    EXPECT_EQ(st.size, 5);
    // The same name in another directory is that file.
    ASSERT_EQ(plat::_chdir(".."), 0);
    find_f("one/*");
    ASSERT_EQ(plat::_chdir("two"), 0);
    ASSERT_NE(plat::_getcwd(fd.cFileName, sizeof fd.cFileName), nullptr);
    ASSERT_EQ(plat::_stat("f", &st), 0);
    EXPECT_EQ(st.size, 10);
    // Without a fresh working directory nothing is taken on trust; and a
    // status serves one call: a change after it is seen.
    ASSERT_EQ(plat::_chdir(".."), 0);
    find_f("two/*");
    ASSERT_EQ(plat::_chdir("one"), 0);
    ASSERT_EQ(plat::_stat("f", &st), 0);
    EXPECT_EQ(st.size, 5);
    find_f("*");
    ASSERT_EQ(::truncate("f", 2), 0);
    ASSERT_EQ(plat::_stat((dir.path() + "/one/f").c_str(), &st), 0);
    EXPECT_EQ(st.size, 5);  // the status of the search, as a second stat just after it would say
    ASSERT_EQ(plat::_stat((dir.path() + "/one/f").c_str(), &st), 0);
    EXPECT_EQ(st.size, 2);
    plat::_chdir(here);
}

// ---- temporary files, rename, final paths, the process's start -------------

namespace {

// Names in dir other than "." and "..".
std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> names;
    plat::FindData d;
    plat::FindHandle h = plat::FindFirstFileA((dir + "/*").c_str(), &d);
    if (h == plat::NO_FIND_HANDLE) return names;
    do {
        std::string n = d.cFileName;
        if (n != "." && n != "..") names.push_back(n);
    } while (plat::FindNextFileA(h, &d) != 0);
    plat::FindClose(h);
    return names;
}

}  // namespace

TEST_F(Plat, OpenTempMakesAPrivateNewFileBesideTheGivenPath) {
    th::make_dirs(cwd() + "/sub");
    char first[plat::PATH_CAP];
    int fd = plat::_open_temp("sub\\a.kel", first, sizeof first);
    ASSERT_GE(fd, 0);
    std::string name = first;
    EXPECT_EQ(name.rfind("sub/.", 0), 0u) << name;
    EXPECT_GE(name.size(), std::string("sub/.").size() + 6) << "random characters at the end";
    struct stat st;
    ASSERT_EQ(::stat(first, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(plat::_write(fd, "abc", 3), 3);
    EXPECT_EQ(plat::_close(fd), 0);
    // A second one never takes the first one's name.
    char second[plat::PATH_CAP];
    int fd2 = plat::_open_temp("sub/a.kel", second, sizeof second);
    ASSERT_GE(fd2, 0);
    plat::_close(fd2);
    EXPECT_STRNE(first, second);
    EXPECT_EQ(th::read_file(first), "abc");
    // A bare name: the working directory.
    char bare[plat::PATH_CAP];
    int fd3 = plat::_open_temp("a.kel", bare, sizeof bare);
    ASSERT_GE(fd3, 0);
    plat::_close(fd3);
    EXPECT_EQ(bare[0], '.');
    EXPECT_EQ(std::strchr(bare, '/'), nullptr);
    // No such directory, no room for the name: nothing is made.
    char small[8];
    EXPECT_EQ(plat::_open_temp("missing/a.kel", bare, sizeof bare), -1);
    EXPECT_EQ(plat::_open_temp("a.kel", small, sizeof small), -1);
    EXPECT_EQ(names_in(cwd()).size(), 2u);  // sub and the bare one
    EXPECT_EQ(names_in(cwd() + "/sub").size(), 2u);
}

TEST_F(Plat, OpenTempFailsInADirectoryThatCannotBeWritten) {
    th::make_dirs(cwd() + "/ro");
    ::chmod((cwd() + "/ro").c_str(), 0555);
    int rc = in_child([] {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 2;
        char temp[plat::PATH_CAP];
        return plat::_open_temp("ro/a.kel", temp, sizeof temp) == -1 ? 0 : 1;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(names_in(cwd() + "/ro").empty());
}

TEST_F(Plat, RenameReplacesInOneStep) {
    th::write_file(cwd() + "/new", "new");
    th::write_file(cwd() + "/old", "old");
    ASSERT_EQ(::link("old", "other-name"), 0);
    EXPECT_EQ(plat::_rename("new", ".\\old"), 0);
    EXPECT_EQ(th::read_file(cwd() + "/old"), "new");
    EXPECT_FALSE(th::exists(cwd() + "/new"));
    // The replaced file's other name keeps its content.
    EXPECT_EQ(th::read_file(cwd() + "/other-name"), "old");
    EXPECT_EQ(plat::_rename("missing", "old"), -1);
    EXPECT_EQ(th::read_file(cwd() + "/old"), "new");
}

TEST_F(Plat, FinalPathFollowsLinksOfTheLastComponent) {
    th::make_dirs(cwd() + "/d/e");
    th::write_file(cwd() + "/d/e/target", "t");
    ASSERT_EQ(::symlink("e/target", "d/rel"), 0);            // relative to the link's directory
    ASSERT_EQ(::symlink((cwd() + "/d/rel").c_str(), "abs"), 0);  // a chain through an absolute one
    ASSERT_EQ(::symlink("nowhere", "dangling"), 0);
    ASSERT_EQ(::symlink("loop2", "loop1"), 0);
    ASSERT_EQ(::symlink("loop1", "loop2"), 0);
    char out[plat::PATH_CAP];
    ASSERT_EQ(plat::_final_path("plain", out, sizeof out), 0);
    EXPECT_STREQ(out, "plain");
    ASSERT_EQ(plat::_final_path("d\\rel", out, sizeof out), 0);
    EXPECT_STREQ(out, "d/e/target");
    ASSERT_EQ(plat::_final_path("abs", out, sizeof out), 0);
    EXPECT_EQ(std::string(out), cwd() + "/d/e/target");
    ASSERT_EQ(plat::_final_path("dangling", out, sizeof out), 0);
    EXPECT_STREQ(out, "nowhere");
    EXPECT_EQ(plat::_final_path("loop1", out, sizeof out), -1);
    char small[4];
    EXPECT_EQ(plat::_final_path("d/rel", small, sizeof small), -1);
}

// Ends a child by sig after noting victim (slot 0) and a cleared slot 1;
// returns the child's wait status.
static int status_after_signal(int sig, bool ignore_first) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (ignore_first) ::signal(sig, SIG_IGN);
        plat::prepare_process();
        plat::remove_on_signal(0, "victim");
        plat::remove_on_signal(1, "kept");
        plat::remove_on_signal(1, nullptr);
        ::raise(sig);
        _exit(0);
    }
    int ws = 0;
    ::waitpid(pid, &ws, 0);
    return ws;
}

TEST_F(Plat, SignalsRemoveTheNotedFileAndStillEndTheProcess) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        th::write_file(cwd() + "/victim", "v");
        th::write_file(cwd() + "/kept", "k");
        int ws = status_after_signal(sig, false);
        EXPECT_TRUE(WIFSIGNALED(ws) && WTERMSIG(ws) == sig) << sig;
        EXPECT_FALSE(th::exists(cwd() + "/victim")) << sig;
        EXPECT_TRUE(th::exists(cwd() + "/kept")) << sig;
    }
    // A signal the caller ignores (nohup) stays ignored.
    th::write_file(cwd() + "/victim", "v");
    int ws = status_after_signal(SIGHUP, true);
    EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
    EXPECT_TRUE(th::exists(cwd() + "/victim"));
}

TEST_F(Plat, ClosedStandardDescriptorsAreOpenedOnTheNullDevice) {
    int rc = in_child([] {
        ::close(0);
        ::close(1);
        ::close(2);
        plat::prepare_process();
        struct stat null_st, st;
        if (::stat("/dev/null", &null_st) != 0) return 10;
        for (int fd = 0; fd <= 2; ++fd) {
            if (::fstat(fd, &st) != 0 || st.st_rdev != null_st.st_rdev || !S_ISCHR(st.st_mode)) return 20 + fd;
        }
        // A file opened now never becomes a standard stream.
        int h = plat::_open("f", plat::OF_WRONLY | plat::OF_CREAT);
        return h > 2 ? 0 : 30;
    });
    EXPECT_EQ(rc, 0);
    // Open descriptors are left alone.
    rc = in_child([] {
        int out_before = ::fcntl(1, F_GETFL);
        plat::prepare_process();
        return ::fcntl(1, F_GETFL) == out_before ? 0 : 1;
    });
    EXPECT_EQ(rc, 0);
}
