// Restoring one archive entry: a directory is created, a file is written
// chunk by chunk from the archive into a temporary file beside its output
// path, renamed over that path once whole, and then given its stored
// attributes, times and permissions.  Missing parent directories below the
// walk's directory are made on the way, silently.  A directory gets its
// times, mode and attributes when its closing record comes, after its
// contents.
//
// Every output path is formed by resolve_output_path, so no stored name,
// however it is written, reaches outside the directory the walk started in.
#include "entries/restore.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "archive/block_io.h"
#include "archive/chunks.h"
#include "archive/transfer.h"
#include "base/messages.h"
#include "entries/integrity.h"
#include "entries/stream_out.h"
#include "platform/platform.h"

namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

// Drops the last component of rel (rel_len bytes); returns the new length.
size_t drop_last_component(const char* rel, size_t rel_len) {
    while (rel_len > 0 && rel[rel_len - 1] != '/') --rel_len;
    return rel_len > 0 ? rel_len - 1 : 0;
}

bool is_directory(const char* path) {
    plat::StatRec st;
    return plat::_stat(path, &st) == 0 && (st.mode & plat::MODE_DIR) != 0;
}

// Makes every missing directory of out_path below the walk's directory, up
// to (not including) its last component; rel_at is where the part below the
// walk's directory begins.  Returns 0, or -11 after message 16 naming the
// directory that could not be made.
int32_t make_parents(const char* out_path, size_t rel_at) {
    std::string path(out_path);
    size_t last = path.rfind('/');
    if (last == std::string::npos || last <= rel_at) return RC_OK;
    // Mostly the parent is there already: one status call tells.
    if (is_directory(path.substr(0, last).c_str())) return RC_OK;
    for (size_t at = path.find('/', rel_at); at != std::string::npos && at <= last;
         at = path.find('/', at + 1)) {
        std::string part = path.substr(0, at);
        if (is_directory(part.c_str())) continue;
        if (plat::_mkdir(part.c_str()) != 0) {
            show_error(MSG_CANNOT_CREATE, part.c_str());
            return RC_MKDIR;
        }
    }
    return RC_OK;
}

// What is applied to a restored file or directory.
struct Properties {
    uint16_t mode;
    int32_t attr_len;
    const unsigned char* attr;
    int64_t atime;
    int64_t mtime;
};

// Attributes, times, then the mode (last: a mode without write permission
// could stop the others).  Messages 36, 37, 38 name the stored name.
void apply_properties(const OpContext* ctx, const char* path, const char* name, const Properties& p) {
    // Attribute characters mean hidden and system only in archives of this
    // program's origin.
    if (p.attr_len > 0 && p.attr != nullptr && origin_has_bit_4(ctx->flags)) {
        uint32_t attrs = 0;
        if (p.attr[0] == '1') attrs |= plat::ATTR_HIDDEN;
        if (p.attr_len > 1 && p.attr[1] == '1') attrs |= plat::ATTR_SYSTEM;
        if (attrs != 0) {
            attrs |= plat::ATTR_ARCHIVE;
            if (!plat::SetFileAttributesA(path, attrs)) show_error(MSG_CANNOT_SET_ATTRIBUTES, name);
        }
    }
    if (plat::_utime(path, p.atime, p.mtime) == -1) show_error(MSG_CANNOT_SET_TIME, name);
    // The mode is the stored 16-bit word, sign-extended.
    if (plat::_chmod(path, static_cast<int16_t>(p.mode)) == -1) show_error(MSG_CANNOT_SET_MODE, name);
}

// The file a restore writes: a temporary file beside the output path, or
// the output path itself when no temporary file can be made there.
// Messages always name the output path.
struct Output {
    const char* written;
    const char* out_path;
};

// Closes and deletes a partly written output file.  Message 19 when the
// file cannot be deleted.
void discard_output(OpContext* ctx, const Output& out) {
    plat::_close(ctx->write_handle);
    ctx->write_handle = -1;
    if (plat::_unlink(out.written) != 0) show_error(MSG_CANNOT_DELETE, out.out_path);
}

// Copies every chunk of a file entry to the open output file, feeding the
// file check.  On failure the output file is closed and deleted and the
// negative code (or RC_DAMAGED) returned.
int32_t copy_chunks(unsigned char* buffer, const dir_entry* entry, OpContext* ctx, const Output& out) {
    ChunkChain chain;
    chunk_chain_begin(&chain, entry);
    file_check_begin();
    const unsigned char* data = nullptr;
    int32_t count = 0;
    int32_t rc;
    while ((rc = next_decoded_chunk(&chain, buffer, ctx, out.out_path, &data, &count)) == RC_OK) {
        if (plat::_write(ctx->write_handle, data, static_cast<unsigned>(count)) != count) {
            show_error(MSG_WRITE_ERROR, out.out_path);
            discard_output(ctx, out);
            return RC_OUT_WRITE;
        }
        file_check_add(data, count);
    }
    if (rc == RC_END) return RC_OK;
    discard_output(ctx, out);
    return rc;
}

// Writes the entry to the open handle h and closes it.  Returns 0, or the
// negative code with the file deleted.
int32_t write_output(unsigned char* buffer, const dir_entry* entry, OpContext* ctx, int h,
                     const Output& out) {
    ctx->write_handle = h;
    int32_t rc = copy_chunks(buffer, entry, ctx, out);
    if (rc != 0) return rc;
    ctx->write_handle = -1;
    // A file system may report a failed write only when the file is closed.
    if (plat::_close(h) != 0) {
        show_error(MSG_WRITE_ERROR, out.out_path);
        if (plat::_unlink(out.written) != 0) show_error(MSG_CANNOT_DELETE, out.out_path);
        return RC_OUT_WRITE;
    }
    // Kept only when its checksum, if one follows, matches.
    rc = file_check_end(entry, ctx, out.out_path);
    if (rc != 0 && plat::_unlink(out.written) != 0) show_error(MSG_CANNOT_DELETE, out.out_path);
    return rc;
}

// An existing output that cannot be replaced is refused before anything is
// written: the archive being read (by whatever name), a directory, a FIFO, a
// device, a file this user may not write.  Only regular files that could be
// opened for writing are replaced.
bool refused_output(const OpContext* ctx, const char* out_path) {
    if (plat::_access(out_path, 0) != 0) return false;
    if (plat::is_same_file(out_path, ctx->read_handle)) return true;
    int h = plat::_open(out_path, plat::OF_WRONLY | plat::OF_BINARY);
    if (h < 0) return true;
    plat::_close(h);
    return false;
}

// Writes the entry to a temporary file beside out_path and renames it over
// out_path once it is whole, so a failure leaves an existing file as it
// was.  The temporary file is owner-only until the final mode is applied,
// and is deleted should a signal end the run meanwhile.  Returns 0, 1 when
// no temporary file can be made there (nothing written yet), or a negative
// code after its message.
int32_t write_beside(unsigned char* buffer, const dir_entry* entry, OpContext* ctx, const char* out_path) {
    char temp[plat::PATH_CAP];
    int h = plat::_open_temp_noted(1, out_path, temp, sizeof temp);
    if (h < 0) return 1;
    int32_t rc = write_output(buffer, entry, ctx, h, Output{temp, out_path});
    if (rc == 0 && plat::_rename(temp, out_path) != 0) {
        show_error(MSG_CANNOT_OPEN_OUTPUT, out_path);
        plat::_unlink(temp);
        rc = RC_OUT_OPEN;
    }
    plat::remove_on_signal(1, nullptr);
    return rc;
}

// Where no temporary file can be made (a directory this user may not
// write, holding a file he may), the output file is written in place.
int32_t write_in_place(unsigned char* buffer, const dir_entry* entry, OpContext* ctx, const char* out_path) {
    int h = plat::_open(out_path, plat::OF_WRONLY | plat::OF_CREAT | plat::OF_TRUNC | plat::OF_BINARY,
                        plat::S_IWRITE_);
    if (h < 0) {
        show_error(MSG_CANNOT_OPEN_OUTPUT, out_path);
        return RC_OUT_OPEN;
    }
    return write_output(buffer, entry, ctx, h, Output{out_path, out_path});
}

// True when name lies inside the directory stored as outer.
bool is_inside(const std::string& outer, const char* name) {
    return std::strncmp(name, outer.c_str(), outer.size()) == 0 && name[outer.size()] == '/';
}

// Notes a directory made or found for its closing record.  Directories of
// the chain that do not hold this one never got their closing records (a
// damaged or cut archive): they are forgotten, so the chain stays the
// current entry's ancestors and stays short.
void note_open_dir(const dir_entry* entry, const char* out_path, OpenDirs* open_dirs) {
    std::vector<OpenDir>& chain = open_dirs->chain;
    while (!chain.empty() && !is_inside(chain.back().name, entry->name)) chain.pop_back();
    OpenDir d;
    d.name = entry->name;
    d.out_path = out_path;
    d.mode = entry->mode;
    d.attr_len = 0;
    if (entry->attr_len > 0 && entry->attr != nullptr) {
        d.attr_len = entry->attr_len > 1 ? 2 : 1;
        std::memcpy(d.attr, entry->attr, static_cast<size_t>(d.attr_len));
    }
    chain.push_back(std::move(d));
}

// A closing record: the directory it closes gets the record's times and the
// mode and attributes of its opening record.  A closing record whose opening
// record this run did not restore changes nothing.
void close_directory(const OpContext* ctx, const dir_entry* entry, OpenDirs* open_dirs) {
    std::vector<OpenDir>& chain = open_dirs->chain;
    for (size_t i = chain.size(); i-- > 0;) {
        if (chain[i].name != entry->name) continue;
        const OpenDir& d = chain[i];
        apply_properties(ctx, d.out_path.c_str(), d.name.c_str(),
                         Properties{d.mode, d.attr_len, d.attr, entry->atime, entry->mtime});
        chain.resize(i);
        return;
    }
}

// An opening record: the directory and its missing parents are made, or it
// is found, and it is noted for its closing record.
int32_t open_directory(const dir_entry* entry, const char* out_path, const char* resolved,
                       size_t rel_at, OpenDirs* open_dirs) {
    int32_t rc = make_parents(out_path, rel_at);
    if (rc != 0) return rc;
    // A name that resolves to the target directory itself lands here too:
    // it exists, so it is only reported.
    if (plat::_access(out_path, 4) == 0) {
        show_info(MSG_DIR_EXISTS, out_path);
    } else if (plat::_mkdir(out_path) != 0) {
        show_error(MSG_CANNOT_CREATE, out_path);
        return RC_MKDIR;
    }
    // The target directory keeps its own properties, and a name that exists
    // as something other than a directory gets none.  Nor does a symbolic
    // link the user made: it may lead anywhere, and what it leads to is not
    // the archive's to change.
    char final_path[plat::PATH_CAP];
    bool is_link = plat::_final_path(out_path, final_path, sizeof final_path) != 0 ||
                   std::strcmp(final_path, out_path) != 0;
    if (resolved[0] != '\0' && !is_link && is_directory(out_path)) note_open_dir(entry, out_path, open_dirs);
    return RC_OK;
}

int32_t restore_directory(dir_entry* entry, OpContext* ctx,
                          const char* out_path, const char* resolved, size_t rel_at,
                          OpenDirs* open_dirs) {
    if (entry->entry_flags & ENTRY_DIR_END) {
        close_directory(ctx, entry, open_dirs);
    } else {
        int32_t rc = open_directory(entry, out_path, resolved, rel_at, open_dirs);
        if (rc != 0) return rc;
    }
    // A directory carries no data.  Should a damaged archive give it some,
    // pass over it exactly as the listing does, so that both walks see the
    // same entries.
    if (entry->clen == 0) return RC_OK;
    int32_t rc = skip_entry_data(entry);
    if (rc != 0) show_error(MSG_READ_ERROR, entry->name);
    return rc;
}

int32_t restore_file(unsigned char* buffer, dir_entry* entry, OpContext* ctx, const char* out_path,
                     const char* resolved, size_t rel_at) {
    // A name that resolves to nothing would open the target directory
    // itself: refuse it as an output file that cannot be opened.
    if (resolved[0] == '\0') {
        show_error(MSG_CANNOT_OPEN_OUTPUT, out_path);
        return RC_OUT_OPEN;
    }
    int32_t rc = make_parents(out_path, rel_at);
    if (rc != 0) return rc;
    if (refused_output(ctx, out_path)) {
        show_error(MSG_CANNOT_OPEN_OUTPUT, out_path);
        return RC_OUT_OPEN;
    }
    rc = write_beside(buffer, entry, ctx, out_path);
    if (rc == 1) rc = write_in_place(buffer, entry, ctx, out_path);
    if (rc != 0) return rc;
    apply_file_properties(ctx, entry, out_path);
    // Restored, but with another length than its record's.
    return file_check_size_unvouched() ? RC_DAMAGED : RC_OK;
}

}  // namespace

bool resolve_output_path(const char* dir, const char* name, char* out, int cap, char* resolved,
                         bool* climbed) {
    char rel[NAME_CAP];
    size_t rel_len = 0;
    // A drive or UNC prefix would name another place: it is dropped.
    size_t root_len = plat::foreign_root_len(name);
    *climbed = root_len > 0;
    const char* p = name + root_len;
    std::string safe;
    while (*p != '\0') {
        while (is_separator(*p)) ++p;
        const char* start = p;
        while (*p != '\0' && !is_separator(*p)) ++p;
        size_t len = static_cast<size_t>(p - start);
        if (len == 0 || (len == 1 && start[0] == '.')) continue;
        if (len == 2 && start[0] == '.' && start[1] == '.') {
            if (rel_len == 0) {
                *climbed = true;  // would leave dir: dropped
            } else {
                rel_len = drop_last_component(rel, rel_len);
            }
            continue;
        }
        // A device name or a stream is never opened as such: renamed.
        if (plat::safe_component(start, len, &safe)) {
            *climbed = true;
            start = safe.c_str();
            len = safe.size();
        }
        size_t need = rel_len + (rel_len > 0 ? 1 : 0) + len;
        if (need >= sizeof rel) return false;
        if (rel_len > 0) rel[rel_len++] = '/';
        std::memcpy(rel + rel_len, start, len);
        rel_len += len;
    }
    rel[rel_len] = '\0';
    if (resolved != nullptr && std::snprintf(resolved, static_cast<size_t>(cap), "%s", rel) >= cap)
        return false;
    size_t dir_len = std::strlen(dir);
    // The root as dir already ends with its separator.
    const char* join = (rel_len == 0 || (dir_len > 0 && is_separator(dir[dir_len - 1]))) ? "" : "/";
    int n = std::snprintf(out, static_cast<size_t>(cap), "%s%s%s", dir, join, rel);
    return n >= 0 && n < cap;
}

int32_t restore_entry(unsigned char* buffer, dir_entry* entry, OpContext* ctx, OpenDirs* open_dirs) {
    if (ctx->to_stdout) return stream_entry(buffer, entry, ctx);
    char out_path[plat::PATH_CAP];
    char resolved[plat::PATH_CAP];
    bool climbed = false;
    bool is_dir = (entry->mode & plat::MODE_DIR) != 0;
    if (!plat::name_spellable(entry->name)) {
        // No file of this system can have that name: it is left out.
        if (!(is_dir && (entry->entry_flags & ENTRY_DIR_END))) show_error(MSG_NAME_NOT_STORABLE, entry->name);
        int32_t rc = is_dir && entry->clen == 0 ? RC_OK : skip_entry_data(entry);
        if (rc != 0) show_error(MSG_READ_ERROR, entry->name);
        return rc;
    }
    if (!resolve_output_path(entry->dir, entry->name, out_path, sizeof out_path, resolved,
                             &climbed)) {
        // The joined path does not fit an operating-system path.
        if (is_dir) {
            show_error(MSG_CANNOT_CREATE, entry->name);
            return RC_MKDIR;
        }
        show_error(MSG_CANNOT_OPEN_OUTPUT, entry->name);
        return RC_OUT_OPEN;
    }
    // A closing record creates nothing, so it has nothing to report either.
    bool closing = is_dir && (entry->entry_flags & ENTRY_DIR_END);
    if (climbed && !closing) show_error(MSG_UNSAFE_PATH, entry->name, resolved);
    // Where the part below the walk's directory begins in out_path.
    size_t rel_at = std::strlen(out_path) - std::strlen(resolved);
    if (is_dir) return restore_directory(entry, ctx, out_path, resolved, rel_at, open_dirs);
    return restore_file(buffer, entry, ctx, out_path, resolved, rel_at);
}

void apply_file_properties(OpContext* ctx, const dir_entry* entry, const char* out_path) {
    if (entry->mode & plat::MODE_DIR) return;
    apply_properties(ctx, out_path, entry->name,
                     Properties{entry->mode, entry->attr_len, entry->attr, entry->atime, entry->mtime});
}
