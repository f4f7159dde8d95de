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
    EXPECT_EQ(capture(2, [] { show_error(10); show_error(0); show_error(-3); show_error(99); }), "");
    EXPECT_EQ(capture(1, [] { show_info(504); show_info(599); }), "");
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

TEST(Messages, NamesShownWithControlBytesEscaped) {
    EXPECT_EQ(printable_name("plain name-1.txt"), "plain name-1.txt");
    EXPECT_EQ(printable_name("a\nb\tc\rd"), "a\\nb\\tc\\rd");
    EXPECT_EQ(printable_name("\x1b[31mred\x7f\x04"), "\\033[31mred\\177\\004");
    // Backslashes separate stored names; bytes from 0x80 up (UTF-8) stay.
    EXPECT_EQ(printable_name("dir\\sub\\f \xc3\xa9\xff"), "dir\\sub\\f \xc3\xa9\xff");
    std::string all;
    for (int c = 1; c < 0x20; ++c) all += static_cast<char>(c);
    EXPECT_EQ(printable_name(all.c_str()),
              "\\001\\002\\003\\004\\005\\006\\007\\010\\t\\n\\013\\014\\r\\016\\017\\020\\021\\022\\023\\024"
              "\\025\\026\\027\\030\\031\\032\\033\\034\\035\\036\\037");
    quiet_switch = 0;
    EXPECT_EQ(capture(2, [] { show_error(2, "a\nb%s"); }), "Could not open a\\nb%s\n");
    EXPECT_EQ(capture(1, [] { show_info(517, "\x1b]0;title\x07"); }), "Skipping \\033]0;title\\007\n");
}
