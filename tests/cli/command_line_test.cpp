// The command line as a user at a shell sees it: usage, banner, option
// diagnostics, conflicts, operation start (-c and -p) and exit statuses.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

const std::string banner = "\nOstvale KELPARC Version 1.2\n\n";

th::RunResult run_in(const th::ScratchDir& dir, const std::vector<std::string>& args) {
    th::RunOptions opt;
    opt.cwd = dir.path();
    opt.stdin_null = true;
    return th::run_kelparc(args, opt);
}

}  // namespace

const std::string usage =
    "\nOstvale KELPARC Version 1.2\n\n"
    " Usage:  kelparc [options] [files] zipfile\n"
    " kelparc supports the following options: \n"
    "   -a       : Append to a zip file\n"
    "   -c<path> : Use the path as the point to begin searching for files\n"
    "   -j<n>    : Use n threads (default: one per processor)\n"
    "   -l       : List contents of a zip file\n"
    "   -p[pw]   : Specifies password to lock or unlock zip file\n"
    "   -q       : Quiet mode\n"
    "   -r       : Recursively backup of directories\n"
    "   -s       : On uncompress, skip files that have same time and size\n"
    "   -t[hs]   : Compress [h]idden or [s]ystem files\n"
    "   -u       : Unzip an archive\n"
    "   -v       : With -l, list sizes, dates and attributes\n"
    "   -w       : Overwrite existing zip file\n"
    "   --checksum          : Store a checksum of each file after it\n"
    "   --test              : Test an archive: check every entry, write nothing\n"
    "   --compare           : Compare an archive with the files on disk\n"
    "   --keep-going        : Leave out what cannot be stored and go on\n"
    "   --exclude=<pat>     : Leave out names that match the pattern\n"
    "   --files-from=<file> : Read more file names from a file (- for standard input)\n"
    "   --to-stdout         : With -u, write the contents to standard output\n"
    "   --progress          : Show progress also when not on a terminal\n"
    "   --no-progress       : Never show progress\n";

TEST(CommandLine, NoArgumentsPrintsUsage) {
    th::ScratchDir dir;
    auto r = run_in(dir, {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, usage);
}

TEST(CommandLine, HelpAndVersionAsTheOnlyArgument) {
    th::ScratchDir dir;
    for (const char* help : {"--help", "-h", "-?"}) {
        auto r = run_in(dir, {help});
        EXPECT_EQ(r.status, 0) << help;
        EXPECT_EQ(r.err, "") << help;
        EXPECT_EQ(r.out, usage) << help;
    }
    auto r = run_in(dir, {"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Ostvale KELPARC Version 1.2\n");
    // With other arguments --help is the archive name, as any last argument.
    th::write_file(dir / "src/a.txt", "a");
    r = run_in(dir, {"-r", "src", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, banner + "src/a.txt\n");
    EXPECT_TRUE(th::exists(dir / "--help"));
    // Other spellings stay archive names.
    r = run_in(dir, {"-H"});
    EXPECT_EQ(r.status, 248);
    EXPECT_EQ(r.err, "No files specified or zip filename missing.\n");
}

TEST(CommandLine, MissingFilesAndConflicts) {
    th::ScratchDir dir;
    for (const char* only : {"out.kel", "-u"}) {
        auto r = run_in(dir, {only});
        EXPECT_EQ(r.status, th::status_of(-8)) << only;
        EXPECT_EQ(r.out, banner);
        EXPECT_EQ(r.err, "No files specified or zip filename missing.\n");
    }
    auto r = run_in(dir, {"-u", "-a", "f", "out.kel"});
    EXPECT_EQ(r.status, 236);
    EXPECT_EQ(r.out, banner);
    EXPECT_EQ(r.err, "Conflicting options specified for operation.\n");
    r = run_in(dir, {"-q", "-u", "-l", "out.kel"});
    EXPECT_EQ(r.status, 236);
    EXPECT_EQ(r.out, banner);
    EXPECT_EQ(r.err, "");
    r = run_in(dir, {"-q", "-a", "out.kel"});
    EXPECT_EQ(r.status, 248);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(th::exists(dir / "out.kel"));
}

TEST(CommandLine, OverlongArgumentsAreRefused) {
    th::ScratchDir dir;
    th::write_file(dir / "f", "x");
    std::string name(4096, 'n');
    auto r = run_in(dir, {"f", name});
    std::string cdir(4096, 'c');
    auto c = run_in(dir, {"-c" + cdir, "f", "out.kel"});
    if (th::windows_target()) {
        // Within the 32,767 characters of a Windows path (a command line can
        // hold no longer one): taken, and refused by the file system.
        EXPECT_EQ(r.status, th::status_of(-5));
        EXPECT_EQ(r.err, "Error writing to file " + th::native_path(dir / name) + "\n");
        EXPECT_EQ(c.status, 254);
        EXPECT_EQ(c.err, "Invalid path specified with -c option, " + cdir + ".\n");
    } else {
        EXPECT_EQ(r.status, 248);
        EXPECT_EQ(r.err, "Argument too long: " + name + "\n");
        EXPECT_EQ(c.status, 254);
        EXPECT_EQ(c.err, "Argument too long: " + cdir + "\n");
    }
    EXPECT_FALSE(th::exists(dir / "out.kel"));
}

TEST(CommandLine, BadStartDirectory) {
    th::ScratchDir dir;
    th::write_file(dir / "plain", "x");
    auto r = run_in(dir, {"-cplain", "plain", "out.kel"});
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.out, banner);
    EXPECT_EQ(r.err, "Invalid path specified with -c option, plain.\n");
    r = run_in(dir, {"-c", "-u", "out.kel"});
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.err, "Invalid path specified with -c option, .\n");
    // The -c check comes before the password prompt.
    r = run_in(dir, {"-cmissing", "-p", "-u", "out.kel"});
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.out, banner);
    EXPECT_EQ(r.err, "Invalid path specified with -c option, missing.\n");
    r = run_in(dir, {"-q", "-cmissing", "-u", "out.kel"});
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.err, "");
}

TEST(CommandLine, PasswordNeededUnderQuiet) {
    th::ScratchDir dir;
    auto r = run_in(dir, {"-q", "-p", "-u", "out.kel"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, banner);
    EXPECT_EQ(r.err, "");
}

TEST(CommandLine, PromptWithoutTerminalEndsAtEndOfInput) {
    th::ScratchDir dir;
    th::write_file(dir / "f", "x");
    auto r = run_in(dir, {"-p", "f", "out.kel"});
    EXPECT_EQ(r.status, th::status_of(-19));
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, banner + "Enter password:  ");
    EXPECT_FALSE(th::exists(dir / "out.kel"));
}

TEST(CommandLine, UnknownLetterThenTheOperationRuns) {
    th::ScratchDir dir;
    auto r = run_in(dir, {"-x", "-u", "missing.kel"});
    EXPECT_EQ(r.status, 252);
    const std::string full = th::native_path(dir / "missing.kel");
    EXPECT_EQ(r.out, banner + "offset = 0, offset = 0\nUncompressing " + full + " ...\n");
    EXPECT_EQ(r.err, "Invalid option \"x\" ignored.\nCould not open source file " + full + "\nCould not open " + full + "\n");
}

TEST(CommandLine, AbsolutePathsAreFileArgumentsNotOptions) {
    th::ScratchDir dir;
    th::write_file(dir / "data/a.txt", "alpha");
    // On Windows an absolute path begins with its drive ('/' would begin an
    // option there).
    auto r = run_in(dir, {th::native_path(dir / "data/a.txt"), "out.kel"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, banner + "a.txt\n");
    r = run_in(dir, {"-l", "out.kel"});
    EXPECT_EQ(r.out, banner + "Listing " + th::native_path(dir / "out.kel") + " ...\na.txt\n\n");
}

TEST(CommandLine, RelativeStartDirectoryIsResolvedOnce) {
    // Every name is looked up from the -c directory itself, never from a
    // directory of the same name inside it.
    th::ScratchDir dir;
    th::write_file(dir / "sub/a.txt", "a");
    th::write_file(dir / "sub/sub/b.txt", "b");
    auto r = run_in(dir, {"-csub", "--keep-going", "a.txt", "b.txt", "out.kel"});
    EXPECT_EQ(r.status, th::status_of(-4));
    EXPECT_EQ(r.out, banner + "a.txt\n");
    EXPECT_EQ(r.err, "Could not stat b.txt\n");
}

TEST(CommandLine, ListRescuesConflictingOperations) {
    th::ScratchDir dir;
    th::write_file(dir / "a.txt", "alpha");
    ASSERT_EQ(run_in(dir, {"a.txt", "out.kel"}).status, 0);
    auto r = run_in(dir, {"-u", "-l", "out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Conflicting options specified for operation.\nUsing -l option only.\n");
    EXPECT_EQ(r.out, banner + "Listing " + th::native_path(dir / "out.kel") + " ...\na.txt\n\n");
}

TEST(CommandLine, OptionLettersAsTheArchiveRecordsThem) {
    th::ScratchDir dir;
    th::write_file(dir / "f", "x");
    // The header's option word: origin 4, plus hidden 0x2000 and system 0x4000.
    ASSERT_EQ(run_in(dir, {"-tHS", "f", "hs.kel"}).status, 0);
    EXPECT_EQ(th::read_file(dir / "hs.kel").substr(0, 20), std::string("KELPA\x04  10""24580 1 2\0", 20));
    ASSERT_EQ(run_in(dir, {"-T", "f", "t.kel"}).status, 0);
    EXPECT_EQ(th::read_file(dir / "t.kel").substr(0, 16), std::string("KELPA\x04   6""4 1 2\0", 16));
    // -rq is -r -q: the name is not printed, and the header records both.
    auto r = run_in(dir, {"-rq", "f", "rq.kel"});
    EXPECT_EQ(r.out, banner);
    EXPECT_EQ(th::read_file(dir / "rq.kel").substr(0, 18), std::string("KELPA\x04   8""196 1 2\0", 18));
    // -v records nothing.
    ASSERT_EQ(run_in(dir, {"-rv", "f", "rv.kel"}).status, 0);
    EXPECT_EQ(th::read_file(dir / "rv.kel").substr(0, 18), std::string("KELPA\x04   8""132 1 2\0", 18));
}

TEST(CommandLine, BundledLetters) {
    th::ScratchDir dir;
    th::write_file(dir / "src/a.txt", "alpha");
    th::write_file(dir / "out.kel", "old");
    // -rw: recurse and overwrite the existing archive.
    auto r = run_in(dir, {"-rw", "src", "out.kel"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, banner + "src/a.txt\n");
    // -ul reports the conflict and lists.
    r = run_in(dir, {"-ul", "out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Conflicting options specified for operation.\nUsing -l option only.\n");
    EXPECT_EQ(r.out, banner + "Listing " + th::native_path(dir / "out.kel") + " ...\nsrc\nsrc/a.txt\n\n\n");
    EXPECT_FALSE(th::exists(dir / "src/src"));
    // -ua conflicts without rescue.
    r = run_in(dir, {"-ua", "f", "out.kel"});
    EXPECT_EQ(r.status, 236);
    EXPECT_EQ(r.out, banner);
    EXPECT_EQ(r.err, "Conflicting options specified for operation.\n");
    // An unrecognised letter is reported and ends its argument.
    r = run_in(dir, {"-lz", "-zl", "out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Invalid option \"z\" ignored.\nInvalid option \"z\" ignored.\n");
    EXPECT_EQ(r.out, banner + "Listing " + th::native_path(dir / "out.kel") + " ...\nsrc\nsrc/a.txt\n\n\n");
    // -uc takes the rest as its directory; -qu is quiet.
    th::make_dirs(dir / "to");
    r = run_in(dir, {"-qucto", "out.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, banner + "offset = 0, offset = 0\n");
    EXPECT_EQ(th::read_file(dir / "to/src/a.txt"), "alpha");
}

TEST(CommandLine, StartDirectoryAsTheNextArgument) {
    th::ScratchDir dir;
    th::write_file(dir / "sub/a.txt", "a");
    auto r = run_in(dir, {"-c", "sub", "a.txt", "out.kel"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, banner + "a.txt\n");
    th::make_dirs(dir / "to");
    r = run_in(dir, {"-u", "-c", "to", "out.kel"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(th::read_file(dir / "to/a.txt"), "a");
    // Before the archive name -c stays empty, as does a -c followed by
    // another option.
    for (auto args : {std::vector<std::string>{"-u", "-c", "out.kel"}, {"-c", "-u", "out.kel"}}) {
        r = run_in(dir, args);
        EXPECT_EQ(r.status, 254);
        EXPECT_EQ(r.out, banner);
        EXPECT_EQ(r.err, "Invalid path specified with -c option, .\n");
    }
    r = run_in(dir, {"-c", "missing", "a.txt", "out2.kel"});
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.err, "Invalid path specified with -c option, missing.\n");
}

TEST(CommandLine, AnOptionIsAlsoAFileArgumentByPosition) {
    // "f -r out.kel": one option, so the one file argument is the second
    // argument, -r itself; f is not stored.
    th::ScratchDir dir;
    th::write_file(dir / "f", "x");
    auto r = run_in(dir, {"f", "-r", "out.kel"});
    EXPECT_EQ(r.status, th::status_of(-4));
    EXPECT_EQ(r.out, banner);
    EXPECT_EQ(r.err, "Could not stat -r\n");
    EXPECT_FALSE(th::exists(dir / "out.kel"));
}

TEST(CommandLine, NegativeLengthsInAnArchiveAreRefused) {
    th::ScratchDir dir;
    const std::string body("4 1 2\0", 6);
    struct Case {
        std::string bytes;
        int status;
        std::string unpack_err;
    } cases[] = {
        // A header length that reads as negative.
        {std::string("KELPA\x04  -6") + body, 250, "Bad header length, length =   -6\n"},
        // A locked archive whose sealed length reads as negative.
        {std::string("KELPA\x04   9""4100 1 2\0", 19) + "  -1xyz", 250, "Bad header length, length =   -1\n"},
        // A record length that reads as negative.
        {std::string("KELPA\x04   6") + body + std::string("-35\0", 4) + std::string(40, 'x'), 250, ""},
    };
    for (const auto& c : cases) {
        th::write_file(dir / "bad.kel", c.bytes);
        const std::string path = th::native_path(dir / "bad.kel");
        auto r = run_in(dir, {"-u", "-pkey", "bad.kel"});
        EXPECT_EQ(r.status, c.status);
        std::string expected = c.unpack_err.empty() ? "Error reading from " + path + "\n"
                                                    : c.unpack_err + "Could not open " + path + "\n";
        EXPECT_EQ(r.err, expected);
        r = run_in(dir, {"-l", "-pkey", "bad.kel"});
        EXPECT_EQ(r.status, c.status);
    }
}
