// The archive header and the password seal: exact bytes written, and the
// reader's answers to damaged, short and locked archives.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "archive/block_io.h"
#include "archive/header.h"
#include "base/messages.h"
#include "fixtures.h"
#include "harness.h"

namespace {

using std::string;

const string MAGIC_04 = string("KELPA") + '\x04';

OpContext make_ctx(const string& archive, uint32_t flags) {
    OpContext ctx;
    std::memset(&ctx, 0, sizeof ctx);
    ctx.read_handle = -1;
    ctx.write_handle = -1;
    std::snprintf(ctx.archive_path, sizeof ctx.archive_path, "%s", archive.c_str());
    ctx.flags = flags;
    return ctx;
}

// The seal worked out from its rule, independently of seal_password.
string seal_by_rule(const string& pw) {
    unsigned acc = (static_cast<unsigned char>(pw[0]) | 'J') & 0xFF;
    string out;
    for (unsigned char c : pw) {
        unsigned r = ((c << 1) | (c >> 7)) & 0xFF;
        acc ^= r;
        out += static_cast<char>(acc);
    }
    return out;
}

using th::stderr_of;

// Creates a complete archive holding only its header.
void make_archive(const string& path, uint32_t flags, const char* pw) {
    OpContext ctx = make_ctx(path, flags);
    ASSERT_EQ(create_archive_header(&ctx, pw), 0);
    ASSERT_EQ(block_flush(), 0);
    plat::_close(ctx.write_handle);
}

}  // namespace

TEST(Seal, KnownValuesAndTheRule) {
    unsigned char out[PASSWORD_CAP];
    // 'a' | 'J' = 0x6B; rol('a') = 0xC2 -> 0xA9; rol('b') = 0xC4 -> 0x6D.
    EXPECT_EQ(seal_password("ab", out), 2);
    EXPECT_EQ(out[0], 0xA9);
    EXPECT_EQ(out[1], 0x6D);
    EXPECT_EQ(out[2], 0);  // the NUL stays, outside the sealed bytes
    // The top bit comes round to the bottom: 0x80 | 'J' = 0xCA, rol(0x80) = 1.
    EXPECT_EQ(seal_password("\x80", out), 1);
    EXPECT_EQ(out[0], 0xCB);
    for (const char* pw : {"Secret", "x", "~~~~", "password with spaces", "\xff\x01\x7f"}) {
        int32_t n = seal_password(pw, out);
        EXPECT_EQ(string(reinterpret_cast<char*>(out), static_cast<size_t>(n)), seal_by_rule(pw)) << pw;
    }
    string longest(63, 'z');
    EXPECT_EQ(seal_password(longest.c_str(), out), 63);
}

TEST(Seal, CheckPasswordMatchesOnlyTheSamePassword) {
    unsigned char stored[PASSWORD_CAP];
    int32_t n = seal_password("Secret", stored);
    EXPECT_EQ(check_password("Secret", stored, n), 0);
    EXPECT_EQ(check_password("Secre", stored, n), -1);
    EXPECT_EQ(check_password("Secrets", stored, n), -1);
    EXPECT_EQ(check_password("Secreu", stored, n), -1);
    EXPECT_EQ(check_password("secret", stored, n), -1);
    EXPECT_EQ(check_password("Secret", stored, n - 1), -1);
    string too_long(100, 'S');
    EXPECT_EQ(check_password(too_long.c_str(), stored, n), -1);
}

TEST(CreateHeader, NoOptionsGivesTheSixteenByteHeader) {
    th::ScratchDir dir;
    make_archive(dir / "a.kel", ORIGIN_KELPARC, "");
    EXPECT_EQ(th::read_file(dir / "a.kel"), MAGIC_04 + "   6" + string("4 1 2\0", 6));
}

TEST(CreateHeader, RecurseAndPasswordExample) {
    th::ScratchDir dir;
    OpContext ctx = make_ctx(dir / "p.kel", ORIGIN_KELPARC | OPT_RECURSE | OPT_PASSWORD);
    ASSERT_EQ(create_archive_header(&ctx, "Secret"), 0);
    ASSERT_EQ(block_flush(), 0);
    plat::_close(ctx.write_handle);
    string expected = MAGIC_04 + "   9" + string("4228 1 2\0", 9) + "   6" + seal_by_rule("Secret");
    EXPECT_EQ(th::read_file(dir / "p.kel"), expected);
    EXPECT_EQ(expected.size(), 19u + 4u + 6u);
}

TEST(CreateHeader, ExistingArchiveNeedsOverwrite) {
    th::ScratchDir dir;
    string path = dir / "old.kel";
    th::write_file(path, "precious");
    OpContext ctx = make_ctx(path, ORIGIN_KELPARC);
    int32_t rc = 0;
    string err = stderr_of([&] { rc = create_archive_header(&ctx, ""); });
    EXPECT_EQ(rc, -4);
    EXPECT_EQ(err, "Cannot overwrite current zip file " + path +
                       ".\nUse the -w option to overwrite an existing zip file.\n");
    EXPECT_EQ(th::read_file(path), "precious");

    ctx.flags |= OPT_OVERWRITE;
    err = stderr_of([&] { rc = create_archive_header(&ctx, ""); });
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(err, "");
    ASSERT_EQ(block_flush(), 0);
    plat::_close(ctx.write_handle);
    EXPECT_EQ(th::read_file(path), MAGIC_04 + "   8" + string("260 1 2\0", 8));
}

TEST(CreateHeader, UncreatableArchiveGivesMinus4Silently) {
    th::ScratchDir dir;
    OpContext ctx = make_ctx(dir / "no/such/dir/a.kel", ORIGIN_KELPARC);
    int32_t rc = 0;
    EXPECT_EQ(stderr_of([&] { rc = create_archive_header(&ctx, ""); }), "");
    EXPECT_EQ(rc, -4);
}

TEST(AppendOpen, ExistingArchiveIsWrittenAtItsEnd) {
    th::ScratchDir dir;
    string path = dir / "a.kel";
    // A locked archive: appended to without its password.
    make_archive(path, ORIGIN_KELPARC | OPT_PASSWORD, "Secret");
    string before = th::read_file(path);
    OpContext ctx = make_ctx(path, ORIGIN_KELPARC);
    int64_t from = 99;
    ASSERT_EQ(open_archive_for_append(&ctx, &from), 0);
    EXPECT_EQ(from, static_cast<int64_t>(before.size()));
    ASSERT_EQ(block_write("XY", 2), 0);
    ASSERT_EQ(block_flush(), 0);
    plat::_close(ctx.write_handle);
    EXPECT_EQ(th::read_file(path), before + "XY");  // no header, no password block
}

// Anything but a whole header (magic, a length of 1 or more, that many body
// bytes) is refused before the file is opened for writing.
TEST(AppendOpen, FileWithoutAWholeHeaderIsRefusedUnchanged) {
    th::ScratchDir dir;
    const string cases[] = {
        "notes about the weekend\n",
        "",
        "KELPA",
        MAGIC_04 + "   6" + string("4 1 2", 5),        // body one byte short
        MAGIC_04 + "   0",                              // length 0
        MAGIC_04 + "  -3" + string("4 1 2\0", 6),
        MAGIC_04 + "abcd" + string("4 1 2\0", 6),
        "KELPB" + string("\x04   6") + string("4 1 2\0", 6),
    };
    for (const string& bytes : cases) {
        string path = dir / "f";
        th::write_file(path, bytes);
        OpContext ctx = make_ctx(path, ORIGIN_KELPARC);
        int64_t from = 99;
        int32_t rc = 0;
        string err = stderr_of([&] { rc = open_archive_for_append(&ctx, &from); });
        EXPECT_EQ(rc, -6) << bytes;
        EXPECT_EQ(err, "Bad file format for " + path + "\n") << bytes;
        EXPECT_EQ(ctx.write_handle, -1);
        EXPECT_EQ(th::read_file(path), bytes);
    }
    // The shortest whole header, with nothing after it, is an archive.
    string path = dir / "g";
    th::write_file(path, MAGIC_04 + "   1" + string("\0", 1));
    OpContext ctx = make_ctx(path, ORIGIN_KELPARC);
    int64_t from = 0;
    ASSERT_EQ(open_archive_for_append(&ctx, &from), 0);
    EXPECT_EQ(from, 11);
    plat::_close(ctx.write_handle);
}

TEST(AppendOpen, MissingArchiveIsLeftToTheCaller) {
    th::ScratchDir dir;
    string path = dir / "new.kel";
    OpContext ctx = make_ctx(path, ORIGIN_KELPARC | OPT_APPEND);
    int64_t from = 99;
    int32_t rc = 0;
    string err = stderr_of([&] { rc = open_archive_for_append(&ctx, &from); });
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(from, -1);
    EXPECT_EQ(ctx.write_handle, -1);
    EXPECT_EQ(err, "Zip file does not exist " + path + ".\nDo not use the -a option to write to new zip file.\n");
    EXPECT_FALSE(th::exists(path));
}

TEST(AppendOpen, UnopenableArchiveGivesMessage28) {
    th::ScratchDir dir;
    th::make_dirs(dir / "d.kel");
    OpContext ctx = make_ctx(dir / "d.kel", ORIGIN_KELPARC);
    int64_t from = 99;
    int32_t rc = 0;
    string err = stderr_of([&] { rc = open_archive_for_append(&ctx, &from); });
    EXPECT_EQ(rc, -4);
    EXPECT_EQ(err, "Could not open source file " + (dir / "d.kel") + "\n");
}

TEST(ReadHeader, OwnArchiveOpensAtItsFirstRecord) {
    th::ScratchDir dir;
    string path = dir / "a.kel";
    make_archive(path, ORIGIN_KELPARC | OPT_RECURSE, "");
    th::write_file(path, th::read_file(path) + "REC");
    // Whatever low bits the run had, the archive's origin code replaces them.
    OpContext ctx = make_ctx(path, 0x000B | OPT_LIST);
    char pw[PASSWORD_CAP] = "given but unused";
    int32_t rc = 0;
    EXPECT_EQ(stderr_of([&] { rc = read_archive_header(&ctx, pw); }), "");
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(ctx.flags, ORIGIN_KELPARC | OPT_LIST);
    EXPECT_STREQ(ctx.version_major, "1");
    EXPECT_STREQ(ctx.version_minor, "2");
    char rec[4] = {};
    EXPECT_EQ(block_read(rec, 3), 0);
    EXPECT_STREQ(rec, "REC");
    plat::_close(ctx.read_handle);
}

TEST(ReadHeader, DamagedHeadersAreRefused) {
    th::ScratchDir dir;
    struct Case {
        string bytes;
        string message;
    } cases[] = {
        {"", "Bad file format for %\n"},
        {"KELP", "Bad file format for %\n"},
        {"kelpa\x04   6" + string("4 1 2\0", 6), "Bad file format for %\n"},
        {"KELPA", "Bad header length, length = \n"},  // the length field reads as 0
        {MAGIC_04 + "   0" + string("4 1 2\0", 6), "Bad header length, length =    0\n"},
        {MAGIC_04 + "  -6" + string("4 1 2\0", 6), "Bad header length, length =   -6\n"},
        {MAGIC_04 + "abcd", "Bad header length, length = abcd\n"},
    };
    int k = 0;
    for (const Case& c : cases) {
        string path = dir / ("bad" + std::to_string(k++));
        th::write_file(path, c.bytes);
        OpContext ctx = make_ctx(path, OPT_LIST);
        int32_t rc = 0;
        string err = stderr_of([&] { rc = read_archive_header(&ctx, nullptr); });
        string expected = c.message;
        size_t at = expected.find('%');
        if (at != string::npos) expected.replace(at, 1, path);
        EXPECT_EQ(rc, -6) << k;
        EXPECT_EQ(err, expected) << k;
        EXPECT_EQ(ctx.read_handle, -1) << k;  // closed again
    }
}

TEST(ReadHeader, MissingArchiveGivesMessage28) {
    th::ScratchDir dir;
    OpContext ctx = make_ctx(dir / "none.kel", OPT_LIST);
    int32_t rc = 0;
    string err = stderr_of([&] { rc = read_archive_header(&ctx, nullptr); });
    EXPECT_EQ(rc, -4);
    EXPECT_EQ(err, "Could not open source file " + (dir / "none.kel") + "\n");
}

TEST(ReadHeader, ShortOrOddBodiesNeverReadPastTheBody) {
    th::ScratchDir dir;
    struct Case {
        string body_and_rest;  // after the length field
        const char* length;
        const char* major;
        const char* minor;
        uint32_t origin;
        string rest;  // what a read after the header must see
    } cases[] = {
        {string("5\0", 2) + "NEXT", "   2", "", "", 5, "NEXT"},
        {string("7 12345\0", 8) + "NEXT", "   8", "123", "", 7, "NEXT"},
        {"3 1 2 extra words" + string("\0", 1) + "NEXT", "  18", "1", "2", 3, "NEXT"},
        // No NUL at all: the body ends at its length.
        {"9 abcdefNEXT", "   8", "abc", "", 9, "NEXT"},
    };
    int k = 0;
    for (const Case& c : cases) {
        string path = dir / ("odd" + std::to_string(k++));
        th::write_file(path, MAGIC_04 + c.length + c.body_and_rest);
        OpContext ctx = make_ctx(path, OPT_LIST);
        std::strcpy(ctx.version_major, "zz");
        ASSERT_EQ(read_archive_header(&ctx, nullptr), 0) << k;
        EXPECT_STREQ(ctx.version_major, c.major) << k;
        EXPECT_STREQ(ctx.version_minor, c.minor) << k;
        EXPECT_EQ(ctx.flags & ORIGIN_MASK, c.origin) << k;
        char rest[8] = {};
        int32_t rc = block_read(rest, 4);
        EXPECT_EQ(string(rest), c.rest) << k;
        EXPECT_EQ(rc, c.rest.empty() ? 1 : 0) << k;
        plat::_close(ctx.read_handle);
    }
}

// A body that runs past the end of the file is not read from whatever the
// buffer holds: the file is not an archive.
TEST(ReadHeader, BodyCutShortIsBadFormat) {
    th::ScratchDir dir;
    for (const string& rest : {string("  50") + "4 1", string("   6"), string("   6") + string("4 1 2", 5)}) {
        string path = dir / "cut.kel";
        th::write_file(path, MAGIC_04 + rest);
        OpContext ctx = make_ctx(path, OPT_LIST);
        int32_t rc = 0;
        string err = stderr_of([&] { rc = read_archive_header(&ctx, nullptr); });
        EXPECT_EQ(rc, -6) << rest;
        EXPECT_EQ(err, "Bad file format for " + path + "\n") << rest;
        EXPECT_EQ(ctx.read_handle, -1);
    }
}

TEST(ReadHeader, LockedArchiveWantsItsPassword) {
    th::ScratchDir dir;
    string path = dir / "locked.kel";
    make_archive(path, ORIGIN_KELPARC | OPT_PASSWORD, "Secret");
    th::write_file(path, th::read_file(path) + "REC");

    OpContext ctx = make_ctx(path, OPT_LIST | OPT_PASSWORD);
    char pw[PASSWORD_CAP] = "Secret";
    int32_t rc = 0;
    EXPECT_EQ(stderr_of([&] { rc = read_archive_header(&ctx, pw); }), "");
    ASSERT_EQ(rc, 0);
    char rec[4] = {};
    EXPECT_EQ(block_read(rec, 3), 0);
    EXPECT_STREQ(rec, "REC");
    plat::_close(ctx.read_handle);

    for (const char* wrong : {"Secre", "Secrets", "Secreu", "xecret"}) {
        OpContext bad = make_ctx(path, OPT_LIST | OPT_PASSWORD);
        std::snprintf(pw, sizeof pw, "%s", wrong);
        string err = stderr_of([&] { rc = read_archive_header(&bad, pw); });
        EXPECT_EQ(rc, -3) << wrong;
        EXPECT_EQ(err, "Incorrect password supplied.\n") << wrong;
        EXPECT_EQ(bad.read_handle, -1);
    }
}

TEST(ReadHeader, LockedArchiveUnderQuietWithoutPasswordFailsSilently) {
    th::ScratchDir dir;
    string path = dir / "locked.kel";
    make_archive(path, ORIGIN_KELPARC | OPT_PASSWORD, "Secret");
    OpContext ctx = make_ctx(path, OPT_LIST | OPT_QUIET);
    char pw[PASSWORD_CAP] = "";
    int32_t rc = 0;
    // The quiet switch stays off: the silence is the reader's own.
    EXPECT_EQ(stderr_of([&] { rc = read_archive_header(&ctx, pw); }), "");
    EXPECT_EQ(rc, -3);
    EXPECT_EQ(ctx.read_handle, -1);
}

TEST(ReadHeader, DamagedPasswordBlocks) {
    th::ScratchDir dir;
    string head = MAGIC_04 + "   9" + string("4100 1 2\0", 9);  // 4100 = 0x1004
    struct Case {
        string block;
        int32_t rc;
        string err;
    } cases[] = {
        {"   0", -6, "Bad header length, length =    0\n"},
        {"  -3" + seal_by_rule("abc"), -6, "Bad header length, length =   -3\n"},
        {"   3" + seal_by_rule("abd"), -3, "Incorrect password supplied.\n"},
        {"   3" + seal_by_rule("abc"), 0, ""},
        // A length field or sealed bytes that run past the end of the file.
        {"", -6, "Bad file format for "},
        {"  ", -6, "Bad file format for "},
        {"   3" + seal_by_rule("abc").substr(0, 2), -6, "Bad file format for "},
    };
    int k = 0;
    for (const Case& c : cases) {
        string path = dir / ("pw" + std::to_string(k++));
        th::write_file(path, head + c.block);
        OpContext ctx = make_ctx(path, OPT_LIST | OPT_PASSWORD);
        char pw[PASSWORD_CAP] = "abc";
        int32_t rc = 0;
        string err = stderr_of([&] { rc = read_archive_header(&ctx, pw); });
        EXPECT_EQ(rc, c.rc) << k;
        EXPECT_EQ(err, c.err.back() == ' ' ? c.err + path + "\n" : c.err) << k;
        if (rc == 0) plat::_close(ctx.read_handle);
    }
}

TEST(ReadHeader, ArchiveWithoutPasswordIgnoresTheOneGiven) {
    th::ScratchDir dir;
    string path = dir / "open.kel";
    make_archive(path, ORIGIN_KELPARC, "");
    OpContext ctx = make_ctx(path, OPT_LIST | OPT_PASSWORD);
    char pw[PASSWORD_CAP] = "whatever";
    ASSERT_EQ(read_archive_header(&ctx, pw), 0);
    char c;
    EXPECT_EQ(block_read(&c, 1), 1);  // nothing follows the header
    plat::_close(ctx.read_handle);
}
