// Every kelparc command line of the README's example blocks and of the
// manual page, run as a user would type it, in a scratch folder holding a
// small sample tree: a wrong example fails here.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

// The lines of one example block, run in order in one sample folder.
using Block = std::vector<std::string>;

// A shell line that runs kelparc (first, or after &&, ; or |), with arguments.
bool runs_kelparc(const std::string& line) {
    static const std::regex command(R"((^|&&|;|\|)\s*kelparc\s+\S)");
    return std::regex_search(line, command);
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// The README's fenced blocks, but those marked as text (the synopsis).
std::vector<Block> readme_examples(const std::string& text) {
    std::vector<Block> blocks;
    bool inside = false;
    bool text_block = false;
    for (const std::string& line : lines_of(text)) {
        if (line.compare(0, 3, "```") == 0) {
            inside = !inside;
            text_block = line == "```text";
            if (inside && !text_block) blocks.emplace_back();
            continue;
        }
        if (inside && !text_block && runs_kelparc(line)) blocks.back().push_back(line);
    }
    return blocks;
}

// The text of a roff line without its escapes.
std::string unescape_roff(std::string s) {
    const std::pair<const char*, const char*> escapes[] = {
        {"\\-", "-"}, {"\\(aq", "'"}, {"\\fI", ""}, {"\\fB", ""}, {"\\fP", ""}, {"\\e", "\\"}};
    for (const auto& e : escapes) {
        for (size_t at = s.find(e.first); at != std::string::npos; at = s.find(e.first, at)) {
            s.replace(at, std::strlen(e.first), e.second);
            at += std::strlen(e.second);
        }
    }
    return s;
}

// The manual page's bold command lines outside the synopsis; adjacent ones
// form one block (the EXAMPLES section).
std::vector<Block> manual_examples(const std::string& text) {
    std::vector<Block> blocks;
    std::string section;
    bool last_was_command = false;
    for (const std::string& line : lines_of(text)) {
        if (line.compare(0, 4, ".SH ") == 0) section = line.substr(4);
        std::string shown = line.compare(0, 3, ".B ") == 0 ? unescape_roff(line.substr(3)) : "";
        bool command = section != "SYNOPSIS" && runs_kelparc(shown);
        if (command && !last_was_command) blocks.emplace_back();
        if (command) blocks.back().push_back(shown);
        last_was_command = command;
    }
    return blocks;
}

size_t count_lines(const std::vector<Block>& blocks) {
    size_t n = 0;
    for (const Block& b : blocks) n += b.size();
    return n;
}

// The sample folder: a project tree, a src tree, docs, notes.txt, an
// archive backup.kel of src and docs, and a kelparc on the PATH.
void make_sample(const th::ScratchDir& dir) {
    const char* files[] = {"project/README.md", "project/src/main.c", "project/src/util.c",
                           "project/src/util.h", "project/build/main.o", "project/.config",
                           "src/main.c", "src/util.h", "src/util.o", "src/tmp/scratch.txt",
                           "docs/guide.txt", "notes.txt"};
    for (const char* f : files) th::write_file(dir / f, std::string("contents of ") + f + "\n");
    ASSERT_EQ(th::run_kelparc({"-q", "-r", "src", "docs", "backup.kel"}, [&] {
                  th::RunOptions o;
                  o.cwd = dir.path();
                  return o;
              }()).status,
              0);
    th::write_file(dir / "bin/kelparc", "#!/bin/sh\nexec '" + th::kelparc_path() + "' \"$@\"\n");
    ASSERT_EQ(::chmod((dir / "bin/kelparc").c_str(), 0755), 0);
}

void run_blocks(const std::vector<Block>& blocks, const std::string& document) {
    for (const Block& block : blocks) {
        th::ScratchDir dir;
        make_sample(dir);
        th::RunOptions opt;
        opt.cwd = dir.path();
        opt.stdin_null = true;
        opt.env = {"PATH=" + dir.path() + "/bin:/usr/bin:/bin", "HOME=" + dir.path()};
        for (const std::string& line : block) {
            auto r = th::run_program("/bin/sh", {"-c", line}, opt);
            EXPECT_EQ(r.status, 0) << document << ": " << line << "\n" << r.out << r.err;
        }
    }
}

TEST(DocExamples, EveryCommandLineOfTheReadmeRuns) {
    SKIP_UNDER_WINE("the examples are Linux shell lines");
    std::vector<Block> blocks = readme_examples(th::read_file(std::string(KELPARC_SOURCE_DIR) + "/README.md"));
    EXPECT_GE(count_lines(blocks), 7u);
    run_blocks(blocks, "README.md");
}

TEST(DocExamples, EveryCommandLineOfTheManualRuns) {
    SKIP_UNDER_WINE("the examples are Linux shell lines");
    std::vector<Block> blocks = manual_examples(th::read_file(std::string(KELPARC_SOURCE_DIR) + "/docs/kelparc.1"));
    EXPECT_GE(count_lines(blocks), 18u);
    run_blocks(blocks, "kelparc.1");
}

TEST(DocExamples, TheExtractionFindsWhatATypoWouldBreak) {
    // The archive first, as the documents once had it, fails.
    std::vector<Block> man = manual_examples(".SH SYNOPSIS\n.B kelparc \\-\\-help\n.SH X\nExample:\n"
                                             ".B kelparc \\-u backup.kel src/main.c\n.TP\n"
                                             ".B \"kelparc \\-l\"\n.nf\n.B kelparc \\-l a\n"
                                             ".B mkdir c && kelparc \\-u \\-c c \\(aqa\\(aq\n.fi\n");
    EXPECT_EQ(man, (std::vector<Block>{{"kelparc -u backup.kel src/main.c"},
                                       {"kelparc -l a", "mkdir c && kelparc -u -c c 'a'"}}));
    std::vector<Block> readme = readme_examples("```text\nkelparc [options]\n```\n```\ncmake x\n"
                                                "kelparc -l a.kel  # list\nfind . | kelparc x\n```\n");
    EXPECT_EQ(readme, (std::vector<Block>{{"kelparc -l a.kel  # list", "find . | kelparc x"}}));
    SKIP_UNDER_WINE("the examples are Linux shell lines");
    th::ScratchDir dir;
    make_sample(dir);
    th::RunOptions opt;
    opt.cwd = dir.path();
    opt.env = {"PATH=" + dir.path() + "/bin:/usr/bin:/bin"};
    EXPECT_NE(th::run_program("/bin/sh", {"-c", man[0][0]}, opt).status, 0);
}

}  // namespace
