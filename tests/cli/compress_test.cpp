// Whole-program tests of compressing: exact archive bytes, what is stored
// and printed, and the failures with their messages and statuses.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "write_support.h"

namespace {

th::RunResult run_in(const th::ScratchDir& dir, const std::vector<std::string>& args,
                     th::RunOptions opt = th::RunOptions()) {
    opt.cwd = dir.path();
    return th::run_kelparc(args, opt);
}

std::string abs_path(const th::ScratchDir& dir, const std::string& rel) { return th::native_path(dir / rel); }

TEST(CompressBytes, PlainArchiveOfOneEmptyFile) {
    th::ScratchDir dir;
    th::write_file(dir / "e.txt", "");
    wt::pin_times(dir / "e.txt");
    auto r = run_in(dir, {"e.txt", "out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, wt::BANNER + "e.txt\n");
    std::string a = th::read_file(dir / "out.kel");
    // Magic, 0x04, "   6", body "4 1 2" and its NUL: 16 bytes.
    EXPECT_EQ(a.substr(0, 16), std::string("KELPA\x04   64 1 2\0", 16));
    EXPECT_EQ(a, ab::header(4) + ab::record("e.txt", wt::fields_of(dir / "e.txt")));
    struct stat st;
    ASSERT_EQ(::stat((dir / "out.kel").c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IWUSR) << "archive left read-only";
}

TEST(CompressBytes, RecursiveLockedTreeWithDirectoryRecords) {
    th::ScratchDir dir;
    th::write_file(dir / "d/notes.txt", "some notes\nsome notes\nsome notes\n");
    th::make_dirs(dir / "d/e");
    wt::pin_all({dir / "d/notes.txt", dir / "d/e", dir / "d"});
    auto r = run_in(dir, {"-r", "-pSecret", "d", "out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, wt::BANNER + "d/notes.txt\n");
    std::string a = th::read_file(dir / "out.kel");
    // 4 + 0x80 + 0x1000 = 4228: body "4228 1 2" and NUL, L = 9.
    EXPECT_EQ(a.substr(0, 19), std::string("KELPA\x04   94228 1 2\0", 19));
    std::string expected = ab::header(4228, ab::seal("Secret")) +
                           wt::dir_entry_of("d", dir / "d", false) +
                           wt::file_entry_of("d/notes.txt", dir / "d/notes.txt") +
                           wt::dir_entry_of("d/e", dir / "d/e", false) +
                           wt::dir_entry_of("d/e", dir / "d/e", true) +
                           wt::dir_entry_of("d", dir / "d", true);
    EXPECT_EQ(a, expected);
}

TEST(CompressBytes, RecordLengthFieldsOfTwoAndThreeDigits) {
    th::ScratchDir dir;
    std::string long_name(70, 'n');
    th::write_file(dir / "s", "x");
    th::write_file(dir / long_name, "y");
    wt::pin_all({dir / "s", dir / long_name});
    auto r = run_in(dir, {"s", long_name, "out.kel"});
    EXPECT_EQ(r.status, 0);
    std::string a = th::read_file(dir / "out.kel");
    std::string first = wt::file_entry_of("s", dir / "s");
    std::string second = wt::file_entry_of(long_name, dir / long_name);
    EXPECT_EQ(a, ab::header(4) + first + second);
    // A record of fewer than 100 bytes: two digits, NUL, a padding byte.
    EXPECT_TRUE(first[2] == '\0' && first[0] != '\0' && first[1] != '\0');
    // 70 characters of name make the record longer than 99 bytes.
    EXPECT_TRUE(second[3] == '\0' && second[2] != '\0');
}

TEST(CompressBytes, ChunkBoundaries) {
    th::ScratchDir dir;
    th::write_file(dir / "f16383", th::make_bytes(16383, 't', 3));
    th::write_file(dir / "f16384", th::make_bytes(16384, 't', 4));
    th::write_file(dir / "f32766", th::make_bytes(32766, 't', 5));
    // A chunk that compression would only lengthen, then an ordinary one.
    th::write_file(dir / "mixed", th::make_bytes(16383, 'r', 6) + th::make_bytes(9000, 't', 7));
    wt::pin_all({dir / "f16383", dir / "f16384", dir / "f32766", dir / "mixed"});
    auto r = run_in(dir, {"f16383", "f16384", "f32766", "mixed", "out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, wt::BANNER + "f16383\nf16384\nf32766\nmixed\n");
    std::string a = th::read_file(dir / "out.kel");
    EXPECT_EQ(a, ab::header(4) + wt::file_entry_of("f16383", dir / "f16383") +
                     wt::file_entry_of("f16384", dir / "f16384") +
                     wt::file_entry_of("f32766", dir / "f32766") +
                     wt::file_entry_of("mixed", dir / "mixed"));
    wt::Parsed p = wt::parse_archive(a);
    ASSERT_TRUE(p.ok) << p.error;
    ASSERT_EQ(p.entries.size(), 4u);
    // 16383 bytes: one chunk, no ENTRY_MORE.
    EXPECT_EQ(p.entries[0].chunks.size(), 1u);
    EXPECT_EQ(p.entries[0].flags & ab::MORE, 0);
    // 16384 bytes: the one-byte second chunk is raw (5 bytes compressed).
    ASSERT_EQ(p.entries[1].chunks.size(), 2u);
    EXPECT_EQ(p.entries[1].flags & ab::MORE, ab::MORE);
    EXPECT_EQ(p.entries[1].chunks[1].flags, ab::RAW);
    EXPECT_EQ(p.entries[1].chunks[1].data.size(), 1u);
    // Twice 16383: the second chunk has nothing after it.
    ASSERT_EQ(p.entries[2].chunks.size(), 2u);
    EXPECT_EQ(p.entries[2].chunks[1].flags, 0);
    ASSERT_EQ(p.entries[3].chunks.size(), 2u);
    EXPECT_EQ(p.entries[3].chunks[0].flags, ab::MORE | ab::RAW);
    EXPECT_EQ(p.entries[3].chunks[1].flags, 0);
}

TEST(CompressBytes, AttributeBlocksUnderHidden) {
    th::ScratchDir dir;
    th::write_file(dir / "d/.h", "hidden");
    th::write_file(dir / "d/v", "visible");
    wt::pin_all({dir / "d/.h", dir / "d/v", dir / "d"});
    auto r = run_in(dir, {"-r", "-th", "d", "out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, wt::BANNER + "d/.h\nd/v\n");
    // The option word: 4 + 0x80 + 0x2000.
    std::string expected = ab::header(4 + 0x80 + 0x2000) + wt::dir_entry_of("d", dir / "d", false, "00") +
                           wt::file_entry_of("d/.h", dir / "d/.h", "10") +
                           wt::file_entry_of("d/v", dir / "d/v", "00") + wt::dir_entry_of("d", dir / "d", true);
    EXPECT_EQ(th::read_file(dir / "out.kel"), expected);
}

TEST(CompressBytes, SystemAttributeFromTheExtendedAttribute) {
    th::ScratchDir dir;
    th::write_file(dir / "d/sys", "system");
    th::write_file(dir / "d/v", "visible");
    ASSERT_EQ(::setxattr((dir / "d/sys").c_str(), "user.DOSATTRIB", "0x4", 3, 0), 0);
    wt::pin_all({dir / "d/sys", dir / "d/v", dir / "d"});
    auto without = run_in(dir, {"-r", "-th", "d", "a.kel"});
    EXPECT_EQ(without.out, wt::BANNER + "d/v\n");
    auto with = run_in(dir, {"-r", "-ts", "d", "b.kel"});
    EXPECT_EQ(with.status, 0);
    EXPECT_EQ(with.out, wt::BANNER + "d/sys\nd/v\n");
    std::string expected = ab::header(4 + 0x80 + 0x4000) + wt::dir_entry_of("d", dir / "d", false, "00") +
                           wt::file_entry_of("d/sys", dir / "d/sys", "01") +
                           wt::file_entry_of("d/v", dir / "d/v", "00") + wt::dir_entry_of("d", dir / "d", true);
    EXPECT_EQ(th::read_file(dir / "b.kel"), expected);
}

TEST(CompressBytes, PatternsKeepTheirPrefixAsTyped) {
    th::ScratchDir dir;
    th::write_file(dir / "src/a.c", "int a;\n");
    th::write_file(dir / "src/b.c", "int b;\n");
    th::write_file(dir / "src/c.h", "int c;\n");
    th::write_file(dir / "t.txt", "t\n");
    wt::pin_all({dir / "src/a.c", dir / "src/b.c", dir / "t.txt"});
    // Without -r the printed and stored names keep only the last component.
    auto r = run_in(dir, {"t.txt", "src/*.c", "src\\*.c", "out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Stored twice as a.c: src\\a.c\nStored twice as b.c: src\\b.c\n");
    EXPECT_EQ(r.out, wt::BANNER + "t.txt\na.c\nb.c\na.c\nb.c\n");
    // With -r the names are whole, with the separator the user typed.
    auto r2 = run_in(dir, {"-r", "src\\*.c", "out2.kel"});
    EXPECT_EQ(r2.status, 0);
    EXPECT_EQ(r2.out, wt::BANNER + "src\\a.c\nsrc\\b.c\n");
    EXPECT_EQ(th::read_file(dir / "out2.kel"), ab::header(0x84) + wt::file_entry_of("src\\a.c", dir / "src/a.c") +
                                                   wt::file_entry_of("src\\b.c", dir / "src/b.c"));
}

TEST(CompressBytes, StripKeepsTheLastComponentOfEitherSeparator) {
    th::ScratchDir dir;
    th::write_file(dir / "dir/sub/file.txt", "f");
    wt::pin_times(dir / "dir/sub/file.txt");
    auto r = run_in(dir, {"dir\\sub/file.txt", "out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, wt::BANNER + "file.txt\n");
    EXPECT_EQ(th::read_file(dir / "out.kel"), ab::header(4) + wt::file_entry_of("file.txt", dir / "dir/sub/file.txt"));
}

TEST(CompressBytes, AbsolutePatternKeepsItsLeadingSeparator) {
    th::ScratchDir dir;
    th::write_file(dir / "x/one.txt", "1");
    th::write_file(dir / "x/two.txt", "2");
    std::string pattern = th::native_path(dir / "x/*.txt");
    auto r = run_in(dir, {"-r", pattern, "out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, wt::BANNER + th::native_path(dir / "x/one.txt") + "\n" + th::native_path(dir / "x/two.txt") + "\n");
}

// Every compressed chunk of an archive made from real files decodes with
// gzip to the source bytes; raw chunks are the source bytes.
TEST(CompressBytes, RealHeadersDecodeWithGzip) {
    th::ScratchDir dir;
    ASSERT_EQ(th::shell("mkdir -p '" + dir / "inc" + "' && cp /usr/include/*.h '" + dir / "inc" + "'/ 2>/dev/null; "
                        "ls '" + dir / "inc" + "' | head -1 >/dev/null"), 0);
    auto r = run_in(dir, {"-q", "-r", "inc", "out.kel"});
    ASSERT_EQ(r.status, 0) << r.err;
    wt::Parsed p = wt::parse_archive(th::read_file(dir / "out.kel"));
    ASSERT_TRUE(p.ok) << p.error;
    int n_files = 0, n_compressed = 0;
    for (const wt::Entry& e : p.entries) {
        if (e.mode & 0x4000) continue;
        ++n_files;
        std::string restored;
        for (const wt::Chunk& c : e.chunks) {
            EXPECT_LE(c.data.size(), 16383u);
            if (c.flags & ab::RAW) {
                restored += c.data;
                continue;
            }
            ++n_compressed;
            th::write_file(dir / "chunk.Z", c.data);
            ASSERT_EQ(th::shell("gzip -dc < '" + dir / "chunk.Z" + "' > '" + dir / "chunk" + "'"), 0) << e.name;
            restored += th::read_file(dir / "chunk");
        }
        EXPECT_EQ(restored, th::read_file(dir / e.name)) << e.name;
        EXPECT_EQ(static_cast<size_t>(e.size), restored.size()) << e.name;
    }
    EXPECT_GT(n_files, 20);
    EXPECT_GT(n_compressed, 20);
}

TEST(CompressWalk, FilesBeforeSubdirectories) {
    th::ScratchDir dir;
    th::write_file(dir / "src/a.c", "a");
    th::write_file(dir / "src/b.c", "b");
    th::write_file(dir / "src/sub/c.c", "c");
    auto r = run_in(dir, {"-r", "src", "out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, wt::BANNER + "src/a.c\nsrc/b.c\nsrc/sub/c.c\n");
    wt::Parsed p = wt::parse_archive(th::read_file(dir / "out.kel"));
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(wt::names_of(p), (std::vector<std::string>{"src", "src/a.c", "src/b.c", "src/sub", "src/sub/c.c",
                                                         "src/sub(end)", "src(end)"}));
}

TEST(CompressWalk, HiddenEntriesFollowTheOption) {
    th::ScratchDir dir;
    th::write_file(dir / "src/.hid", "h");
    th::write_file(dir / "src/.hdir/x", "x");
    th::write_file(dir / "src/v", "v");
    auto plain = run_in(dir, {"-r", "src", "a.kel"});
    EXPECT_EQ(plain.status, 0);
    wt::Parsed p = wt::parse_archive(th::read_file(dir / "a.kel"));
    EXPECT_EQ(wt::names_of(p), (std::vector<std::string>{"src", "src/v", "src(end)"}));
    auto with = run_in(dir, {"-r", "-th", "src", "b.kel"});
    EXPECT_EQ(with.status, 0);
    p = wt::parse_archive(th::read_file(dir / "b.kel"));
    EXPECT_EQ(wt::names_of(p), (std::vector<std::string>{"src", "src/.hid", "src/v", "src/.hdir", "src/.hdir/x",
                                                         "src/.hdir(end)", "src(end)"}));
    // A hidden file named without wildcards is stored whatever the options;
    // a pattern leaves it out without -th, silently.
    auto named = run_in(dir, {"src/.hid", "src/*", "c.kel"});
    EXPECT_EQ(named.status, 0);
    EXPECT_EQ(named.err, "");
    EXPECT_EQ(named.out, wt::BANNER + ".hid\nv\n");
}

TEST(CompressWalk, ArchiveInsideTheTreeIsLeftOut) {
    th::ScratchDir dir;
    th::write_file(dir / "src/a", "a");
    auto r = run_in(dir, {"-r", "src", "src/out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, wt::BANNER + "src/a\n");
    wt::Parsed p = wt::parse_archive(th::read_file(dir / "src/out.kel"));
    EXPECT_EQ(wt::names_of(p), (std::vector<std::string>{"src", "src/a", "src(end)"}));
    // Found through a pattern it is left out silently (named directly it is
    // refused: see ArchiveNamedAsAnInput).
    auto r2 = run_in(dir, {"-w", "src/*", "src/out.kel"});
    EXPECT_EQ(r2.status, 0);
    EXPECT_EQ(r2.out, wt::BANNER + "a\n");
    EXPECT_EQ(wt::names_of(wt::parse_archive(th::read_file(dir / "src/out.kel"))), (std::vector<std::string>{"a"}));
}

// A directory argument is walked whatever it is: the start directory, its
// parent.
TEST(CompressWalk, DotArgumentsAreWalked) {
    th::ScratchDir dir;
    th::write_file(dir / "top/sub/f", "f");
    th::RunOptions opt;
    opt.cwd = dir / "top/sub";
    auto dot = th::run_kelparc({"-r", ".", dir / "dot.kel"}, opt);
    EXPECT_EQ(dot.status, 0);
    EXPECT_EQ(dot.out, wt::BANNER + "./f\n");
    EXPECT_EQ(wt::names_of(wt::parse_archive(th::read_file(dir / "dot.kel"))),
              (std::vector<std::string>{".", "./f", ".(end)"}));
    auto up = th::run_kelparc({"-r", "..", dir / "up.kel"}, opt);
    EXPECT_EQ(up.status, 0);
    EXPECT_EQ(wt::names_of(wt::parse_archive(th::read_file(dir / "up.kel"))),
              (std::vector<std::string>{"..", "../sub", "../sub/f", "../sub(end)", "..(end)"}));
}

// A directory whose path is a leading text of the start directory but not
// its ancestor is walked; so is a true ancestor given as the argument (the
// archive inside it left out).
TEST(CompressWalk, AncestorRuleComparesWholeComponents) {
    th::ScratchDir dir;
    th::write_file(dir / "user/mine", "m");
    th::write_file(dir / "us/f", "f");
    th::RunOptions opt;
    opt.cwd = dir / "user";
    // Names are stored as typed, with the drive on Windows.
    std::string us = th::native_path(dir / "us");
    auto r = th::run_kelparc({"-r", us, th::native_path(dir / "a.kel")}, opt);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, wt::BANNER + us + "/f\n");
    EXPECT_EQ(wt::names_of(wt::parse_archive(th::read_file(dir / "a.kel"))),
              (std::vector<std::string>{us, us + "/f", us + "(end)"}));
    auto anc = th::run_kelparc({"-r", th::native_path(dir.path()), th::native_path(dir / "b.kel")}, opt);
    EXPECT_EQ(anc.status, 0);
    const std::string d = th::native_path(dir.path());
    EXPECT_EQ(wt::names_of(wt::parse_archive(th::read_file(dir / "b.kel"))),
              (std::vector<std::string>{d, d + "/a.kel", d + "/us", d + "/us/f", d + "/us(end)", d + "/user",
                                        d + "/user/mine", d + "/user(end)", d + "(end)"}));
}

TEST(CompressWalk, SymbolicLinkLoopsAreNotFollowed) {
    th::ScratchDir dir;
    th::write_file(dir / "a/f", "f");
    th::write_file(dir / "b/g", "g");
    // a/x leads to b, and b/y back to a: neither is an ancestor by its path
    // text, but a is already being walked when a/x/y is met.
    ASSERT_EQ(::symlink("../b", (dir / "a/x").c_str()), 0);
    ASSERT_EQ(::symlink("../a", (dir / "b/y").c_str()), 0);
    ASSERT_EQ(::symlink(".", (dir / "a/self").c_str()), 0);
    th::RunOptions opt;
    opt.timeout_s = 20;
    auto r = run_in(dir, {"-r", "a", "out.kel"}, opt);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(wt::names_of(wt::parse_archive(th::read_file(dir / "out.kel"))),
              (std::vector<std::string>{"a", "a/f", "a/self", "a/x", "a/x/g", "a/x/y", "a/x(end)", "a(end)"}));
}

// A directory that can be listed but not entered is reported and fails the
// run; with --keep-going it is stored as an empty directory (opening and
// closing records), the walk goes on, and the run still ends with -4.
TEST(CompressWalk, DirectoryThatCannotBeEntered) {
    SKIP_UNDER_WINE("running as another user needs that user's own Wine prefix");
    if (!th::running_as_root()) GTEST_SKIP() << "needs root to run the program as another user";
    th::ScratchDir dir;
    th::write_file(dir / "src/closed/inside", "i");
    th::write_file(dir / "src/z", "z");
    ::chmod((dir / "src/closed").c_str(), 0444);
    th::RunOptions opt;
    opt.as_nobody = true;
    auto r = run_in(dir, {"-r", "src", "out.kel"}, opt);
    EXPECT_EQ(r.status, th::status_of(-4));
    EXPECT_EQ(r.err, "Cannot read directory src/closed\n");
    EXPECT_FALSE(th::exists(dir / "out.kel"));
    r = run_in(dir, {"-r", "--keep-going", "src", "out.kel"}, opt);
    ::chmod((dir / "src/closed").c_str(), 0755);
    EXPECT_EQ(r.status, th::status_of(-4));
    EXPECT_EQ(r.err, "Cannot read directory src/closed\n");
    EXPECT_EQ(wt::names_of(wt::parse_archive(th::read_file(dir / "out.kel"))),
              (std::vector<std::string>{"src", "src/z", "src/closed", "src/closed(end)", "src(end)"}));
}

TEST(CompressWalk, OverlongStoredNamesAreSkipped) {
    th::ScratchDir dir;
    std::string l1(100, 'p'), l2(100, 'q'), leaf(60, 'r');
    th::write_file(dir / "d/" + l1 + "/" + l2 + "/" + leaf, "deep");
    th::write_file(dir / "d/" + l1 + "/" + l2 + "/ok", "ok");
    th::make_dirs(dir / "d/" + l1 + "/" + l2 + "/" + leaf + "dir");
    std::string base = "d/" + l1 + "/" + l2;
    auto all = run_in(dir, {"-r", "d", "out.kel"});
    EXPECT_EQ(all.status, th::status_of(-4));
    EXPECT_EQ(all.err, "Name too long, skipping " + base + "/" + leaf + "\n");
    EXPECT_FALSE(th::exists(dir / "out.kel"));
    auto r = run_in(dir, {"-r", "--keep-going", "d", "out.kel"});
    EXPECT_EQ(r.status, th::status_of(-4));
    EXPECT_EQ(r.err, "Name too long, skipping " + base + "/" + leaf + "\n" + "Name too long, skipping " + base +
                         "/" + leaf + "dir\n");
    EXPECT_EQ(r.out, wt::BANNER + base + "/ok\n");
    EXPECT_EQ(wt::names_of(wt::parse_archive(th::read_file(dir / "out.kel"))),
              (std::vector<std::string>{"d", "d/" + l1, base, base + "/ok", base + "(end)", "d/" + l1 + "(end)",
                                        "d(end)"}));
}

TEST(CompressOptions, StartDirectoryAndRelativeArchiveName) {
    th::ScratchDir dir;
    th::write_file(dir / "files/in.txt", "in");
    th::make_dirs(dir / "here");
    th::RunOptions opt;
    opt.cwd = dir / "here";
    // Names come from the -c directory (relative, resolved once), the
    // archive name from the directory the program was started in.
    auto r = th::run_kelparc({"-c../files", "*.txt", "in.txt", "out.kel"}, opt);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Stored twice as in.txt: in.txt\n");
    EXPECT_EQ(r.out, wt::BANNER + "in.txt\nin.txt\n");
    EXPECT_TRUE(th::exists(dir / "here/out.kel"));
    EXPECT_FALSE(th::exists(dir / "files/out.kel"));
}

TEST(CompressOptions, EmptyArchivesWarn) {
    th::ScratchDir dir;
    th::make_dirs(dir / "d");
    auto r = run_in(dir, {"d", "out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Warning your zip file is empty.\n");
    EXPECT_EQ(th::read_file(dir / "out.kel"), ab::header(4));
    auto q = run_in(dir, {"-q", "-w", "d", "out.kel"});
    EXPECT_EQ(q.status, 0);
    EXPECT_EQ(q.err, "");
    EXPECT_EQ(q.out, wt::BANNER);
    // An empty directory with -r is content: no warning.
    auto rr = run_in(dir, {"-r", "-w", "d", "out.kel"});
    EXPECT_EQ(rr.err, "");
}

TEST(CompressFailures, ExistingArchiveWithoutOverwrite) {
    th::ScratchDir dir;
    th::write_file(dir / "a", "a");
    // Access time after the modification time: reading the file does not
    // move it, so the record can be compared with a status taken later.
    wt::pin_times(dir / "a");
    th::write_file(dir / "out.kel", "old");
    auto r = run_in(dir, {"a", "out.kel"});
    std::string full = abs_path(dir, "out.kel");
    EXPECT_EQ(r.status, th::status_of(-4));
    EXPECT_EQ(r.err, "Cannot overwrite current zip file " + full + ".\n" +
                         "Use the -w option to overwrite an existing zip file.\n" + "Could not open " + full + "\n");
    EXPECT_EQ(th::read_file(dir / "out.kel"), "old");
    auto w = run_in(dir, {"-w", "a", "out.kel"});
    EXPECT_EQ(w.status, 0);
    EXPECT_EQ(th::read_file(dir / "out.kel"), ab::header(4 + 0x100) + wt::file_entry_of("a", dir / "a"));
}

TEST(CompressFailures, SourceThatCannotBeOpened) {
    SKIP_UNDER_WINE("running as another user needs that user's own Wine prefix");
    if (!th::running_as_root()) GTEST_SKIP() << "needs root to run the program as another user";
    th::ScratchDir dir;
    th::write_file(dir / "locked", "secret");
    ::chmod((dir / "locked").c_str(), 0);
    th::RunOptions opt;
    opt.as_nobody = true;
    auto r = run_in(dir, {"locked", "out.kel"}, opt);
    EXPECT_EQ(r.status, th::status_of(-4));
    EXPECT_EQ(r.err, "Could not open source file locked\n");
    EXPECT_EQ(r.out, wt::BANNER);
}

// /proc/self/mem is a regular file that opens but cannot be read at 0.
TEST(CompressFailures, SourceThatCannotBeRead) {
    th::ScratchDir dir;
    const std::string mem = th::native_path("/proc/self/mem");
    auto r = run_in(dir, {mem, "out.kel"});
    EXPECT_EQ(r.status, th::status_of(-4));
    EXPECT_EQ(r.err, "Could not read source file " + mem + "\n");
    EXPECT_EQ(r.out, wt::BANNER + "mem\n");
}

TEST(CompressFailures, FifoIsReportedAndNeverOpened) {
    th::ScratchDir dir;
    th::write_file(dir / "src/a", "a");
    ASSERT_EQ(::mkfifo((dir / "src/p").c_str(), 0666), 0);
    ASSERT_EQ(::mkfifo((dir / "top").c_str(), 0666), 0);
    th::RunOptions opt;
    opt.timeout_s = 20;
    auto r = run_in(dir, {"-r", "top", "src", "out.kel"}, opt);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Could not stat top\nBad stat of file p! \n");
    EXPECT_EQ(wt::names_of(wt::parse_archive(th::read_file(dir / "out.kel"))),
              (std::vector<std::string>{"src", "src/a", "src(end)"}));
}

TEST(CompressFailures, UnmatchedPatternStoresNothing) {
    th::ScratchDir dir;
    th::write_file(dir / "a", "a");
    auto r = run_in(dir, {"a", "*.zz", "out.kel"});
    EXPECT_EQ(r.status, th::status_of(-21));
    EXPECT_EQ(r.err, "Bad file list selected - *.zz \nFatal Error Bad arguments!\n");
    EXPECT_EQ(r.out, wt::BANNER);
    EXPECT_FALSE(th::exists(dir / "out.kel"));
    // Every match skipped, the archive name's pattern included: no name is
    // left to stand for the archive.
    th::write_file(dir / ".only", "h");
    auto none = run_in(dir, {".o*", ".o*"});
    EXPECT_EQ(none.err, "Fatal Error Bad arguments!\n");
    EXPECT_EQ(none.status, th::status_of(-21));
}

TEST(CompressFailures, BadStartDirectoryAndMissingArchiveName) {
    th::ScratchDir dir;
    th::write_file(dir / "a", "a");
    auto r = run_in(dir, {"-cnope", "a", "out.kel"});
    EXPECT_EQ(r.status, th::status_of(-2));
    EXPECT_EQ(r.err, "Invalid path specified with -c option, nope.\n");
    auto e = run_in(dir, {"a", ""});
    EXPECT_EQ(e.status, th::status_of(-8));
    EXPECT_EQ(e.err, "Zip filename missing, nothing to compress to.\n");
}

// A file-size limit makes the archive write fail part-way for real.
TEST(CompressFailures, WriteFailureRemovesTheNewArchive) {
    th::ScratchDir dir;
    th::write_file(dir / "big", th::make_bytes(300000, 'r', 9));
    th::RunOptions opt;
    opt.fsize_limit = 100000;
    auto r = run_in(dir, {"big", "out.kel"}, opt);
    EXPECT_EQ(r.status, th::status_of(-5));
    EXPECT_EQ(r.err, "Error writing to file " + abs_path(dir, "out.kel") + "\n");
    EXPECT_FALSE(th::exists(dir / "out.kel"));
    // Many small entries: the block boundary falls inside a record write.
    for (int i = 0; i < 1500; ++i) th::write_file(dir / "many/f" + std::to_string(1000 + i), "y");
    opt.fsize_limit = 200;
    auto m = run_in(dir, {"-r", "many", "out.kel"}, opt);
    EXPECT_EQ(m.status, th::status_of(-5));
    EXPECT_EQ(m.err, "Error writing to file " + abs_path(dir, "out.kel") + "\n");
    EXPECT_FALSE(th::exists(dir / "out.kel"));
    // An archive shorter than one block fails in the final flush.
    opt.fsize_limit = 20;
    auto f = run_in(dir, {"many/f1000", "out.kel"}, opt);
    EXPECT_EQ(f.status, th::status_of(-5));
    EXPECT_EQ(f.err, "Error writing to file " + abs_path(dir, "out.kel") + "\n");
    EXPECT_FALSE(th::exists(dir / "out.kel"));
}

}  // namespace
