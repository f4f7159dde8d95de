// Choosing entries by stored name: components, patterns, directories,
// separators and letter case.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "archive/select.h"
#include "base/messages.h"
#include "platform/platform.h"

namespace {

Selection make(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    Selection sel;
    selection_init(&sel, static_cast<int32_t>(argv.size()), argv.data());
    return sel;
}

bool chooses(const std::string& arg, const char* name, bool ignore_case = false) {
    Selection sel = make({arg});
    sel.ignore_case = ignore_case;
    return selection_choose(&sel, name);
}

}  // namespace

TEST(Select, PatternsStayInsideOneComponent) {
    EXPECT_TRUE(chooses("a*b*c", "aXbYbZc"));
    EXPECT_TRUE(chooses("a*b*c", "abc"));
    EXPECT_FALSE(chooses("a*b*c", "aXbYcZ"));
    EXPECT_TRUE(chooses("*.c", "x.c"));
    EXPECT_FALSE(chooses("*.c", "d/x.c"));
    EXPECT_FALSE(chooses("d*x.c", "d/x.c"));
    EXPECT_FALSE(chooses("d?x.c", "d/x.c"));
    EXPECT_TRUE(chooses("d/*", "d/x.c"));
    EXPECT_TRUE(chooses("?", "a"));
    EXPECT_FALSE(chooses("?", "ab"));
    EXPECT_TRUE(chooses("**", "ab"));
    EXPECT_TRUE(chooses("a*", "a"));
}

TEST(Select, DirectoriesSeparatorsAndDots) {
    EXPECT_TRUE(chooses("d", "d"));
    EXPECT_TRUE(chooses("d", "d/e/f"));
    EXPECT_FALSE(chooses("d", "de/f"));
    EXPECT_FALSE(chooses("d/e/f", "d/e"));
    EXPECT_TRUE(chooses("d\\e", "d/e/f"));
    EXPECT_TRUE(chooses("d/e", "d\\e\\f"));
    EXPECT_TRUE(chooses("/./d//e/", "./d/e"));
    EXPECT_TRUE(chooses("d/e", "/d/./e"));
    // Nothing left of the argument: the whole archive.
    EXPECT_TRUE(chooses("./", "anything/at/all"));
    // ".." is a name like any other.
    EXPECT_FALSE(chooses("d/../e", "e"));
}

TEST(Select, LetterCaseFollowsThePlatform) {
    EXPECT_FALSE(chooses("README", "readme"));
    EXPECT_TRUE(chooses("README", "readme", true));
    EXPECT_TRUE(chooses("S*/*.C", "src/a.c", true));
    EXPECT_TRUE(lies_under(name_parts("SRC"), name_parts("src/a"), true));
    EXPECT_FALSE(lies_under(name_parts("SRC"), name_parts("src/a"), false));
    EXPECT_FALSE(lies_under(name_parts("src"), name_parts("src"), false));
    EXPECT_TRUE(same_name(name_parts("./src/"), name_parts("src"), false));
}

// Beyond ASCII, case-blind matching is the file system's (Windows); where
// names compare exactly it folds ASCII letters only.  '?' is one character
// there, one byte here.
TEST(Select, LetterCaseBeyondAsciiFollowsThePlatform) {
#if defined(_WIN32)
    const bool blind = true;
#else
    const bool blind = false;
#endif
    EXPECT_EQ(chooses("\xC3\x9C" "BER*", "\xC3\xBC" "ber.txt", true), blind);                 // ÜBER*, über.txt
    EXPECT_EQ(chooses("D/\xCE\xA3*", "d/\xCF\x83\xCE\xBF\xCF\x86\xCE\xAF\xCE\xB1", true), blind);  // Σ*, σοφία
    EXPECT_EQ(chooses("?ber.txt", "\xC3\xBC" "ber.txt", true), blind);
    EXPECT_EQ(chooses("*\xD0\xAF", "\xD1\x8F", true), blind);
    EXPECT_FALSE(chooses("\xC3\x9C" "BER*", "\xC3\xBC" "ber.txt"));
    EXPECT_EQ(chooses("??ber.txt", "\xC3\xBC" "ber.txt", blind), !blind);
}

TEST(Select, EveryArgumentIsMarkedAndTheMissedOnesReported) {
    Selection none = make({});
    EXPECT_FALSE(selection_active(&none));
    EXPECT_TRUE(selection_choose(&none, "x"));
    EXPECT_EQ(selection_report(&none), 0);
    Selection sel = make({"a", "*", "b/c", "zz"});
    EXPECT_TRUE(selection_choose(&sel, "a/x"));
    EXPECT_TRUE(selection_choose(&sel, "b\\c"));
    EXPECT_EQ(sel.matched, (std::vector<uint8_t>{1, 1, 1, 0}));
    quiet_switch = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(selection_report(&sel), -24);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Nothing in the archive matches zz\n");
}

TEST(Select, ExclusionsMatchAComponentOrTheWholeName) {
    const char* patterns[] = {"*.o", "tmp", "src/gen", "a/*/z"};
    exclusions_set(4, patterns);
    const struct {
        const char* name;
        bool excluded;
    } cases[] = {
        {"x.o", true},        {"d/x.o/y", true},    {"tmp", true},         {"d/tmp/e", true},
        {"tmpx", false},      {"src/gen", true},    {"src/gen/f.c", true}, {"./src\\gen", true},
        {"d/src/gen", false}, {"src/generic", false}, {"a/b/z", true},     {"a/b/c/z", false},
        {"x.c", false},
    };
    for (const auto& c : cases) EXPECT_EQ(name_excluded(c.name), c.excluded) << c.name;
    // Letter case as the platform's names.
    EXPECT_EQ(name_excluded("TMP"), plat::names_ignore_case());
    // An excluded entry is chosen by no argument, and marks none.
    Selection sel = make({"d", "src/*"});
    EXPECT_FALSE(selection_choose(&sel, "d/x.o"));
    EXPECT_FALSE(selection_choose(&sel, "src/gen"));
    EXPECT_EQ(sel.matched, (std::vector<uint8_t>{0, 0}));
    EXPECT_TRUE(selection_choose(&sel, "d/x.c"));
    Selection none = make({});
    EXPECT_TRUE(selection_filters(&none));
    EXPECT_FALSE(selection_choose(&none, "tmp"));
    EXPECT_TRUE(selection_choose(&none, "keep"));
    exclusions_set(0, nullptr);
    EXPECT_FALSE(selection_filters(&none));
}

TEST(Select, ManyNamesOverManyEntriesTakeLinearTime) {
    // 200,000 names over 200,000 entries: one pass each, not their product.
    const int n = 200000;
    std::vector<std::string> names;
    for (int i = 0; i < n; ++i) names.push_back("d" + std::to_string(i % 100) + "/f" + std::to_string(i));
    names.push_back("d7");  // a directory among them
    names.push_back("./d8/f8");  // another spelling of a name
    auto start = std::chrono::steady_clock::now();
    Selection sel = make(names);
    for (int i = 0; i < n; ++i) EXPECT_TRUE(selection_choose(&sel, names[i].c_str()));
    EXPECT_FALSE(selection_choose(&sel, "d1/f2"));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(std::count(sel.matched.begin(), sel.matched.end(), 1), n + 2);
    EXPECT_LT(seconds, 5.0);
}

TEST(Select, NamesLookedUpCompareAsPatternsDo) {
    EXPECT_TRUE(chooses("src/A.c", "SRC/a.C", true));
    EXPECT_FALSE(chooses("src/A.c", "SRC/a.C", false));
    // A name holding a character that may pass for an ASCII letter, and a
    // name beyond ASCII, are compared as the system compares names.
    EXPECT_TRUE(chooses("SRC", "src/\xC4\xB1x", true));
    EXPECT_FALSE(chooses("SRC/IX", "src/\xC4\xB1x", false));
    EXPECT_EQ(chooses("\xC3\x89T\xC3\x89", "\xC3\xA9t\xC3\xA9/f", true), plat::names_ignore_case());
}
