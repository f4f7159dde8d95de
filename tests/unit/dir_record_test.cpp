// Directory records, attribute blocks and linked headers: the exact bytes
// the writers produce, and what the readers make of hostile records.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "archive/block_io.h"
#include "archive/dir_record.h"
#include "archive/fields.h"
#include "archive/stored_name.h"
#include "base/messages.h"
#include "fixtures.h"
#include "harness.h"

namespace {

using std::string;

const char SEP = '\x04';

OpContext make_ctx(uint32_t flags) {
    OpContext ctx;
    std::memset(&ctx, 0, sizeof ctx);
    ctx.read_handle = ctx.write_handle = -1;
    std::snprintf(ctx.archive_path, sizeof ctx.archive_path, "%s", "/arch/out.kel");
    ctx.flags = flags;
    return ctx;
}

plat::StatRec file_stat(uint32_t mode, int64_t size) {
    plat::StatRec st{};
    st.mode = mode;
    st.size = size;
    st.atime = 1000;
    st.mtime = 2000;
    st.ctime = 3000;
    return st;
}

// Writes a record the way storing does: the stored name formed from name,
// dir_part and strip, the attributes read by name.
int32_t write_as_stored(OpContext* ctx, RecordKind kind, const char* name, const char* dir_part,
                        const plat::StatRec* st, int64_t first_len, int32_t flags, int strip) {
    string stored = stored_name(kind, name, dir_part, strip);
    return write_dir_record(ctx, kind, stored.c_str(), name, st, first_len, flags);
}

using th::stderr_of;

// Runs the writes of fn into a fresh file and returns the file's bytes.
template <typename Fn>
string written_by(const th::ScratchDir& dir, Fn fn) {
    string path = dir / "out.kel";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    block_begin_write(fd);
    fn();
    EXPECT_EQ(block_flush(), 0);
    ::close(fd);
    return th::read_file(path);
}

// The whole entry head expected for a record text (length field, text, NUL).
string entry_bytes(const string& text) {
    string r = std::to_string(text.size() + 1);
    string field = r + string(4 - r.size(), '\0');
    return field + text + string(1, '\0');
}

// Makes bytes the read stream, positioned at their start; returns the handle.
int stream_of(const th::ScratchDir& dir, const string& bytes) {
    static int n = 0;
    string path = dir / ("in" + std::to_string(n++));
    th::write_file(path, bytes);
    int fd = ::open(path.c_str(), O_RDONLY);
    EXPECT_EQ(block_begin_read(fd), 0);
    return fd;
}

int32_t parse(const string& text, dir_entry* e) {
    std::memset(e, 0, sizeof *e);
    e->attr = reinterpret_cast<const unsigned char*>("stale");
    return parse_dir_record(text.data(), static_cast<uint32_t>(text.size()), e);
}

}  // namespace

TEST(WriteRecord, TwoAndThreeDigitLengthFields) {
    th::ScratchDir dir;
    OpContext ctx = make_ctx(ORIGIN_KELPARC);
    plat::StatRec st = file_stat(0x81a4, 5);
    char name[NAME_CAP] = "a.txt";
    string bytes = written_by(dir, [&] { EXPECT_EQ(write_as_stored(&ctx, RecordKind::file, name, nullptr, &st, 7, 0, 0), 0); });
    string text = string("a.txt") + SEP + "33188 0 5 1000 2000 3000 7 0";
    EXPECT_EQ(bytes, entry_bytes(text));
    EXPECT_EQ(bytes.substr(0, 4), string("35\0\0", 4));

    // 15 + 1 + 28 = 44 characters: R = 45, two digits, a NUL and padding.
    string n15(15, 'b');
    std::strcpy(name, n15.c_str());
    bytes = written_by(dir, [&] { write_as_stored(&ctx, RecordKind::file, name, nullptr, &st, 7, 0, 0); });
    EXPECT_EQ(bytes.substr(0, 4), string("45\0\0", 4));
    EXPECT_EQ(bytes.size(), 4u + 45u);

    // 70 + 1 + 28 = 99 characters: R = 100, three digits and the NUL.
    string n70(70, 'c');
    std::strcpy(name, n70.c_str());
    bytes = written_by(dir, [&] { write_as_stored(&ctx, RecordKind::file, name, nullptr, &st, 7, 0, 0); });
    EXPECT_EQ(bytes, entry_bytes(n70 + SEP + "33188 0 5 1000 2000 3000 7 0"));
    EXPECT_EQ(bytes.substr(0, 4), string("100\0", 4));
}

TEST(WriteRecord, SizesAndTimesAreSixtyFourBit) {
    th::ScratchDir dir;
    OpContext ctx = make_ctx(ORIGIN_KELPARC);
    plat::StatRec st = file_stat(0x81a4, 5000000000LL);
    st.atime = -1;
    st.mtime = 4102444800LL;  // 2100-01-01
    st.ctime = 2147483647LL;
    char name[NAME_CAP] = "big";
    string bytes = written_by(dir, [&] { write_as_stored(&ctx, RecordKind::file, name, nullptr, &st, 16383, ENTRY_MORE, 0); });
    EXPECT_EQ(bytes, entry_bytes(string("big") + SEP + "33188 1 5000000000 -1 4102444800 2147483647 16383 0"));
}

TEST(WriteRecord, DirectoriesWithAndWithoutPrefix) {
    th::ScratchDir dir;
    th::make_dirs(dir / ".hdir");
    OpContext ctx = make_ctx(ORIGIN_KELPARC | OPT_HIDDEN);
    plat::StatRec st = file_stat(0x41ed, 4096);
    string full = dir / ".hdir";
    char name[NAME_CAP];

    // The closing record: ENTRY_DIR_END and no attribute block, even under -th.
    std::strcpy(name, full.c_str());
    string bytes = written_by(dir, [&] { EXPECT_EQ(write_as_stored(&ctx, RecordKind::dir_close, name, nullptr, &st, 0, 0, 0), 0); });
    EXPECT_EQ(bytes, entry_bytes(full + SEP + "16877 8 4096 1000 2000 3000 0 0"));

    // The opening record: recorded under its own name, attributes read by it.
    std::strcpy(name, full.c_str());
    bytes = written_by(dir, [&] { EXPECT_EQ(write_as_stored(&ctx, RecordKind::dir_open, name, "/the/dir/left", &st, 0, 0, 0), 0); });
    EXPECT_EQ(bytes, entry_bytes(full + SEP + "16877 0 4096 1000 2000 3000 0 2") + "10");
}

TEST(WriteRecord, FileWithPrefixAndStripping) {
    th::ScratchDir dir;
    OpContext ctx = make_ctx(ORIGIN_KELPARC);
    plat::StatRec st = file_stat(0x81a4, 0);
    const string nums = string(1, SEP) + "33188 0 0 1000 2000 3000 0 0";
    char name[NAME_CAP] = "notes.txt";
    string bytes = written_by(dir, [&] { write_as_stored(&ctx, RecordKind::file, name, "docs", &st, 0, 0, 0); });
    EXPECT_EQ(bytes, entry_bytes("docs/notes.txt" + nums));

    struct Case {
        const char* given;
        const char* stored;
    } cases[] = {{"sub\\dir/file.txt", "file.txt"}, {"/x", "/x"}, {"\\x", "\\x"},
                 {"a\\b", "b"},                    {"dir/", ""},  {"plain", "plain"}};
    for (const Case& c : cases) {
        std::strcpy(name, c.given);
        bytes = written_by(dir, [&] { write_as_stored(&ctx, RecordKind::file, name, nullptr, &st, 0, 0, 1); });
        EXPECT_EQ(bytes, entry_bytes(c.stored + nums)) << c.given;
        EXPECT_STREQ(name, c.given);  // the caller's text is never changed
    }
}

TEST(WriteRecord, AttributeBlockUnderHiddenAndSystemSwitches) {
    th::ScratchDir dir;
    th::write_file(dir / ".secret", "s");
    th::write_file(dir / "plain", "p");
    plat::StatRec st = file_stat(0x81a4, 1);
    const string tail = "33188 0 1 1000 2000 3000 1 ";
    char name[NAME_CAP];

    OpContext th_ctx = make_ctx(ORIGIN_KELPARC | OPT_HIDDEN);
    std::snprintf(name, sizeof name, "%s", (dir / ".secret").c_str());
    string bytes = written_by(dir, [&] { write_as_stored(&th_ctx, RecordKind::file, name, nullptr, &st, 1, 0, 1); });
    EXPECT_EQ(bytes, entry_bytes(".secret" + string(1, SEP) + tail + "2") + "10");

    OpContext ts_ctx = make_ctx(ORIGIN_KELPARC | OPT_SYSTEM);
    std::snprintf(name, sizeof name, "%s", (dir / "plain").c_str());
    bytes = written_by(dir, [&] { write_as_stored(&ts_ctx, RecordKind::file, name, nullptr, &st, 1, 0, 1); });
    EXPECT_EQ(bytes, entry_bytes("plain" + string(1, SEP) + tail + "2") + "00");

    // The system attribute, from the extended attribute the platform reads.
    string sys_path = dir / "sysfile";
    th::write_file(sys_path, "y");
    if (::setxattr(sys_path.c_str(), "user.DOSATTRIB", "0x4", 3, 0) == 0) {
        std::snprintf(name, sizeof name, "%s", sys_path.c_str());
        bytes = written_by(dir, [&] { write_as_stored(&ts_ctx, RecordKind::file, name, nullptr, &st, 1, 0, 1); });
        EXPECT_EQ(bytes, entry_bytes("sysfile" + string(1, SEP) + tail + "2") + "01");
    }

    // Attributes that cannot be read, or no switch: no block.
    std::snprintf(name, sizeof name, "%s", (dir / "gone").c_str());
    bytes = written_by(dir, [&] { write_as_stored(&th_ctx, RecordKind::file, name, nullptr, &st, 1, 0, 1); });
    EXPECT_EQ(bytes, entry_bytes("gone" + string(1, SEP) + tail + "0"));
    OpContext plain_ctx = make_ctx(ORIGIN_KELPARC);
    std::snprintf(name, sizeof name, "%s", (dir / ".secret").c_str());
    bytes = written_by(dir, [&] { write_as_stored(&plain_ctx, RecordKind::file, name, nullptr, &st, 1, 0, 1); });
    EXPECT_EQ(bytes, entry_bytes(".secret" + string(1, SEP) + tail + "0"));
}

TEST(WriteRecord, OverlongStoredPathIsRefusedAndNothingWritten) {
    th::ScratchDir dir;
    OpContext ctx = make_ctx(ORIGIN_KELPARC);
    plat::StatRec st = file_stat(0x81a4, 0);
    string prefix(200, 'p');
    char name[NAME_CAP];
    std::memset(name, 'n', 100);
    name[100] = '\0';
    int32_t rc = 0;
    string err;
    string bytes = written_by(dir, [&] { err = stderr_of([&] { rc = write_as_stored(&ctx, RecordKind::file, name, prefix.c_str(), &st, 0, 0, 0); }); });
    EXPECT_EQ(rc, -5);
    EXPECT_EQ(err, "Name too long, skipping " + prefix + "/" + string(100, 'n') + "\n");
    EXPECT_EQ(bytes, "");

    // 255 characters is the longest stored path.
    string p154(154, 'p');
    bytes = written_by(dir, [&] { rc = write_as_stored(&ctx, RecordKind::file, name, p154.c_str(), &st, 0, 0, 0); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(bytes, entry_bytes(p154 + "/" + string(100, 'n') + SEP + "33188 0 0 1000 2000 3000 0 0"));
}

TEST(WriteRecord, WriteFailureGivesMessage18) {
    int fd = ::open("/dev/full", O_WRONLY);
    if (fd < 0) GTEST_SKIP() << "/dev/full is not available";
    OpContext ctx = make_ctx(ORIGIN_KELPARC);
    plat::StatRec st = file_stat(0x81a4, 0);
    string fill(BLOCK_SIZE - 10, 'f');
    char name[NAME_CAP] = "a.txt";
    int32_t rc = 0;
    block_begin_write(fd);
    ASSERT_EQ(block_write(fill.data(), static_cast<uint32_t>(fill.size())), 0);
    string err = stderr_of([&] { rc = write_as_stored(&ctx, RecordKind::file, name, nullptr, &st, 0, 0, 0); });
    EXPECT_EQ(rc, -5);
    EXPECT_EQ(err, "Error writing to file /arch/out.kel\n");

    block_begin_write(fd);
    ASSERT_EQ(block_write(fill.data(), static_cast<uint32_t>(fill.size())), 0);
    err = stderr_of([&] { rc = write_linked_header(&ctx, 5, 2); });
    EXPECT_EQ(rc, -5);
    EXPECT_EQ(err, "Error writing to file /arch/out.kel\n");
    ::close(fd);
}

TEST(WriteRecord, LinkedHeadersAreTenZeroFilledBytes) {
    th::ScratchDir dir;
    OpContext ctx = make_ctx(ORIGIN_KELPARC);
    string bytes = written_by(dir, [&] {
        EXPECT_EQ(write_linked_header(&ctx, 16383, 3), 0);
        EXPECT_EQ(write_linked_header(&ctx, 1, 2), 0);
    });
    EXPECT_EQ(bytes, string("16383 3\0\0\0", 10) + string("1 2\0\0\0\0\0\0\0", 10));
}

TEST(ReadRecord, WrittenEntriesReadBack) {
    th::ScratchDir dir;
    th::write_file(dir / ".h", "h");
    OpContext ctx = make_ctx(ORIGIN_KELPARC | OPT_HIDDEN);
    plat::StatRec fst = file_stat(0x81a4, 20000);
    plat::StatRec dst = file_stat(0x41ed, 4096);
    char name[NAME_CAP];
    std::snprintf(name, sizeof name, "%s", (dir / ".h").c_str());
    char dname[NAME_CAP] = "top";
    string bytes = written_by(dir, [&] {
        write_as_stored(&ctx, RecordKind::file, name, nullptr, &fst, 3, ENTRY_MORE | ENTRY_RAW, 1);
        block_write("DAT", 3);
        write_linked_header(&ctx, 12, 0);
        write_as_stored(&ctx, RecordKind::dir_close, dname, nullptr, &dst, 0, 0, 0);
    });
    int fd = stream_of(dir, bytes);
    static char text[1000];
    int64_t r = 0;
    dir_entry e;

    ASSERT_EQ(read_record_length(&r), 0);
    ASSERT_EQ(block_read(text, static_cast<uint32_t>(r)), 0);
    ASSERT_EQ(parse_dir_record(text, static_cast<uint32_t>(r), &e), 0);
    EXPECT_STREQ(e.name, ".h");
    EXPECT_EQ(e.mode, 0x81a4);
    EXPECT_EQ(e.entry_flags, ENTRY_MORE | ENTRY_RAW);
    EXPECT_EQ(e.size, 20000);
    EXPECT_EQ(e.atime, 1000);
    EXPECT_EQ(e.mtime, 2000);
    EXPECT_EQ(e.ctime, 3000);
    EXPECT_EQ(e.clen, 3);
    EXPECT_EQ(e.attr_len, 2);
    ASSERT_EQ(e.attr, attr_buffer);
    EXPECT_EQ(string(reinterpret_cast<const char*>(e.attr), 2), "10");
    ASSERT_EQ(block_skip(3), 0);
    int64_t chunk_len = 0;
    int32_t chunk_flags = -1;
    ASSERT_EQ(read_linked_header(&chunk_len, &chunk_flags), 0);
    EXPECT_EQ(chunk_len, 12);
    EXPECT_EQ(chunk_flags, 0);

    ASSERT_EQ(read_record_length(&r), 0);
    ASSERT_EQ(block_read(text, static_cast<uint32_t>(r)), 0);
    ASSERT_EQ(parse_dir_record(text, static_cast<uint32_t>(r), &e), 0);
    EXPECT_STREQ(e.name, "top");
    EXPECT_TRUE(e.mode & 0x4000);
    EXPECT_EQ(e.entry_flags, ENTRY_DIR_END);
    EXPECT_EQ(e.clen, 0);
    EXPECT_EQ(e.attr, nullptr);
    EXPECT_EQ(read_record_length(&r), 1);  // the end of the archive
    ::close(fd);
}

TEST(ParseRecord, TextWithoutSeparatorIsAllName) {
    dir_entry e;
    ASSERT_EQ(parse(string("just a name 1 2 3\0", 18), &e), 0);
    EXPECT_STREQ(e.name, "just a name 1 2 3");
    EXPECT_EQ(e.mode, 0);
    EXPECT_EQ(e.size, 0);
    EXPECT_EQ(e.clen, 0);
    EXPECT_EQ(e.attr_len, 0);
    EXPECT_EQ(e.attr, nullptr);

    ASSERT_EQ(parse(string(1, SEP) + "16877 8", &e), 0);  // empty name, missing tokens 0
    EXPECT_STREQ(e.name, "");
    EXPECT_EQ(e.mode, 16877);
    EXPECT_EQ(e.entry_flags, 8);
    EXPECT_EQ(e.mtime, 0);
}

TEST(ParseRecord, TextEndsAtItsLengthWithoutANul) {
    dir_entry e;
    // What lies past the length ("7" would make attr_len 7) is never read.
    string text = string("ab") + SEP + "1 2 3 4 5 6 7 0" + "7 junk";
    ASSERT_EQ(parse_dir_record(text.data(), static_cast<uint32_t>(text.size() - 6), &e), 0);
    EXPECT_STREQ(e.name, "ab");
    EXPECT_EQ(e.clen, 7);
    EXPECT_EQ(e.attr_len, 0);
    // A name that fills the whole length.
    string nm(40, 'q');
    ASSERT_EQ(parse_dir_record(nm.data(), 10, &e), 0);
    EXPECT_EQ(string(e.name), string(10, 'q'));
}

TEST(ParseRecord, NegativeAndOddNumbersAreKeptAsRead) {
    dir_entry e;
    ASSERT_EQ(parse(string("n") + SEP + "-1 -2 -3 -4 -5 -6 -7 0", &e), 0);
    EXPECT_EQ(e.mode, 65535);
    EXPECT_EQ(e.entry_flags, -2);
    EXPECT_EQ(e.size, -3);
    EXPECT_EQ(e.atime, -4);
    EXPECT_EQ(e.mtime, -5);
    EXPECT_EQ(e.ctime, -6);
    EXPECT_EQ(e.clen, -7);
    ASSERT_EQ(parse(string("n") + SEP + "70000 x 99999999999999999999 5000000000", &e), 0);
    EXPECT_EQ(e.mode, 70000 & 0xFFFF);
    EXPECT_EQ(e.entry_flags, 0);
    EXPECT_EQ(e.size, 0);  // does not fit 64 bits
    EXPECT_EQ(e.atime, 5000000000LL);
}

TEST(ParseRecord, NamesOver255CharactersAreReadFailures) {
    dir_entry e;
    string n255(255, 'a');
    ASSERT_EQ(parse(n255 + SEP + "0 0 0 0 0 0 0 0", &e), 0);
    EXPECT_EQ(string(e.name), n255);
    string n300(300, 'a');
    int32_t rc = 0;
    EXPECT_EQ(stderr_of([&] { rc = parse(n300 + SEP + "0 0 0 0 0 0 0 0", &e); }), "");
    EXPECT_EQ(rc, -6);
    EXPECT_EQ(stderr_of([&] { rc = parse(n300, &e); }), "");  // no separator either
    EXPECT_EQ(rc, -6);
}

TEST(ParseRecord, AttributeLengthsOutsideTheBufferAreRefused) {
    th::ScratchDir dir;
    dir_entry e;
    for (const char* bad : {"81", "-1", "100000", "-2147483649"}) {
        int fd = stream_of(dir, string(200, 'x'));
        int32_t rc = 0;
        string err = stderr_of([&] { rc = parse(string("n") + SEP + "0 0 0 0 0 0 0 " + bad, &e); });
        EXPECT_EQ(rc, -10) << bad;
        EXPECT_EQ(err, "Error reading extended attributes.\n") << bad;
        ::close(fd);
    }
}

TEST(ParseRecord, AttributeBlocksAreReadWhole) {
    th::ScratchDir dir;
    dir_entry e;
    string block80 = th::make_bytes(80, 'r', 5);
    int fd = stream_of(dir, block80 + "after");
    ASSERT_EQ(parse(string("n") + SEP + "0 0 0 0 0 0 0 80", &e), 0);
    ASSERT_EQ(e.attr, attr_buffer);
    EXPECT_EQ(string(reinterpret_cast<const char*>(e.attr), 80), block80);
    char rest[6] = {};
    EXPECT_EQ(block_read(rest, 5), 0);
    EXPECT_STREQ(rest, "after");
    ::close(fd);

    // A block cut short by the end of the archive, or missing altogether.
    for (const string& stream : {string("1"), string()}) {
        fd = stream_of(dir, stream);
        int32_t rc = 0;
        string err = stderr_of([&] { rc = parse(string("n") + SEP + "0 0 0 0 0 0 0 2", &e); });
        EXPECT_EQ(rc, -10);
        EXPECT_EQ(err, "Error reading extended attributes.\n");
        ::close(fd);
    }
}

TEST(RecordLength, DigitsBeforeTheNulOrCorrupt) {
    th::ScratchDir dir;
    struct Case {
        string bytes;
        int32_t rc;
        int64_t len;
    } cases[] = {
        {string("35\0\0", 4), 0, 35},   {string("35\0x", 4), 0, 35},   {string("100\0", 4), 0, 100},
        {"9999", 0, 9999},              {"", 1, -1},
        // Zero bytes up to the end of the file are padding.
        {string(4, '\0'), 1, -1},       {string(70000, '\0'), 1, -1},
        // Zero bytes followed by anything else, or a field cut short.
        {string(4, '\0') + "x", -6, -1}, {string(69999, '\0') + "x", -6, -1},
        {string(3, '\0'), -6, -1},       {"3", -6, -1},                    {"12", -6, -1},
        // Not a positive number.
        {string("ab\0\0", 4), -6, -1},  {string("-5\0\0", 4), -6, -1},  {string("-0\0\0", 4), -6, -1},
        {string("0\0\0\0", 4), -6, -1}, {string("000\0", 4), -6, -1},  {string(" 35\0", 4), -6, -1},
        {string("3a\0\0", 4), -6, -1},  {string("\0" "35\0", 4), -6, -1},
    };
    int k = 0;
    for (const Case& c : cases) {
        int fd = stream_of(dir, c.bytes);
        int64_t len = -1;
        EXPECT_EQ(read_record_length(&len), c.rc) << k;
        EXPECT_EQ(len, c.len) << k;
        ::close(fd);
        ++k;
    }
}

TEST(LinkedHeader, ReadWithinItsTenBytes) {
    th::ScratchDir dir;
    int64_t len = -1;
    int32_t flags = -1;
    int fd = stream_of(dir, string("16383 3\0\0\0", 10) + "1234567890" + "99");
    ASSERT_EQ(read_linked_header(&len, &flags), 0);
    EXPECT_EQ(len, 16383);
    EXPECT_EQ(flags, 3);
    ASSERT_EQ(read_linked_header(&len, &flags), 0);  // no NUL: bounded by the field
    EXPECT_EQ(len, 1234567890);
    EXPECT_EQ(flags, 0);
    len = -1;
    flags = -1;
    int32_t rc = 0;
    string err = stderr_of([&] { rc = read_linked_header(&len, &flags); });
    EXPECT_EQ(rc, -14);
    EXPECT_EQ(err, "Error reading linked header data.\n");
    EXPECT_EQ(len, -1);  // nothing stored
    EXPECT_EQ(flags, -1);
    ::close(fd);

    // The first field as atoi reads it: blanks, a sign, at least one digit.
    struct Case {
        string field;
        int32_t rc;
        int64_t len;
    } cases[] = {
        {string(" +12 2\0\0\0\0", 10), 0, 12}, {string("-3 0\0\0\0\0\0\0", 10), 0, -3},
        {string("7x 1\0\0\0\0\0\0", 10), 0, 7}, {string(10, '\0'), -14, -1},
        {string("x 1\0\0\0\0\0\0\0", 10), -14, -1}, {string("- 5\0\0\0\0\0\0\0", 10), -14, -1},
        {string("          ", 10), -14, -1},
    };
    int k = 0;
    for (const Case& c : cases) {
        fd = stream_of(dir, c.field);
        len = -1;
        err = stderr_of([&] { rc = read_linked_header(&len, &flags); });
        EXPECT_EQ(rc, c.rc) << k;
        EXPECT_EQ(len, c.len) << k;
        EXPECT_EQ(err, c.rc == 0 ? "" : "Error reading linked header data.\n") << k;
        ::close(fd);
        ++k;
    }
}

TEST(Fields, DecimalWithinItsLength) {
    int64_t v = 99;
    EXPECT_TRUE(parse_decimal("  42", 4, &v));
    EXPECT_EQ(v, 42);
    EXPECT_TRUE(parse_decimal("-7x", 3, &v));
    EXPECT_EQ(v, -7);
    EXPECT_TRUE(parse_decimal("+3", 2, &v));
    EXPECT_EQ(v, 3);
    EXPECT_TRUE(parse_decimal("12345", 2, &v));
    EXPECT_EQ(v, 12);
    EXPECT_TRUE(parse_decimal("1\0" "2", 3, &v));
    EXPECT_EQ(v, 1);
    EXPECT_TRUE(parse_decimal("9223372036854775807", 19, &v));
    EXPECT_EQ(v, INT64_MAX);
    EXPECT_TRUE(parse_decimal("-9223372036854775808", 20, &v));
    EXPECT_EQ(v, INT64_MIN);
    for (const char* bad : {"", "   ", "-", "abc", " - 1", "9223372036854775808", "-9223372036854775809"}) {
        v = 99;
        EXPECT_FALSE(parse_decimal(bad, std::strlen(bad), &v)) << bad;
        EXPECT_EQ(v, 0) << bad;
    }
}

TEST(Fields, TokensSplitAtSpaces) {
    int64_t v[4];
    EXPECT_EQ(parse_decimal_tokens("1 2 3", 5, v, 2), 2);
    EXPECT_EQ(v[0], 1);
    EXPECT_EQ(v[1], 2);
    EXPECT_EQ(parse_decimal_tokens("  5   6 ", 8, v, 4), 2);
    EXPECT_EQ(v[0], 5);
    EXPECT_EQ(v[1], 6);
    EXPECT_EQ(v[2], 0);
    EXPECT_EQ(v[3], 0);
    EXPECT_EQ(parse_decimal_tokens("a -b 7", 6, v, 4), 3);
    EXPECT_EQ(v[0], 0);
    EXPECT_EQ(v[1], 0);
    EXPECT_EQ(v[2], 7);
    EXPECT_EQ(parse_decimal_tokens("4 5\0" "6", 5, v, 4), 2);
    EXPECT_EQ(v[2], 0);
    EXPECT_EQ(parse_decimal_tokens("", 0, v, 4), 0);
}
