// The progress line of long runs: on a terminal it appears once the run has
// lasted a second and is erased before any other output and at the end, the
// rest unchanged; elsewhere nothing unless --progress asks for a plain line.
//
// A run is made to last by a slow pipe: the archive arrives (or is taken)
// only after a pause.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "harness.h"

namespace {

const char PAUSE[] = "1.5";  // seconds; the line appears after one

std::string quoted(const std::string& s) { return "'" + s + "'"; }

// The terminal's text without the progress lines and their erasure, with
// the terminal's line ends back to "\n".  *lines counts the lines drawn.
std::string without_progress(const std::string& screen, int* lines) {
    static const std::regex drawn("\rkelparc: [0-9]+ entr(y|ies), [0-9.]+ [kMGTP]?B (read|written), [0-9.]+ [kMGTP]?B/s"
                                  "(, [0-9]+%)? *");
    *lines = static_cast<int>(std::distance(std::sregex_iterator(screen.begin(), screen.end(), drawn),
                                            std::sregex_iterator()));
    std::string text = std::regex_replace(screen, std::regex("(" + std::string("\rkelparc: [^\r\n]*") + ")+\r +\r"), "");
    return std::regex_replace(text, std::regex("\r\n"), "\n");
}

class Progress : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_UNDER_WINE("the slow pipes are shell pipelines of the host");
        th::write_file(dir_ / "src/big.txt", th::make_bytes(50000, 't', 7));
        th::write_file(dir_ / "src/r.bin", th::make_bytes(300000, 'r', 3));
        ASSERT_EQ(ab::run_in(dir_.path(), {"-r", "src", "a.kel"}).status, 0);
    }
    // The same run, fast and without a terminal.
    th::RunResult fast_unpack(const std::vector<std::string>& options) const {
        th::RunOptions opt;
        opt.cwd = dir_.path();
        opt.stdin_data = th::read_file(dir_ / "a.kel");
        std::vector<std::string> args = options;
        args.insert(args.end(), {"-u", "--to-stdout", "-"});
        return th::run_kelparc(args, opt);
    }
    // kelparc with the archive arriving through a slow pipe: the command
    // line for sh, its standard output into out.bin.
    std::string slow_unpack(const std::vector<std::string>& options) const {
        std::string cmd = "(cat a.kel; sleep " + std::string(PAUSE) + ") | " + quoted(th::kelparc_path());
        for (const std::string& o : options) cmd += " " + o;
        return cmd + " -u --to-stdout - > out.bin";
    }
    th::ScratchDir dir_;
};

}  // namespace

TEST_F(Progress, OnATerminalTheLineAppearsAndIsErasedTheRestUnchanged) {
    struct Case {
        std::vector<std::string> options;
        bool shown;
    } cases[] = {{{}, true}, {{"--progress"}, true}, {{"--no-progress"}, false}, {{"-q", "--progress"}, false}};
    for (const Case& c : cases) {
        auto r = th::run_in_pty("/bin/sh", {"-c", slow_unpack(c.options)}, dir_.path(), {});
        auto fast = fast_unpack(c.options);
        ASSERT_EQ(r.status, 0) << c.shown;
        int lines = 0;
        EXPECT_EQ(without_progress(r.screen, &lines), fast.err) << r.raw_screen;
        EXPECT_EQ(lines > 0, c.shown) << r.raw_screen;
        EXPECT_EQ(th::read_file(dir_ / "out.bin"), fast.raw_out);
    }
}

// Writing: the line counts what was written, and the names printed after
// it first erase it.
TEST_F(Progress, OnATerminalWhileWritingToASlowPipe) {
    auto fast = ab::run_in(dir_.path(), {"-r", "src", "-"});
    const std::string cmd = quoted(th::kelparc_path()) + " -r src - | (sleep " + PAUSE + "; cat > b.kel)";
    auto r = th::run_in_pty("/bin/sh", {"-c", cmd}, dir_.path(), {});
    ASSERT_EQ(r.status, 0);
    int lines = 0;
    EXPECT_EQ(without_progress(r.screen, &lines), fast.err);
    EXPECT_GT(lines, 0) << r.raw_screen;
    EXPECT_NE(r.screen.find(" written, "), std::string::npos);
    EXPECT_EQ(th::read_file(dir_ / "b.kel"), fast.raw_out);
}

// Without a terminal nothing changes, unless --progress asks for a plain
// line every second (-q still wins).
TEST_F(Progress, WithoutATerminalOnlyProgressPrintsPlainLines) {
    struct Case {
        std::vector<std::string> options;
        bool shown;
    } cases[] = {{{}, false}, {{"--progress"}, true}, {{"--progress", "-q"}, false}};
    for (const Case& c : cases) {
        ASSERT_EQ(th::shell("cd " + quoted(dir_.path()) + " && " + slow_unpack(c.options) + " 2> err.txt"), 0);
        auto fast = fast_unpack(c.options);
        std::string err = th::read_file(dir_ / "err.txt");
        std::smatch m;
        bool shown = std::regex_search(err, m, std::regex("kelparc: [0-9]+ entr[^\n]* read, [^\n]*/s\n"));
        EXPECT_EQ(shown, c.shown) << err;
        if (shown) err = m.prefix().str() + m.suffix().str();
        EXPECT_EQ(err, fast.err);
        EXPECT_EQ(th::read_file(dir_ / "out.bin"), fast.raw_out);
    }
}
