// The option scan and the choice of one operation, through a table of
// recording operations in place of the real ones.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/messages.h"
#include "cli/options.h"

namespace {

struct Seen {
    std::string op;
    uint32_t flags = 0;
    std::string password, start_dir, archive_name;
    std::vector<std::string> files;
};
Seen seen;

int32_t record(const char* op, RunConfig* c) {
    seen.op = op;
    seen.flags = c->flags;
    seen.password = c->password;
    seen.start_dir = c->start_dir;
    seen.archive_name = c->archive_name;
    seen.files.clear();
    for (int i = 0; i < c->file_count; ++i) seen.files.push_back(c->files[i]);
    return 7;  // a result the entry point must hand back unchanged
}
int32_t fake_compress(RunConfig* c) { return record("compress", c); }
int32_t fake_append(RunConfig* c) { return record("append", c); }
int32_t fake_uncompress(RunConfig* c) { return record("uncompress", c); }
int32_t fake_list(RunConfig* c) { return record("list", c); }
const OperationTable fakes = {fake_compress, fake_append, fake_uncompress, fake_list};

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
    run({"-rq", "f", "a.kel"});
    EXPECT_EQ(seen.flags, OPT_RECURSE);
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

TEST(Options, SlashIsNotAnOptionPrefix) {
    run({"/tmp/a.txt", "/r", "a.kel"});
    EXPECT_EQ(seen.op, "compress");
    EXPECT_EQ(seen.flags, 0u);
    EXPECT_EQ(seen.files, (std::vector<std::string>{"/tmp/a.txt", "/r"}));
}

TEST(Options, OverlongValuesAreRefusedNotCut) {
    Outcome o = run({"f", std::string(256, 'a')});
    EXPECT_EQ(o.rc, -8);
    EXPECT_EQ(o.err, "Argument too long: " + std::string(256, 'a') + "\n");
    EXPECT_EQ(seen.op, "");
    EXPECT_EQ(run({"f", std::string(255, 'a')}).rc, 7);
    o = run({"-c" + std::string(256, 'd'), "f", "a.kel"});
    EXPECT_EQ(o.rc, -2);
    EXPECT_EQ(o.err, "Argument too long: " + std::string(256, 'd') + "\n");
    EXPECT_EQ(seen.op, "");
    EXPECT_EQ(run({"-c" + std::string(255, 'd'), "f", "a.kel"}).rc, 7);
    EXPECT_EQ(seen.start_dir, std::string(255, 'd'));
}
