// The password prompt on a real pseudo-terminal and on a pipe: what the
// terminal shows for each key, what the entry holds, and how it ends.
//
// prompt_probe runs the prompt alone and prints "rc=<n> pw=<password>".  On
// the terminal, standard output's newlines show as "\r\n"; the asterisks,
// bells and erase sequences go to the terminal directly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

const std::string PROMPT = "Enter password:  ";
// The bell as the terminal shows it: Wine's console does not pass it on.
const std::string BELL = th::windows_target() ? "" : "\a";

// A line end as the terminal shows it: it adds "\r" before each "\n", and
// on Windows the program's console writes "\r\n" for the line end already.
const std::string EOL = th::windows_target() ? "\r\r\n" : "\r\n";

th::PtyResult type_keys(const std::vector<std::string>& keys) {
    th::ScratchDir dir;
    return th::run_in_pty(th::prompt_probe_path(), {}, dir.path(), keys);
}

// Checks that the probe ended normally and the terminal showed `screen`.
void expect_screen(const th::PtyResult& r, const std::string& screen) {
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.screen, screen);
}

}  // namespace

TEST(Prompt, NothingTypedIsEchoedOneAsteriskPerCharacter) {
    expect_screen(type_keys({"a", "B", "3", "\r"}), PROMPT + "***" + EOL + "rc=0 pw=aB3" + EOL);
}

TEST(Prompt, CharactersAbove127AreStoredLikeAnyOther) {
    SKIP_UNDER_WINE("Wine's console reads the terminal's bytes in the locale's encoding, not as code page keys");
    expect_screen(type_keys({"\xe9", " ", "%", "\r"}), PROMPT + "***" + EOL + "rc=0 pw=\xe9 %" + EOL);
}

TEST(Prompt, EntryEndsWithEnterLineFeedCtrlZOrCtrlD) {
    expect_screen(type_keys({"a", "\n"}), PROMPT + "*" + EOL + "rc=0 pw=a" + EOL);
    if (th::windows_target()) {
        // Ctrl+Z is the terminal's suspend key under Wine, and Ctrl+D an
        // ordinary control key on Windows: it rings the bell.
        expect_screen(type_keys({"c", "\x04", "\r"}), PROMPT + "*" + BELL + EOL + "rc=0 pw=c" + EOL);
        return;
    }
    expect_screen(type_keys({"b", "\x1a"}), PROMPT + "*" + EOL + "rc=0 pw=b" + EOL);
    expect_screen(type_keys({"c", "\x04"}), PROMPT + "*" + EOL + "rc=0 pw=c" + EOL);
}

TEST(Prompt, BackspaceErasesAndDoesNothingOnAnEmptyEntry) {
    // DEL (what the terminal sends for Backspace) and Ctrl+H both erase.
    expect_screen(type_keys({"a", "b", "\x7f", "c", "\b", "d", "\r"}), PROMPT + "**\b \b*\b \b*" + EOL + "rc=0 pw=ad" + EOL);
    expect_screen(type_keys({"\x7f", "\x7f", "x", "\r"}), PROMPT + "*" + EOL + "rc=0 pw=x" + EOL);
}

TEST(Prompt, CursorAndFunctionKeysRingTheBellAndAddNothing) {
    // Up, F1, Delete, Home in their terminal forms.
    expect_screen(type_keys({"a", "\x1b[A", "\x1bOP", "\x1b[3~", "\x1b[1;5H", "b", "\r"}),
                  PROMPT + "*" + BELL + BELL + BELL + BELL + "*" + EOL + "rc=0 pw=ab" + EOL);
}

TEST(Prompt, OtherControlCharactersRingTheBell) {
    // Tab, Ctrl+A and a lone Escape.
    expect_screen(type_keys({"\t", "a", "\x01", "\x1b", "b", "\r"}), PROMPT + BELL + "*" + BELL + BELL + "*" + EOL + "rc=0 pw=ab" + EOL);
}

// The 64th and later characters ring the bell; the entry keeps 63.  The
// 64 characters arrive in one write, so keys typed ahead are kept too.
TEST(Prompt, SixtyFourCharactersKeepSixtyThree) {
    // Wine's console is 80 columns wide: the prompt and 63 asterisks fill
    // the line, and it wraps.
    const std::string WRAPPED = th::windows_target() ? EOL : "";
    std::string typed;
    for (int i = 0; i < 64; ++i) typed += static_cast<char>('A' + i % 26);
    expect_screen(type_keys({typed, "z", "\r"}),
                  PROMPT + std::string(63, '*') + BELL + BELL + EOL + WRAPPED + "rc=0 pw=" + typed.substr(0, 63) + EOL);
}

TEST(Prompt, EmptyEntryAsksAgain) {
    expect_screen(type_keys({"\r", "a", "\r"}), PROMPT + EOL + PROMPT + "*" + EOL + "rc=0 pw=a" + EOL);
    // Everything erased counts as empty too.
    expect_screen(type_keys({"a", "\x7f", "\r", "b", "\r"}),
                  PROMPT + "*\b \b" + EOL + PROMPT + "*" + EOL + "rc=0 pw=b" + EOL);
}

// Ctrl+C is a key, not a signal: the prompt returns -19 at once and leaves
// its line unterminated.
TEST(Prompt, CtrlCCancels) {
    SKIP_UNDER_WINE("Ctrl+C is the terminal's interrupt key under Wine: it ends Wine itself");
    // Keys typed after Ctrl+C are never read into the entry.  Once the prompt
    // has given the terminal back, the terminal's own echo may show them
    // before the probe ends, so only the prompt's part of the screen and the
    // probe's line are compared.
    auto r = type_keys({"a", "b", "\x03", "c", "\r"});
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.screen.substr(0, PROMPT.size() + 2), PROMPT + "**") << r.screen;
    EXPECT_NE(r.screen.find("rc=-19 pw=" + EOL), std::string::npos) << r.screen;
    EXPECT_EQ(r.screen.find("***"), std::string::npos) << r.screen;
    expect_screen(type_keys({"\x03"}), PROMPT + "rc=-19 pw=" + EOL);
}

TEST(Prompt, CtrlCAtTheProgramsPromptEndsTheRun) {
    SKIP_UNDER_WINE("Ctrl+C is the terminal's interrupt key under Wine: it ends Wine itself");
    th::ScratchDir dir;
    th::write_file(dir / "f", "x");
    auto r = th::run_in_pty({"-p", "f", "out.kel"}, dir.path(), {"s", "\x03"});
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, th::status_of(-19));
    // The banner, the prompt, one asterisk, and nothing after it.
    std::string tail = PROMPT + "*";
    ASSERT_GE(r.screen.size(), tail.size()) << r.screen;
    EXPECT_EQ(r.screen.substr(r.screen.size() - tail.size()), tail) << r.screen;
    EXPECT_FALSE(th::exists(dir / "out.kel"));
}

// Without a terminal the keys come from standard input, the asterisks go
// to standard error, and the end of input cancels.  The Windows build reads
// the console only: without one the entry ends as cancelled.
TEST(Prompt, WithoutTerminalReadsStandardInput) {
    th::RunOptions opt;
    opt.stdin_data = "se\x7f" "cret\n";
    if (th::windows_target()) {
        auto r = th::run_program(th::prompt_probe_path(), {}, opt);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, PROMPT + "rc=-19 pw=\n");
        EXPECT_EQ(r.err, "");
        return;
    }
    auto r = th::run_program(th::prompt_probe_path(), {}, opt);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, PROMPT + "\nrc=0 pw=scret\n");
    EXPECT_EQ(r.err, "**\b \b****");

    opt.stdin_data = "\n\nab";  // two empty entries, then the input ends
    r = th::run_program(th::prompt_probe_path(), {}, opt);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, PROMPT + "\n" + PROMPT + "\n" + PROMPT + "rc=-19 pw=\n");
    EXPECT_EQ(r.err, "**");
}

TEST(Prompt, WithoutTerminalEndOfInputCancels) {
    th::RunOptions opt;
    auto r = th::run_program(th::prompt_probe_path(), {}, opt);  // empty input, closed at once
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, PROMPT + "rc=-19 pw=\n");
    EXPECT_EQ(r.err, "");
    opt.stdin_null = true;
    r = th::run_program(th::prompt_probe_path(), {}, opt);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, PROMPT + "rc=-19 pw=\n");
}
