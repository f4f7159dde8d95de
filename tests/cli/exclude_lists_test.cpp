// Leaving names out (--exclude), taking file arguments from lists
// (--files-from), and names stored twice.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "harness.h"
#include "write_support.h"

namespace {

// p/README, p/src/a.c, p/src/b.o, p/src/tmp (a file), p/tmp/x.
void make_tree(const th::ScratchDir& dir) {
    th::write_file(dir / "p/README", "readme\n");
    th::write_file(dir / "p/src/a.c", "int a;\n");
    th::write_file(dir / "p/src/b.o", "object\n");
    th::write_file(dir / "p/src/tmp", "a file named tmp\n");
    th::write_file(dir / "p/tmp/x", "scratch\n");
}

th::RunResult run_in(const th::ScratchDir& dir, const std::vector<std::string>& args,
                     const std::string& stdin_data = "") {
    th::RunOptions opt;
    opt.cwd = dir.path();
    opt.stdin_data = stdin_data;
    opt.stdin_null = stdin_data.empty();
    opt.timeout_s = 30;
    return th::run_kelparc(args, opt);
}

// The names of the archive's entries but the closing records, sorted (the
// order of a directory search is the system's).
std::string stored_names(const th::ScratchDir& dir, const std::string& archive) {
    std::vector<std::string> names;
    for (const std::string& n : wt::names_of(wt::parse_archive(th::read_file(dir / archive)))) {
        if (n.find("(end)") == std::string::npos) names.push_back(n);
    }
    std::sort(names.begin(), names.end());
    std::string joined;
    for (const std::string& n : names) joined += n + " ";
    return joined;
}

// The names a plain listing printed, sorted, one blank after each.
std::string listed_names(const std::string& out) {
    std::vector<std::string> names;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.find("Listing ") != 0 && line.find("Ostvale") != 0) names.push_back(line);
    }
    std::sort(names.begin(), names.end());
    std::string joined;
    for (const std::string& n : names) joined += n + " ";
    return joined;
}

struct StoreCase {
    std::vector<std::string> args;  // before the archive name
    std::string stored;
};

TEST(Exclude, StoringLeavesOutWhatMatchesTheNameAsStored) {
    const StoreCase cases[] = {
        // Without a separator: any one component, a directory with all it holds.
        {{"-r", "--exclude=tmp", "p"}, "p p/README p/src p/src/a.c p/src/b.o "},
        {{"-r", "--exclude=*.o", "--exclude=READ??", "p"}, "p p/src p/src/a.c p/src/tmp p/tmp p/tmp/x "},
        // With one: the whole stored name.
        {{"-r", "--exclude=p/tmp", "p"}, "p p/README p/src p/src/a.c p/src/b.o p/src/tmp "},
        {{"-r", "--exclude=p/src/*.?", "p"}, "p p/README p/src p/src/tmp p/tmp p/tmp/x "},
        {{"-r", "--exclude=*/src", "p"}, "p p/README p/tmp p/tmp/x "},
        // A pattern does not cross a separator.
        {{"-r", "--exclude=p*x", "p"}, "p p/README p/src p/src/a.c p/src/b.o p/src/tmp p/tmp p/tmp/x "},
        // Without -r a file is stored under its last component.
        {{"--exclude=p/README", "p/README", "p/src/a.c"}, "README a.c "},
        {{"--exclude=README", "p/README", "p/src/a.c"}, "a.c "},
        {{"--exclude=src", "p/README", "p/src/a.c"}, "README a.c "},
        // Expanded patterns are left out alike.
        {{"--exclude=b.o", "p/src/*"}, "a.c tmp "},
    };
    for (const StoreCase& c : cases) {
        th::ScratchDir dir;
        make_tree(dir);
        std::vector<std::string> args = c.args;
        args.push_back("a.kel");
        auto r = run_in(dir, args);
        EXPECT_EQ(r.status, 0) << args[1];
        EXPECT_EQ(r.err, "") << args[1];
        EXPECT_EQ(stored_names(dir, "a.kel"), c.stored) << args[1];
    }
}

struct ReadCase {
    std::vector<std::string> args;  // after -l, before the archive name
    std::string listed;
    int status;
    std::string err;
};

TEST(Exclude, ReadingLeavesOutTheSameNamesAndReportsArgumentsLeftEmpty) {
    th::ScratchDir dir;
    make_tree(dir);
    ASSERT_EQ(run_in(dir, {"-q", "-r", "p", "a.kel"}).status, 0);
    const ReadCase cases[] = {
        {{"--exclude=tmp"}, "p p/README p/src p/src/a.c p/src/b.o ", 0, ""},
        {{"--exclude=p/src"}, "p p/README p/tmp p/tmp/x ", 0, ""},
        {{"--exclude=*.o", "p/src"}, "p/src p/src/a.c p/src/tmp ", 0, ""},
        {{"--exclude=p/*", "p"}, "p ", 0, ""},
        // An argument that chooses only excluded entries chose nothing.
        {{"--exclude=src", "p/src/a.c", "p/README"}, "p/README ", th::status_of(-24),
         "Nothing in the archive matches p/src/a.c\n"},
    };
    for (const ReadCase& c : cases) {
        std::vector<std::string> args = {"-l"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back("a.kel");
        auto r = run_in(dir, args);
        EXPECT_EQ(r.status, c.status) << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
        EXPECT_EQ(listed_names(r.out), c.listed) << c.args[0];
    }
    // Unpacking: the excluded entries are not made, nor their directories.
    th::make_dirs(dir / "out");
    auto r = run_in(dir, {"-q", "-u", "-cout", "--exclude=src", "--exclude=x", "a.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(th::exists(dir / "out/p/README"));
    EXPECT_TRUE(th::exists(dir / "out/p/tmp"));
    EXPECT_FALSE(th::exists(dir / "out/p/src"));
    EXPECT_FALSE(th::exists(dir / "out/p/tmp/x"));
}

struct ListCase {
    std::string list;  // the bytes of the file list
    std::string stored;
};

TEST(FilesFrom, ListedNamesAreFileArgumentsAfterTheOthers) {
    const ListCase cases[] = {
        {"p/README\np/src/a.c\n", "README a.c "},
        // find -print0, a last name without an end, a list written on Windows.
        {std::string("p/README\0p/src/a.c\0", 19), "README a.c "},
        {"p/README\np/src/a.c", "README a.c "},
        {"p/README\r\n\r\n\n\np/src/a.c\r\n", "README a.c "},
        // Patterns are expanded as on the command line.
        {"p/src/*.?\n", "a.c b.o "},
        // A carriage return elsewhere belongs to the name.
        {"p/README\rx\n", ""},
    };
    for (const ListCase& c : cases) {
        th::ScratchDir dir;
        make_tree(dir);
        th::write_file(dir / "list", c.list);
        // Alone, the list makes a whole command; from standard input too.
        auto r = run_in(dir, {"--files-from=list", "a.kel"});
        auto from_stdin = run_in(dir, {"--files-from=-", "b.kel"}, c.list);
        EXPECT_EQ(stored_names(dir, "a.kel"), c.stored) << c.list;
        EXPECT_EQ(stored_names(dir, "b.kel"), c.stored) << c.list;
        // A name that names nothing fails the run, which then stores nothing.
        const int status = c.stored.empty() ? th::status_of(-4) : 0;
        EXPECT_EQ(r.status, status) << c.list;
        EXPECT_EQ(from_stdin.status, status) << c.list;
        EXPECT_EQ(c.stored.empty(), r.err.find("Could not stat") != std::string::npos) << r.err;
    }
}

TEST(FilesFrom, ListsComeAfterTheArgumentsAndAreFoundFromTheWorkingDirectory) {
    th::ScratchDir dir;
    make_tree(dir);
    th::write_file(dir / "one", "README\n");
    th::write_file(dir / "two", "src\n");
    // The list is read where the program started; its names from -c.
    auto r = run_in(dir, {"-r", "-cp", "--files-from=two", "--files-from=one", "tmp", "a.kel"});
    EXPECT_EQ(r.status, 0) << r.err;
    auto p = wt::parse_archive(th::read_file(dir / "a.kel"));
    std::vector<std::string> tops;
    for (const auto& e : p.entries) {
        if (e.name.find('/') == std::string::npos && !(e.flags & ab::DIR_END)) tops.push_back(e.name);
    }
    EXPECT_EQ(tops, (std::vector<std::string>{"tmp", "src", "README"}));
    // For reading, the listed names choose entries.
    th::write_file(dir / "choose", "src/*.c\nREADME\nnone\n");
    auto l = run_in(dir, {"-l", "--files-from=choose", "a.kel"});
    EXPECT_EQ(listed_names(l.out), "README src/a.c ");
    EXPECT_EQ(l.err, "Nothing in the archive matches none\n");
    EXPECT_EQ(l.status, th::status_of(-24));
    // An empty list leaves no file to store.
    th::write_file(dir / "empty", "\n\r\n");
    auto e = run_in(dir, {"--files-from=empty", "b.kel"});
    EXPECT_EQ(e.status, th::status_of(-8));
    EXPECT_EQ(e.err, "No files specified or zip filename missing.\n");
}

TEST(FilesFrom, AListThatCannotBeReadEndsTheRun) {
    th::ScratchDir dir;
    make_tree(dir);
    const std::vector<std::string> cases[] = {
        {"--files-from=missing", "p/README", "a.kel"},
        {"--files-from=p", "a.kel"},  // a directory
        {"-l", "--files-from=missing", "a.kel"},
    };
    for (const auto& args : cases) {
        auto r = run_in(dir, args);
        EXPECT_EQ(r.status, th::status_of(-21)) << args[0];
        std::string list = args[0] == "-l" ? args[1] : args[0];
        EXPECT_EQ(r.err, "Cannot read the file list " + list.substr(13) + "\n") << args[0];
        EXPECT_FALSE(th::exists(dir / "a.kel"));
        std::vector<std::string> quiet = {"-q"};
        quiet.insert(quiet.end(), args.begin(), args.end());
        auto q = run_in(dir, quiet);
        EXPECT_EQ(q.status, th::status_of(-21));
        EXPECT_EQ(q.err, "");
    }
}

struct TwiceCase {
    std::vector<std::string> args;  // before the archive name
    std::string err;
    size_t n_files;                 // file entries stored
};

TEST(StoredTwice, EachSecondEntryOfAPathIsReportedAndStillStored) {
    const TwiceCase cases[] = {
        {{"a/x.txt", "b/x.txt"}, "Stored twice as x.txt: b/x.txt\n", 2},
        {{"-r", "a", "b"}, "", 2},
        {{"-r", "a", "./a"}, "Stored twice as ./a: ./a\nStored twice as ./a/x.txt: ./a/x.txt\n", 2},
        // As unpacking resolves names.
        {{"-r", "a", "b/../a/x.txt"}, "Stored twice as b/../a/x.txt: b/../a/x.txt\n", 2},
        {{"a/x.txt", "b/x.txt", "x.txt"}, "Stored twice as x.txt: b/x.txt\nStored twice as x.txt: x.txt\n", 3},
        // Letter case as the system's names compare.
        {{"a/x.txt", "c/X.txt"}, th::windows_target() ? "Stored twice as X.txt: c/X.txt\n" : "", 2},
    };
    for (const TwiceCase& c : cases) {
        th::ScratchDir dir;
        th::write_file(dir / "a/x.txt", "A\n");
        th::write_file(dir / "b/x.txt", "B\n");
        th::write_file(dir / "x.txt", "X\n");
        th::write_file(dir / "c/X.txt", "C\n");
        std::vector<std::string> args = c.args;
        args.push_back("c.kel");
        for (const char* jobs : {"-j1", "-j3"}) {
            std::vector<std::string> with_jobs = {jobs};
            with_jobs.insert(with_jobs.end(), args.begin(), args.end());
            th::remove_tree(dir / "c.kel");
            auto r = run_in(dir, with_jobs);
            EXPECT_EQ(r.status, 0) << c.args[1];
            EXPECT_EQ(r.err, c.err) << c.args[1] << " " << jobs;
        }
        // Every entry is still stored.
        size_t files = 0;
        for (const auto& e : wt::parse_archive(th::read_file(dir / "c.kel")).entries) {
            files += (e.mode & 040000) == 0;
        }
        EXPECT_EQ(files, c.n_files) << c.args[1];
    }
}

}  // namespace
