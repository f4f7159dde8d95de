// Helpers for the tests of the writing operations: a reader that takes an
// archive apart by its documented layout (independent of the program's own
// reader), status fields of real files, and pinned file times.
#pragma once

#include <sys/stat.h>
#include <sys/time.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "harness.h"

namespace wt {

const std::string BANNER = "\nOstvale KELPARC Version 1.2\n\n";

struct Chunk {
    long flags;
    std::string data;
};

struct Entry {
    std::string name;
    long mode = 0, flags = 0, size = 0, atime = 0, mtime = 0, ctime = 0, clen = 0, attr_len = 0;
    std::string attr;
    std::vector<Chunk> chunks;  // the first one's flags are the record's
};

struct Parsed {
    bool ok = false;
    std::string error;
    std::string header;
    std::vector<Entry> entries;
};

inline long field_number(const std::string& text, size_t* at) {
    size_t end = text.find(' ', *at);
    if (end == std::string::npos) end = text.size();
    long v = std::strtol(text.substr(*at, end - *at).c_str(), nullptr, 10);
    *at = end + 1;
    return v;
}

// Takes an archive apart: header (with the seal when locked), then entries
// until the bytes run out.
inline Parsed parse_archive(const std::string& a) {
    Parsed p;
    if (a.size() < 10 || a.compare(0, 5, "KELPA") != 0 || a[5] != '\x04') {
        p.error = "bad magic";
        return p;
    }
    size_t body_len = std::strtoul(a.substr(6, 4).c_str(), nullptr, 10);
    size_t at = 10 + body_len;
    long option_word = std::strtol(a.substr(10, body_len).c_str(), nullptr, 10);
    if (option_word & 0x1000) at += 4 + std::strtoul(a.substr(at, 4).c_str(), nullptr, 10);
    if (at > a.size()) {
        p.error = "short header";
        return p;
    }
    p.header = a.substr(0, at);
    while (at < a.size()) {
        if (at + 4 > a.size()) return p.error = "short length field", p;
        size_t r = std::strtoul(a.substr(at, 4).c_str(), nullptr, 10);
        at += 4;
        if (r == 0 || at + r > a.size() || a[at + r - 1] != '\0') return p.error = "bad record", p;
        std::string text = a.substr(at, r - 1);
        at += r;
        size_t sep = text.find('\x04');
        if (sep == std::string::npos) return p.error = "record without 0x04", p;
        Entry e;
        e.name = text.substr(0, sep);
        size_t f = sep + 1;
        long* fields[] = {&e.mode, &e.flags, &e.size, &e.atime, &e.mtime, &e.ctime, &e.clen, &e.attr_len};
        for (long* v : fields) *v = field_number(text, &f);
        if (at + static_cast<size_t>(e.attr_len) > a.size()) return p.error = "short attr", p;
        e.attr = a.substr(at, static_cast<size_t>(e.attr_len));
        at += static_cast<size_t>(e.attr_len);
        long len = e.clen, flags = e.flags;
        for (;;) {
            if (at + static_cast<size_t>(len) > a.size()) return p.error = "short chunk", p;
            e.chunks.push_back(Chunk{flags, a.substr(at, static_cast<size_t>(len))});
            at += static_cast<size_t>(len);
            if (!(flags & ab::MORE)) break;
            if (at + 10 > a.size()) return p.error = "short linked header", p;
            std::string lh = a.substr(at, 10);
            at += 10;
            size_t lf = 0;
            std::string lt(lh.c_str());
            len = field_number(lt, &lf);
            flags = field_number(lt, &lf);
        }
        p.entries.push_back(e);
    }
    p.ok = true;
    return p;
}

inline std::vector<std::string> names_of(const Parsed& p) {
    std::vector<std::string> names;
    for (const Entry& e : p.entries) names.push_back(e.name + ((e.flags & ab::DIR_END) ? "(end)" : ""));
    return names;
}

// Pins a file's times so that reading it cannot move its access time
// (relatime leaves an access time later than the change time alone).
inline void pin_times(const std::string& path, long mtime = 1000000000, long atime = 2000000000) {
    struct timeval tv[2] = {{atime, 0}, {mtime, 0}};
    ::utimes(path.c_str(), tv);
}

// Record fields of a real file or directory as the archiver writes them.
inline ab::Fields fields_of(const std::string& path, long flags = 0, long clen = 0, long attr_len = 0) {
    struct stat st;
    ::stat(path.c_str(), &st);
    ab::Fields f;
    f.mode = static_cast<long>(st.st_mode & 0xFFFF);
    f.flags = flags;
    f.size = static_cast<long>(st.st_size);
    f.atime = static_cast<long>(st.st_atime);
    f.mtime = static_cast<long>(st.st_mtime);
    f.ctime = static_cast<long>(st.st_ctime);
    if (th::windows_target()) {
        // The Windows runtime's mode: the type, read and write for all unless
        // the file is read-only, and a directory searchable; its third time
        // is the creation time, which Wine reports as the modification time;
        // a directory has no size.
        bool is_dir = S_ISDIR(st.st_mode);
        long rw = (st.st_mode & S_IWUSR) ? 0666 : 0444;
        f.mode = is_dir ? (S_IFDIR | rw | 0111) : (S_IFREG | rw);
        f.ctime = f.mtime;
        if (is_dir) f.size = 0;
    }
    f.clen = clen;
    f.attr_len = attr_len;
    return f;
}

// The entry the archiver writes for a file whose chunks compress as
// `compress -b12` does (ordinary data), with the real file's status.
inline std::string file_entry_of(const std::string& stored, const std::string& path,
                                 const std::string& attr = "") {
    std::string content = th::read_file(path);
    std::vector<Chunk> chunks;
    for (size_t at = 0; at < content.size(); at += 16383) {
        std::string src = content.substr(at, 16383);
        std::string z = ab::lzw(src);
        bool raw = z.size() >= src.size();
        chunks.push_back(Chunk{raw ? ab::RAW : 0, raw ? src : z});
    }
    for (size_t i = 0; i + 1 < chunks.size(); ++i) chunks[i].flags |= ab::MORE;
    long first_flags = chunks.empty() ? 0 : chunks[0].flags;
    long first_len = chunks.empty() ? 0 : static_cast<long>(chunks[0].data.size());
    std::string e = ab::record(stored, fields_of(path, first_flags, first_len, static_cast<long>(attr.size()))) + attr;
    for (size_t i = 0; i < chunks.size(); ++i) {
        if (i > 0) e += ab::linked_header(static_cast<long>(chunks[i].data.size()), chunks[i].flags);
        e += chunks[i].data;
    }
    return e;
}

// The record of a directory: opening (with the attribute block given) or
// closing.
inline std::string dir_entry_of(const std::string& stored, const std::string& path, bool closing,
                                const std::string& attr = "") {
    return ab::record(stored, fields_of(path, closing ? ab::DIR_END : 0, 0, static_cast<long>(attr.size()))) + attr;
}

// Pins the times of every path given, deepest first is not needed: changing
// times does not touch the parent directory.
inline void pin_all(const std::vector<std::string>& paths) {
    for (const std::string& p : paths) pin_times(p);
}

}  // namespace wt
