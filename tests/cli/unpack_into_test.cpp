// Unpacking into folders that lack the stored parents, over directories and
// files that are already there, and next to the archive being read: missing
// parents are made silently, directories get back their times and modes,
// the archive is never written over.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "archive_builder.h"
#include "harness.h"

namespace fs = std::filesystem;

namespace {

const std::string offset_line = "offset = 0, offset = 0\n";
const time_t T_PAST = 946684800;  // 2000-01-01

struct stat stat_of(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st;
}

void set_times(const std::string& path, time_t t) {
    struct timespec times[2] = {{t - 60, 0}, {t, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// A source tree, an archive of it and an empty folder to unpack into.
struct Area {
    th::ScratchDir root;
    std::string src = root / "src";
    std::string dest = root / "dest";
    std::string archive = root / "a.kel";
    Area() {
        th::make_dirs(src);
        th::make_dirs(dest);
    }
    th::RunResult pack(const std::vector<std::string>& args) {
        std::vector<std::string> all = args;
        all.push_back(th::native_path(archive));
        return ab::run_in(src, all);
    }
    th::RunResult unpack(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"-u"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(th::native_path(archive));
        return ab::run_in(dest, args);
    }
    std::string announced() const {
        return ab::banner + offset_line + "Uncompressing " + th::native_path(archive) + " ...\n";
    }
};

TEST(UnpackInto, NestedStoredPathIntoAnEmptyFolder) {
    Area a;
    th::write_file(a.src + "/nest/a/b/f.txt", "one");
    th::write_file(a.src + "/nest/a/b/c/g.txt", "two");
    th::write_file(a.src + "/nest/a/other.txt", "not stored");
    ASSERT_EQ(a.pack({"-q", "-r", "nest/a/b"}).status, 0);
    auto r = a.unpack();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // The parents nest and nest/a are made without a word.
    EXPECT_EQ(r.out, a.announced() + "nest/a/b\nnest/a/b/f.txt\nnest/a/b/c\nnest/a/b/c/g.txt\n\n");
    EXPECT_EQ(th::read_file(a.dest + "/nest/a/b/f.txt"), "one");
    EXPECT_EQ(th::read_file(a.dest + "/nest/a/b/c/g.txt"), "two");
    EXPECT_FALSE(th::exists(a.dest + "/nest/a/other.txt"));
    EXPECT_EQ(th::shell("diff -r '" + a.src + "/nest/a/b' '" + a.dest + "/nest/a/b'"), 0);
}

TEST(UnpackInto, AbsoluteDirectoryIntoAnEmptyFolder) {
    Area a;
    th::write_file(a.src + "/tree/x.txt", th::make_bytes(20000, 't'));
    th::write_file(a.src + "/tree/sub/y.bin", th::make_bytes(300, 'r'));
    // On Windows the absolute name has its drive, which lands below the
    // target as well.
    ASSERT_EQ(a.pack({"-q", "-r", th::native_path(a.src + "/tree")}).status, 0);
    fs::rename(a.src + "/tree", a.root / "orig");
    auto r = a.unpack({"-q"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, ab::banner + offset_line);
    // The absolute name lands below the target, parents and all, and
    // nothing is written where it points.
    EXPECT_EQ(th::shell("diff -r '" + a.root / "orig" + "' '" + a.dest + a.src + "/tree'"), 0);
    EXPECT_FALSE(th::exists(a.src + "/tree"));
}

TEST(UnpackInto, ParentThatCannotBeMadeIsReported) {
    Area a;
    th::write_file(a.src + "/p/q/f.txt", "x");
    ASSERT_EQ(a.pack({"-q", "-r", "p/q"}).status, 0);
    th::write_file(a.dest + "/p", "a file where a directory is needed");
    auto r = a.unpack();
    EXPECT_EQ(r.status, th::status_of(-11));
    EXPECT_EQ(r.err, "Could not create " + th::output_path(a.dest, "p") + "\n");
    EXPECT_EQ(th::read_file(a.dest + "/p"), "a file where a directory is needed");
}

TEST(UnpackInto, DirectoryTimesAndModesComeBack) {
    Area a;
    umask(022);
    th::write_file(a.src + "/top/f.txt", "f");
    th::write_file(a.src + "/top/private/g.txt", "g");
    th::make_dirs(a.src + "/top/empty");
    chmod((a.src + "/top/private").c_str(), 0700);
    chmod((a.src + "/top").c_str(), 0750);
    set_times(a.src + "/top/private", T_PAST + 100);
    set_times(a.src + "/top/empty", T_PAST + 200);
    set_times(a.src + "/top", T_PAST + 300);
    ASSERT_EQ(a.pack({"-q", "-r", "top"}).status, 0);
    auto r = a.unpack();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (const char* rel : {"top", "top/private", "top/empty"}) {
        struct stat want = stat_of(a.src + "/" + rel);
        struct stat got = stat_of(a.dest + "/" + rel);
        EXPECT_EQ(got.st_mtime, want.st_mtime) << rel;
        EXPECT_EQ(got.st_atime, want.st_atime) << rel;
        EXPECT_EQ(got.st_mode & 0777, th::restored_perms(true, want.st_mode & 0777)) << rel;
    }
    EXPECT_EQ(stat_of(a.dest + "/top/private").st_mode & 0777, th::restored_perms(true, 0700));

    // Over directories that exist already, with other times and modes: the
    // archive's come back, and each is reported as before.
    chmod((a.dest + "/top/private").c_str(), 0777);
    set_times(a.dest + "/top/private", T_PAST + 5000);
    set_times(a.dest + "/top", T_PAST + 5000);
    r = a.unpack({"-s"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, a.announced() + "top\n" + th::output_path(a.dest, "top") + " directory is already created \n" +
                         "Skipping top/f.txt\ntop/empty\n" + th::output_path(a.dest, "top/empty") +
                         " directory is already created \ntop/private\n" + th::output_path(a.dest, "top/private") +
                         " directory is already created \n" +
                         "Skipping top/private/g.txt\n\n");
    EXPECT_EQ(stat_of(a.dest + "/top/private").st_mtime, T_PAST + 100);
    // Windows restores only read-only: an existing directory keeps its other
    // permission bits.
    EXPECT_EQ(stat_of(a.dest + "/top/private").st_mode & 0777, th::windows_target() ? 0777u : 0700u);
    EXPECT_EQ(stat_of(a.dest + "/top").st_mtime, T_PAST + 300);
}

TEST(UnpackInto, CutArchiveWithAClosingRecordOnlyChangesNothing) {
    Area a;
    th::make_dirs(a.dest + "/d");
    chmod((a.dest + "/d").c_str(), 0755);
    set_times(a.dest + "/d", T_PAST);
    // What is left of an archive cut before the closing record of d, and
    // one that holds that closing record alone.
    std::string opening = ab::header() + ab::dir_entry("d", false, 040700) + ab::file_entry("d/f", "x");
    th::write_file(a.archive, ab::header() + ab::dir_entry("d", true, 040700));
    auto r = a.unpack();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, a.announced() + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(stat_of(a.dest + "/d").st_mtime, T_PAST);
    EXPECT_EQ(stat_of(a.dest + "/d").st_mode & 0777, 0755u);
    th::write_file(a.archive, opening);
    r = a.unpack();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(stat_of(a.dest + "/d").st_mode & 0777, 0755u);
    EXPECT_EQ(th::read_file(a.dest + "/d/f"), "x");
}

TEST(UnpackInto, EntryThatIsTheArchiveBeingRead) {
    th::ScratchDir dir;
    // Entries named like the archive, directly and through a climb that
    // resolves to it; then the same archive read through a hard link.
    std::string bytes = ab::header() + ab::file_entry("first", "1") + ab::file_entry("a.kel", "overwritten");
    th::write_file(dir / "a.kel", bytes);
    auto r = ab::run_in(dir.path(), {"-u", "a.kel"});
    EXPECT_EQ(r.status, th::status_of(-12));
    EXPECT_EQ(r.err, "Error creating or opening " + th::output_path(dir.path(), "a.kel") + "\n");
    EXPECT_EQ(th::read_file(dir / "a.kel"), bytes);
    EXPECT_EQ(th::read_file(dir / "first"), "1");

    std::string climb = ab::header() + ab::file_entry("x/../a.kel", "overwritten");
    th::write_file(dir / "a.kel", climb);
    th::make_dirs(dir / "x");
    r = ab::run_in(dir.path(), {"-u", "a.kel"});
    EXPECT_EQ(r.status, th::status_of(-12));
    EXPECT_EQ(th::read_file(dir / "a.kel"), climb);

    // The archive is also in/link.kel, and that is the name of the entry.
    std::string linked = ab::header() + ab::file_entry("link.kel", "overwritten");
    th::write_file(dir / "a.kel", linked);
    th::make_dirs(dir / "in");
    ASSERT_EQ(link((dir / "a.kel").c_str(), (dir / "in/link.kel").c_str()), 0);
    r = ab::run_in(dir.path(), {"-u", "-cin", th::native_path(dir / "a.kel")});
    EXPECT_EQ(r.status, th::status_of(-12)) << r.err;
    EXPECT_EQ(r.err, "Error creating or opening " + th::output_path(dir / "in", "link.kel") + "\n");
    EXPECT_EQ(th::read_file(dir / "a.kel"), linked);
}

}  // namespace
