// Restoring entries and walking archives, run in-process on archives built
// byte by byte: output paths, properties, damaged chunks, unsafe names, and
// every cut and single-byte change of a small archive.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "../cli/archive_builder.h"
#include "archive/header.h"
#include "entries/walk.h"
#include "base/messages.h"
#include "entries/restore.h"
#include "harness.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

// ---- output paths --------------------------------------------------------

struct Resolved {
    bool ok;
    std::string out;
    std::string rel;
    bool climbed;
};

Resolved resolve(const std::string& dir, const std::string& name, int cap = plat::PATH_CAP) {
    std::string out(static_cast<size_t>(cap), '\0');
    std::string rel(static_cast<size_t>(cap), '\0');
    bool climbed = false;
    bool ok = resolve_output_path(dir.c_str(), name.c_str(), &out[0], cap, &rel[0], &climbed);
    return {ok, out.c_str(), rel.c_str(), climbed};
}

TEST(ResolveOutputPath, KeepsEveryNameBelowTheDirectory) {
    struct Case {
        const char* name;
        const char* out;
        const char* rel;
        bool climbed;
    };
    const Case cases[] = {
        {"a/b.txt", "/t/a/b.txt", "a/b.txt", false},
        {"a\\b\\c", "/t/a/b/c", "a/b/c", false},
        {"./a//b/.", "/t/a/b", "a/b", false},
        {"a/../b", "/t/b", "b", false},
        {"a/b/../../c", "/t/c", "c", false},
        {"../evil", "/t/evil", "evil", true},
        {"..\\evil", "/t/evil", "evil", true},
        {"a/../../evil", "/t/evil", "evil", true},
        {"../../../../etc/passwd", "/t/etc/passwd", "etc/passwd", true},
        {"/etc/passwd", "/t/etc/passwd", "etc/passwd", false},
        {"\\\\host\\share\\f", "/t/host/share/f", "host/share/f", false},
        {"..a/b..", "/t/..a/b..", "..a/b..", false},
        {"", "/t", "", false},
        {"/", "/t", "", false},
        {"..", "/t", "", true},
        {"a/..", "/t", "", false},
    };
    for (const Case& c : cases) {
        Resolved r = resolve("/t", c.name);
        EXPECT_TRUE(r.ok) << c.name;
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.rel, c.rel) << c.name;
        EXPECT_EQ(r.climbed, c.climbed) << c.name;
    }
}

TEST(ResolveOutputPath, RootDirectoryAndFieldLimits) {
    EXPECT_EQ(resolve("/", "a/b").out, "/a/b");
    EXPECT_EQ(resolve("/", "../a").out, "/a");
    // Exactly fitting and one byte over.
    EXPECT_TRUE(resolve("/t", "abc", 7).ok);
    EXPECT_EQ(resolve("/t", "abc", 7).out, "/t/abc");
    EXPECT_FALSE(resolve("/t", "abcd", 7).ok);
    // A name longer than a stored name can be is refused, not cut.
    EXPECT_FALSE(resolve("/t", std::string(300, 'n')).ok);
    EXPECT_TRUE(resolve("/t", std::string(255, 'n')).ok);
}

// ---- running a walk in-process ---------------------------------------------

// Sends standard output and error to files while alive (to /dev/null when
// discarding, which keeps the every-offset loops light on the disk).
class Capture {
public:
    Capture(const std::string& dir, bool discard)
        : out_path_(discard ? "/dev/null" : dir + "/.out"), err_path_(discard ? "/dev/null" : dir + "/.err"),
          discard_(discard) {
        std::fflush(stdout);
        std::fflush(stderr);
        saved_out_ = dup(1);
        saved_err_ = dup(2);
        int flags = O_WRONLY | (discard ? 0 : O_CREAT | O_TRUNC);
        int o = open(out_path_.c_str(), flags, 0644);
        int e = open(err_path_.c_str(), flags, 0644);
        dup2(o, 1);
        dup2(e, 2);
        close(o);
        close(e);
    }
    void finish(std::string* out, std::string* err) {
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(saved_out_, 1);
        dup2(saved_err_, 2);
        close(saved_out_);
        close(saved_err_);
        if (discard_) return;
        *out = th::read_file(out_path_);
        *err = th::read_file(err_path_);
        unlink(out_path_.c_str());
        unlink(err_path_.c_str());
    }

private:
    std::string out_path_, err_path_;
    bool discard_;
    int saved_out_ = -1, saved_err_ = -1;
};

struct WalkResult {
    int32_t rc;
    std::string out;
    std::string err;
};

// Reads the header of archive and runs the unpack or list walk with target
// as the working directory, the way the operations do.
WalkResult run_walk(const std::string& archive, const std::string& target, bool unpack,
                    uint32_t flags = 0, bool discard = false) {
    OpContext ctx{};
    ctx.read_handle = -1;
    ctx.write_handle = -1;
    ctx.flags = ORIGIN_KELPARC | flags;
    std::snprintf(ctx.archive_path, sizeof ctx.archive_path, "%s", archive.c_str());
    char pw[PASSWORD_CAP];
    pw[0] = '\0';
    std::string here = fs::current_path().string();
    fs::current_path(target);
    quiet_switch = (flags & OPT_QUIET) ? 1 : 0;
    WalkResult r{};
    {
        Capture cap(fs::path(archive).parent_path().string(), discard);
        r.rc = read_archive_header(&ctx, pw);
        if (r.rc >= 0) {
            r.rc = unpack ? uncompress_walk(&ctx) : list_walk(&ctx);
            plat::_close(ctx.read_handle);
        }
        cap.finish(&r.out, &r.err);
    }
    quiet_switch = 0;
    fs::current_path(here);
    return r;
}

// A scratch area: the archive, the target directory and a sibling that no
// run may touch.
struct Area {
    th::ScratchDir root;
    std::string archive = root / "a.kel";
    std::string target = root / "target";
    std::string sentinel = root / "sentinel";
    Area() {
        th::make_dirs(target);
        th::write_file(sentinel + "/keep", "untouched");
    }
    bool discard = false;
    std::string written;
    void reset_target() {
        if (fs::is_empty(target)) return;
        th::remove_tree(target);
        th::make_dirs(target);
    }
    void write_archive(const std::string& bytes) {
        if (bytes == written && !bytes.empty()) return;
        th::write_file(archive, bytes);
        written = bytes;
    }
    // The names beside the target and inside the sentinel: where an
    // escaping name would land.
    std::set<std::string> outside() const {
        std::set<std::string> names;
        for (auto& e : fs::directory_iterator(root.path())) names.insert(e.path().filename().string());
        for (auto& e : fs::directory_iterator(sentinel)) names.insert("sentinel/" + e.path().filename().string());
        return names;
    }
    WalkResult unpack(const std::string& bytes, uint32_t flags = 0) {
        write_archive(bytes);
        return run_walk(archive, target, true, flags, discard);
    }
    WalkResult list(const std::string& bytes, uint32_t flags = 0) {
        write_archive(bytes);
        return run_walk(archive, target, false, flags, discard);
    }
};

struct stat stat_of(const std::string& path) {
    struct stat st;
    std::memset(&st, 0, sizeof st);
    stat(path.c_str(), &st);
    return st;
}

const long T_PAST = 946684800;  // 2000-01-01

std::string sample_tree_archive() {
    return ab::header() + ab::dir_entry("d") +
           ab::file_entry("d/a.txt", th::make_bytes(1000, 't'), true, 0100600, T_PAST) +
           ab::file_entry("d/big", th::make_bytes(40000, 't', 7), true, 0100644, T_PAST + 60) +
           ab::file_entry("d/raw", th::make_bytes(100, 'r'), false) +
           ab::file_entry("d/empty", "", false, 0100444, T_PAST + 120) + ab::dir_entry("d", true);
}

TEST(RestoreWalk, RestoresTreeWithContentsTimesAndModes) {
    Area a;
    std::string bytes = sample_tree_archive();
    WalkResult r = a.unpack(bytes);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "d\nd/a.txt\nd/big\nd/raw\nd/empty\n\n");
    EXPECT_EQ(th::read_file(a.target + "/d/a.txt"), th::make_bytes(1000, 't'));
    EXPECT_EQ(th::read_file(a.target + "/d/big"), th::make_bytes(40000, 't', 7));
    EXPECT_EQ(th::read_file(a.target + "/d/raw"), th::make_bytes(100, 'r'));
    EXPECT_EQ(th::read_file(a.target + "/d/empty"), "");
    EXPECT_EQ(stat_of(a.target + "/d/a.txt").st_mtime, T_PAST);
    EXPECT_EQ(stat_of(a.target + "/d/a.txt").st_mode & 0777, 0600u);
    EXPECT_EQ(stat_of(a.target + "/d/big").st_mtime, T_PAST + 60);
    EXPECT_EQ(stat_of(a.target + "/d/empty").st_mtime, T_PAST + 120);
    EXPECT_EQ(stat_of(a.target + "/d/empty").st_mode & 0777, 0444u);

    WalkResult l = a.list(bytes);
    EXPECT_EQ(l.rc, 0);
    EXPECT_EQ(l.out, "d\nd/a.txt\nd/big\nd/raw\nd/empty\n\n\n");

    // Restoring again reports the existing directory and replaces the files.
    th::write_file(a.target + "/d/raw", "something else, longer than before ..............");
    chmod((a.target + "/d/empty").c_str(), 0644);
    r = a.unpack(bytes);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "d\n" + a.target + "/d directory is already created \nd/a.txt\nd/big\nd/raw\nd/empty\n\n");
    EXPECT_EQ(th::read_file(a.target + "/d/raw"), th::make_bytes(100, 'r'));
}

TEST(RestoreWalk, QuietWalksPrintNothing) {
    Area a;
    std::string bytes = sample_tree_archive();
    WalkResult r = a.unpack(bytes, OPT_QUIET);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(th::read_file(a.target + "/d/big"), th::make_bytes(40000, 't', 7));
    WalkResult l = a.list(bytes, OPT_QUIET);
    EXPECT_EQ(l.rc, 0);
    EXPECT_EQ(l.out + l.err, "");
}

TEST(RestoreWalk, HeaderOnlyArchive) {
    Area a;
    EXPECT_EQ(a.unpack(ab::header()).out, "\n");
    EXPECT_EQ(a.list(ab::header()).out, "\n");
    // Zero bytes after the last entry are padding: a normal end.
    std::string padded = ab::header() + ab::file_entry("f", "x") + std::string(9, '\0');
    WalkResult r = a.unpack(padded);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out + r.err, "f\n\n");
    WalkResult l = a.list(padded);
    EXPECT_EQ(l.rc, 0);
    EXPECT_EQ(l.out + l.err, "f\n\n");
    // A record length of 0 with anything after it is damage.
    for (const std::string& tail : {std::string("0\0\0\0", 4) + "junk", std::string(8, '\0') + "junk"}) {
        std::string zero = ab::header() + ab::file_entry("g", "x") + tail;
        r = a.unpack(zero);
        EXPECT_EQ(r.rc, -6);
        EXPECT_EQ(r.out, "g\n");
        EXPECT_EQ(r.err, "Error reading from " + a.archive + "\n");
        l = a.list(zero);
        EXPECT_EQ(l.rc, -6);
        EXPECT_EQ(l.out, "g\n");
        EXPECT_EQ(l.err, "Error reading from " + a.archive + "\n");
    }
}

TEST(RestoreWalk, AttributeCharacters) {
    Area a;
    std::string bytes = ab::header() + ab::file_entry("h", "x", false, 0100644, T_PAST, "10") +
                        ab::file_entry("s", "x", false, 0100644, T_PAST, "01") +
                        ab::file_entry("n", "x", false, 0100644, T_PAST, "00");
    WalkResult r = a.unpack(bytes);
    ASSERT_EQ(r.rc, 0) << r.err;
    if (r.err.find("Unable to set attributes") != std::string::npos)
        GTEST_SKIP() << "file system refuses extended attributes";
    uint32_t h = plat::GetFileAttributesA((a.target + "/h").c_str());
    uint32_t s = plat::GetFileAttributesA((a.target + "/s").c_str());
    uint32_t n = plat::GetFileAttributesA((a.target + "/n").c_str());
    EXPECT_EQ(h & 0x26u, 0x22u);
    EXPECT_EQ(s & 0x26u, 0x24u);
    EXPECT_EQ(n & 0x26u, 0u);
    EXPECT_EQ(stat_of(a.target + "/h").st_mtime, T_PAST);
}

TEST(RestoreWalk, HiddenSkipAndClosingRecords) {
    Area a;
    ab::Fields f;
    f.flags = ab::RAW | ab::HIDDEN_SKIP;
    f.clen = 3;
    f.size = 3;
    std::string bytes = ab::header() + ab::record("ghost", f) + "abc" + ab::file_entry("f", "x") +
                        ab::dir_entry("closing", true);
    WalkResult r = a.unpack(bytes);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "f\n\n");
    EXPECT_FALSE(th::exists(a.target + "/ghost"));
    EXPECT_FALSE(th::exists(a.target + "/closing"));
    EXPECT_EQ(a.list(bytes).out, "\nf\n\n\n");
}

TEST(RestoreWalk, DirectoryDataIsPassedOverAsTheListingDoes) {
    Area a;
    ab::Fields f;
    f.mode = 040755;
    f.flags = ab::RAW;
    f.clen = 5;
    std::string bytes = ab::header() + ab::record("dd", f) + "XXXXX" + ab::file_entry("f", "y");
    WalkResult r = a.unpack(bytes);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, "dd\nf\n\n");
    EXPECT_EQ(th::read_file(a.target + "/f"), "y");
    EXPECT_EQ(a.list(bytes).out, "dd\nf\n\n");
}

TEST(RestoreWalk, RecordTextWithoutNulAndWideTimes) {
    Area a;
    // R counts the text only: the record ends at its length, not at a NUL.
    std::string text = std::string("f\x04") + "33188 2 1 1000 1000 1000 1 0";
    std::string bytes = ab::header() + ab::record_len_field(text.size()) + text + "x";
    // A time beyond 2038 needs all 64 bits.
    bytes += ab::file_entry("late", "y", false, 0100644, 4102444800L);
    WalkResult r = a.unpack(bytes);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(th::read_file(a.target + "/f"), "x");
    EXPECT_EQ(stat_of(a.target + "/f").st_mtime, 1000);
    EXPECT_EQ(stat_of(a.target + "/late").st_mtime, 4102444800L);
    EXPECT_EQ(a.list(bytes).out, "f\nlate\n\n");
}

// ---- damaged chunks ----------------------------------------------------------

TEST(RestoreWalk, DamagedChunksDeleteThePartialFile) {
    Area a;
    const std::string corrupt = "Corrupt compressed data in " + a.target + "/f\n";
    // The first code (9 bits, all ones) is above the next free code.
    std::string bad_lzw = std::string("\x1f\x9d\x8c\xff\xff\xff\xff", 7);
    ab::Fields f;
    f.clen = static_cast<long>(bad_lzw.size());
    f.size = 100;
    WalkResult r = a.unpack(ab::header() + ab::record("f", f) + bad_lzw);
    EXPECT_EQ(r.rc, -6);
    EXPECT_EQ(r.err, corrupt);
    EXPECT_FALSE(th::exists(a.target + "/f"));

    // A chunk longer than the transfer buffer, raw.
    f.flags = ab::RAW;
    f.clen = 20000;
    r = a.unpack(ab::header() + ab::record("f", f) + std::string(20000, 'z'));
    EXPECT_EQ(r.rc, -6);
    EXPECT_EQ(r.err, corrupt);
    EXPECT_FALSE(th::exists(a.target + "/f"));
    // Passing over it needs no bound.
    EXPECT_EQ(a.list(ab::header() + ab::record("f", f) + std::string(20000, 'z')).rc, 0);

    // A negative first length: refused when restoring and when passing over.
    f.clen = -5;
    r = a.unpack(ab::header() + ab::record("f", f) + "abcde");
    EXPECT_EQ(r.rc, -6);
    EXPECT_EQ(r.err, corrupt);
    EXPECT_FALSE(th::exists(a.target + "/f"));
    EXPECT_EQ(a.list(ab::header() + ab::record("f", f) + "abcde").rc, -6);

    // A negative length in a linked header, after a good first chunk.
    f.flags = ab::RAW | ab::MORE;
    f.clen = 3;
    std::string neg_linked = ab::header() + ab::record("f", f) + "abc" + ab::linked_header(-9, ab::RAW);
    r = a.unpack(neg_linked);
    EXPECT_EQ(r.rc, -6);
    EXPECT_EQ(r.err, corrupt);
    EXPECT_FALSE(th::exists(a.target + "/f"));
    EXPECT_EQ(a.list(neg_linked).rc, -6);

    // The linked header is missing.
    r = a.unpack(ab::header() + ab::record("f", f) + "abc");
    EXPECT_EQ(r.rc, -14);
    EXPECT_EQ(r.err, "Error reading linked header data.\n");
    EXPECT_FALSE(th::exists(a.target + "/f"));

    // The chunk is cut short.
    f.flags = ab::RAW;
    f.clen = 10;
    r = a.unpack(ab::header() + ab::record("f", f) + "abc");
    EXPECT_EQ(r.rc, -6);
    EXPECT_EQ(r.err, "Error reading from " + a.archive + "\n");
    EXPECT_FALSE(th::exists(a.target + "/f"));
}

TEST(RestoreWalk, LongNamesAndBadRecordLengths) {
    Area a;
    std::string long_name = ab::header() + ab::file_entry(std::string(300, 'n'), "x");
    WalkResult r = a.unpack(long_name);
    EXPECT_EQ(r.rc, -6);
    EXPECT_EQ(r.err, "Error reading from " + a.archive + "\n");
    WalkResult l = a.list(long_name);
    EXPECT_EQ(l.rc, -6);
    EXPECT_EQ(l.out, "");
    EXPECT_EQ(l.err, "Error reading from " + a.archive + "\n");
    EXPECT_TRUE(fs::is_empty(a.target));

    // A record length that reads as negative.
    std::string neg = ab::header() + std::string("-12\0", 4) + std::string(40, 'q');
    r = a.unpack(neg);
    EXPECT_EQ(r.rc, -6);
    EXPECT_EQ(r.err, "Error reading from " + a.archive + "\n");
    EXPECT_EQ(a.list(neg).rc, -6);
}

TEST(RestoreWalk, OutputOverFifoIsRefused) {
    Area a;
    ASSERT_EQ(mkfifo((a.target + "/f").c_str(), 0644), 0);
    // A reader on the FIFO turns a blocking open into a wrong success
    // instead of a hang of the test.
    int reader = open((a.target + "/f").c_str(), O_RDONLY | O_NONBLOCK);
    WalkResult r = a.unpack(ab::header() + ab::file_entry("f", "data"));
    close(reader);
    EXPECT_EQ(r.rc, -12);
    EXPECT_EQ(r.err, "Error creating or opening " + a.target + "/f\n");
}

// ---- unsafe names -------------------------------------------------------------

TEST(RestoreWalk, UnsafeNamesLandInsideTheTarget) {
    Area a;
    th::write_file(a.archive, "");
    std::set<std::string> before = a.outside();
    std::string bytes = ab::header() + ab::file_entry("../evil1", "1") + ab::file_entry("..\\evil2", "2") +
                        ab::file_entry("/evil3", "3") + ab::file_entry("x/../../evil4", "4") +
                        ab::file_entry("../sentinel/keep", "overwritten?");
    WalkResult r = a.unpack(bytes);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err,
              "Unsafe path ../evil1 restored as evil1\n"
              "Unsafe path ..\\evil2 restored as evil2\n"
              "Unsafe path x/../../evil4 restored as evil4\n"
              "Unsafe path ../sentinel/keep restored as sentinel/keep\n");
    // sentinel/ is made inside the target.
    EXPECT_EQ(th::read_file(a.target + "/sentinel/keep"), "overwritten?");
    EXPECT_EQ(th::read_file(a.target + "/evil1"), "1");
    EXPECT_EQ(th::read_file(a.target + "/evil2"), "2");
    EXPECT_EQ(th::read_file(a.target + "/evil3"), "3");
    EXPECT_EQ(th::read_file(a.target + "/evil4"), "4");
    EXPECT_EQ(th::read_file(a.sentinel + "/keep"), "untouched");
    EXPECT_EQ(a.outside(), before);
    // The listing shows the names as stored.
    EXPECT_EQ(a.list(bytes).out, "../evil1\n..\\evil2\n/evil3\nx/../../evil4\n../sentinel/keep\n\n");
}

TEST(RestoreWalk, NamesThatResolveToTheTargetItself) {
    Area a;
    WalkResult r = a.unpack(ab::header() + ab::dir_entry("..") + ab::dir_entry("/") + ab::dir_entry("..", true));
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, "Unsafe path .. restored as \n");
    EXPECT_EQ(r.out, "..\n" + a.target + " directory is already created \n/\n" + a.target +
                         " directory is already created \n\n");
    r = a.unpack(ab::header() + ab::file_entry("../", "x"));
    EXPECT_EQ(r.rc, -12);
    EXPECT_EQ(r.err, "Unsafe path ../ restored as \nError creating or opening " + a.target + "\n");
    EXPECT_TRUE(fs::is_directory(a.target));
}

// ---- parent directories and directory properties -----------------------------

// A directory record with its own mode and times.
std::string dir_record(const std::string& name, bool closing, long mode, long mtime, long extra_flags = 0) {
    ab::Fields f;
    f.mode = mode;
    f.flags = (closing ? ab::DIR_END : 0) | extra_flags;
    f.size = 4096;
    f.atime = mtime - 60;
    f.mtime = mtime;
    f.ctime = mtime;
    return ab::record(name, f);
}

// Sets a path's mode and both times, as a user's own directory would have them.
void set_dir(const std::string& path, mode_t mode, time_t t) {
    chmod(path.c_str(), mode);
    struct timespec times[2] = {{t, 0}, {t, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

TEST(RestoreWalk, MissingParentsAreMadeSilently) {
    Area a;
    std::string bytes = ab::header() + ab::dir_entry("/abs/x/dir") + ab::file_entry("/abs/x/dir/f", "1") +
                        ab::dir_entry("/abs/x/dir", true) + ab::file_entry("p/q/r.txt", "2") +
                        ab::dir_entry("m\\n") + ab::file_entry("./s//t/../u", "3");
    WalkResult r = a.unpack(bytes);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "/abs/x/dir\n/abs/x/dir/f\np/q/r.txt\nm\\n\n./s//t/../u\n\n");
    EXPECT_EQ(th::read_file(a.target + "/abs/x/dir/f"), "1");
    EXPECT_EQ(th::read_file(a.target + "/p/q/r.txt"), "2");
    EXPECT_TRUE(fs::is_directory(a.target + "/m/n"));
    EXPECT_EQ(th::read_file(a.target + "/s/u"), "3");
    EXPECT_FALSE(th::exists(a.target + "/s/t"));
}

TEST(RestoreWalk, ParentThatCannotBeMadeIsNamed) {
    Area a;
    th::write_file(a.target + "/blocker", "mine");
    WalkResult r = a.unpack(ab::header() + ab::file_entry("blocker/deep/f", "x"));
    EXPECT_EQ(r.rc, -11);
    EXPECT_EQ(r.err, "Could not create " + a.target + "/blocker\n");
    r = a.unpack(ab::header() + ab::dir_entry("blocker/sub"));
    EXPECT_EQ(r.rc, -11);
    EXPECT_EQ(r.err, "Could not create " + a.target + "/blocker\n");
    // A directory that cannot be made itself is named by its output path.
    th::make_dirs(a.target + "/ro");
    chmod((a.target + "/ro").c_str(), 0555);
    if (!th::running_as_root()) {
        r = a.unpack(ab::header() + ab::dir_entry("ro/sub"));
        EXPECT_EQ(r.rc, -11);
        EXPECT_EQ(r.err, "Could not create " + a.target + "/ro/sub\n");
    }
    chmod((a.target + "/ro").c_str(), 0755);
    EXPECT_EQ(th::read_file(a.target + "/blocker"), "mine");
    // A directory record naming an existing file is reported as before and
    // its closing record leaves the file alone.
    set_dir(a.target + "/blocker", 0644, T_PAST);
    r = a.unpack(ab::header() + dir_record("blocker", false, 040700, T_PAST + 99) +
                 dir_record("blocker", true, 040700, T_PAST + 99));
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "blocker\n" + a.target + "/blocker directory is already created \n\n");
    EXPECT_EQ(stat_of(a.target + "/blocker").st_mtime, T_PAST);
    EXPECT_EQ(stat_of(a.target + "/blocker").st_mode & 0777, 0644u);
}

TEST(RestoreWalk, DirectoryPropertiesComeWithTheClosingRecord) {
    Area a;
    mode_t old_mask = umask(022);
    std::string bytes = ab::header() + dir_record("top", false, 040750, 1) +
                        ab::file_entry("top/f", "x", false, 0100644, T_PAST) +
                        dir_record("top/sub", false, 040700, 1) + ab::file_entry("top/sub/g", "y") +
                        dir_record("top/sub", true, 040755, T_PAST + 10) +
                        dir_record("top/e", false, 040705, 1) + dir_record("top/e", true, 040755, T_PAST + 20) +
                        dir_record("top", true, 040755, T_PAST + 30);
    WalkResult r = a.unpack(bytes);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "top\ntop/f\ntop/sub\ntop/sub/g\ntop/e\n\n");
    // Times from the closing records, modes from the opening ones.
    EXPECT_EQ(stat_of(a.target + "/top/sub").st_mtime, T_PAST + 10);
    EXPECT_EQ(stat_of(a.target + "/top/sub").st_atime, T_PAST + 10 - 60);
    EXPECT_EQ(stat_of(a.target + "/top/sub").st_mode & 0777, 0700u);
    EXPECT_EQ(stat_of(a.target + "/top/e").st_mtime, T_PAST + 20);
    EXPECT_EQ(stat_of(a.target + "/top/e").st_mode & 0777, 0705u);
    EXPECT_EQ(stat_of(a.target + "/top").st_mtime, T_PAST + 30);
    EXPECT_EQ(stat_of(a.target + "/top").st_mode & 0777, 0750u);
    EXPECT_EQ(th::read_file(a.target + "/top/sub/g"), "y");

    // Directories that exist already get them too.
    set_dir(a.target + "/top", 0755, T_PAST + 5000);
    set_dir(a.target + "/top/sub", 0777, T_PAST + 5000);
    r = a.unpack(bytes);
    EXPECT_EQ(r.rc, 0);
    EXPECT_NE(r.out.find(a.target + "/top/sub directory is already created \n"), std::string::npos);
    EXPECT_EQ(stat_of(a.target + "/top/sub").st_mtime, T_PAST + 10);
    EXPECT_EQ(stat_of(a.target + "/top/sub").st_mode & 0777, 0700u);
    EXPECT_EQ(stat_of(a.target + "/top").st_mtime, T_PAST + 30);
    EXPECT_EQ(stat_of(a.target + "/top").st_mode & 0777, 0750u);
    umask(old_mask);
}

TEST(RestoreWalk, ClosingRecordsWithoutTheirOpeningOnesChangeNothing) {
    Area a;
    th::make_dirs(a.target + "/d");
    th::make_dirs(a.target + "/h");
    set_dir(a.target + "/d", 0755, T_PAST);
    set_dir(a.target + "/h", 0755, T_PAST);
    set_dir(a.target, 0755, T_PAST);
    // A closing record alone; one whose opening record was passed over; the
    // target itself under two spellings.
    std::string bytes = ab::header() + dir_record("d", true, 040700, T_PAST + 1) +
                        dir_record("h", false, 040700, 1, ab::HIDDEN_SKIP) + dir_record("h", true, 040700, T_PAST + 2) +
                        dir_record(".", false, 040700, 1) + dir_record(".", true, 040700, T_PAST + 3) +
                        dir_record("..", false, 040700, 1) + dir_record("..", true, 040700, T_PAST + 4);
    WalkResult r = a.unpack(bytes);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, ".\n" + a.target + " directory is already created \n..\n" + a.target +
                         " directory is already created \n\n");
    EXPECT_EQ(r.err, "Unsafe path .. restored as \n");
    for (const std::string& p : {a.target + "/d", a.target + "/h", a.target}) {
        EXPECT_EQ(stat_of(p).st_mtime, T_PAST) << p;
        EXPECT_EQ(stat_of(p).st_mode & 0777, 0755u) << p;
    }

    // A directory behind the user's own symbolic link out of the target is
    // not restored, and keeps its mode and times.
    set_dir(a.sentinel, 0755, T_PAST);
    ASSERT_EQ(symlink(a.sentinel.c_str(), (a.target + "/ln").c_str()), 0);
    r = a.unpack(ab::header() + dir_record("ln", false, 040700, 1) + dir_record("ln", true, 040700, T_PAST + 9));
    EXPECT_EQ(r.rc, -12);
    EXPECT_EQ(r.err, "Not restoring " + a.target + "/ln: a symbolic link leads out of the target\n");
    EXPECT_EQ(stat_of(a.sentinel).st_mtime, T_PAST);
    EXPECT_EQ(stat_of(a.sentinel).st_mode & 0777, 0755u);

    // An opening record whose closing record never came is forgotten when
    // its parent closes; its late closing record changes nothing.
    a.reset_target();
    bytes = ab::header() + dir_record("a", false, 040755, 1) + dir_record("a/lost", false, 040700, 1) +
            ab::file_entry("a/lost/f", "x") + dir_record("a", true, 040755, T_PAST + 5) +
            dir_record("a/lost", true, 040700, T_PAST + 6);
    r = a.unpack(bytes);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(stat_of(a.target + "/a").st_mtime, T_PAST + 5);
    EXPECT_NE(stat_of(a.target + "/a/lost").st_mtime, T_PAST + 6);
    EXPECT_NE(stat_of(a.target + "/a/lost").st_mode & 0777, 0700u);
}

// ---- every cut, every byte ------------------------------------------------------

// Runs both walks over bytes and checks that nothing escaped the target.
void walk_both_and_check(Area& a, const std::string& bytes, const std::set<std::string>& before,
                         const std::string& what) {
    a.reset_target();
    a.discard = true;
    WalkResult r = a.unpack(bytes);
    EXPECT_LE(r.rc, 1) << what;
    WalkResult l = a.list(bytes);
    EXPECT_LE(l.rc, 1) << what;
    a.discard = false;
    EXPECT_EQ(a.outside(), before) << what;
    EXPECT_EQ(th::read_file(a.sentinel + "/keep"), "untouched") << what;
}

std::string small_archive() {
    return ab::header() + ab::dir_entry("d") + ab::file_entry("d/t.txt", th::make_bytes(300, 't'), true) +
           ab::file_entry("d/r", th::make_bytes(40, 'r')) + ab::file_entry("../up", "u") +
           ab::file_entry("d/e", "") + ab::dir_entry("d", true);
}

TEST(Hostile, SmallArchiveCutAtEveryOffset) {
    Area a;
    std::string full = small_archive();
    th::write_file(a.archive, full);
    std::set<std::string> before = a.outside();
    for (size_t cut = 0; cut <= full.size(); ++cut) {
        walk_both_and_check(a, full.substr(0, cut), before, "cut at " + std::to_string(cut));
        if (HasFailure()) break;
    }
    // The whole archive restores cleanly.
    a.reset_target();
    WalkResult r = a.unpack(full);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(th::read_file(a.target + "/d/t.txt"), th::make_bytes(300, 't'));
}

TEST(Hostile, SmallArchiveEveryByteChanged) {
    Area a;
    std::string full = small_archive();
    th::write_file(a.archive, full);
    std::set<std::string> before = a.outside();
    const char values[] = {'\0', '\xff', '9', '-'};
    // Every value in the header and the first records, one value per byte
    // (in turn) over the rest.
    for (size_t at = 0; at < full.size(); ++at) {
        for (size_t k = 0; k < 4; ++k) {
            char v = values[at < 100 ? k : (at + k) % 4];
            if (full[at] == v) continue;
            std::string bytes = full;
            bytes[at] = v;
            walk_both_and_check(a, bytes, before, "byte " + std::to_string(at) + " = " + std::to_string(v));
            if (at >= 100) break;
        }
        if (HasFailure()) break;
    }
}

TEST(Hostile, MultiChunkArchiveCutsSampled) {
    Area a;
    std::string full = ab::header() + ab::file_entry("big", th::make_bytes(60000, 't', 3), true) +
                       ab::file_entry("mixed", th::make_bytes(20000, 'r', 4), true);
    th::write_file(a.archive, full);
    std::set<std::string> before = a.outside();
    for (size_t cut = 0; cut <= full.size(); cut += (cut % 97 == 0 ? 13 : 97)) {
        walk_both_and_check(a, full.substr(0, cut), before, "cut at " + std::to_string(cut));
        if (HasFailure()) break;
    }
    // Damage inside each chunk: the file is refused or restored, never grown
    // past its chunks.
    for (size_t at = 40; at < full.size(); at += 1531) {
        std::string bytes = full;
        bytes[at] = static_cast<char>(bytes[at] ^ 0x5a);
        walk_both_and_check(a, bytes, before, "xor at " + std::to_string(at));
    }
}

}  // namespace
