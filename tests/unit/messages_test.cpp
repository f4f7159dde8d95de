// The catalogue: texts, streams, quiet switch, literal substitution.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "base/messages.h"

namespace {

std::string capture(int fd_no, void (*fn)()) {
    std::FILE* stream = fd_no == 1 ? stdout : stderr;
    std::fflush(stream);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    fn();
    std::fflush(stdout);
    std::fflush(stderr);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    return fd_no == 1 ? out : err;
}

}  // namespace

TEST(Messages, OptionLetterBetweenQuotes) {
    quiet_switch = 0;
    std::string err = capture(2, [] { show_error(9, "\"x\""); });
    EXPECT_EQ(err, "Invalid option \"x\" ignored.\n");
}

TEST(Messages, PercentInNamePrintedLiterally) {
    quiet_switch = 0;
    EXPECT_EQ(capture(2, [] { show_error(2, "a%s%d.kel"); }), "Could not open a%s%d.kel\n");
    EXPECT_EQ(capture(1, [] { show_info(517, "100%"); }), "Skipping 100%\n");
}

TEST(Messages, NumbersWithoutTextWriteNothing) {
    quiet_switch = 0;
    EXPECT_EQ(capture(2, [] { show_error(10); show_error(0); show_error(-3); show_error(49); }), "");
    EXPECT_EQ(capture(1, [] { show_info(504); show_info(520); }), "");
}

TEST(Messages, QuietSwitchSilencesEverything) {
    quiet_switch = 1;
    EXPECT_EQ(capture(2, [] { show_error(2, "x"); }), "");
    EXPECT_EQ(capture(1, [] { show_info(502, "1", "2"); }), "");
    quiet_switch = 0;
}

TEST(Messages, StreamsAndLongTextsWhole) {
    quiet_switch = 0;
    EXPECT_EQ(capture(1, [] { show_info(502, "1", "2"); }), "\nOstvale KELPARC Version 1.2\n\n");
    EXPECT_EQ(capture(1, [] { show_info(519); }), "Enter password:  ");
    EXPECT_EQ(capture(2, [] { show_error(43, 5); }), "Internal error with Find Next 5\n");
    static std::string long_name(1000, 'n');
    std::string err = capture(2, [] { show_error(28, long_name.c_str()); });
    EXPECT_EQ(err, "Could not open source file " + long_name + "\n");
    EXPECT_EQ(capture(2, [] { show_error(46, "../a", "a"); }), "Unsafe path ../a restored as a\n");
}
