// store_file in process: an entry holds what was actually read even when
// the status record no longer matches the file, and the archive's identity
// is found by device and inode.
#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "archive/block_io.h"
#include "entries/store.h"
#include "write_support.h"

namespace {

struct OpenArchive {
    OpContext ctx;
    explicit OpenArchive(const std::string& path) {
        std::memset(&ctx, 0, sizeof ctx);
        ctx.flags = ORIGIN_KELPARC | OPT_QUIET;
        std::snprintf(ctx.archive_path, sizeof ctx.archive_path, "%s", path.c_str());
        ctx.write_handle = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        block_begin_write(ctx.write_handle);
        std::string h = ab::header(4);
        block_write(h.data(), static_cast<uint32_t>(h.size()));
    }
    void close() {
        EXPECT_EQ(block_flush(), 0);
        ::close(ctx.write_handle);
    }
};

// A status taken before the file grew or shrank: ENTRY_MORE follows the
// data read, so each file is one entry whose chunks hold its bytes.
TEST(StoreFile, StaleStatusStillGivesOneWellFormedEntry) {
    th::ScratchDir dir;
    std::string content = th::make_bytes(20000, 't', 11);
    th::write_file(dir / "f", content);
    OpenArchive a(dir / "a.kel");
    plat::StatRec st;
    ASSERT_EQ(plat::_stat((dir / "f").c_str(), &st), 0);
    std::string path = dir / "f";
    for (int64_t stale : {int64_t{0}, int64_t{5}, int64_t{16383}, int64_t{1000000}}) {
        st.size = stale;
        std::string name = path;
        EXPECT_EQ(store_file(&name[0], nullptr, &a.ctx, &st, 0), 0) << stale;
    }
    a.close();
    wt::Parsed p = wt::parse_archive(th::read_file(dir / "a.kel"));
    ASSERT_TRUE(p.ok) << p.error;
    ASSERT_EQ(p.entries.size(), 4u);
    for (const wt::Entry& e : p.entries) {
        EXPECT_EQ(e.name, path);
        ASSERT_EQ(e.chunks.size(), 2u) << e.size;
        EXPECT_EQ(e.chunks[0].flags & ab::MORE, ab::MORE);
        EXPECT_EQ(e.chunks[1].flags & ab::MORE, 0);
    }
    EXPECT_EQ(p.entries[1].size, 5);
}

TEST(StoreFile, ArchiveItselfByDeviceAndInode) {
    th::ScratchDir dir;
    th::write_file(dir / "other", "x");
    OpenArchive a(dir / "a.kel");
    ASSERT_EQ(::link((dir / "a.kel").c_str(), (dir / "second").c_str()), 0);
    plat::StatRec st;
    ASSERT_EQ(plat::_stat((dir / "second").c_str(), &st), 0);
    EXPECT_TRUE(is_archive_itself(&st, &a.ctx));
    ASSERT_EQ(plat::_stat((dir / "other").c_str(), &st), 0);
    EXPECT_FALSE(is_archive_itself(&st, &a.ctx));
    // The identity is noted once: the archive's name may go meanwhile.
    ASSERT_EQ(::unlink((dir / "a.kel").c_str()), 0);
    ASSERT_EQ(plat::_stat((dir / "second").c_str(), &st), 0);
    EXPECT_TRUE(is_archive_itself(&st, &a.ctx));
    // Without a path for the archive nothing is taken for it.
    a.ctx.archive_path[0] = '\0';
    a.ctx.archive_id_known = 0;
    EXPECT_FALSE(is_archive_itself(&st, &a.ctx));
    a.close();
}

// A FIFO that took the place of a file after its status call is never
// opened for reading (which would wait for a writer for ever).
TEST(StoreFile, FifoAfterTheStatusCallIsRefused) {
    th::ScratchDir dir;
    th::write_file(dir / "f", "0123456789");
    OpenArchive a(dir / "a.kel");
    plat::StatRec st;
    ASSERT_EQ(plat::_stat((dir / "f").c_str(), &st), 0);
    ASSERT_EQ(::unlink((dir / "f").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "f").c_str(), 0666), 0);
    std::string name = dir / "f";
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(store_file(&name[0], nullptr, &a.ctx, &st, 0), -4);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Could not open source file " + dir / "f" + "\n");
    a.close();
}

}  // namespace
