// Builds archives byte by byte from the documented layout, so that tests
// of the reading side can pin exact bytes, damaged ones included, without
// the writing side.
//
//   header:  "KELPA" 0x04 "%4ld" of L, body "<flags> 1 2" NUL (L counts the
//            NUL), then for a locked archive "%4ld" of n and n sealed bytes
//   entry:   record length field ("%d" of R, NUL, padding to 4 bytes),
//            R bytes "name" 0x04 "mode flags size atime mtime ctime clen
//            attr_len" NUL, the attribute block, the first chunk, then per
//            further chunk a 10-byte linked header "%ld %ld" zero-filled
//            and the chunk
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "harness.h"

namespace ab {

constexpr int MORE = 1;
constexpr int RAW = 2;
constexpr int DIR_END = 8;
constexpr int HIDDEN_SKIP = 16;

inline std::string header(uint32_t flags = 4, const std::string& sealed = "") {
    std::string body = std::to_string(flags) + " 1 2";
    body.push_back('\0');
    char len[8];
    std::snprintf(len, sizeof len, "%4ld", static_cast<long>(body.size()));
    std::string h = std::string("KELPA") + '\x04' + len + body;
    if (flags & 0x1000) {
        std::snprintf(len, sizeof len, "%4ld", static_cast<long>(sealed.size()));
        h += std::string(len) + sealed;
    }
    return h;
}

// The password seal: a running XOR of each byte rotated left by one,
// started from the first byte OR 'J'.
inline std::string seal(const std::string& pw) {
    std::string out;
    unsigned char acc = static_cast<unsigned char>((pw.empty() ? 0 : pw[0]) | 'J');
    for (unsigned char c : pw) {
        unsigned char r = static_cast<unsigned char>((c << 1) | (c >> 7));
        acc ^= r;
        out.push_back(static_cast<char>(acc));
    }
    return out;
}

// The 4-byte record length field for a record text of R bytes.
inline std::string record_len_field(size_t r) {
    std::string f = std::to_string(r);
    f.push_back('\0');
    while (f.size() < 4) f.push_back('\0');
    return f.substr(0, 4);
}

struct Fields {
    long mode = 0100644;
    long flags = 0;
    long size = 0;
    long atime = 1000000000;
    long mtime = 1000000000;
    long ctime = 1000000000;
    long clen = 0;
    long attr_len = 0;
};

// Record length field and record text (with its NUL) for name and fields.
inline std::string record(const std::string& name, const Fields& f) {
    char nums[200];
    std::snprintf(nums, sizeof nums, "%ld %ld %ld %ld %ld %ld %ld %ld", f.mode, f.flags, f.size,
                  f.atime, f.mtime, f.ctime, f.clen, f.attr_len);
    std::string text = name + '\x04' + nums;
    text.push_back('\0');
    return record_len_field(text.size()) + text;
}

inline std::string linked_header(long len, long flags) {
    char text[48] = {0};
    std::snprintf(text, sizeof text, "%ld %ld", len, flags);
    return std::string(text, 10);  // longer texts are cut, as a damaged field
}

// One chunk as `compress -b12` writes it (the same stream our coder writes
// for a chunk of ordinary data).
inline std::string lzw(const std::string& data) {
    th::ScratchDir tmp;
    th::write_file(tmp / "in", data);
    th::shell("compress -b12 -c < '" + tmp / "in" + "' > '" + tmp / "out" + "'");
    return th::read_file(tmp / "out");
}

// A whole file entry: content cut into chunks of at most 16383 bytes, each
// compressed when compress_chunks is set and the stream is shorter, raw
// otherwise.  attr is the attribute block ("" for none).
inline std::string file_entry(const std::string& name, const std::string& content,
                              bool compress_chunks = false, long mode = 0100644,
                              long mtime = 1000000000, const std::string& attr = "") {
    std::vector<std::string> pieces;
    std::vector<int> flags;
    for (size_t at = 0; at < content.size(); at += 16383) {
        std::string src = content.substr(at, 16383);
        std::string z = compress_chunks ? lzw(src) : std::string();
        bool raw = !compress_chunks || z.size() >= src.size();
        pieces.push_back(raw ? src : z);
        flags.push_back(raw ? RAW : 0);
    }
    for (size_t i = 0; i + 1 < pieces.size(); ++i) flags[i] |= MORE;
    Fields f;
    f.mode = mode;
    f.size = static_cast<long>(content.size());
    f.mtime = mtime;
    f.atime = mtime;
    f.flags = flags.empty() ? 0 : flags[0];
    f.clen = pieces.empty() ? 0 : static_cast<long>(pieces[0].size());
    f.attr_len = static_cast<long>(attr.size());
    std::string e = record(name, f) + attr;
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) e += linked_header(static_cast<long>(pieces[i].size()), flags[i]);
        e += pieces[i];
    }
    return e;
}

inline std::string dir_entry(const std::string& name, bool closing = false, long mode = 040755) {
    Fields f;
    f.mode = mode;
    f.flags = closing ? DIR_END : 0;
    f.size = 4096;
    return record(name, f);
}

}  // namespace ab

namespace ab {

const std::string banner = "\nOstvale KELPARC Version 1.2\n\n";

// Runs kelparc in dir with standard input from /dev/null.
inline th::RunResult run_in(const std::string& dir, const std::vector<std::string>& args) {
    th::RunOptions opt;
    opt.cwd = dir;
    opt.stdin_null = true;
    opt.timeout_s = 20;
    return th::run_kelparc(args, opt);
}

}  // namespace ab
