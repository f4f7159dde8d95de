// The walk's search operations and the descent rule.
#include "files/dir_walk.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "fixtures.h"
#include "harness.h"

namespace {

class DirWalk : public th::InScratchDir {
protected:
    void SetUp() override {
        th::InScratchDir::SetUp();
        std::memset(&ctx_, 0, sizeof ctx_);
        ctx_.flags = ORIGIN_KELPARC;
    }
    std::string cwd() {
        char buf[4096];
        return ::getcwd(buf, sizeof buf) != nullptr ? buf : "";
    }

    // Every name the search of dir delivers; the working directory is
    // changed to change_to (if given) after the first entry, as the walk
    // does.
    std::vector<std::string> search(const char* dir, const char* change_to = nullptr) {
        std::vector<std::string> names;
        char name[NAME_CAP];
        plat::FindHandle h = dir_search_first(&ctx_, dir, name);
        if (h == nullptr) {
            EXPECT_EQ(name[0], '\0');
            return names;
        }
        if (change_to != nullptr) {
            EXPECT_EQ(::chdir(change_to), 0);
        }
        do names.emplace_back(name);
        while (dir_search_next(&ctx_, h, name) == 1);
        EXPECT_EQ(name[0], '\0');
        dir_search_close(h);
        return names;
    }

    OpContext ctx_;
};

using Names = std::vector<std::string>;

TEST_F(DirWalk, SearchAppliesTheAttributeFilter) {
    th::write_file(dir_ / "d/.hid", "");
    th::write_file(dir_ / "d/b", "");
    th::write_file(dir_ / "d/a", "");
    th::make_dirs(dir_ / "d/.hdir");
    EXPECT_EQ(search("d"), (Names{".", "..", "a", "b"}));
    ctx_.flags |= OPT_HIDDEN;
    EXPECT_EQ(search("d"), (Names{".", "..", ".hdir", ".hid", "a", "b"}));
    EXPECT_TRUE(search("missing").empty());
}

// The walk enters a directory while its search is open: the filter must
// still see the entries' attributes.
TEST_F(DirWalk, SearchSurvivesEnteringTheDirectory) {
    th::write_file(dir_ / "d/.hid", "");
    th::write_file(dir_ / "d/v", "");
    EXPECT_EQ(search("d", "d"), (Names{".", "..", "v"}));
}

TEST_F(DirWalk, CheckDescentComparesWholeComponents) {
    th::make_dirs(dir_ / "home/user");
    th::make_dirs(dir_ / "home/us");
    std::string left = dir_ / "home/user";
    // A leading text that is not an ancestor: the walk goes on.
    EXPECT_EQ(check_descent(left.c_str(), (dir_ / "home/us").c_str()), 0);
    EXPECT_EQ(check_descent(left.c_str(), (dir_ / "home/user/deeper").c_str()), 0);
    EXPECT_EQ(check_descent(left.c_str(), (dir_ / "other").c_str()), 0);
    // The directory itself, an ancestor and the root: changed back, 1.
    for (const std::string& entered : {left, dir_ / "home", dir_.path(), std::string("/")}) {
        ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
        EXPECT_EQ(check_descent(left.c_str(), entered.c_str()), 1) << entered;
        EXPECT_EQ(cwd(), left) << entered;
    }
    // Changing back fails: message 21 and -15.
    std::string gone = dir_ / "home/gone";
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(check_descent(gone.c_str(), (dir_ / "home").c_str()), -15);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Cannot change to directory " + gone + "\n");
}

}  // namespace
