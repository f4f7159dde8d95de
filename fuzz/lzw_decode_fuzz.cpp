// Feeds arbitrary bytes to the chunk decoder.  Whatever decodes must stay
// within the codec output area, be refused or read exactly as the
// streaming decoder does when the stream arrives in two pieces, and come
// back unchanged through the compressor.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "codec/lzw.h"

namespace {

struct FuzzSink {
    std::string bytes;
};

int fuzz_sink(void* sink_data, const unsigned char* bytes, int count) {
    auto* sink = static_cast<FuzzSink*>(sink_data);
    if (sink->bytes.size() + static_cast<size_t>(count) > CODEC_OUT_SIZE) return 0;
    sink->bytes.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(count));
    return 1;
}

void check(bool ok) {
    if (!ok) std::abort();
}

// The stream in two pieces, split after split_at bytes (at least the
// header, which the set-up reads from the first piece).
bool decode_in_pieces(const uint8_t* data, size_t size, size_t split_at, std::string* out) {
    FuzzSink sink;
    LzwContext* ctx = lzw_decompress_open(fuzz_sink, &sink, data, static_cast<int32_t>(split_at),
                                          split_at == size);
    if (ctx == nullptr) return false;
    if (split_at < size && !lzw_decompress_step(ctx, &sink, data + split_at,
                                                static_cast<int32_t>(size - split_at), 1)) {
        return false;
    }
    lzw_decompress_close(ctx, &sink);
    *out = sink.bytes;
    return true;
}

std::string encode(const std::string& data) {
    FuzzSink sink;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    const auto len = static_cast<int32_t>(data.size());
    LzwContext* ctx = lzw_compress_open(fuzz_sink, &sink, bytes, len);
    check(ctx != nullptr);
    check(lzw_compress_close(ctx, &sink));
    return sink.bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    int32_t len = static_cast<int32_t>(size);
    const unsigned char* out = decompress_block(data, &len);
    // The streaming decoder, the independent reading: it refuses and reads
    // exactly what decompress_block refuses and reads.
    std::string pieces;
    const size_t split_at = size < 3 ? size : 3 + (size > 3 ? data[size - 1] % (size - 3) : 0);
    const bool pieces_ok = size >= 3 && decode_in_pieces(data, size, split_at, &pieces);
    check(pieces_ok == (out != nullptr));
    if (out == nullptr) {
        check(len == 0);
        return 0;
    }
    check(len >= 0 && static_cast<uint32_t>(len) <= CODEC_OUT_SIZE);
    const std::string decoded(reinterpret_cast<const char*>(out), static_cast<size_t>(len));
    check(pieces == decoded);

    // A decoded chunk of chunk size comes back unchanged through the
    // compressor (its stream then fits the output area).
    if (decoded.size() <= 16383) {
        const std::string again = encode(decoded);
        int32_t again_len = static_cast<int32_t>(again.size());
        const unsigned char* round =
            decompress_block(reinterpret_cast<const unsigned char*>(again.data()), &again_len);
        check(round != nullptr);
        check(std::string(reinterpret_cast<const char*>(round), static_cast<size_t>(again_len)) ==
              decoded);
    }
    return 0;
}
