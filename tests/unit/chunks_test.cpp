// The chunk chain reader: the chunks it reports and the bytes it leaves
// behind, for passing over an entry and for reading it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "archive/block_io.h"
#include "archive/chunks.h"
#include "fixtures.h"
#include "harness.h"

namespace {

using std::string;

// A linked header: "%lld %d" in a zeroed 10-byte field.
string linked(int64_t len, int32_t flags) {
    string text = std::to_string(len) + " " + std::to_string(flags);
    return text + string(10 - text.size(), '\0');
}

dir_entry entry_of(int64_t clen, int32_t flags) {
    dir_entry e{};
    e.clen = clen;
    e.entry_flags = flags;
    return e;
}

struct Stream {
    th::ScratchDir dir;
    int fd = -1;
    explicit Stream(const string& bytes) {
        th::write_file(dir / "in", bytes);
        fd = ::open((dir / "in").c_str(), O_RDONLY);
        EXPECT_EQ(block_begin_read(fd), 0);
    }
    ~Stream() { ::close(fd); }
    string rest() {
        string out;
        char c;
        while (block_read(&c, 1) == 0) out += c;
        return out;
    }
};

// Each chunk's length and flags as the chain reports them, the chunk's
// bytes read; the chain's last answer in *last.
std::vector<string> read_chain(const dir_entry& e, int32_t* last) {
    std::vector<string> chunks;
    ChunkChain chain;
    chunk_chain_begin(&chain, &e);
    while ((*last = chunk_chain_next(&chain)) == 0) {
        string data(static_cast<size_t>(chain.len), '\0');
        EXPECT_EQ(block_read(&data[0], static_cast<uint32_t>(chain.len)), 0);
        chunks.push_back(std::to_string(chain.flags) + ":" + data);
    }
    return chunks;
}

TEST(ChunkChain, FollowsTheLinkedHeadersToTheLastChunk) {
    Stream s("abc" + linked(2, ENTRY_MORE | ENTRY_RAW) + "de" + linked(1, 0) + "f" + "NEXT");
    int32_t last = 0;
    auto chunks = read_chain(entry_of(3, ENTRY_MORE), &last);
    EXPECT_EQ(last, 1);
    EXPECT_EQ(chunks, (std::vector<string>{"1:abc", "3:de", "0:f"}));
    EXPECT_EQ(s.rest(), "NEXT");  // the next record is untouched
}

TEST(ChunkChain, LengthZeroEndsTheEntryWhateverItsFlags) {
    Stream s("ab" + linked(0, ENTRY_MORE) + "NEXT");
    int32_t last = 0;
    EXPECT_EQ(read_chain(entry_of(2, ENTRY_MORE), &last), (std::vector<string>{"1:ab"}));
    EXPECT_EQ(last, 1);
    EXPECT_EQ(s.rest(), "NEXT");
    // An entry without data has no chunk at all, even with ENTRY_MORE.
    Stream empty("NEXT");
    EXPECT_TRUE(read_chain(entry_of(0, ENTRY_MORE), &last).empty());
    EXPECT_EQ(last, 1);
    EXPECT_EQ(empty.rest(), "NEXT");
}

TEST(ChunkChain, MissingLinkedHeaderIsMinus14WithMessage20) {
    Stream s("abc");
    int32_t last = 0;
    std::vector<string> chunks;
    string err = th::stderr_of([&] { chunks = read_chain(entry_of(3, ENTRY_MORE), &last); });
    EXPECT_EQ(chunks, (std::vector<string>{"1:abc"}));
    EXPECT_EQ(last, -14);
    EXPECT_EQ(err, "Error reading linked header data.\n");
}

TEST(SkipEntryData, PassesOverWhatTheChainReads) {
    const dir_entry linked3 = entry_of(3, ENTRY_MORE);
    Stream s("abc" + linked(2, ENTRY_MORE) + "de" + linked(1, 0) + "f" + "NEXT");
    EXPECT_EQ(skip_entry_data(&linked3), 0);
    EXPECT_EQ(s.rest(), "NEXT");
    // A negative length or data cut short is a read failure.
    Stream neg("abc" + linked(-2, 0));
    EXPECT_EQ(skip_entry_data(&linked3), -6);
    const dir_entry single3 = entry_of(3, 0);
    Stream cut("ab");
    EXPECT_EQ(skip_entry_data(&single3), -6);
}

}  // namespace
