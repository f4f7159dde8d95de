// Restoring one archive entry: a directory is created, a file is written
// chunk by chunk from the archive into a temporary file beside its output
// path, renamed over that path once whole, and then given its stored
// attributes, times and permissions.  Missing parent directories below the
// walk's directory are made on the way, silently.  A directory gets its
// times, mode and attributes when its closing record comes, after its
// contents.
//
// Every output path is formed by resolve_output_path, so no stored name,
// however it is written, reaches outside the directory the walk started in;
// and every output is reached as a place beneath that directory
// (plat::place_beneath), so no symbolic link in it leads a write out.  An
// entry whose way leads out is left out with message 60 and the walk goes
// on.
#include "entries/restore.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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

// The signal slot of a restore's temporary output file.
constexpr int RESTORE_SLOT = 1;

// A place beneath the target, closed when it goes.
struct HeldPlace {
    plat::Place place;
    HeldPlace() { place.dir = -1; }
    ~HeldPlace() { plat::place_close(&place); }
};

// Finds the place of a file or directory entry, its missing parents made.
// Returns 0; 1 when a link on the way leads out (message 60 with out_path);
// -11 after message 16 naming a parent that cannot be made; otherwise
// `failed` (-11 or -12) after message 16 or 17 with out_path.
int32_t find_place(const dir_entry* entry, const char* resolved, const char* out_path, int32_t failed,
                   plat::Place* place, OpenDirs* open_dirs) {
    char parent[plat::PATH_CAP];
    int rc = plat::place_beneath(entry->dir, resolved, true, place, parent, sizeof parent, &open_dirs->places);
    if (rc == plat::PLACE_OK) return RC_OK;
    if (rc == plat::PLACE_LEADS_OUT) {
        show_error(MSG_LINK_LEADS_OUT, out_path);
        return 1;
    }
    if (rc == plat::PLACE_NO_PARENT) {
        show_error(MSG_CANNOT_CREATE, parent);
        return RC_MKDIR;
    }
    show_error(failed == RC_MKDIR ? MSG_CANNOT_CREATE : MSG_CANNOT_OPEN_OUTPUT, out_path);
    return failed;
}

// What is applied to a restored file or directory.
struct Properties {
    uint16_t mode;
    int32_t attr_len;
    const unsigned char* attr;
    int64_t atime;
    int64_t mtime;
};

// The attributes to set from an entry's attribute characters, or 0 for
// none.  They mean hidden and system only in archives of this program's
// origin.
uint32_t attributes_to_set(const OpContext* ctx, int32_t attr_len, const unsigned char* attr) {
    if (attr_len <= 0 || attr == nullptr || !origin_has_bit_4(ctx->flags)) return 0;
    uint32_t attrs = 0;
    if (attr[0] == '1') attrs |= plat::ATTR_HIDDEN;
    if (attr_len > 1 && attr[1] == '1') attrs |= plat::ATTR_SYSTEM;
    return attrs != 0 ? attrs | plat::ATTR_ARCHIVE : 0;
}

// The mode to give: the stored 16-bit word, sign-extended.
int mode_of(uint16_t mode) { return static_cast<int16_t>(mode); }

// What a restored file got on its handle before it was renamed into place.
struct Applied {
    bool times = false;
    bool mode = false;
};

// Attributes, times, then the mode (last: a mode without write permission
// could stop the others), leaving out what is already applied.  Messages
// 36, 37, 38 name the stored name.
void apply_properties(const OpContext* ctx, const plat::Place* at, const char* name, const Properties& p,
                      Applied done) {
    uint32_t attrs = attributes_to_set(ctx, p.attr_len, p.attr);
    if (attrs != 0 && !plat::place_set_attributes(at, attrs)) show_error(MSG_CANNOT_SET_ATTRIBUTES, name);
    if (!done.times && plat::place_utime(at, p.atime, p.mtime) == -1) show_error(MSG_CANNOT_SET_TIME, name);
    if (!done.mode && plat::place_chmod(at, mode_of(p.mode)) == -1) show_error(MSG_CANNOT_SET_MODE, name);
}

// The file a restore writes: a temporary file beside its place.  Messages
// always name the output path.
struct Output {
    const plat::Place* place;
    const char* temp;
    const char* out_path;
    std::vector<unsigned char>* gathered;
};

// Decoded chunks are written in blocks of up to this many bytes: the kernel
// takes a few large writes for less than many of one chunk each.
constexpr size_t GATHER_CAP = 256 * 1024;

// Writes what is gathered.  Returns true when all of it was written.
bool write_gathered(OpContext* ctx, const Output& out) {
    std::vector<unsigned char>& g = *out.gathered;
    bool ok = g.empty() ||
              plat::_write(ctx->write_handle, g.data(), static_cast<unsigned>(g.size())) == static_cast<long>(g.size());
    g.clear();
    return ok;
}

// Deletes the temporary file.  Message 19 when it cannot be deleted.
void delete_temp(const Output& out) {
    if (plat::place_unlink_temp(out.place, out.temp) != 0) show_error(MSG_CANNOT_DELETE, out.out_path);
    plat::remove_on_signal(RESTORE_SLOT, nullptr);
}

// Closes and deletes a partly written output file.
void discard_output(OpContext* ctx, const Output& out) {
    plat::_close(ctx->write_handle);
    ctx->write_handle = -1;
    delete_temp(out);
}

// Copies every chunk of a file entry to the open output file, feeding the
// file check.  On failure the output file is closed and deleted and the
// negative code (or RC_DAMAGED) returned.
int32_t copy_chunks(unsigned char* buffer, const dir_entry* entry, OpContext* ctx, const Output& out) {
    ChunkChain chain;
    chunk_chain_begin(&chain, entry);
    file_check_begin();
    std::vector<unsigned char>& g = *out.gathered;
    g.clear();
    const unsigned char* data = nullptr;
    int32_t count = 0;
    int32_t rc;
    bool written = true;
    while ((rc = next_decoded_chunk(&chain, buffer, ctx, out.out_path, &data, &count)) == RC_OK) {
        file_check_add(data, count);
        // A short chunk with nothing gathered is most often a whole small
        // file: written as it is, not copied first.
        if (g.empty() && count < static_cast<int32_t>(CHUNK_SIZE)) {
            if (plat::_write(ctx->write_handle, data, static_cast<unsigned>(count)) != count) {
                written = false;
                break;
            }
            continue;
        }
        if (g.size() + static_cast<size_t>(count) > GATHER_CAP && !write_gathered(ctx, out)) {
            written = false;
            break;
        }
        g.insert(g.end(), data, data + count);
    }
    if (written && rc == RC_END) written = write_gathered(ctx, out);
    if (!written) {
        show_error(MSG_WRITE_ERROR, out.out_path);
        discard_output(ctx, out);
        return RC_OUT_WRITE;
    }
    if (rc == RC_END) return RC_OK;
    discard_output(ctx, out);
    return rc;
}

// Writes the entry to the open handle h and closes it; with early the file
// gets its final times and mode on the handle just before (*applied tells
// which it got).  Returns 0, or the negative code with the file deleted.
int32_t write_output(unsigned char* buffer, const dir_entry* entry, OpContext* ctx, int h,
                     const Output& out, bool early, Applied* applied) {
    ctx->write_handle = h;
    int32_t rc = copy_chunks(buffer, entry, ctx, out);
    if (rc != 0) return rc;
    ctx->write_handle = -1;
    // A failure here is not reported: what is not applied is then set by
    // name once the file is in place, as for a directory.
    if (early) {
        applied->times = plat::handle_utime(h, entry->atime, entry->mtime) == 0;
        applied->mode = plat::handle_chmod(h, mode_of(entry->mode)) == 0;
    }
    // A file system may report a failed write only when the file is closed.
    if (plat::_close(h) != 0) {
        show_error(MSG_WRITE_ERROR, out.out_path);
        delete_temp(out);
        return RC_OUT_WRITE;
    }
    // Kept only when its checksum, if one follows, matches.
    rc = file_check_end(entry, ctx, out.out_path);
    if (rc != 0) delete_temp(out);
    return rc;
}

// An existing output that cannot be replaced is refused before anything is
// written: the archive being read (by whatever name), a directory, a FIFO, a
// device, a file this user may not write.  Only regular files that could be
// opened for writing are replaced.
bool refused_output(const OpContext* ctx, const plat::Place* place) {
    if (place->name_absent) return false;
    const char* out_path = place->path;
    if (plat::_access(out_path, 0) != 0) return false;
    if (plat::is_same_file(out_path, ctx->read_handle)) return true;
    int h = plat::_open(out_path, plat::OF_WRONLY | plat::OF_BINARY);
    if (h < 0) return true;
    plat::_close(h);
    return false;
}

// Writes the entry to a temporary file beside its place and renames it
// over the place once it is whole, so a failure leaves an existing file as
// it was.  The temporary file is owner-only while it is written, and is
// deleted should a signal end the run meanwhile.  Once written it gets its
// final times and mode on its handle where the platform can and no
// attributes are to be set after it (*applied tells which); the rest comes
// by name after the rename.  There is no writing in place: where no
// temporary file can be made (a full disk, a directory this user may not
// write) the existing file stays as it was.  Returns 0, or -12 after
// message 58 or 17, or the write's negative code.
int32_t write_beside(unsigned char* buffer, const dir_entry* entry, OpContext* ctx, const plat::Place* place,
                     const char* out_path, std::vector<unsigned char>* gathered, Applied* applied) {
    char temp[plat::PATH_CAP];
    int h = plat::place_open_temp(place, temp, sizeof temp, RESTORE_SLOT);
    if (h < 0) {
        show_error(MSG_NO_TEMP_FILE, out_path);
        return RC_OUT_OPEN;
    }
    Output out{place, temp, out_path, gathered};
    // Attributes need write permission that the final mode may not give.
    bool early = attributes_to_set(ctx, entry->attr_len, entry->attr) == 0;
    int32_t rc = write_output(buffer, entry, ctx, h, out, early, applied);
    if (rc == 0 && plat::place_rename_temp(place, temp) != 0) {
        show_error(MSG_CANNOT_OPEN_OUTPUT, out_path);
        delete_temp(out);
        rc = RC_OUT_OPEN;
    }
    plat::remove_on_signal(RESTORE_SLOT, nullptr);
    return rc;
}

// Applies attributes, times and permissions of a file entry to its place,
// but for what it already got.
void apply_file_properties(OpContext* ctx, const dir_entry* entry, const plat::Place* place, Applied done) {
    apply_properties(ctx, place, entry->name,
                     Properties{entry->mode, entry->attr_len, entry->attr, entry->atime, entry->mtime}, done);
}

// True when name lies inside the directory stored as outer.
bool is_inside(const std::string& outer, const char* name) {
    return std::strncmp(name, outer.c_str(), outer.size()) == 0 && name[outer.size()] == '/';
}

// Notes a directory made or found for its closing record.  Directories of
// the chain that do not hold this one never got their closing records (a
// damaged or cut archive): they are forgotten, so the chain stays the
// current entry's ancestors and stays short.
void note_open_dir(const dir_entry* entry, const char* resolved, OpenDirs* open_dirs) {
    std::vector<OpenDir>& chain = open_dirs->chain;
    while (!chain.empty() && !is_inside(chain.back().name, entry->name)) chain.pop_back();
    OpenDir d;
    d.name = entry->name;
    d.rel = resolved;
    d.mode = entry->mode;
    d.attr_len = 0;
    if (entry->attr_len > 0 && entry->attr != nullptr) {
        d.attr_len = entry->attr_len > 1 ? 2 : 1;
        std::memcpy(d.attr, entry->attr, static_cast<size_t>(d.attr_len));
    }
    chain.push_back(std::move(d));
}

// A closing record: the directory it closes gets the record's times and the
// mode and attributes of its opening record, reached beneath the target
// again (it may have been replaced meanwhile).  A closing record whose
// opening record this run did not restore changes nothing.
void close_directory(const OpContext* ctx, const dir_entry* entry, OpenDirs* open_dirs) {
    std::vector<OpenDir>& chain = open_dirs->chain;
    for (size_t i = chain.size(); i-- > 0;) {
        if (chain[i].name != entry->name) continue;
        const OpenDir& d = chain[i];
        HeldPlace at;
        if (plat::place_beneath(entry->dir, d.rel.c_str(), false, &at.place, nullptr, 0) == plat::PLACE_OK &&
            !at.place.name_was_link) {
            apply_properties(ctx, &at.place, d.name.c_str(),
                             Properties{d.mode, d.attr_len, d.attr, entry->atime, entry->mtime}, Applied{});
        }
        chain.resize(i);
        return;
    }
}

// An opening record: the directory and its missing parents are made, or it
// is found, and it is noted for its closing record.  Returns 0, 1 when it
// is left out (a link leads out), or -11 after message 16.
int32_t open_directory(const dir_entry* entry, const char* out_path, const char* resolved,
                       OpenDirs* open_dirs) {
    // A name that resolves to the target directory itself lands here too:
    // it exists, so it is only reported, and it keeps its own properties.
    if (resolved[0] == '\0') {
        if (plat::_access(out_path, 4) == 0) {
            show_info(MSG_DIR_EXISTS, out_path);
            return RC_OK;
        }
        show_error(MSG_CANNOT_CREATE, out_path);
        return RC_MKDIR;
    }
    HeldPlace at;
    int32_t rc = find_place(entry, resolved, out_path, RC_MKDIR, &at.place, open_dirs);
    if (rc != 0) return rc;
    if (!at.place.name_absent && plat::_access(at.place.path, 4) == 0) {
        show_info(MSG_DIR_EXISTS, out_path);
    } else if (plat::place_mkdir(&at.place) != 0) {
        show_error(MSG_CANNOT_CREATE, out_path);
        return RC_MKDIR;
    }
    // A name that exists as something other than a directory gets no
    // properties.  Nor does a symbolic link the user made: what it leads
    // to is not the archive's to change.
    plat::StatRec st;
    bool is_dir = plat::place_stat(&at.place, &st) == 0 && (st.mode & plat::MODE_DIR) != 0;
    if (is_dir && !at.place.name_was_link) note_open_dir(entry, resolved, open_dirs);
    return RC_OK;
}

// Passes over the data of an entry that is not written.
int32_t pass_over_data(dir_entry* entry) {
    if (entry->clen == 0) return RC_OK;
    int32_t rc = skip_entry_data(entry);
    if (rc != 0) show_error(MSG_READ_ERROR, entry->name);
    return rc;
}

// An entry left out while the walk goes on: the walk will end with -12
// unless an earlier entry was left out first.
void note_left_out(OpenDirs* open_dirs) {
    if (open_dirs->first_failure == 0) open_dirs->first_failure = RC_OUT_OPEN;
}

int32_t restore_directory(dir_entry* entry, OpContext* ctx, const char* out_path, const char* resolved,
                          OpenDirs* open_dirs) {
    if (entry->entry_flags & ENTRY_DIR_END) {
        close_directory(ctx, entry, open_dirs);
    } else {
        int32_t rc = open_directory(entry, out_path, resolved, open_dirs);
        if (rc < 0) return rc;
        if (rc == 1) note_left_out(open_dirs);
    }
    // A directory carries no data.  Should a damaged archive give it some,
    // pass over it exactly as the listing does, so that both walks see the
    // same entries.
    return pass_over_data(entry);
}

int32_t restore_file(unsigned char* buffer, dir_entry* entry, OpContext* ctx, const char* out_path,
                     const char* resolved, OpenDirs* open_dirs) {
    // A name that resolves to nothing would open the target directory
    // itself: refuse it as an output file that cannot be opened.
    if (resolved[0] == '\0') {
        show_error(MSG_CANNOT_OPEN_OUTPUT, out_path);
        return RC_OUT_OPEN;
    }
    HeldPlace at;
    int32_t rc = find_place(entry, resolved, out_path, RC_OUT_OPEN, &at.place, open_dirs);
    if (rc == 1) {
        note_left_out(open_dirs);
        return pass_over_data(entry);
    }
    if (rc != 0) return rc;
    if (refused_output(ctx, &at.place)) {
        show_error(MSG_CANNOT_OPEN_OUTPUT, out_path);
        return RC_OUT_OPEN;
    }
    Applied applied;
    rc = write_beside(buffer, entry, ctx, &at.place, out_path, &open_dirs->gathered, &applied);
    if (rc != 0) return rc;
    apply_file_properties(ctx, entry, &at.place, applied);
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
    if (is_dir) return restore_directory(entry, ctx, out_path, resolved, open_dirs);
    return restore_file(buffer, entry, ctx, out_path, resolved, open_dirs);
}
