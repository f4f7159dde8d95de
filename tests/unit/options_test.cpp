// The option scan and the choice of one operation, through a table of
// recording operations in place of the real ones.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/messages.h"
#include "cli/options.h"

namespace {

struct Seen {
    std::string op;
    uint32_t flags = 0;
    std::string password, start_dir, archive_name;
    std::vector<std::string> files;
    int detailed = 0;
    int n_workers = 0;
    // The long options, as "word" or "word=value" in a fixed order.
    std::vector<std::string> longs;
};
Seen seen;

int32_t record(const char* op, RunConfig* c) {
    seen.op = op;
    seen.flags = c->flags;
    seen.password = c->password;
    seen.start_dir = c->start_dir;
    seen.archive_name = c->archive_name;
    seen.detailed = c->detailed;
    seen.n_workers = c->n_workers;
    seen.longs.clear();
    const std::pair<const char*, int> flags[] = {{"checksum", c->checksum},     {"test", c->test},
                                                 {"compare", c->compare},       {"keep-going", c->keep_going},
                                                 {"to-stdout", c->to_stdout},   {"progress", c->progress}};
    for (const auto& f : flags)
        if (f.second != 0) seen.longs.push_back(std::string(f.first) + (f.second < 0 ? "=-1" : ""));
    for (int i = 0; i < c->n_excludes; ++i) seen.longs.push_back(std::string("exclude=") + c->excludes[i]);
    for (int i = 0; i < c->n_files_from; ++i) seen.longs.push_back(std::string("files-from=") + c->files_from[i]);
    seen.files.clear();
    for (int i = 0; i < c->file_count; ++i) seen.files.push_back(c->files[i]);
    return 7;  // a result the entry point must hand back unchanged
}
int32_t fake_compress(RunConfig* c) { return record("compress", c); }
int32_t fake_append(RunConfig* c) { return record("append", c); }
int32_t fake_uncompress(RunConfig* c) { return record("uncompress", c); }
int32_t fake_list(RunConfig* c) { return record("list", c); }
int32_t fake_test(RunConfig* c) { return record("test", c); }
int32_t fake_compare(RunConfig* c) { return record("compare", c); }
const OperationTable fakes = {fake_compress, fake_append, fake_uncompress, fake_list, fake_test, fake_compare};

struct Outcome {
    int32_t rc;
    std::string out, err;
};

Outcome run(std::vector<std::string> args) {
    seen = Seen();
    quiet_switch = 0;
    args.insert(args.begin(), "/usr/bin/kelparc");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int32_t rc = kelparc_main(static_cast<int>(args.size()), argv.data(), fakes);
    Outcome o{rc, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
    return o;
}

const std::string banner = "\nOstvale KELPARC Version 1.2\n\n";

}  // namespace

TEST(Options, SingleArgumentIsTheArchiveName) {
    for (const char* arg : {"out.kel", "-u"}) {
        Outcome o = run({arg});
        EXPECT_EQ(o.rc, -8) << arg;
        EXPECT_EQ(o.out, banner);
        EXPECT_EQ(o.err, "No files specified or zip filename missing.\n");
        EXPECT_EQ(seen.op, "");
    }
}

TEST(Options, EachOperationLetterChoosesItsOperation) {
    EXPECT_EQ(run({"-u", "a.kel"}).rc, 7);
    EXPECT_EQ(seen.op, "uncompress");
    EXPECT_EQ(seen.archive_name, "a.kel");
    run({"-L", "a.kel"});
    EXPECT_EQ(seen.op, "list");
    run({"-a", "f", "a.kel"});
    EXPECT_EQ(seen.op, "append");
    EXPECT_EQ(seen.files, std::vector<std::string>{"f"});
    run({"f", "g", "a.kel"});
    EXPECT_EQ(seen.op, "compress");
    EXPECT_EQ(seen.files, (std::vector<std::string>{"f", "g"}));
    Outcome o = run({"-a", "a.kel"});
    EXPECT_EQ(o.rc, -8);
    EXPECT_EQ(o.err, "No files specified or zip filename missing.\n");
}

TEST(Options, UnknownLettersReportedInOrderAndTheRunGoesOn) {
    Outcome o = run({"-x", "-o", "-u", "a.kel"});
    EXPECT_EQ(o.out, banner);
    EXPECT_EQ(o.err, "Invalid option \"x\" ignored.\nInvalid option \"o\" ignored.\n");
    EXPECT_EQ(seen.op, "uncompress");
    // No cap on how many are reported.
    std::vector<std::string> args;
    for (int i = 0; i < 100; ++i) args.push_back("-z");
    args.push_back("-u");
    args.push_back("a.kel");
    o = run(args);
    std::string expected;
    for (int i = 0; i < 100; ++i) expected += "Invalid option \"z\" ignored.\n";
    EXPECT_EQ(o.err, expected);
    // Quiet: unreported.
    o = run({"-x", "-q", "-u", "a.kel"});
    EXPECT_EQ(o.err, "");
}

TEST(Options, Conflicts) {
    Outcome o = run({"-u", "-l", "a.kel"});
    EXPECT_EQ(o.err, "Conflicting options specified for operation.\nUsing -l option only.\n");
    EXPECT_EQ(seen.op, "list");
    EXPECT_EQ(seen.flags & (OPT_UNCOMPRESS | OPT_APPEND), 0u);
    o = run({"-u", "-a", "f", "a.kel"});
    EXPECT_EQ(o.rc, -20);
    EXPECT_EQ(o.err, "Conflicting options specified for operation.\n");
    EXPECT_EQ(seen.op, "");
    o = run({"-q", "-u", "-l", "a.kel"});
    EXPECT_EQ(o.rc, -20);
    EXPECT_EQ(o.out, banner);
    EXPECT_EQ(o.err, "");
}

TEST(Options, ValuesAndLetters) {
    run({"-T", "-u", "a.kel"});
    EXPECT_EQ(seen.flags & (OPT_HIDDEN | OPT_SYSTEM), 0u);
    run({"-tHS", "-u", "a.kel"});
    EXPECT_EQ(seen.flags & (OPT_HIDDEN | OPT_SYSTEM), OPT_HIDDEN | OPT_SYSTEM);
    // Letters that take no value bundle: -rq is -r -q.
    run({"-rq", "f", "a.kel"});
    EXPECT_EQ(seen.flags, OPT_RECURSE | OPT_QUIET);
    run({"-u", "-p", "a.kel"});
    EXPECT_EQ(seen.flags, OPT_UNCOMPRESS | OPT_PASSWORD);
    EXPECT_EQ(seen.password, "");
    run({"-pone", "-ptwo", "-cdir1", "-cdir2", "-u", "a.kel"});
    EXPECT_EQ(seen.password, "two");
    EXPECT_EQ(seen.start_dir, "dir2");
    run({"-p" + std::string(70, 'k'), "-u", "a.kel"});
    EXPECT_EQ(seen.password, std::string(63, 'k'));
    run({"-w", "-s", "-u", "a.kel"});
    EXPECT_EQ(seen.flags, OPT_UNCOMPRESS | OPT_OVERWRITE | OPT_SKIP_SAME);
}

TEST(Options, FileArgumentsAreTakenByPosition) {
    // -r counts as an option and, by position, is the only file argument.
    run({"name.txt", "-r", "a.kel"});
    EXPECT_EQ(seen.flags, OPT_RECURSE);
    EXPECT_EQ(seen.files, std::vector<std::string>{"-r"});
    // The last argument is never an option.
    run({"f", "-u"});
    EXPECT_EQ(seen.op, "compress");
    EXPECT_EQ(seen.archive_name, "-u");
}

// Each build's own rule, stated for each: on Windows '/' introduces options
// as '-' does; on POSIX every absolute path begins with '/'.
#if defined(_WIN32)
TEST(Options, SlashIsAnOptionPrefixOnWindows) {
    run({"/r", "/W", "src", "a.kel"});
    EXPECT_EQ(seen.op, "compress");
    EXPECT_EQ(seen.flags, OPT_RECURSE | OPT_OVERWRITE);
    EXPECT_EQ(seen.files, (std::vector<std::string>{"src"}));
    run({"/u", "a.kel"});
    EXPECT_EQ(seen.op, "uncompress");
}
#else
TEST(Options, SlashIsNotAnOptionPrefix) {
    run({"/tmp/a.txt", "/r", "a.kel"});
    EXPECT_EQ(seen.op, "compress");
    EXPECT_EQ(seen.flags, 0u);
    EXPECT_EQ(seen.files, (std::vector<std::string>{"/tmp/a.txt", "/r"}));
}
#endif

// The archive name and the -c directory are operating-system paths: they
// may be as long as the system's path limit allows (4095 characters on
// POSIX, 32,767 through the Windows wide calls), and are refused, never cut,
// beyond it.
#if defined(_WIN32)
constexpr size_t kLongestPath = 32767;
#else
constexpr size_t kLongestPath = 4095;
#endif
static_assert(kLongestPath + 1 == static_cast<size_t>(plat::PATH_CAP), "each system's own path limit");

TEST(Options, OverlongValuesAreRefusedNotCut) {
    const std::string too_long(kLongestPath + 1, 'a');
    Outcome o = run({"f", too_long});
    EXPECT_EQ(o.rc, -8);
    EXPECT_EQ(o.err, "Argument too long: " + too_long + "\n");
    EXPECT_EQ(seen.op, "");
    EXPECT_EQ(run({"f", std::string(kLongestPath, 'a')}).rc, 7);
    EXPECT_EQ(seen.archive_name, std::string(kLongestPath, 'a'));
    const std::string dir_too_long(kLongestPath + 1, 'd');
    o = run({"-c" + dir_too_long, "f", "a.kel"});
    EXPECT_EQ(o.rc, -2);
    EXPECT_EQ(o.err, "Argument too long: " + dir_too_long + "\n");
    EXPECT_EQ(seen.op, "");
    EXPECT_EQ(run({"-c" + std::string(kLongestPath, 'd'), "f", "a.kel"}).rc, 7);
    EXPECT_EQ(seen.start_dir, std::string(kLongestPath, 'd'));
}

TEST(Options, BundledLetters) {
    Outcome o = run({"-rWs", "f", "a.kel"});
    EXPECT_EQ(seen.flags, OPT_RECURSE | OPT_OVERWRITE | OPT_SKIP_SAME);
    EXPECT_EQ(seen.op, "compress");
    EXPECT_EQ(seen.files, std::vector<std::string>{"f"});
    EXPECT_EQ(o.err, "");
    // c, p and t take the rest of the argument, whatever follows.
    run({"-rcdir", "-qpkey", "-athsu", "f", "a.kel"});
    EXPECT_EQ(seen.start_dir, "dir");
    EXPECT_EQ(seen.password, "key");
    EXPECT_EQ(seen.flags, OPT_RECURSE | OPT_START_DIR | OPT_QUIET | OPT_PASSWORD | OPT_APPEND | OPT_HIDDEN |
                              OPT_SYSTEM);
    EXPECT_EQ(seen.op, "append");
    // Bundled operations conflict as separate ones do.
    o = run({"-ul", "a.kel"});
    EXPECT_EQ(o.err, "Conflicting options specified for operation.\nUsing -l option only.\n");
    EXPECT_EQ(seen.op, "list");
    o = run({"-ua", "f", "a.kel"});
    EXPECT_EQ(o.rc, -20);
    EXPECT_EQ(seen.op, "");
    // An unrecognised letter is reported and ends its argument: what follows
    // it might be its value.
    o = run({"-rx", "-xr", "-k4u", "-u", "a.kel"});
    EXPECT_EQ(o.err, "Invalid option \"x\" ignored.\nInvalid option \"x\" ignored.\nInvalid option \"k\" ignored.\n");
    EXPECT_EQ(seen.flags, OPT_RECURSE | OPT_UNCOMPRESS);
    o = run({"-", "-u", "a.kel"});
    EXPECT_EQ(o.err, "Invalid option \"\" ignored.\n");
}

// -j takes the rest of its argument as the number of workers (no option
// bit); a bad value is reported in its place among the unknown letters and
// ends the run with -23 before any operation.
TEST(Options, WorkerCount) {
    Outcome o = run({"-j4", "f", "a.kel"});
    EXPECT_EQ(o.rc, 7);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(seen.n_workers, 4);
    EXPECT_EQ(seen.flags, 0u);
    run({"-rJ64", "-l", "a.kel"});
    EXPECT_EQ(seen.n_workers, 64);
    EXPECT_EQ(seen.flags, OPT_RECURSE | OPT_LIST);
    run({"-j1", "-j007", "f", "a.kel"});
    EXPECT_EQ(seen.n_workers, 7);
    run({"f", "a.kel"});
    EXPECT_EQ(seen.n_workers, 0);
    for (const char* bad : {"-j", "-j0", "-j65", "-j1x", "-jx", "-j+2", "-rj"}) {
        o = run({"-y", bad, "f", "a.kel"});
        EXPECT_EQ(o.rc, RC_BAD_JOBS) << bad;
        EXPECT_EQ(seen.op, "") << bad;
        EXPECT_EQ(o.err, "Invalid option \"y\" ignored.\nInvalid value for -j: " +
                             std::string(bad + (bad[1] == 'r' ? 3 : 2)) + "\n")
            << bad;
    }
    o = run({"-q", "-j0", "f", "a.kel"});
    EXPECT_EQ(o.rc, RC_BAD_JOBS);
    EXPECT_EQ(o.err, "");
}

TEST(Options, DetailLetterSetsNoOptionBit) {
    run({"-l", "-v", "a.kel"});
    EXPECT_EQ(seen.flags, OPT_LIST);
    EXPECT_EQ(seen.detailed, 1);
    run({"-lV", "a.kel"});
    EXPECT_EQ(seen.flags, OPT_LIST);
    EXPECT_EQ(seen.detailed, 1);
    run({"-v", "f", "a.kel"});
    EXPECT_EQ(seen.op, "compress");
    EXPECT_EQ(seen.flags, 0u);
    run({"-l", "a.kel"});
    EXPECT_EQ(seen.detailed, 0);
}

TEST(Options, StartDirectoryFromTheNextArgument) {
    run({"-c", "dir", "f", "a.kel"});
    EXPECT_EQ(seen.start_dir, "dir");
    EXPECT_EQ(seen.files, std::vector<std::string>{"f"});
    run({"-rc", "dir", "-u", "a.kel"});
    EXPECT_EQ(seen.start_dir, "dir");
    EXPECT_EQ(seen.flags, OPT_RECURSE | OPT_START_DIR | OPT_UNCOMPRESS);
    EXPECT_TRUE(seen.files.empty());
    // The archive name is never taken, nor another option.
    run({"-u", "-c", "a.kel"});
    EXPECT_EQ(seen.start_dir, "");
    EXPECT_EQ(seen.archive_name, "a.kel");
    EXPECT_EQ(seen.flags, OPT_UNCOMPRESS | OPT_START_DIR);
    run({"-c", "-u", "a.kel"});
    EXPECT_EQ(seen.start_dir, "");
    EXPECT_EQ(seen.op, "uncompress");
    // -p keeps asking for the password when empty.
    run({"-p", "word", "-u", "a.kel"});
    EXPECT_EQ(seen.password, "");
    EXPECT_EQ(seen.files, std::vector<std::string>{"-u"});
}

TEST(Options, HelpAndVersionAloneOnly) {
    Outcome usage = run({});
    EXPECT_EQ(usage.rc, 0);
    EXPECT_NE(usage.out.find("   -u       : Unzip an archive\n   -v       : With -l, list sizes, dates and attributes\n"
                             "   -w       : Overwrite existing zip file\n"),
              std::string::npos);
    for (const char* help : {"--help", "-h", "-?"}) {
        Outcome o = run({help});
        EXPECT_EQ(o.rc, 0) << help;
        EXPECT_EQ(o.out, usage.out) << help;
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(seen.op, "");
    }
    Outcome v = run({"--version"});
    EXPECT_EQ(v.rc, 0);
    EXPECT_EQ(v.out, "Ostvale KELPARC Version 1.2\n");
    EXPECT_EQ(v.err, "");
    // Anywhere else they are ordinary arguments.
    run({"-r", "src", "--help"});
    EXPECT_EQ(seen.op, "compress");
    EXPECT_EQ(seen.archive_name, "--help");
    run({"-l", "--version"});
    EXPECT_EQ(seen.archive_name, "--version");
    Outcome h = run({"-H"});
    EXPECT_EQ(h.rc, -8);
}

// A "--" argument is one long option: known words are taken (values after
// '='), set no option bit and count as option arguments; anything else is
// reported whole with message 62 in its place among the other reports.
TEST(Options, LongOptions) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> longs;
        std::string err;
    };
    const Case cases[] = {
        {{"--checksum", "--keep-going", "f", "a.kel"}, {"checksum", "keep-going"}, ""},
        {{"-r", "--exclude=*.o", "--exclude=a/b", "--files-from=-", "f", "a.kel"},
         {"exclude=*.o", "exclude=a/b", "files-from=-"}, ""},
        {{"--progress", "--no-progress", "f", "a.kel"}, {"progress=-1"}, ""},
        {{"--no-progress", "--progress", "--to-stdout", "f", "a.kel"}, {"to-stdout", "progress"}, ""},
        {{"-x", "--", "--bogus", "--checksum=1", "--exclude", "--exclude=", "--Test", "f", "a.kel"},
         {},
         "Invalid option \"x\" ignored.\nInvalid option \"--\" ignored.\nInvalid option \"--bogus\" "
         "ignored.\nInvalid option \"--checksum=1\" ignored.\nInvalid option \"--exclude\" ignored.\n"
         "Invalid option \"--exclude=\" ignored.\nInvalid option \"--Test\" ignored.\n"},
        {{"-q", "--bogus", "f", "a.kel"}, {}, ""},
        // Long options never bundle and are not the archive name's: an
        // empty -c does not take one as its directory.
        {{"-c", "--keep-going", "f", "a.kel"}, {"keep-going"}, ""},
    };
    for (const Case& c : cases) {
        Outcome o = run(c.args);
        EXPECT_EQ(o.rc, 7) << c.args[0];
        EXPECT_EQ(o.err, c.err) << c.args[0];
        EXPECT_EQ(seen.longs, c.longs) << c.args[0];
        EXPECT_EQ(seen.files, std::vector<std::string>{"f"}) << c.args[0];
        EXPECT_EQ(seen.flags & ~(OPT_QUIET | OPT_RECURSE | OPT_START_DIR), 0u) << c.args[0];
        EXPECT_EQ(seen.archive_name, "a.kel");
    }
    // The last argument is always the archive name.
    run({"f", "--test"});
    EXPECT_EQ(seen.archive_name, "--test");
    EXPECT_EQ(seen.longs, std::vector<std::string>{});
}

// --test and --compare are operations in the conflict check.
TEST(Options, TestAndCompareConflictLikeOperations) {
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"--test", "-u", "a.kel"}, {"--compare", "--test", "a.kel"}, {"-a", "--compare", "f", "a.kel"}}) {
        Outcome o = run(args);
        EXPECT_EQ(o.rc, RC_CONFLICT) << args[0];
        EXPECT_EQ(o.err, "Conflicting options specified for operation.\n") << args[0];
        args.insert(args.begin(), "-q");
        o = run(args);
        EXPECT_EQ(o.rc, RC_CONFLICT);
        EXPECT_EQ(o.err, "");
    }
    Outcome o = run({"--test", "-l", "--compare", "a.kel"});
    EXPECT_EQ(o.err, "Conflicting options specified for operation.\nUsing -l option only.\n");
    EXPECT_EQ(seen.op, "list");
    EXPECT_EQ(seen.longs, std::vector<std::string>{});
}
