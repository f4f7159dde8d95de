// Block I/O: the archive is the plain concatenation of the pieces written,
// system calls go out in whole 65534-byte blocks, and reads report the end
// of the archive and short archives as the walks expect.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "archive/block_io.h"
#include "harness.h"

namespace {

constexpr size_t B = BLOCK_SIZE;

int open_read(const std::string& path) { return ::open(path.c_str(), O_RDONLY); }
int open_write(const std::string& path) { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644); }
int64_t file_offset(int fd) { return ::lseek(fd, 0, SEEK_CUR); }
int64_t file_size(const std::string& path) { return static_cast<int64_t>(th::read_file(path).size()); }

// Records the size of every write(2) made into a sequenced-packet socket,
// which keeps each write a message of its own.
class WriteRecorder {
public:
    WriteRecorder() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) throw std::runtime_error("socketpair");
        write_fd_ = fds[0];
        read_fd_ = fds[1];
        int size = 4 << 20;
        ::setsockopt(write_fd_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        reader_ = std::thread([this] {
            std::vector<char> buf(2 * B);
            for (;;) {
                ssize_t n = ::recv(read_fd_, buf.data(), buf.size(), 0);
                if (n <= 0) break;
                sizes_.push_back(static_cast<size_t>(n));
                bytes_.append(buf.data(), static_cast<size_t>(n));
            }
        });
    }
    int fd() const { return write_fd_; }
    // Ends the stream and waits for the reader.
    void finish() {
        ::shutdown(write_fd_, SHUT_WR);
        reader_.join();
        ::close(write_fd_);
        ::close(read_fd_);
    }
    std::vector<size_t> sizes_;
    std::string bytes_;

private:
    int write_fd_ = -1;
    int read_fd_ = -1;
    std::thread reader_;
};

}  // namespace

TEST(BlockWrite, ExactBlockGoesOutAtOnceAndFlushWritesNothing) {
    th::ScratchDir dir;
    std::string path = dir / "a";
    std::string data = th::make_bytes(B, 'r', 3);
    int fd = open_write(path);
    block_begin_write(fd);
    ASSERT_EQ(block_write(data.data(), static_cast<uint32_t>(data.size())), 0);
    EXPECT_EQ(file_size(path), static_cast<int64_t>(B));  // written before any flush
    ASSERT_EQ(block_flush(), 0);
    EXPECT_EQ(file_size(path), static_cast<int64_t>(B));
    EXPECT_EQ(block_bytes_written(), B);
    ::close(fd);
    EXPECT_EQ(th::read_file(path), data);
}

TEST(BlockWrite, SystemWritesAreWholeBlocksThenTheRest) {
    WriteRecorder rec;
    std::string data = th::make_bytes(3 * B + 100, 'r', 4);
    block_begin_write(rec.fd());
    // Pieces that straddle the block boundaries in every way.
    size_t cuts[] = {0, 1, B - 1, B, B + 1, 2 * B + 7, 3 * B + 100};
    for (size_t i = 0; i + 1 < sizeof cuts / sizeof cuts[0]; ++i) {
        ASSERT_EQ(block_write(data.data() + cuts[i], static_cast<uint32_t>(cuts[i + 1] - cuts[i])), 0);
    }
    ASSERT_EQ(block_flush(), 0);
    rec.finish();
    EXPECT_EQ(rec.sizes_, (std::vector<size_t>{B, B, B, 100}));
    EXPECT_EQ(rec.bytes_, data);
}

TEST(BlockWrite, OneByteOverABlockLeavesItForTheFlush) {
    WriteRecorder rec;
    std::string data = th::make_bytes(B + 1, 't', 5);
    block_begin_write(rec.fd());
    ASSERT_EQ(block_write(data.data(), static_cast<uint32_t>(data.size())), 0);
    ASSERT_EQ(block_write(nullptr, 5), 0);       // nothing to write
    ASSERT_EQ(block_write(data.data(), 0), 0);
    ASSERT_EQ(block_flush(), 0);
    rec.finish();
    EXPECT_EQ(rec.sizes_, (std::vector<size_t>{B, 1}));
    EXPECT_EQ(rec.bytes_, data);
}

TEST(BlockWrite, NothingWrittenMeansNoSystemWrite) {
    WriteRecorder rec;
    block_begin_write(rec.fd());
    ASSERT_EQ(block_flush(), 0);
    rec.finish();
    EXPECT_TRUE(rec.sizes_.empty());
}

TEST(BlockWrite, FailedWritesGiveMinus5) {
    int fd = ::open("/dev/full", O_WRONLY);
    if (fd < 0) GTEST_SKIP() << "/dev/full is not available";
    std::string data = th::make_bytes(B, 'z');
    block_begin_write(fd);
    EXPECT_EQ(block_write(data.data(), 10), 0);  // still in the buffer
    EXPECT_EQ(block_flush(), -5);
    block_begin_write(fd);
    EXPECT_EQ(block_write(data.data(), static_cast<uint32_t>(data.size())), -5);
    ::close(fd);
}

TEST(BlockWrite, ArchiveIsTheConcatenationOfRandomPieces) {
    th::ScratchDir dir;
    std::mt19937 rng(42);
    for (int round = 0; round < 4; ++round) {
        std::string path = dir / ("r" + std::to_string(round));
        std::string expected;
        int fd = open_write(path);
        block_begin_write(fd);
        std::uniform_int_distribution<size_t> piece(0, round < 2 ? 300 : 3 * B);
        while (expected.size() < 5 * B) {
            std::string p = th::make_bytes(piece(rng), 'r', static_cast<uint32_t>(rng()));
            ASSERT_EQ(block_write(p.data(), static_cast<uint32_t>(p.size())), 0);
            expected += p;
        }
        ASSERT_EQ(block_flush(), 0);
        EXPECT_EQ(block_bytes_written(), expected.size());
        ::close(fd);
        ASSERT_EQ(th::read_file(path), expected) << "round " << round;
    }
}

// Taking back what followed a point, whether it is still in the buffer or
// went out in whole blocks already: the file is what came before it plus
// what is written after, on a plain handle and one that appends.
TEST(BlockWrite, CutBackTakesBackEverythingAfterThePoint) {
    th::ScratchDir dir;
    struct Case {
        size_t before, taken_back;
        bool append;
    };
    const Case cases[] = {{100, 50, false}, {100, 3 * B, false}, {2 * B + 7, B + 3, false},
                          {B, 0, false},    {10, 2 * B, true},   {B + 1, 5, true}};
    for (const Case& c : cases) {
        const std::string path = dir / "cut";
        const std::string old = "old bytes";
        th::write_file(path, c.append ? old : "");
        int fd = ::open(path.c_str(), O_WRONLY | (c.append ? O_APPEND : 0));
        ASSERT_GE(fd, 0);
        block_begin_write(fd);
        const std::string kept = th::make_bytes(c.before, 'r', 1), dropped = th::make_bytes(c.taken_back, 'r', 2);
        ASSERT_EQ(block_write(kept.data(), static_cast<uint32_t>(kept.size())), 0);
        const uint64_t point = block_bytes_written();
        ASSERT_EQ(block_write(dropped.data(), static_cast<uint32_t>(dropped.size())), 0);
        ASSERT_EQ(block_cut_back(point), 0);
        EXPECT_EQ(block_bytes_written(), point);
        ASSERT_EQ(block_write("tail", 4), 0);
        ASSERT_EQ(block_flush(), 0);
        ::close(fd);
        EXPECT_EQ(th::read_file(path), (c.append ? old : "") + kept + "tail") << c.before << " " << c.taken_back;
    }
}

TEST(BlockRead, EmptyArchiveEndsAtOnce) {
    th::ScratchDir dir;
    th::write_file(dir / "e", "");
    int fd = open_read(dir / "e");
    ASSERT_EQ(block_begin_read(fd), 0);
    char buf[8];
    EXPECT_EQ(block_read(buf, 4), 1);
    EXPECT_EQ(block_read(buf, 0), 0);
    ::close(fd);
}

TEST(BlockRead, BeginReadFailsOnABadHandle) {
    th::ScratchDir dir;
    int fd = open_write(dir / "w");  // not readable
    EXPECT_EQ(block_begin_read(fd), -6);
    ::close(fd);
}

TEST(BlockRead, PieceEndingAtTheEndGivesZeroThenEnd) {
    th::ScratchDir dir;
    th::write_file(dir / "f", "abcd");
    int fd = open_read(dir / "f");
    ASSERT_EQ(block_begin_read(fd), 0);
    char buf[8] = {};
    EXPECT_EQ(block_read(buf, 4), 0);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_EQ(block_read(buf, 1), 1);
    // Asking again after the end stays at the end.
    EXPECT_EQ(block_read(buf, 7), 1);
    ::close(fd);
}

TEST(BlockRead, PartialCopyAtTheEndGivesOne) {
    th::ScratchDir dir;
    th::write_file(dir / "f", "xyz");
    int fd = open_read(dir / "f");
    ASSERT_EQ(block_begin_read(fd), 0);
    char buf[10];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(block_read(buf, 10), 1);
    EXPECT_EQ(std::string(buf, 10), "xyz#######");
    ::close(fd);
}

TEST(BlockRead, ArchiveEndingInsideAPieceIsAnError) {
    th::ScratchDir dir;
    std::string data = th::make_bytes(B + 50, 'r', 9);
    th::write_file(dir / "f", data);
    int fd = open_read(dir / "f");
    ASSERT_EQ(block_begin_read(fd), 0);
    std::vector<char> buf(B);
    ASSERT_EQ(block_read(buf.data(), static_cast<uint32_t>(B - 10)), 0);
    // 10 bytes left in the buffer, the refill brings 50: 100 cannot be had.
    EXPECT_EQ(block_read(buf.data(), 100), -6);
    EXPECT_EQ(std::string(buf.data(), 10), data.substr(B - 10, 10));
    ::close(fd);
}

TEST(BlockRead, RefillsAreWholeBlocksAndOnlyWhenNeeded) {
    th::ScratchDir dir;
    std::string data = th::make_bytes(2 * B + 300, 'r', 11);
    th::write_file(dir / "f", data);
    int fd = open_read(dir / "f");
    ASSERT_EQ(block_begin_read(fd), 0);
    EXPECT_EQ(file_offset(fd), static_cast<int64_t>(B));
    std::vector<char> buf(2 * B + 300);
    ASSERT_EQ(block_read(buf.data(), static_cast<uint32_t>(B)), 0);
    EXPECT_EQ(file_offset(fd), static_cast<int64_t>(B));  // ending at the end: no refill yet
    ASSERT_EQ(block_read(buf.data() + B, 1), 0);
    EXPECT_EQ(file_offset(fd), static_cast<int64_t>(2 * B));
    ASSERT_EQ(block_read(buf.data() + B + 1, static_cast<uint32_t>(B + 299)), 0);
    EXPECT_EQ(std::string(buf.data(), buf.size()), data);
    EXPECT_EQ(block_read(buf.data(), 1), 1);
    ::close(fd);
}

TEST(BlockSkip, AcrossABlockIntoTheShortLastBlock) {
    th::ScratchDir dir;
    std::string data = th::make_bytes(2 * B + 100, 'r', 12);
    th::write_file(dir / "f", data);
    int fd = open_read(dir / "f");
    ASSERT_EQ(block_begin_read(fd), 0);
    char buf[64];
    ASSERT_EQ(block_read(buf, 10), 0);
    ASSERT_EQ(block_skip(2 * B + 40), 0);
    ASSERT_EQ(block_read(buf, 50), 0);
    EXPECT_EQ(std::string(buf, 50), data.substr(2 * B + 50, 50));
    // The valid count is the last block's: the end comes at the true end.
    EXPECT_EQ(block_read(buf, 1), 1);
    ::close(fd);
}

TEST(BlockSkip, EndingAtTheValidBytesRefillsAtOnce) {
    th::ScratchDir dir;
    std::string data = th::make_bytes(B + 10, 'r', 13);
    th::write_file(dir / "f", data);
    int fd = open_read(dir / "f");
    ASSERT_EQ(block_begin_read(fd), 0);
    ASSERT_EQ(block_skip(B), 0);
    EXPECT_EQ(file_offset(fd), static_cast<int64_t>(B + 10));
    char buf[16];
    ASSERT_EQ(block_read(buf, 10), 0);
    EXPECT_EQ(std::string(buf, 10), data.substr(B, 10));
    EXPECT_EQ(block_read(buf, 1), 1);
    ::close(fd);
}

TEST(BlockSkip, PastTheEndIsAnErrorWhateverTheCount) {
    th::ScratchDir dir;
    th::write_file(dir / "f", th::make_bytes(100, 't'));
    int fd = open_read(dir / "f");
    ASSERT_EQ(block_begin_read(fd), 0);
    EXPECT_EQ(block_skip(101), -6);
    ASSERT_EQ(block_begin_read(fd), 0);  // at the end of the file now: reads 0
    EXPECT_EQ(block_skip(uint64_t{1} << 40), -6);
    ::close(fd);

    // A skip to exactly the end finds the end of the file: no error.
    fd = open_read(dir / "f");
    ASSERT_EQ(block_begin_read(fd), 0);
    EXPECT_EQ(block_skip(100), 0);
    char c;
    EXPECT_EQ(block_read(&c, 1), 1);
    ::close(fd);
}

TEST(BlockRead, RandomReadsAndSkipsGiveTheFileBack) {
    th::ScratchDir dir;
    std::string data = th::make_bytes(4 * B + 1234, 'r', 14);
    th::write_file(dir / "f", data);
    std::mt19937 rng(7);
    for (int round = 0; round < 6; ++round) {
        int fd = open_read(dir / "f");
        ASSERT_EQ(block_begin_read(fd), 0);
        std::uniform_int_distribution<size_t> piece(0, round < 3 ? 500 : 2 * B);
        size_t at = 0;
        std::vector<char> buf(2 * B);
        while (at < data.size()) {
            size_t n = std::min(piece(rng), data.size() - at);
            if (rng() % 3 == 0) {
                ASSERT_EQ(block_skip(n), 0);
            } else {
                ASSERT_EQ(block_read(buf.data(), static_cast<uint32_t>(n)), 0);
                ASSERT_EQ(std::string(buf.data(), n), data.substr(at, n)) << "at " << at;
            }
            at += n;
        }
        char c;
        EXPECT_EQ(block_read(&c, 1), 1);
        ::close(fd);
    }
}
