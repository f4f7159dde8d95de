// Damaged framing through the whole program: record length fields, linked
// headers, header bodies and password blocks cut short or filled with
// something other than a number.  Listing and unpacking must both stop with
// a message naming the archive and a non-zero status, never end as if the
// archive had ended, and never read bytes that are not in the file.
#include <gtest/gtest.h>

#include <string>

#include "archive_builder.h"
#include "harness.h"

namespace {

const std::string offset_line = "offset = 0, offset = 0\n";

struct Runs {
    th::RunResult list;
    th::RunResult unpack;
};

// Lists and unpacks bytes as a.kel in a fresh directory (unpacking into
// the subdirectory out).
Runs list_and_unpack(const th::ScratchDir& dir, const std::string& bytes) {
    th::remove_tree(dir / "out");
    th::make_dirs(dir / "out");
    th::write_file(dir / "a.kel", bytes);
    return Runs{ab::run_in(dir.path(), {"-l", "a.kel"}), ab::run_in(dir.path(), {"-u", "-cout", "a.kel"})};
}

std::string list_head(const th::ScratchDir& dir) { return ab::banner + "Listing " + th::native_path(dir / "a.kel") + " ...\n"; }

std::string unpack_head(const th::ScratchDir& dir) {
    return ab::banner + offset_line + "Uncompressing " + th::native_path(dir / "a.kel") + " ...\n";
}

TEST(Framing, RecordLengthFieldCutShortOrNotAPositiveNumber) {
    th::ScratchDir dir;
    std::string good = ab::header() + ab::file_entry("a", "alpha");
    const std::string tails[] = {
        "3",                                    // one byte of a field
        "12",                                   // two
        std::string(3, '\0'),                   // three zero bytes
        std::string("0\0\0\0", 4) + "more",     // zero
        std::string("-40\0", 4) + std::string(40, 'x'),  // negative
        std::string("ab\0\0", 4) + "cd",        // letters
        std::string(4, '\0') + "late",          // zero bytes, then something
    };
    for (const std::string& tail : tails) {
        Runs r = list_and_unpack(dir, good + tail);
        std::string what = "tail of " + std::to_string(tail.size()) + " bytes";
        EXPECT_EQ(r.list.status, th::status_of(-6)) << what;
        EXPECT_EQ(r.list.out, list_head(dir) + "a\n") << what;
        EXPECT_EQ(r.list.err, "Error reading from " + th::native_path(dir / "a.kel") + "\n") << what;
        EXPECT_EQ(r.unpack.status, th::status_of(-6)) << what;
        EXPECT_EQ(r.unpack.out, unpack_head(dir) + "a\n") << what;
        EXPECT_EQ(r.unpack.err, "Error reading from " + th::native_path(dir / "a.kel") + "\n") << what;
        EXPECT_EQ(th::read_file(dir / "out/a"), "alpha") << what;
    }
}

TEST(Framing, ZeroBytesUpToTheEndArePadding) {
    th::ScratchDir dir;
    for (size_t n : {4u, 5u, 512u, 70000u}) {
        Runs r = list_and_unpack(dir, ab::header() + ab::file_entry("a", "alpha") + std::string(n, '\0'));
        EXPECT_EQ(r.list.status, 0) << n;
        EXPECT_EQ(r.list.out, list_head(dir) + "a\n\n") << n;
        EXPECT_EQ(r.list.err, "") << n;
        EXPECT_EQ(r.unpack.status, 0) << n;
        EXPECT_EQ(r.unpack.out, unpack_head(dir) + "a\n\n") << n;
        EXPECT_EQ(r.unpack.err, "") << n;
    }
}

// The listing names the archive wherever unpacking does, and also when the
// data it passes over is missing.
TEST(Framing, ListingReportsRecordsAndDataThatCannotBeRead) {
    th::ScratchDir dir;
    std::string head = ab::header() + ab::file_entry("a", "alpha");
    std::string entry = ab::file_entry("b", "bravo");
    // The record text cut short, then the record's data cut short.
    for (size_t keep : {std::size_t{10}, entry.size() - 2}) {
        th::write_file(dir / "a.kel", head + entry.substr(0, keep));
        auto r = ab::run_in(dir.path(), {"-l", "a.kel"});
        EXPECT_EQ(r.status, th::status_of(-6)) << keep;
        EXPECT_EQ(r.out, list_head(dir) + (keep == 10 ? "a\n" : "a\nb")) << keep;
        EXPECT_EQ(r.err, "Error reading from " + th::native_path(dir / "a.kel") + "\n") << keep;
    }
}

TEST(Framing, LinkedHeaderWhoseLengthIsNotANumber) {
    th::ScratchDir dir;
    ab::Fields f;
    f.flags = ab::RAW | ab::MORE;
    f.size = 8;
    f.clen = 4;
    // What a zero length would have hidden: the bytes after the linked
    // header read as a further entry.
    std::string planted = ab::file_entry("planted", "p");
    for (const std::string& text : {std::string("x 2"), std::string(" - 2"), std::string()}) {
        std::string linked = text + std::string(10 - text.size(), '\0');
        Runs r = list_and_unpack(dir, ab::header() + ab::record("f", f) + "abcd" + linked + planted);
        EXPECT_EQ(r.list.status, th::status_of(-14)) << text;
        EXPECT_EQ(r.list.out, list_head(dir) + "f") << text;
        EXPECT_EQ(r.list.err, "Error reading linked header data.\n") << text;
        EXPECT_EQ(r.unpack.status, th::status_of(-14)) << text;
        EXPECT_EQ(r.unpack.out, unpack_head(dir) + "f\n") << text;
        EXPECT_EQ(r.unpack.err, "Error reading linked header data.\n") << text;
        EXPECT_FALSE(th::exists(dir / "out/planted")) << text;
    }
}

TEST(Framing, HeaderOrPasswordBlockPastTheEndOfTheFile) {
    th::ScratchDir dir;
    std::string locked_body = std::string("4100 1 2", 8) + '\0';  // 0x1004: a seal follows
    const std::string bytes[] = {
        std::string("KELPA\x04", 6) + "  50" + "4 1 2",  // body longer than the file
        std::string("KELPA\x04", 6) + "   6",            // no body at all
        std::string("KELPA\x04", 6) + "   9" + locked_body,           // no seal length
        std::string("KELPA\x04", 6) + "   9" + locked_body + "  ",    // seal length cut short
        std::string("KELPA\x04", 6) + "   9" + locked_body + "   5ab",  // sealed bytes cut short
    };
    int k = 0;
    for (const std::string& b : bytes) {
        th::write_file(dir / "a.kel", b);
        std::string path = th::native_path(dir / "a.kel");
        for (const char* op : {"-l", "-u"}) {
            auto r = ab::run_in(dir.path(), {op, "-pab", "a.kel"});
            EXPECT_EQ(r.status, th::status_of(-6)) << k << op;
            EXPECT_EQ(r.err, "Bad file format for " + path + "\nCould not open " + path + "\n") << k << op;
        }
        ++k;
    }
}

}  // namespace
