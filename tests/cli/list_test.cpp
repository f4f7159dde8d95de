// Listing from the command line: names as stored, empty lines for closing
// and silently skipped records, -q, locked and damaged archives.
#include <gtest/gtest.h>

#include "archive_builder.h"
#include "harness.h"

namespace {

std::string listing_head(const th::ScratchDir& dir, const std::string& name) {
    return ab::banner + "Listing " + th::native_path(dir / name) + " ...\n";
}

TEST(List, NamesAsStoredWithEmptyLinesForClosingRecords) {
    th::ScratchDir dir;
    ab::Fields skipped;
    skipped.flags = ab::HIDDEN_SKIP | ab::RAW;
    skipped.clen = 2;
    th::write_file(dir / "a.kel",
                   ab::header() + ab::dir_entry("top") + ab::file_entry("top/a.txt", th::make_bytes(40000, 't'), true) +
                       ab::dir_entry("sub") + ab::file_entry("top\\sub\\b", "b") + ab::dir_entry("sub", true) +
                       ab::record("hidden", skipped) + "zz" + ab::file_entry("../odd name %s", "") +
                       ab::dir_entry("top", true));
    auto r = ab::run_in(dir.path(), {"-l", "a.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, listing_head(dir, "a.kel") + "top\ntop/a.txt\nsub\ntop\\sub\\b\n\n\n../odd name %s\n\n\n");
    // Listing restores nothing.
    EXPECT_FALSE(th::exists(dir / "top"));
}

TEST(List, HeaderOnlyQuietAndMissingName) {
    th::ScratchDir dir;
    th::write_file(dir / "empty.kel", ab::header());
    auto r = ab::run_in(dir.path(), {"-l", "empty.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, listing_head(dir, "empty.kel") + "\n");
    // A quiet listing reads nothing: even a missing archive gives -7.
    r = ab::run_in(dir.path(), {"-q", "-l", "missing.kel"});
    EXPECT_EQ(r.status, th::status_of(-7));
    EXPECT_EQ(r.out, ab::banner);
    EXPECT_EQ(r.err, "");
    r = ab::run_in(dir.path(), {"-l", ""});
    EXPECT_EQ(r.status, th::status_of(-8));
    EXPECT_EQ(r.out, ab::banner);
    EXPECT_EQ(r.err, "Zip filename missing, nothing to list.\n");
}

TEST(List, BadHeaders) {
    th::ScratchDir dir;
    th::write_file(dir / "text.kel", "not an archive at all");
    auto r = ab::run_in(dir.path(), {"-l", "text.kel"});
    EXPECT_EQ(r.status, th::status_of(-6));
    EXPECT_EQ(r.out, listing_head(dir, "text.kel"));
    EXPECT_EQ(r.err, "Bad file format for " + th::native_path(dir / "text.kel") + "\nCould not open " + th::native_path(dir / "text.kel") + "\n");
    r = ab::run_in(dir.path(), {"-l", "missing.kel"});
    EXPECT_EQ(r.status, th::status_of(-4));
    EXPECT_EQ(r.err, "Could not open source file " + th::native_path(dir / "missing.kel") + "\nCould not open " +
                         th::native_path(dir / "missing.kel") + "\n");
}

TEST(List, LockedArchive) {
    th::ScratchDir dir;
    th::write_file(dir / "a.kel", ab::header(4 | 0x1000, ab::seal("Secret")) + ab::file_entry("f", "x"));
    auto r = ab::run_in(dir.path(), {"-l", "-pSecreT", "a.kel"});
    EXPECT_EQ(r.status, th::status_of(-3));
    EXPECT_EQ(r.out, listing_head(dir, "a.kel"));
    EXPECT_EQ(r.err, "Incorrect password supplied.\nCould not open " + th::native_path(dir / "a.kel") + "\n");
    r = ab::run_in(dir.path(), {"-l", "-pSecret", "a.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, listing_head(dir, "a.kel") + "f\n\n");
}

TEST(List, DamagedArchivesStopWithTheirCode) {
    th::ScratchDir dir;
    std::string good = ab::header() + ab::file_entry("one", "1") + ab::file_entry("two", th::make_bytes(20000, 'r'));
    // Cut inside the second entry's first chunk: its name is printed without
    // a newline.
    th::write_file(dir / "cut.kel", good.substr(0, good.size() - 10000));
    auto r = ab::run_in(dir.path(), {"-l", "cut.kel"});
    EXPECT_EQ(r.status, th::status_of(-6));
    EXPECT_EQ(r.out, listing_head(dir, "cut.kel") + "one\ntwo");
    EXPECT_EQ(r.err, "Error reading from " + th::native_path(dir / "cut.kel") + "\n");
    // Cut inside the linked header.
    size_t linked_at = good.size() - (20000 - 16383) - 10;
    th::write_file(dir / "linked.kel", good.substr(0, linked_at + 4));
    r = ab::run_in(dir.path(), {"-l", "linked.kel"});
    EXPECT_EQ(r.status, th::status_of(-14));
    EXPECT_EQ(r.out, listing_head(dir, "linked.kel") + "one\ntwo");
    EXPECT_EQ(r.err, "Error reading linked header data.\n");
    // A negative chunk length and a 300-character name.
    ab::Fields f;
    f.clen = -1;
    th::write_file(dir / "neg.kel", ab::header() + ab::record("n", f));
    r = ab::run_in(dir.path(), {"-l", "neg.kel"});
    EXPECT_EQ(r.status, th::status_of(-6));
    EXPECT_EQ(r.out, listing_head(dir, "neg.kel") + "n");
    EXPECT_EQ(r.err, "Error reading from " + th::native_path(dir / "neg.kel") + "\n");
    th::write_file(dir / "long.kel", ab::header() + ab::file_entry("x", "x") + ab::file_entry(std::string(300, 'n'), "x"));
    r = ab::run_in(dir.path(), {"-l", "long.kel"});
    EXPECT_EQ(r.status, th::status_of(-6));
    EXPECT_EQ(r.out, listing_head(dir, "long.kel") + "x\n");
    EXPECT_EQ(r.err, "Error reading from " + th::native_path(dir / "long.kel") + "\n");
}

}  // namespace
