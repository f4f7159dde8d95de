// Throughput of compress_block and decompress_block over 16383-byte chunks,
// the size the archiver cuts files into.
//
//   codec_bench [benchmark flags] [TEXT_FILE BINARY_FILE [TAR_FILE]]
//
// Without files the data is gathered here: the machine's C headers for
// text, its shared libraries for binary (bench/codec_bench.sh passes the
// same bytes it hands to compress and gzip, and a tar stream of the
// headers, whose zero-filled header blocks and padding give the coder's
// two-zero string its hardest case).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/lzw.h"

namespace {

constexpr size_t CHUNK_LEN = 16383;
constexpr size_t DATA_CAP = 16u << 20;  // bytes gathered when no file is given

std::string g_text;
std::string g_binary;
std::string g_tar;

std::string read_whole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Concatenates the regular files under dir whose names end in one of the
// given suffixes, up to DATA_CAP bytes, in a fixed (sorted) order.
std::string gather(const std::string& dir, const std::vector<std::string>& suffixes) {
    std::vector<std::string> paths;
    std::error_code ec;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir, ec)) {
        const std::string p = e.path().string();
        for (const auto& s : suffixes) {
            if (p.size() > s.size() && p.compare(p.size() - s.size(), s.size(), s) == 0 &&
                e.is_regular_file(ec)) {
                paths.push_back(p);
            }
        }
    }
    std::sort(paths.begin(), paths.end());
    std::string data;
    for (const auto& p : paths) {
        if (data.size() >= DATA_CAP) break;
        data += read_whole(p);
    }
    if (data.size() > DATA_CAP) data.resize(DATA_CAP);
    return data;
}

struct Chunk {
    std::string raw;
    std::string stream;  // empty when the chunk is stored raw
};

std::vector<Chunk> chunks_of(const std::string& data) {
    std::vector<Chunk> chunks;
    for (size_t at = 0; at < data.size(); at += CHUNK_LEN) {
        Chunk c;
        c.raw = data.substr(at, CHUNK_LEN);
        const unsigned char* result = nullptr;
        const int32_t n = compress_block(reinterpret_cast<const unsigned char*>(c.raw.data()),
                                         static_cast<int32_t>(c.raw.size()), &result);
        if (result != nullptr) c.stream.assign(reinterpret_cast<const char*>(result), static_cast<size_t>(n));
        chunks.push_back(std::move(c));
    }
    return chunks;
}

void bm_compress(benchmark::State& state, const std::string* data) {
    const std::vector<Chunk> chunks = chunks_of(*data);
    int64_t n_bytes = 0;
    for (auto _ : state) {
        for (const Chunk& c : chunks) {
            const unsigned char* result = nullptr;
            benchmark::DoNotOptimize(compress_block(reinterpret_cast<const unsigned char*>(c.raw.data()),
                                                    static_cast<int32_t>(c.raw.size()), &result));
            n_bytes += static_cast<int64_t>(c.raw.size());
        }
    }
    state.SetBytesProcessed(n_bytes);
}

// The same through compress_blocks_in, two chunks at a time (as storing
// hands them over).
void bm_compress_batch(benchmark::State& state, const std::string* data) {
    const std::vector<Chunk> chunks = chunks_of(*data);
    LzwWorkspace* ws = lzw_workspace_new();
    int64_t n_bytes = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < chunks.size(); i += 2) {
            LzwBlock blocks[2];
            int32_t n = 0;
            for (; n < 2 && i + static_cast<size_t>(n) < chunks.size(); ++n) {
                const std::string& raw = chunks[i + static_cast<size_t>(n)].raw;
                blocks[n] = LzwBlock{reinterpret_cast<const unsigned char*>(raw.data()), static_cast<int32_t>(raw.size()), nullptr, 0};
                n_bytes += static_cast<int64_t>(raw.size());
            }
            compress_blocks_in(ws, blocks, n);
            benchmark::DoNotOptimize(blocks[0].result);
        }
    }
    lzw_workspace_free(ws);
    state.SetBytesProcessed(n_bytes);
}

// Decodes the chunks that were stored compressed; bytes counted are the
// decoded ones.
void bm_decompress(benchmark::State& state, const std::string* data) {
    const std::vector<Chunk> chunks = chunks_of(*data);
    int64_t n_bytes = 0;
    for (auto _ : state) {
        for (const Chunk& c : chunks) {
            if (c.stream.empty()) continue;
            int32_t len = static_cast<int32_t>(c.stream.size());
            const unsigned char* out =
                decompress_block(reinterpret_cast<const unsigned char*>(c.stream.data()), &len);
            if (out == nullptr || static_cast<size_t>(len) != c.raw.size()) {
                state.SkipWithError("chunk did not decode");
                return;
            }
            benchmark::DoNotOptimize(out);
            n_bytes += len;
        }
    }
    state.SetBytesProcessed(n_bytes);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc == 3 || argc == 4) {
        g_text = read_whole(argv[1]);
        g_binary = read_whole(argv[2]);
        if (argc == 4) g_tar = read_whole(argv[3]);
    } else if (argc == 1) {
        g_text = gather("/usr/include", {".h"});
        g_binary = gather("/usr/lib/x86_64-linux-gnu", {".so"});
    } else {
        std::fprintf(stderr, "usage: codec_bench [benchmark flags] [TEXT_FILE BINARY_FILE [TAR_FILE]]\n");
        return 2;
    }
    if (g_text.empty() || g_binary.empty()) {
        std::fprintf(stderr, "codec_bench: no data\n");
        return 2;
    }
    benchmark::RegisterBenchmark("compress_block/text", bm_compress, &g_text)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("compress_block/binary", bm_compress, &g_binary)->Unit(benchmark::kMillisecond);
    if (!g_tar.empty()) {
        benchmark::RegisterBenchmark("compress_block/tar", bm_compress, &g_tar)->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark("compress_blocks/text", bm_compress_batch, &g_text)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("compress_blocks/binary", bm_compress_batch, &g_binary)->Unit(benchmark::kMillisecond);
    if (!g_tar.empty()) {
        benchmark::RegisterBenchmark("compress_blocks/tar", bm_compress_batch, &g_tar)->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark("decompress_block/text", bm_decompress, &g_text)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("decompress_block/binary", bm_decompress, &g_binary)->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
