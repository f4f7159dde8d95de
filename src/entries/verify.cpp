// Testing and comparing entries (see verify.h).
#include "entries/verify.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "archive/chunks.h"
#include "base/messages.h"
#include "entries/integrity.h"
#include "entries/restore.h"
#include "platform/platform.h"

namespace {

VerifyTally tally;

// True when out_path, or the link it names, leads out of dir: a link to
// somewhere else counts as nothing being there.
bool leads_out(const char* dir, const char* out_path) {
    char final_path[plat::PATH_CAP];
    if (plat::_final_path(out_path, final_path, sizeof final_path) != 0) return true;
    if (std::strcmp(final_path, out_path) == 0) return false;
    std::string target(final_path);
    size_t n = std::strlen(dir);
    bool inside = target.compare(0, n, dir) == 0 && n < target.size() && target[n] == '/';
    return !inside || target.find("/../") != std::string::npos || target.find("/./") != std::string::npos;
}

// What stands at an entry's output path, for comparing.
struct DiskFile {
    const char* differs;  // the first difference found, or nullptr
    int handle;
    plat::StatRec st;
    bool contents_differ;
};

// Opens the file at out_path for comparing, or notes why there is none.
void open_disk_file(const dir_entry* entry, const char* out_path, bool resolved, DiskFile* disk) {
    disk->differs = nullptr;
    disk->handle = -1;
    disk->contents_differ = false;
    if (!resolved || plat::_access(out_path, 0) != 0 || leads_out(entry->dir, out_path)) {
        disk->differs = "missing";
    } else if (plat::_stat(out_path, &disk->st) != 0 || !(disk->st.mode & plat::MODE_REG)) {
        disk->differs = "not a file";
    } else {
        disk->handle = plat::_open(out_path, plat::OF_RDONLY | plat::OF_BINARY);
        if (disk->handle < 0) disk->differs = "missing";
    }
}

// Compares the next count decoded bytes with the file's next bytes.
void compare_bytes(DiskFile* disk, const unsigned char* data, int32_t count) {
    if (disk->handle < 0 || disk->contents_differ) return;
    static unsigned char from_disk[16384];
    long got = plat::_read(disk->handle, from_disk, static_cast<unsigned>(count));
    if (got != count || std::memcmp(from_disk, data, static_cast<size_t>(count)) != 0) disk->contents_differ = true;
}

// The first difference of a whole file entry with count decoded bytes.
const char* file_difference(const dir_entry* entry, const DiskFile& disk, int64_t count) {
    if (disk.differs != nullptr) return disk.differs;
    if (disk.st.size != count) return "size";
    if (disk.contents_differ) return "contents";
    if (disk.st.mtime != entry->mtime) return "modification time";
    return nullptr;
}

void report_difference(const char* out_path, const char* what) {
    if (what == nullptr) return;
    ++tally.differ;
    show_info(MSG_DIFFERS, out_path, what);
}

int32_t verify_directory(const dir_entry* entry, const OpContext* ctx, const char* out_path, bool resolved) {
    ++tally.entries;
    if (ctx->verify == VERIFY_COMPARE) {
        plat::StatRec st;
        const char* what = nullptr;
        if (!resolved || plat::_access(out_path, 0) != 0 || leads_out(entry->dir, out_path)) {
            what = "missing";
        } else if (plat::_stat(out_path, &st) != 0 || !(st.mode & plat::MODE_DIR)) {
            what = "not a directory";
        }
        report_difference(out_path, what);
    }
    return RC_OK;
}

int32_t verify_file(unsigned char* buffer, const dir_entry* entry, const OpContext* ctx, const char* out_path,
                    bool resolved) {
    ++tally.entries;
    bool comparing = ctx->verify == VERIFY_COMPARE;
    DiskFile disk{};
    disk.handle = -1;
    if (comparing) open_disk_file(entry, out_path, resolved, &disk);
    ChunkChain chain;
    chunk_chain_begin(&chain, entry);
    file_check_begin();
    const unsigned char* data = nullptr;
    int32_t count = 0;
    int64_t total = 0;
    int32_t rc;
    while ((rc = next_decoded_chunk(&chain, buffer, ctx, out_path, &data, &count)) == RC_OK) {
        file_check_add(data, count);
        compare_bytes(&disk, data, count);
        total += count;
    }
    if (rc == RC_END) {
        rc = file_check_end(entry, ctx, out_path);
        if (file_check_had_checksum()) ++tally.checked;
        if (rc == RC_OK && file_check_size_unvouched()) rc = RC_DAMAGED;
    }
    if (rc == RC_OK && comparing) report_difference(out_path, file_difference(entry, disk, total));
    if (disk.handle >= 0) plat::_close(disk.handle);
    if (rc != RC_OK) ++tally.damaged;
    return rc;
}

}  // namespace

void verify_tally_reset() { tally = VerifyTally{}; }

const VerifyTally& verify_tally() { return tally; }

int32_t verify_entry(unsigned char* buffer, dir_entry* entry, OpContext* ctx) {
    char out_path[plat::PATH_CAP];
    char resolved_name[plat::PATH_CAP];
    bool climbed = false;
    bool resolved = resolve_output_path(entry->dir, entry->name, out_path, sizeof out_path, resolved_name,
                                        &climbed);
    if (!resolved) std::snprintf(out_path, sizeof out_path, "%s", entry->name);
    if (!(entry->mode & plat::MODE_DIR)) return verify_file(buffer, entry, ctx, out_path, resolved && resolved_name[0]);
    int32_t rc = RC_OK;
    // A closing record is neither checked nor counted.
    if (!(entry->entry_flags & ENTRY_DIR_END)) rc = verify_directory(entry, ctx, out_path, resolved);
    if (rc != RC_OK || entry->clen == 0) return rc;
    // Data a damaged archive gives a directory is passed over, as unpacking does.
    rc = skip_entry_data(entry);
    if (rc != 0) show_error(MSG_READ_ERROR, entry->name);
    return rc;
}
