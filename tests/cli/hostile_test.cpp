// Hostile archives through the whole program: real archives cut short or
// changed byte by byte, and entries with names that try to leave the
// target.  Every run must end promptly with a status, without a signal, and
// write nothing outside the target directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <set>
#include <string>

#include "archive_builder.h"
#include "harness.h"

namespace fs = std::filesystem;

namespace {

struct Arena {
    th::ScratchDir root;
    std::string target = root / "target";
    std::string sentinel = root / "sentinel";
    std::string src = root / "src";
    Arena() {
        th::make_dirs(target);
        th::make_dirs(src);
        th::write_file(sentinel + "/keep", "untouched");
    }
    // Archives a tree made by fill() with kelparc and returns the bytes.
    std::string real_archive(const std::vector<std::string>& args) {
        auto r = ab::run_in(src, args);
        EXPECT_EQ(r.status, 0) << r.err;
        std::string bytes = th::read_file(src + "/out.kel");
        th::remove_tree(src);
        th::make_dirs(src);
        return bytes;
    }
    std::set<std::string> outside() const {
        std::set<std::string> names;
        for (auto& e : fs::directory_iterator(root.path())) names.insert(e.path().filename().string());
        for (auto& e : fs::directory_iterator(sentinel)) names.insert("sentinel/" + e.path().filename().string());
        return names;
    }
    // Lists and unpacks bytes; checks that both runs ended on their own and
    // that nothing beside the target changed.
    void run_both(const std::string& bytes, const std::set<std::string>& before, const std::string& what) {
        th::remove_tree(target);
        th::make_dirs(target);
        th::write_file(root / "h.kel", bytes);
        for (const char* op : {"-l", "-u"}) {
            auto r = ab::run_in(root.path(), {op, "-ctarget", "h.kel"});
            EXPECT_FALSE(r.timed_out) << what << " " << op;
            EXPECT_EQ(r.signal, 0) << what << " " << op;
            // 0 or a negative code (234..255); a sanitizer's report exits 1.
            EXPECT_TRUE(r.status == 0 || r.status >= 234) << what << " " << op << ": " << r.status << " " << r.err;
        }
        EXPECT_EQ(outside(), before) << what;
        EXPECT_EQ(th::read_file(sentinel + "/keep"), "untouched") << what;
    }
};

TEST(Hostile, RealArchivesCutShort) {
    Arena a;
    th::write_file(a.src + "/d/t.txt", th::make_bytes(300, 't'));
    th::write_file(a.src + "/d/r.bin", th::make_bytes(40, 'r'));
    th::write_file(a.src + "/d/e", "");
    std::string small = a.real_archive({"-r", "d", "out.kel"});
    th::write_file(a.src + "/big.txt", th::make_bytes(50000, 't', 9));
    th::write_file(a.src + "/rnd", th::make_bytes(20000, 'r', 9));
    std::string multi = a.real_archive({"-pPw", "big.txt", "rnd", "out.kel"});
    ASSERT_GT(multi.size(), 30000u);
    th::write_file(a.root / "h.kel", "");
    std::set<std::string> before = a.outside();
    for (size_t cut = 0; cut < small.size(); cut += 3) {
        a.run_both(small.substr(0, cut), before, "small cut at " + std::to_string(cut));
        if (HasFailure()) return;
    }
    for (size_t cut = 0; cut < multi.size(); cut += 1777) {
        a.run_both(multi.substr(0, cut), before, "multi cut at " + std::to_string(cut));
        if (HasFailure()) return;
    }
    // The uncut archive restores.
    th::write_file(a.root / "h.kel", small);
    auto r = ab::run_in(a.root.path(), {"-u", "-ctarget", "h.kel"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(th::read_file(a.target + "/d/t.txt"), th::make_bytes(300, 't'));
}

TEST(Hostile, RealArchiveWithChangedBytes) {
    Arena a;
    th::write_file(a.src + "/d/t.txt", th::make_bytes(3000, 't'));
    th::write_file(a.src + "/d/x", th::make_bytes(17000, 't', 3));
    std::string full = a.real_archive({"-r", "d", "out.kel"});
    th::write_file(a.root / "h.kel", "");
    std::set<std::string> before = a.outside();
    std::mt19937 rng(5);
    // The header and the first records byte by byte, the chunks sampled.
    for (size_t at = 0; at < full.size(); at += at < 120 ? 1 : 1 + rng() % 400) {
        std::string bytes = full;
        const char values[] = {'\0', '9', '-', static_cast<char>(rng())};
        bytes[at] = values[rng() % 4];
        a.run_both(bytes, before, "byte " + std::to_string(at));
        if (HasFailure()) return;
    }
}

TEST(Hostile, NamesThatTryToLeave) {
    Arena a;
    th::write_file(a.root / "h.kel", "");
    std::set<std::string> before = a.outside();
    std::string bytes = ab::header() + ab::file_entry("../escape1", "1") + ab::file_entry("..\\escape2", "2") +
                        ab::file_entry("/tmp/../escape3", "3") + ab::file_entry("a/../../../escape4", "4") +
                        ab::dir_entry("../up") + ab::file_entry("../up/../../escape5", "5");
    th::write_file(a.root / "h.kel", bytes);
    auto r = ab::run_in(a.root.path(), {"-u", "-ctarget", "h.kel"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err,
              "Unsafe path ../escape1 restored as escape1\n"
              "Unsafe path ..\\escape2 restored as escape2\n"
              "Unsafe path a/../../../escape4 restored as escape4\n"
              "Unsafe path ../up restored as up\n"
              "Unsafe path ../up/../../escape5 restored as escape5\n");
    for (int i = 1; i <= 5; ++i)
        EXPECT_EQ(th::read_file(a.target + "/escape" + std::to_string(i)), std::to_string(i));
    EXPECT_TRUE(fs::is_directory(a.target + "/up"));
    EXPECT_EQ(a.outside(), before);
    EXPECT_FALSE(th::exists("/escape3"));

    // A 300-character name stops the walk before anything is written.
    a.run_both(ab::header() + ab::file_entry(std::string(300, 'n'), "x"), before, "long name");
    EXPECT_TRUE(fs::is_empty(a.target));
}

}  // namespace
