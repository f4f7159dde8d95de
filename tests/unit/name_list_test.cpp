// Splitting and reading the lists of --files-from.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/messages.h"
#include "files/name_list.h"
#include "harness.h"

TEST(NameList, NamesEndAtNewlinesAndNulsWithoutEmptyOnes) {
    using V = std::vector<std::string>;
    const struct {
        std::string bytes;
        V names;
    } cases[] = {
        {"", V{}},
        {"a\nb\n", V{"a", "b"}},
        {"a\nb", V{"a", "b"}},
        {std::string("a\0b c\0\0", 7), V{"a", "b c"}},
        {std::string("a\r\n\r\n\n\0b\r\n", 10), V{"a", "b"}},
        {"a\rb\n\r", V{"a\rb", "\r"}},
        {"  x \n", V{"  x "}},
    };
    for (const auto& c : cases) {
        V names = {"kept"};
        split_name_list(c.bytes, &names);
        V want = {"kept"};
        want.insert(want.end(), c.names.begin(), c.names.end());
        EXPECT_EQ(names, want) << c.bytes;
    }
}

TEST(NameList, AListIsReadWholeOrReported) {
    th::ScratchDir dir;
    std::string big;
    for (int i = 0; i < 5000; ++i) big += "name" + std::to_string(i) + "\n";
    th::write_file(dir / "list", big);
    std::vector<std::string> names;
    EXPECT_EQ(read_name_list((dir / "list").c_str(), false, &names), 0);
    ASSERT_EQ(names.size(), 5000u);
    EXPECT_EQ(names.back(), "name4999");
    quiet_switch = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_name_list((dir / "none").c_str(), false, &names), -21);
    EXPECT_EQ(read_name_list((dir / "none").c_str(), true, &names), -21);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cannot read the file list " + dir / "none" + "\n");
    EXPECT_EQ(names.size(), 5000u);
}
