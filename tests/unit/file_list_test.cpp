// File list expansion: patterns, prefixes, the attribute filter, the
// archive path and the failures with their messages.
#include "files/file_list.h"

#include <gtest/gtest.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "fixtures.h"
#include "harness.h"

namespace {

class FileList : public th::InScratchDir {
protected:
    void SetUp() override {
        th::InScratchDir::SetUp();
        std::memset(&ctx_, 0, sizeof ctx_);
        ctx_.flags = ORIGIN_KELPARC;
    }
    // Expands args from start (the scratch directory unless given) and
    // returns the names, the result code in *rc and the messages in *err.
    std::vector<std::string> expand(std::vector<std::string> args, int32_t* rc, std::string* err,
                                    const std::string& start = "") {
        std::snprintf(ctx_.start_dir, sizeof ctx_.start_dir, "%s", start.empty() ? dir_.path().c_str() : start.c_str());
        std::vector<char*> work;
        for (std::string& a : args) work.push_back(&a[0]);
        char** list = nullptr;
        int32_t n = 0;
        ::testing::internal::CaptureStderr();
        *rc = build_file_list(static_cast<int32_t>(work.size()), work.data(), &ctx_, &list, &n);
        *err = ::testing::internal::GetCapturedStderr();
        std::vector<std::string> names;
        if (*rc == 0) {
            for (int32_t i = 0; i < n; ++i) names.emplace_back(list[i]);
            free_file_list(list, n);
        }
        return names;
    }

    OpContext ctx_;
};

using Names = std::vector<std::string>;

TEST(AttributeFilter, HiddenAndSystemNeedTheirOptions) {
    EXPECT_TRUE(attribute_filter_accepts(0, 0));
    EXPECT_TRUE(attribute_filter_accepts(0x10 | 0x01 | 0x20, 0));
    EXPECT_FALSE(attribute_filter_accepts(0x02, 0));
    EXPECT_TRUE(attribute_filter_accepts(0x02, OPT_HIDDEN));
    EXPECT_FALSE(attribute_filter_accepts(0x04, OPT_HIDDEN));
    EXPECT_TRUE(attribute_filter_accepts(0x04, OPT_SYSTEM));
    EXPECT_FALSE(attribute_filter_accepts(0x06, OPT_HIDDEN));
    EXPECT_FALSE(attribute_filter_accepts(0x06, OPT_SYSTEM));
    EXPECT_TRUE(attribute_filter_accepts(0x06, OPT_HIDDEN | OPT_SYSTEM));
}

TEST_F(FileList, PatternsKeepTheirPrefixAsTyped) {
    th::write_file(dir_ / "start/src/a.c", "");
    th::write_file(dir_ / "start/src/b.c", "");
    th::write_file(dir_ / "start/src/c.h", "");
    th::make_dirs(dir_ / "start/src/d.c");
    int32_t rc;
    std::string err;
    Names names = expand({"src/*.c", "src\\*.c", "gone", "gone", "src/?.h", "out.kel"}, &rc, &err, dir_ / "start");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(err, "");
    // Subdirectories match too; a plain name is listed unexamined, twice
    // when given twice.
    EXPECT_EQ(names, (Names{"src/a.c", "src/b.c", "src/d.c", "src\\a.c", "src\\b.c", "src\\d.c", "gone", "gone",
                            "src/c.h", "out.kel"}));
    // The archive name is resolved where the expansion began, not in the
    // start directory, and the working directory is the one of entry.
    EXPECT_EQ(std::string(ctx_.archive_path), dir_ / "out.kel");
    char now[4096];
    ASSERT_NE(::getcwd(now, sizeof now), nullptr);
    EXPECT_EQ(std::string(now), dir_.path());
}

TEST_F(FileList, LeadingSeparatorStays) {
    int32_t rc;
    std::string err;
    Names names = expand({"/*", "out.kel"}, &rc, &err);
    EXPECT_EQ(rc, 0);
    bool has_usr = false;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        EXPECT_EQ(names[i][0], '/') << names[i];
        EXPECT_NE(names[i], "/.");
        EXPECT_NE(names[i], "/..");
        EXPECT_NE(names[i].substr(0, 2), "/.") << "hidden entry taken: " << names[i];
        has_usr = has_usr || names[i] == "/usr";
    }
    EXPECT_TRUE(has_usr);
}

TEST_F(FileList, HiddenAndSystemMatches) {
    th::write_file(dir_ / ".dot", "");
    th::write_file(dir_ / "sys", "");
    th::write_file(dir_ / "both", "");
    th::write_file(dir_ / "plain", "");
    ASSERT_EQ(::setxattr((dir_ / "sys").c_str(), "user.DOSATTRIB", "0x4", 3, 0), 0);
    ASSERT_EQ(::setxattr((dir_ / "both").c_str(), "user.DOSATTRIB", "0x6", 3, 0), 0);
    int32_t rc;
    std::string err;
    EXPECT_EQ(expand({"*", "out.kel"}, &rc, &err), (Names{"plain", "out.kel"}));
    EXPECT_EQ(err, "");
    ctx_.flags |= OPT_HIDDEN;
    EXPECT_EQ(expand({"*", "out.kel"}, &rc, &err), (Names{".dot", "plain", "out.kel"}));
    ctx_.flags |= OPT_SYSTEM;
    EXPECT_EQ(expand({"*", "out.kel"}, &rc, &err), (Names{".dot", "both", "plain", "sys", "out.kel"}));
    // Named without wildcards, nothing is filtered.
    ctx_.flags = ORIGIN_KELPARC;
    EXPECT_EQ(expand({".dot", "both", "out.kel"}, &rc, &err), (Names{".dot", "both", "out.kel"}));
}

TEST_F(FileList, Failures) {
    th::write_file(dir_ / "a", "");
    th::write_file(dir_ / ".h", "");
    int32_t rc;
    std::string err;
    EXPECT_TRUE(expand({"a", "*.zz", "out.kel"}, &rc, &err).empty());
    EXPECT_EQ(rc, -21);
    EXPECT_EQ(err, "Bad file list selected - *.zz \nFatal Error Bad arguments!\n");
    EXPECT_TRUE(expand({"nodir/*", "out.kel"}, &rc, &err).empty());
    EXPECT_EQ(rc, -21);
    EXPECT_EQ(err, "Bad file list selected - nodir/* \nFatal Error Bad arguments!\n");
    // Matches that are all skipped are no failure, unless no name at all
    // is left to stand for the archive.
    EXPECT_EQ(expand({".h*", "out.kel"}, &rc, &err), (Names{"out.kel"}));
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(expand({".h*", ".h*"}, &rc, &err).empty());
    EXPECT_EQ(rc, -21);
    EXPECT_EQ(err, "Fatal Error Bad arguments!\n");
}

TEST_F(FileList, OverlongMatchIsSkipped) {
    std::string deep(200, 'd');
    std::string leaf(60, 'f');
    th::write_file(dir_ / deep + "/" + leaf, "");
    th::write_file(dir_ / deep + "/short", "");
    int32_t rc;
    std::string err;
    Names names = expand({deep + "/*", "out.kel"}, &rc, &err);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(err, "Name too long, skipping " + deep + "/" + leaf + "\n");
    EXPECT_EQ(names, (Names{deep + "/short", "out.kel"}));
}

// When the working directory and the name together pass the path limit,
// the name as given still reaches the archive and names it in messages;
// beyond the limit itself, or with -c (the operation then works in another
// directory), it is refused naming it.
TEST_F(FileList, ArchiveNameAsGivenWhenItsFullPathCannotBeFormed) {
    int32_t rc;
    std::string err;
    std::string deep(4090, 'x');
    Names names = expand({deep}, &rc, &err);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(std::string(ctx_.archive_path), deep);
    std::string huge(5000, 'x');
    names = expand({huge}, &rc, &err);
    EXPECT_EQ(rc, -21);
    EXPECT_EQ(err, "During wild card expansion, could not access path:\n    " + huge + "\n");
    ctx_.flags |= OPT_START_DIR;
    names = expand({deep}, &rc, &err);
    EXPECT_EQ(rc, -21);
    EXPECT_EQ(err, "During wild card expansion, could not access path:\n    " + deep + "\n");
    names = expand({"a.kel"}, &rc, &err);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(std::string(ctx_.archive_path), dir_.path() + "/a.kel");
}

}  // namespace
