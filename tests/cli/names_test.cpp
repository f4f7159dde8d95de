// Names the archive format cannot carry, and names that would reach the
// terminal as control sequences.
//
// A listed name holding '\' would be split into other path components by
// the platform, so it is skipped; a name holding 0x04 would end the record's
// name early; both give "Name cannot be stored, skipping".  Wherever a name
// is printed, control bytes are shown as escapes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "write_support.h"

namespace {

th::RunResult run_in(const std::string& dir, const std::vector<std::string>& args) {
    th::RunOptions opt;
    opt.cwd = dir;
    opt.stdin_null = true;
    return th::run_kelparc(args, opt);
}

std::string skip_line(const std::string& shown) { return "Name cannot be stored, skipping " + shown + "\n"; }

// A tree whose listed names, read with '\' as a separator, point outside
// it: to the file outside/secret.txt and the directory outside.
struct BackslashTree {
    th::ScratchDir root;
    std::string work = root / "work";
    BackslashTree() {
        th::write_file(root / "outside/secret.txt", "SECRET-OUTSIDE");
        th::write_file(work + "/src/..\\..\\outside\\secret.txt", "planted");
        th::write_file(work + "/src/..\\..\\outside/inner.txt", "inner");
        th::write_file(work + "/src/ok.txt", "ok");
    }
};

TEST(Names, ListedNamesWithBackslashAreNeverSplit) {
    SKIP_UNDER_WINE("a name holding '\\' cannot exist on Windows, where '\\' separates components");
    BackslashTree t;
    auto r = run_in(t.work, {"-r", "--keep-going", "src", "out.kel"});
    EXPECT_EQ(r.status, th::status_of(-4));
    // The directory ..\..\outside sorts before the file ..\..\outside\secret.txt.
    EXPECT_EQ(r.err, skip_line("src/..\\..\\outside") + skip_line("src/..\\..\\outside\\secret.txt"));
    EXPECT_EQ(r.out, wt::BANNER + "src/ok.txt\n");
    std::string a = th::read_file(t.work + "/out.kel");
    EXPECT_EQ(wt::names_of(wt::parse_archive(a)), (std::vector<std::string>{"src", "src/ok.txt", "src(end)"}));
    EXPECT_EQ(a.find("SECRET-OUTSIDE"), std::string::npos);
    EXPECT_EQ(a.find("inner"), std::string::npos);
}

TEST(Names, PatternMatchesWithBackslashAreSkipped) {
    SKIP_UNDER_WINE("a name holding '\\' cannot exist on Windows, where '\\' separates components");
    BackslashTree t;
    auto r = run_in(t.work, {"--keep-going", "src/*", "out.kel"});
    EXPECT_EQ(r.status, th::status_of(-4));
    EXPECT_EQ(r.err, skip_line("src/..\\..\\outside") + skip_line("src/..\\..\\outside\\secret.txt"));
    EXPECT_EQ(r.out, wt::BANNER + "ok.txt\n");
    std::string a = th::read_file(t.work + "/out.kel");
    EXPECT_EQ(wt::names_of(wt::parse_archive(a)), (std::vector<std::string>{"ok.txt"}));
    EXPECT_EQ(a.find("SECRET-OUTSIDE"), std::string::npos);
    // A backslash typed by the user still separates directories.
    r = run_in(t.work, {"-w", "src\\ok.txt", "out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, wt::BANNER + "ok.txt\n");
}

TEST(Names, NamesHolding0x04AreNeverStored) {
    SKIP_UNDER_WINE("Windows names cannot hold control bytes (Wine shows such Linux names under other names)");
    th::ScratchDir dir;
    const std::string odd = std::string("x\x04") + "33188 0 4 0 0 0 4 0";
    th::write_file(dir / "src/" + odd, "data");
    th::write_file(dir / "src/keep", "k");
    th::write_file(dir / "d\x04/inside", "i");
    th::write_file(dir / "plain\x04", "p");
    std::string shown = "x\\00433188 0 4 0 0 0 4 0";
    // From a directory listing, from a pattern, typed by name, and a
    // directory typed by name with -r (nothing inside it is stored either).
    auto r = run_in(dir.path(), {"-r", "--keep-going", "src", "d\x04", "plain\x04", "out.kel"});
    EXPECT_EQ(r.status, th::status_of(-4));
    EXPECT_EQ(r.err, skip_line("src/" + shown) + skip_line("d\\004") + skip_line("plain\\004"));
    EXPECT_EQ(r.out, wt::BANNER + "src/keep\n");
    EXPECT_EQ(wt::names_of(wt::parse_archive(th::read_file(dir / "out.kel"))),
              (std::vector<std::string>{"src", "src/keep", "src(end)"}));
    r = run_in(dir.path(), {"-w", "--keep-going", "src/*", "out.kel"});
    EXPECT_EQ(r.status, th::status_of(-4));
    EXPECT_EQ(r.err, skip_line("src/" + shown));
    EXPECT_EQ(wt::names_of(wt::parse_archive(th::read_file(dir / "out.kel"))), (std::vector<std::string>{"keep"}));
    // Only the stored name counts: without -r the directory part is not stored.
    r = run_in(dir.path(), {"-w", "d\x04/inside", "out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(wt::names_of(wt::parse_archive(th::read_file(dir / "out.kel"))), (std::vector<std::string>{"inside"}));
}

TEST(Names, ControlBytesArePrintedEscaped) {
    SKIP_UNDER_WINE("Windows names cannot hold control bytes (Wine shows such Linux names under other names)");
    th::ScratchDir dir;
    const std::string name = "nl\nname\x1b[31mred";
    const std::string shown = "nl\\nname\\033[31mred";
    th::write_file(dir / "src/" + name, "x");
    th::write_file(dir / "src/tab\tdir/f", "f");
    auto r = run_in(dir.path(), {"-r", "src", "out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, wt::BANNER + "src/" + shown + "\nsrc/tab\\tdir/f\n");
    // The archive keeps the names as they are.
    EXPECT_EQ(wt::names_of(wt::parse_archive(th::read_file(dir / "out.kel"))),
              (std::vector<std::string>{"src", "src/" + name, "src/tab\tdir", "src/tab\tdir/f", "src/tab\tdir(end)",
                                        "src(end)"}));
    r = run_in(dir.path(), {"-l", "out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, wt::BANNER + "Listing " + th::native_path(dir / "out.kel") + " ...\nsrc\nsrc/" + shown +
                         "\nsrc/tab\\tdir\nsrc/tab\\tdir/f\n\n\n\n");
    r = run_in(dir.path(), {"-l", "-v", "out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(" src/" + shown + "\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(name), std::string::npos) << r.out;
    th::make_dirs(dir / "out");
    r = run_in(dir.path(), {"-u", "-cout", "out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, wt::BANNER + "offset = 0, offset = 0\nUncompressing " + th::native_path(dir / "out.kel") + " ...\nsrc\nsrc/" +
                         shown + "\nsrc/tab\\tdir\nsrc/tab\\tdir/f\n\n");
    EXPECT_EQ(th::read_file(dir / "out/src/" + name), "x");
    // A second unpack reports the existing directories, escaped.
    r = run_in(dir.path(), {"-u", "-cout", "out.kel"});
    EXPECT_NE(r.out.find(dir / "out/src/tab\\tdir directory is already created \n"), std::string::npos) << r.out;
    // Messages escape their names too.
    r = run_in(dir.path(), {"gone\r\x7f", "out2.kel"});
    EXPECT_EQ(r.err, "Could not stat gone\\r\\177\n");
}

}  // namespace
