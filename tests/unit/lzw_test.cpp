// The LZW codec: exact streams, agreement with ncompress and gzip, round
// trips, the step interfaces, and corrupt streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "codec/lzw.h"
#include "codec/lzw_internal.h"
#include "harness.h"

namespace {

using Bytes = std::string;

Bytes hex(const std::vector<int>& values) {
    Bytes b;
    for (int v : values) b.push_back(static_cast<char>(v));
    return b;
}

const unsigned char* u8(const Bytes& b) { return reinterpret_cast<const unsigned char*>(b.data()); }

// A sink of our own: takes up to cap bytes, refuses anything beyond.
struct VecSink {
    Bytes bytes;
    size_t cap = SIZE_MAX;
    int n_calls = 0;
};

int vec_sink(void* sink_data, const unsigned char* bytes, int count) {
    auto* sink = static_cast<VecSink*>(sink_data);
    ++sink->n_calls;
    if (sink->bytes.size() + static_cast<size_t>(count) > sink->cap) return 0;
    sink->bytes.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(count));
    return 1;
}

// Compresses data through the step interface, piece_len bytes per step
// (the whole input in one piece when piece_len is 0).
Bytes lzw_encode(const Bytes& data, size_t piece_len = 0) {
    VecSink sink;
    if (piece_len == 0) piece_len = data.size() > 0 ? data.size() : 1;
    size_t first = std::min(piece_len, data.size());
    LzwContext* ctx = lzw_compress_open(vec_sink, &sink, u8(data), static_cast<int32_t>(first));
    EXPECT_NE(ctx, nullptr);
    if (ctx == nullptr) return Bytes();
    for (size_t at = first; at < data.size(); at += piece_len) {
        const size_t n = std::min(piece_len, data.size() - at);
        EXPECT_TRUE(lzw_compress_step(ctx, &sink, u8(data) + at, static_cast<int32_t>(n)));
    }
    EXPECT_TRUE(lzw_compress_close(ctx, &sink));
    return sink.bytes;
}

// Decodes a stream with our own sink, piece_len bytes per step; false when
// the decoder reports the stream as corrupt.
bool lzw_decode(const Bytes& stream, Bytes* out, size_t piece_len = 0, size_t cap = SIZE_MAX) {
    VecSink sink;
    sink.cap = cap;
    if (piece_len == 0) piece_len = stream.size() > 0 ? stream.size() : 1;
    // The set-up reads the three header bytes from the first piece.
    size_t first = std::min(std::max<size_t>(piece_len, 3), stream.size());
    LzwContext* ctx = lzw_decompress_open(vec_sink, &sink, u8(stream), static_cast<int32_t>(first),
                                          first == stream.size());
    if (ctx == nullptr) return false;
    for (size_t at = first; at < stream.size(); at += piece_len) {
        const size_t n = std::min(piece_len, stream.size() - at);
        if (!lzw_decompress_step(ctx, &sink, u8(stream) + at, static_cast<int32_t>(n),
                                 at + n == stream.size())) {
            return false;
        }
    }
    lzw_decompress_close(ctx, &sink);
    *out = sink.bytes;
    return true;
}

// decompress_block over a whole chunk; false for a corrupt chunk.
bool block_decode(const Bytes& stream, Bytes* out) {
    int32_t len = static_cast<int32_t>(stream.size());
    const unsigned char* at = decompress_block(u8(stream), &len);
    if (at == nullptr) return false;
    out->assign(reinterpret_cast<const char*>(at), static_cast<size_t>(len));
    return true;
}

// Packs codes LSB first the way the compressor does, for hand-built streams.
struct CodePacker {
    Bytes bytes;
    size_t n_bits = 0;
    void put(int code, int width) {
        for (int i = 0; i < width; ++i, ++n_bits) {
            if (n_bits % 8 == 0) bytes.push_back(0);
            if ((code >> i) & 1) bytes.back() = static_cast<char>(bytes.back() | (1 << (n_bits % 8)));
        }
    }
    void put_all(std::initializer_list<int> codes, int width) {
        for (int code : codes) put(code, width);
    }
    // Pads to the end of the group of width-bit codes (as after a clear code).
    void end_group(int width) {
        const size_t group_bits = static_cast<size_t>(width) * 8;
        while (n_bits % group_bits != 0) put(0, 1);
    }
};

Bytes stream_of(int flags, const CodePacker& codes) {
    return hex({0x1F, 0x9D, flags}) + codes.bytes;
}

// The 9-bit codes of a short stream (under 256 codes, no clear code).
std::vector<int> nine_bit_codes(const Bytes& stream) {
    std::vector<int> codes;
    const size_t n_bits = (stream.size() - 3) * 8;
    for (size_t at = 0; at + 9 <= n_bits; at += 9) {
        int code = 0;
        for (int i = 0; i < 9; ++i) {
            const size_t bit = at + static_cast<size_t>(i);
            code |= ((static_cast<unsigned char>(stream[3 + bit / 8]) >> (bit % 8)) & 1) << i;
        }
        codes.push_back(code);
    }
    return codes;
}

// Counts the clear codes of a block-mode stream, following the widths the
// way a reader does: one new string per code after the first, growth when
// the next string passes the width, back to 9 bits after a clear code.
int count_clear_codes(const Bytes& stream) {
    int n_clear = 0;
    int width = 9;
    int next_code = 257;
    bool first = true;
    for (size_t at = 3; at < stream.size();) {
        const size_t n = std::min(static_cast<size_t>(width), stream.size() - at);
        const Bytes group = stream.substr(at, n);
        at += n;
        const int group_width = width;
        for (int bit = 0; bit + group_width <= static_cast<int>(n) * 8; bit += group_width) {
            int code = 0;
            for (int i = 0; i < group_width; ++i) {
                const int b = bit + i;
                code |= ((static_cast<unsigned char>(group[static_cast<size_t>(b / 8)]) >> (b % 8)) & 1) << i;
            }
            if (code == 256) {
                ++n_clear;
                next_code = 256;
                width = 9;
                break;
            }
            if (!first && next_code < 4096) ++next_code;
            first = false;
            if (width < 12 && next_code > (1 << width) - 1) {
                ++width;
                break;
            }
        }
    }
    return n_clear;
}

// A literal coder, kept beside the real one as its reference: the real one
// looks strings up another way and must write the same bytes.
struct ReferenceCoder {
    std::vector<int32_t> keys = std::vector<int32_t>(5003, -1);
    std::vector<uint16_t> codes = std::vector<uint16_t>(5003, 0);
    Bytes out = hex({0x1F, 0x9D, 0x8C});
    unsigned char group[12] = {};
    int out_bits = 0, width = 9, max_code = 511, next_code = 257, clear_pending = 0;
    int32_t ratio = 0, bytes_in = 1, bytes_out = 3, checkpoint = 10000;

    void send(int n) {
        out.append(reinterpret_cast<const char*>(group), static_cast<size_t>(n));
        bytes_out += n;
    }
    void put(int code) {
        if (code < 0) {
            if (out_bits > 0) send((out_bits + 7) / 8);
            out_bits = 0;
            return;
        }
        int at = out_bits / 8, shift = out_bits % 8, left = width;
        group[at] = static_cast<unsigned char>((group[at] & ((1 << shift) - 1)) | ((code << shift) & 0xFF));
        int used = 8 - shift;
        left -= used;
        code >>= used;
        if (left >= 8) {
            group[++at] = static_cast<unsigned char>(code & 0xFF);
            code >>= 8;
            left -= 8;
        }
        if (left > 0) group[++at] = static_cast<unsigned char>(code);
        out_bits += width;
        if (out_bits == 8 * width) {
            send(width);
            out_bits = 0;
        }
        if (next_code > max_code || clear_pending > 0) {
            if (out_bits > 0) send(width);
            out_bits = 0;
            if (clear_pending > 0) {
                width = 9, max_code = 511, clear_pending = 0;
            } else {
                ++width;
                max_code = width == 12 ? 4096 : (1 << width) - 1;
            }
        }
    }
    void check_ratio() {
        checkpoint = bytes_in + 10000;
        int32_t r = bytes_in <= 0x7FFFFF ? (bytes_in << 8) / bytes_out
                                         : (bytes_out >> 8 == 0 ? 0x7FFFFFFF : bytes_in / (bytes_out >> 8));
        if (r > ratio) {
            ratio = r;
            return;
        }
        ratio = 0;
        std::fill(keys.begin(), keys.end(), -1);
        next_code = 257;
        clear_pending = 1;
        put(256);
    }
    Bytes encode(const Bytes& data) {
        if (data.empty()) return out;
        int prefix = static_cast<unsigned char>(data[0]);
        for (size_t i = 1; i < data.size(); ++i) {
            const int c = static_cast<unsigned char>(data[i]);
            ++bytes_in;
            const int32_t key = (c << 12) + prefix;
            int slot = (c << 4) ^ prefix;
            bool found = keys[static_cast<size_t>(slot)] == key;
            if (!found && keys[static_cast<size_t>(slot)] >= 0) {
                const int disp = slot == 0 ? 1 : 5003 - slot;
                for (;;) {
                    slot -= disp;
                    if (slot < 0) slot += 5003;
                    if (keys[static_cast<size_t>(slot)] == key) {
                        found = true;
                        break;
                    }
                    if (keys[static_cast<size_t>(slot)] <= 0) break;
                }
            }
            if (found) {
                prefix = codes[static_cast<size_t>(slot)];
                continue;
            }
            put(prefix);
            prefix = c;
            if (next_code < 4096) {
                codes[static_cast<size_t>(slot)] = static_cast<uint16_t>(next_code++);
                keys[static_cast<size_t>(slot)] = key;
            } else if (bytes_in >= checkpoint) {
                check_ratio();
            }
        }
        put(prefix);
        put(-1);
        return out;
    }
};

Bytes reference_encode(const Bytes& data) { return ReferenceCoder().encode(data); }

// Runs a shell filter over input: "<tool> < in > out".
Bytes run_filter(const th::ScratchDir& dir, const std::string& tool, const Bytes& input, int* status) {
    th::write_file(dir / "filter.in", input);
    *status = th::shell(tool + " < '" + (dir / "filter.in") + "' > '" + (dir / "filter.out") + "' 2>/dev/null");
    return th::read_file(dir / "filter.out");
}

Bytes ncompress(const th::ScratchDir& dir, const Bytes& input, int bits = 12) {
    int status = 0;
    Bytes out = run_filter(dir, "compress -b" + std::to_string(bits) + " -c", input, &status);
    EXPECT_TRUE(status == 0 || status == 2) << "compress status " << status;  // 2: no saving
    return out;
}

Bytes tool_decode(const th::ScratchDir& dir, const std::string& tool, const Bytes& stream) {
    int status = -1;
    Bytes out = run_filter(dir, tool, stream, &status);
    EXPECT_EQ(status, 0) << tool;
    return out;
}

Bytes file_part(const std::string& path, size_t offset, size_t n) {
    Bytes all = th::read_file(path);
    if (offset >= all.size()) return Bytes();
    return all.substr(offset, n);
}

// Text of the machine's own C headers, binary of its own libraries.
Bytes machine_text(size_t n) {
    Bytes text;
    for (const char* p : {"/usr/include/stdio.h", "/usr/include/stdlib.h", "/usr/include/string.h",
                          "/usr/include/unistd.h", "/usr/include/signal.h"}) {
        text += th::read_file(p);
    }
    while (!text.empty() && text.size() < n) text += text;
    return text.substr(0, n);
}

Bytes machine_binary(size_t n, size_t offset = 4096) {
    return file_part("/usr/lib/x86_64-linux-gnu/libc.so.6", offset, n);
}

// Runs of the two-zero-byte string broken up by other bytes: exercises the
// key-0 entry of the compressor's hash.
Bytes zero_pairs(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b;
    while (b.size() < n) {
        b.append(rng() % 7 + 2, '\0');
        b.push_back(static_cast<char>(rng() % 64));
    }
    return b.substr(0, n);
}

struct Sample {
    std::string name;
    Bytes data;
};

std::vector<Sample> samples_of_size(size_t n) {
    return {{"text", th::make_bytes(n, 't', static_cast<uint32_t>(n))},
            {"headers", machine_text(n)},
            {"zeros", Bytes(n, '\0')},
            {"zero_pairs", zero_pairs(n, static_cast<uint32_t>(n))},
            {"random", th::make_bytes(n, 'r', static_cast<uint32_t>(n) + 7)},
            {"binary", machine_binary(n)}};
}

const std::vector<size_t> kSizes = {0, 1, 2, 3, 17, 255, 1000, 4097, 9999, 16383};

}  // namespace

// The streams the coder must write, to the byte.
TEST(LzwCompress, ExactStreamsAndBlockResults) {
    EXPECT_EQ(lzw_encode("abc"), hex({0x1F, 0x9D, 0x8C, 0x61, 0xC4, 0x8C, 0x01}));
    EXPECT_EQ(lzw_encode("A"), hex({0x1F, 0x9D, 0x8C, 0x41, 0x00}));
    EXPECT_EQ(lzw_encode("ababababab"),
              hex({0x1F, 0x9D, 0x8C, 0x61, 0xC4, 0x04, 0x1C, 0x28, 0x50, 0x0C}));
    EXPECT_EQ(lzw_encode(""), hex({0x1F, 0x9D, 0x8C}));

    const unsigned char* result = reinterpret_cast<const unsigned char*>(1);
    EXPECT_EQ(compress_block(u8("abc"), 3, &result), 3);  // 7 bytes: not shorter
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(compress_block(u8("ababababab"), 10, &result), 10);  // equal: stored raw
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(compress_block(u8(""), 0, &result), 0);
    EXPECT_EQ(result, nullptr);

    const Bytes zeros(1000, '\0');
    const int32_t n = compress_block(u8(zeros), 1000, &result);
    ASSERT_NE(result, nullptr);
    ASSERT_LT(n, 1000);
    EXPECT_EQ(Bytes(reinterpret_cast<const char*>(result), static_cast<size_t>(n)), lzw_encode(zeros));
}

TEST(LzwCompress, IncompressibleChunkIsReportedNotShorter) {
    const Bytes data = th::make_bytes(16383, 'r', 99);
    const Bytes stream = lzw_encode(data);
    EXPECT_GT(stream.size(), 16383u);
    EXPECT_LT(stream.size(), static_cast<size_t>(CODEC_OUT_SIZE));
    const unsigned char* result = nullptr;
    EXPECT_EQ(compress_block(u8(data), 16383, &result), 16383);
    EXPECT_EQ(result, nullptr);
}

// Width growth: the 256th code is the last 9-bit one and completes the 32nd
// group; the 257th is 10 bits wide.  257 distinct pairs of bytes give
// exactly that many codes.
TEST(LzwCompress, WidthGrowsOnAGroupBoundary) {
    Bytes data;
    for (int i = 0; data.size() < 2 * 300; ++i) {
        data.push_back(static_cast<char>(i % 256));
        data.push_back(static_cast<char>((i * 7 + i / 256) % 256));
    }
    th::ScratchDir dir;
    const Bytes ours = lzw_encode(data);
    EXPECT_EQ(ours, ncompress(dir, data));
    Bytes back;
    ASSERT_TRUE(lzw_decode(ours, &back));
    EXPECT_EQ(back, data);
}

// ncompress -b12 writes the same bytes for a chunk on ordinary data.
TEST(LzwCompress, MatchesNcompressOnOrdinaryChunks) {
    th::ScratchDir dir;
    for (size_t n : kSizes) {
        for (const Sample& s : samples_of_size(n)) {
            if (s.name == "zero_pairs") continue;  // the key-0 rule differs, see below
            EXPECT_EQ(lzw_encode(s.data), ncompress(dir, s.data)) << s.name << " " << n;
        }
    }
    for (size_t offset : {0u, 70000u, 400000u, 1200000u}) {
        const Bytes bin = machine_binary(16383, offset);
        EXPECT_EQ(lzw_encode(bin), ncompress(dir, bin)) << "binary at " << offset;
    }
}

// A slot holding key 0 (the string of two zero bytes) ends a probe: the new
// string takes that slot and the two-zero string is entered again later.
// ncompress probes on, so here the two streams differ while both decode.
TEST(LzwCompress, KeyZeroSlotEndsAProbe) {
    // 10 01 puts its string at slot 0, so 00 00 (home slot 0) moves to slot
    // 5002; 20 02 (home slot 0 too) probes to 5002, finds key 0 and takes it.
    const Bytes data = hex({0x10, 0x01, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00, 0x00, 0x00});
    const Bytes ours = lzw_encode(data);
    EXPECT_EQ(nine_bit_codes(ours), (std::vector<int>{16, 1, 0, 0, 32, 2, 0, 263, 0}));
    th::ScratchDir dir;
    EXPECT_NE(ours, ncompress(dir, data));
    EXPECT_EQ(tool_decode(dir, "gzip -dc", ours), data);
    EXPECT_EQ(tool_decode(dir, "compress -dc", ours), data);
    Bytes back;
    ASSERT_TRUE(block_decode(ours, &back));
    EXPECT_EQ(back, data);
}

// Every chunk we write is read back by gzip and by ncompress.
TEST(LzwCompress, ChunksDecodeWithGzipAndNcompress) {
    th::ScratchDir dir;
    for (size_t n : {size_t{1}, size_t{1000}, size_t{9999}, size_t{16383}}) {
        for (const Sample& s : samples_of_size(n)) {
            const Bytes stream = lzw_encode(s.data);
            EXPECT_EQ(tool_decode(dir, "gzip -dc", stream), s.data) << s.name << " " << n;
            EXPECT_EQ(tool_decode(dir, "compress -dc", stream), s.data) << s.name << " " << n;
        }
    }
}

// The coder against the literal reference: chunks of every kind, the
// key-0 rule in many shapes, and long inputs with clear codes.
TEST(LzwCompress, MatchesTheReferenceCoder) {
    for (size_t n : kSizes) {
        for (const Sample& s : samples_of_size(n)) {
            EXPECT_EQ(lzw_encode(s.data), reference_encode(s.data)) << s.name << " " << n;
        }
    }
    // Pairs whose strings share home slot 0 with the two-zero string, mixed
    // with zeros, so that the two-zero string is displaced, overwritten and
    // entered again, in many orders.
    std::mt19937 rng(17);
    for (int round = 0; round < 300; ++round) {
        Bytes data;
        const size_t n = 20 + rng() % (round < 250 ? 3000 : 40000);
        while (data.size() < n) {
            const unsigned pick = rng() % 8;
            const int c = 1 + static_cast<int>(rng() % 15);
            if (pick < 3) data += hex({c * 16, c});
            else if (pick < 6) data.append(rng() % 5 + 1, '\0');
            else data.push_back(static_cast<char>(rng() % 256));
        }
        ASSERT_EQ(lzw_encode(data), reference_encode(data)) << "round " << round;
    }
    Bytes long_input;
    for (uint32_t seed = 1; long_input.size() < 300000; ++seed) {
        long_input += machine_text(20000) + zero_pairs(20000, seed) + th::make_bytes(20000, 'r', seed);
    }
    EXPECT_EQ(lzw_encode(long_input, 16383), reference_encode(long_input));
}

// Probes cut short hand the lookups to the 5003-slot table part-way
// through a chunk, on every kind of data: the bytes stay the same.
TEST(LzwCompress, ShortProbesGiveTheSameStream) {
    const Bytes mixed = machine_text(30000) + zero_pairs(20000, 9) + machine_binary(30000) +
                        th::make_bytes(20000, 'r', 11);
    for (uint32_t cap : {1u, 2u, 3u}) {
        lzw_set_probe_cap(cap);
        for (const Sample& s : samples_of_size(16383)) {
            EXPECT_EQ(lzw_encode(s.data), reference_encode(s.data)) << s.name << " cap " << cap;
            EXPECT_EQ(lzw_encode(s.data, 1000), reference_encode(s.data)) << s.name << " cap " << cap;
        }
        EXPECT_EQ(lzw_encode(mixed, 16383), reference_encode(mixed)) << "cap " << cap;
    }
    lzw_set_probe_cap(0);
}

// Pieces given to successive steps code as one input.
TEST(LzwCompress, StepsCodeAsOneInput) {
    const Bytes data = machine_text(40000) + zero_pairs(20000, 5) + th::make_bytes(30000, 'r', 3);
    const Bytes whole = lzw_encode(data);
    for (size_t piece : {1u, 2u, 7u, 4096u, 16383u}) {
        EXPECT_EQ(lzw_encode(data, piece), whole) << "pieces of " << piece;
    }
    // An empty first piece: the stream starts with the next one.
    VecSink sink;
    LzwContext* ctx = lzw_compress_open(vec_sink, &sink, nullptr, 0);
    ASSERT_NE(ctx, nullptr);
    ASSERT_TRUE(lzw_compress_step(ctx, &sink, u8(data), static_cast<int32_t>(data.size())));
    ASSERT_TRUE(lzw_compress_close(ctx, &sink));
    EXPECT_EQ(sink.bytes, whole);
}

// An input far longer than a chunk: the dictionary fills, the ratio check
// writes clear codes with their padded groups, and the output passes the
// 32768-byte area, so it is decoded with a sink of our own.
TEST(LzwCompress, LongInputWritesClearCodes) {
    Bytes data;
    for (uint32_t seed = 1; data.size() < 400000; ++seed) {
        data += machine_text(30000);
        data += th::make_bytes(30000, 'r', seed);  // a change of kind lowers the ratio
        data += machine_binary(30000, seed * 50000);
    }
    const Bytes stream = lzw_encode(data, 16383);
    Bytes back;
    ASSERT_TRUE(lzw_decode(stream, &back));
    EXPECT_EQ(back, data);
    th::ScratchDir dir;
    EXPECT_EQ(tool_decode(dir, "gzip -dc", stream), data);
    EXPECT_EQ(tool_decode(dir, "compress -dc", stream), data);
    // The ratio check did clear the dictionary.
    EXPECT_GT(count_clear_codes(stream), 0);
    // And in pieces that split groups.
    Bytes back_pieces;
    ASSERT_TRUE(lzw_decode(stream, &back_pieces, 5));
    EXPECT_EQ(back_pieces, data);
}

// Streams written by ncompress with 9 to 12 bits decode with ours.  Only
// streams that ncompress reads back itself count: its -b9 writer assigns
// code 512, which 9 bits cannot hold, once a 9-bit dictionary fills.
TEST(LzwDecompress, ReadsNcompressStreams) {
    th::ScratchDir dir;
    int n_checked[13] = {};
    for (int bits = 9; bits <= 12; ++bits) {
        for (size_t n : {size_t{1}, size_t{300}, size_t{700}, size_t{5000}}) {
            for (const Sample& s : samples_of_size(n)) {
                const Bytes stream = ncompress(dir, s.data, bits);
                int status = -1;
                if (run_filter(dir, "compress -dc", stream, &status) != s.data || status != 0) continue;
                Bytes back;
                ASSERT_TRUE(lzw_decode(stream, &back)) << s.name << " -b" << bits << " " << n;
                EXPECT_EQ(back, s.data) << s.name << " -b" << bits << " " << n;
                ++n_checked[bits];
            }
        }
    }
    EXPECT_GE(n_checked[9], 10);
    for (int bits = 10; bits <= 12; ++bits) EXPECT_EQ(n_checked[bits], 24) << bits;
    // A large input, where ncompress fills its dictionary and clears it.
    const Bytes big = machine_text(200000) + th::make_bytes(100000, 'r', 8) + machine_text(100000);
    for (int bits = 10; bits <= 12; ++bits) {
        Bytes back;
        ASSERT_TRUE(lzw_decode(ncompress(dir, big, bits), &back)) << "-b" << bits;
        EXPECT_EQ(back, big) << "-b" << bits;
    }
}

TEST(LzwDecompress, ExactStreams) {
    Bytes out;
    ASSERT_TRUE(block_decode(hex({0x1F, 0x9D, 0x8C, 0x61, 0xC4, 0x8C, 0x01}), &out));
    EXPECT_EQ(out, "abc");
    // Its fourth code, 259, arrives while next_code is 259: "ab" + 'a'.
    ASSERT_TRUE(block_decode(hex({0x1F, 0x9D, 0x8C, 0x61, 0xC4, 0x04, 0x1C, 0x28, 0x50, 0x0C}), &out));
    EXPECT_EQ(out, "ababababab");
    ASSERT_TRUE(block_decode(hex({0x1F, 0x9D, 0x8C, 0x41, 0x00}), &out));
    EXPECT_EQ(out, "A");
}

TEST(LzwDecompress, RefusesBadHeadersAndEmptyStreams) {
    Bytes out;
    EXPECT_FALSE(block_decode(hex({0x1F, 0x9D, 0x8C}), &out));  // no code
    EXPECT_FALSE(block_decode(hex({0x1F, 0x9D}), &out));        // no flags
    EXPECT_FALSE(block_decode(hex({0x1F}), &out));
    EXPECT_FALSE(block_decode(Bytes(), &out));
    EXPECT_FALSE(block_decode(hex({0x1F, 0x9E, 0x8C, 0x61, 0xC4, 0x8C, 0x01}), &out));
    EXPECT_FALSE(block_decode(hex({0x1E, 0x9D, 0x8C, 0x61, 0xC4, 0x8C, 0x01}), &out));
    EXPECT_FALSE(block_decode(hex({0x1F, 0x9D, 0x90, 0x61, 0xC4, 0x8C, 0x01}), &out));  // 16 bits
    EXPECT_FALSE(block_decode(hex({0x1F, 0x9D, 0x8D, 0x61, 0xC4, 0x8C, 0x01}), &out));  // 13 bits
    EXPECT_TRUE(block_decode(hex({0x1F, 0x9D, 0x8C, 0x61, 0xC4, 0x8C, 0x01}), &out));
    // Three bytes hold two whole 9-bit codes; their last 6 bits are ignored.
    ASSERT_TRUE(block_decode(hex({0x1F, 0x9D, 0x8C, 0x41, 0x00, 0xFC}), &out));
    EXPECT_EQ(out, Bytes("A\0", 2));
    int32_t len = 7;
    EXPECT_EQ(decompress_block(u8(hex({0x1F, 0x9D, 0x90, 0x61, 0xC4, 0x8C, 0x01})), &len), nullptr);
    EXPECT_EQ(len, 0);
}

// Without block mode 256 is an ordinary string and strings start there.
TEST(LzwDecompress, WithoutBlockModeStringsStartAt256) {
    CodePacker codes;
    codes.put_all({'a', 'b', 256, 258}, 9);  // a b ab aba (258 being defined)
    Bytes out;
    ASSERT_TRUE(block_decode(stream_of(0x0C, codes), &out));
    EXPECT_EQ(out, "abababa");
    // In block mode the same 256 is the clear code: the group ends there and
    // the next group's first code 0 comes after "ab".
    CodePacker block;
    block.put_all({'a', 'b', 256}, 9);
    block.end_group(9);
    block.put('c', 9);
    ASSERT_TRUE(block_decode(stream_of(0x8C, block), &out));
    EXPECT_EQ(out, "abc");
}

// After a clear code the rest of its group is skipped and 9-bit codes
// follow; the string after it is entered under 256, new ones from 257.
TEST(LzwDecompress, ClearCodeSkipsTheRestOfItsGroup) {
    CodePacker codes;
    codes.put_all({'x', 'y', 'x', 257, 256}, 9);  // x y x xy, clear
    codes.put(0x1FF, 9);  // junk in the padded rest of the group
    codes.end_group(9);
    // p q pq qp: p's string is entered as 256, "pq" as 257, "qp" as 258.
    codes.put_all({'p', 'q', 257, 258}, 9);
    Bytes out;
    ASSERT_TRUE(block_decode(stream_of(0x8C, codes), &out));
    EXPECT_EQ(out, "xyxxypqpqqp");
}

TEST(LzwDecompress, RefusesCorruptCodes) {
    Bytes out;
    CodePacker above;  // 259 arrives while next_code is 258
    above.put_all({'a', 'b', 259}, 9);
    EXPECT_FALSE(block_decode(stream_of(0x8C, above), &out));

    CodePacker narrow;  // 8-bit codes: no string can be defined, 257 is unknown
    narrow.put_all({'a', 'b', 'a'}, 9);
    ASSERT_TRUE(block_decode(stream_of(0x88, narrow), &out));
    EXPECT_EQ(out, "aba");
    narrow.put(257, 9);
    EXPECT_FALSE(block_decode(stream_of(0x88, narrow), &out));

    CodePacker first;  // a first code that is not a single byte
    first.put(300, 9);
    EXPECT_FALSE(block_decode(stream_of(0x8C, first), &out));
    CodePacker first_clear;
    first_clear.put(256, 9);
    first_clear.put('a', 9);
    EXPECT_FALSE(block_decode(stream_of(0x8C, first_clear), &out));

    // Read to the letter, 256 right after a clear code would be a string
    // taking the old 257 as prefix, and 257 would then take 256: a loop.
    // A 256 after a clear code is one more clear code, so the 257 after it
    // is above next_code (256) and the stream is corrupt.
    CodePacker loop;
    loop.put_all({'a', 257, 256}, 9);
    loop.end_group(9);
    loop.put(256, 9);
    loop.end_group(9);
    loop.put_all({257, 257}, 9);
    EXPECT_FALSE(block_decode(stream_of(0x8C, loop), &out));
    Bytes mine;
    EXPECT_FALSE(lzw_decode(stream_of(0x8C, loop), &mine));
    // Two clear codes in a row are two clears, here in two pieces too.
    CodePacker twice;
    twice.put_all({'a', 'b', 256}, 9);
    twice.end_group(9);
    twice.put(256, 9);
    twice.end_group(9);
    twice.put_all({'c', 'd'}, 9);
    const Bytes twice_stream = stream_of(0x8C, twice);
    for (size_t piece : {0u, 12u, 13u}) {
        ASSERT_TRUE(lzw_decode(twice_stream, &mine, piece)) << piece;
        EXPECT_EQ(mine, "abcd") << piece;
    }
}

// buffer_sink refuses bytes beyond the 32768-byte area: a chunk that would
// decode to more is corrupt, one that fills it exactly is not.
TEST(LzwDecompress, OutputBoundedByTheArea) {
    Bytes out;
    const Bytes exact(CODEC_OUT_SIZE, 'x');
    ASSERT_TRUE(block_decode(lzw_encode(exact), &out));
    EXPECT_EQ(out, exact);
    const Bytes over(CODEC_OUT_SIZE + 1, 'x');
    EXPECT_FALSE(block_decode(lzw_encode(over), &out));
    ASSERT_TRUE(lzw_decode(lzw_encode(over), &out));
    EXPECT_EQ(out, over);
    // A refusing sink of our own makes the step fail as well.
    EXPECT_FALSE(lzw_decode(lzw_encode(over), &out, 0, 1000));
}

// Decoding in pieces of any size gives what decoding at once gives.
TEST(LzwDecompress, StepsDecodeAsOneInput) {
    const Bytes data = machine_text(12000) + zero_pairs(3000, 2) + machine_binary(9000);
    const Bytes stream = lzw_encode(data);
    for (size_t piece : {1u, 2u, 3u, 5u, 11u, 12u, 13u, 1000u}) {
        Bytes out;
        ASSERT_TRUE(lzw_decode(stream, &out, piece)) << piece;
        EXPECT_EQ(out, data) << piece;
    }
}

TEST(LzwCodec, RoundTripsEverySizeAndKind) {
    for (size_t n : kSizes) {
        for (const Sample& s : samples_of_size(n)) {
            const unsigned char* result = nullptr;
            const int32_t len = compress_block(u8(s.data), static_cast<int32_t>(n), &result);
            if (result == nullptr) {
                EXPECT_EQ(len, static_cast<int32_t>(n)) << s.name << " " << n;
                EXPECT_GE(lzw_encode(s.data).size(), n) << s.name << " " << n;
                continue;
            }
            const Bytes stream(reinterpret_cast<const char*>(result), static_cast<size_t>(len));
            EXPECT_LT(stream.size(), n);
            Bytes back;
            ASSERT_TRUE(block_decode(stream, &back)) << s.name << " " << n;
            EXPECT_EQ(back, s.data) << s.name << " " << n;
        }
    }
}

namespace {

// decompress_block copies strings within the output area; the step
// interface walks prefix chains into a sink.  Both read a stream alike.
void expect_same_reading(const Bytes& stream) {
    Bytes from_block, from_steps;
    const bool block_ok = block_decode(stream, &from_block);
    const bool steps_ok = lzw_decode(stream, &from_steps, 0, CODEC_OUT_SIZE);
    ASSERT_EQ(block_ok, steps_ok);
    if (block_ok) {
        EXPECT_LE(from_block.size(), CODEC_OUT_SIZE);
        EXPECT_EQ(from_block, from_steps);
    }
}

}  // namespace

// Truncated, bit-flipped and random streams: never a crash or an overrun
// (run under the sanitizers too), and both decoders agree on each.
TEST(LzwDecompress, CorruptStreamsNeverCrash) {
    const Bytes stream = lzw_encode(machine_text(16383));
    const Bytes stream2 = lzw_encode(zero_pairs(16383, 4));
    for (size_t n = 0; n < stream.size(); n += (n < 64 ? 1 : 97)) {
        expect_same_reading(stream.substr(0, n));
    }
    std::mt19937 rng(11);
    for (int i = 0; i < 400; ++i) {
        Bytes bad = (i % 2 ? stream : stream2);
        for (int flips = 1 + i % 5; flips > 0; --flips) {
            const size_t at = 3 + rng() % (bad.size() - 3);
            bad[at] = static_cast<char>(bad[at] ^ (1 << (rng() % 8)));
        }
        expect_same_reading(bad);
    }
    for (int i = 0; i < 300; ++i) {
        Bytes noise = hex({0x1F, 0x9D, 0x80 | static_cast<int>(rng() % 13)}) +
                      th::make_bytes(rng() % 3000, 'r', static_cast<uint32_t>(i));
        expect_same_reading(noise);
        noise[2] = static_cast<char>(rng() % 13);  // without block mode
        expect_same_reading(noise);
    }
}

// compress_block stops coding once its stream can no longer be shorter than
// the block; its choice and bytes must stay those of a full coding, right at
// the boundary (stream one byte shorter than the block, or exactly as long).
TEST(LzwBlock, DecisionMatchesFullCodingAtTheBoundary) {
    std::mt19937 rng(7);
    int n_shorter_by_one = 0, n_equal = 0;
    for (int round = 0; round < 3000; ++round) {
        const size_t n = 1 + rng() % (round < 2000 ? 64 : 16383);
        Bytes data(n, '\0');
        const int alphabet = 1 + static_cast<int>(rng() % 40);
        for (auto& c : data) c = static_cast<char>('a' + static_cast<int>(rng() % alphabet));
        const Bytes full = lzw_encode(data);
        const unsigned char* result = nullptr;
        const int32_t len = compress_block(u8(data), static_cast<int32_t>(n), &result);
        if (full.size() < n) {
            ASSERT_NE(result, nullptr) << n;
            ASSERT_EQ(Bytes(reinterpret_cast<const char*>(result), static_cast<size_t>(len)), full);
        } else {
            ASSERT_EQ(result, nullptr) << n;
            ASSERT_EQ(len, static_cast<int32_t>(n));
        }
        n_shorter_by_one += full.size() + 1 == n;
        n_equal += full.size() == n;
    }
    // The boundary itself was reached both ways.
    EXPECT_GT(n_shorter_by_one, 0);
    EXPECT_GT(n_equal, 0);
}

namespace {

// A tar-like stream of the machine's headers: a 512-byte header block that
// is mostly zeros, the file, zeros up to the next 512 bytes.  The zero runs
// displace and push out the two-zero string in every chunk.
Bytes tar_like_stream(size_t n) {
    Bytes out;
    for (const char* p : {"/usr/include/stdio.h", "/usr/include/stdlib.h", "/usr/include/string.h",
                          "/usr/include/unistd.h", "/usr/include/signal.h", "/usr/include/errno.h",
                          "/usr/include/fcntl.h", "/usr/include/time.h", "/usr/include/wchar.h"}) {
        const Bytes file = th::read_file(p);
        Bytes header(512, '\0');
        std::snprintf(&header[0], 100, "usr/include/%s", p + 13);
        std::snprintf(&header[100], 60, "0000644%c0000000%c0000000%c%011o", 0, 0, 0,
                      static_cast<unsigned>(file.size()));
        out += header + file + Bytes((512 - file.size() % 512) % 512, '\0');
    }
    while (out.size() < n) out += out;
    return out.substr(0, n);
}

}  // namespace

// Zero-heavy chunks at every offset of a tar-like stream, and pieces of
// them: the fast table's emulation of the key-0 rule writes the reference
// coder's bytes.
TEST(LzwCompress, TarLikeChunksMatchTheReference) {
    const Bytes tar = tar_like_stream(600000);
    for (size_t at = 0; at + 16383 <= tar.size(); at += 7919) {
        const Bytes chunk = tar.substr(at, 16383);
        ASSERT_EQ(lzw_encode(chunk), reference_encode(chunk)) << "offset " << at;
        const unsigned char* result = nullptr;
        const int32_t n = compress_block(u8(chunk), 16383, &result);
        ASSERT_NE(result, nullptr);
        ASSERT_EQ(Bytes(reinterpret_cast<const char*>(result), static_cast<size_t>(n)), reference_encode(chunk));
    }
    EXPECT_EQ(lzw_encode(tar.substr(0, 300000), 4093), reference_encode(tar.substr(0, 300000)));
}

namespace {

// What compress_block gives a chunk: its stream, or "raw".
Bytes single_result(const Bytes& chunk) {
    const unsigned char* result = nullptr;
    const int32_t n = compress_block(u8(chunk), static_cast<int32_t>(chunk.size()), &result);
    if (result == nullptr) return n == static_cast<int32_t>(chunk.size()) ? "raw" : "bad raw length";
    return Bytes(reinterpret_cast<const char*>(result), static_cast<size_t>(n));
}

}  // namespace

// A batch gives each chunk exactly compress_block's result, when one chunk
// takes a rare path while the others stay on the common one: at every
// place in batches of 1 to LZW_BATCH_MAX chunks.
TEST(LzwCompress, BatchesMatchSingleChunks) {
    const Bytes text = machine_text(16383);
    const Bytes zero_first = hex({0x10, 0x01, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00, 0x00, 0x00});
    const Bytes tar = tar_like_stream(200000);
    const std::vector<Bytes> common = {text, machine_binary(16383), tar.substr(70000, 16383)};
    struct Case {
        const char* name;
        Bytes rare;
        uint32_t probe_cap;  // 0: the usual one
    };
    const std::vector<Case> cases = {
        {"probe take-over", tar.substr(9000, 16383), 2},
        {"probe take-over at once", text, 1},
        {"key-0 rule", zero_first + text.substr(0, 16373), 0},
        {"key-0 rule late", tar.substr(31000, 16383), 0},
        {"clear code", machine_binary(10000, 300000) + th::make_bytes(10000, 'r', 7) + Bytes(12000, '\0'), 0},
        {"early end", text.substr(0, 700), 0},
        {"one byte", "x", 0},
        {"empty", "", 0},
        {"incompressible", th::make_bytes(16383, 'r', 5), 0},
        {"incompressible late", text.substr(0, 4000) + th::make_bytes(12383, 'r', 6), 0},
        {"zero pairs", zero_pairs(16383, 3), 0},
    };
    // The clear case reaches one, and its stream is used.
    ASSERT_GT(count_clear_codes(lzw_encode(cases[4].rare)), 0);
    ASSERT_NE(single_result(cases[4].rare), "raw");
    LzwWorkspace* ws = lzw_workspace_new();
    ASSERT_NE(ws, nullptr);
    for (const Case& c : cases) {
        lzw_set_probe_cap(c.probe_cap);
        for (int32_t n = 1; n <= LZW_BATCH_MAX; ++n) {
            for (int32_t at = 0; at < n; ++at) {
                std::vector<Bytes> chunks;
                for (int32_t i = 0; i < n; ++i) chunks.push_back(i == at ? c.rare : common[static_cast<size_t>(i) % common.size()]);
                std::vector<LzwBlock> blocks(static_cast<size_t>(n));
                for (int32_t i = 0; i < n; ++i) blocks[i] = LzwBlock{u8(chunks[i]), static_cast<int32_t>(chunks[i].size()), nullptr, -1};
                compress_blocks_in(ws, blocks.data(), n);
                for (int32_t i = 0; i < n; ++i) {
                    const LzwBlock& b = blocks[static_cast<size_t>(i)];
                    const Bytes got = b.result == nullptr ? (b.result_len == b.length ? "raw" : "bad raw length")
                                                          : Bytes(reinterpret_cast<const char*>(b.result), static_cast<size_t>(b.result_len));
                    ASSERT_EQ(got, single_result(chunks[static_cast<size_t>(i)])) << c.name << ": chunk " << i << " of " << n << ", rare at " << at;
                }
            }
        }
    }
    lzw_set_probe_cap(0);
    lzw_workspace_free(ws);
}
