// The walks over an archive's entries.  Both read every entry to its end
// (record length, record text, attribute block, chunks with their linked
// headers) before the next one starts: the archive has no index.
#include "entries/walk.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive/block_io.h"
#include "archive/chunks.h"
#include "archive/select.h"
#include "archive/transfer.h"
#include "base/messages.h"
#include "entries/decode_ahead.h"
#include "entries/integrity.h"
#include "entries/restore.h"
#include "entries/verify.h"
#include "platform/platform.h"

namespace {

// Sets the walk's directory to the working directory ("." when it cannot be
// read, which still keeps every output below it).
void set_walk_dir(dir_entry* entry) {
    if (plat::_getcwd(entry->dir, plat::PATH_CAP) == nullptr) std::snprintf(entry->dir, plat::PATH_CAP, ".");
}

// The -s rule: a file entry whose output path holds a file of the same size
// and modification time is passed over.
bool same_as_on_disk(const dir_entry* entry, const OpContext* ctx) {
    if (!(ctx->flags & OPT_SKIP_SAME) || !origin_has_bit_4(ctx->flags) || ctx->verify) return false;
    if ((entry->entry_flags & ENTRY_DIR_END) || (entry->mode & plat::MODE_DIR)) return false;
    char out_path[plat::PATH_CAP];
    bool climbed = false;
    if (!resolve_output_path(entry->dir, entry->name, out_path, sizeof out_path, nullptr, &climbed))
        return false;
    plat::StatRec st;
    if (plat::_stat(out_path, &st) != 0) return false;
    return st.size == entry->size && st.mtime == entry->mtime;
}


// A directory's opening record held back while file arguments choose the
// entries: it is restored (and printed) only once an entry under it is
// chosen, so that the chosen entry's directories exist with their own
// records' state.  Its closing record then follows it.
struct HeldDir {
    dir_entry entry;  // its data already passed over
    unsigned char attr[ATTR_CAP];
    NameParts parts;
    bool restored;
};

// Passes over an entry's data, as -s and unchosen entries are.
int32_t pass_over(dir_entry* entry) {
    int32_t rc = skip_entry_data(entry);
    if (rc != 0) show_error(MSG_READ_ERROR, entry->name);
    return rc;
}

// Restores the entry, or checks it when testing or comparing.
int32_t visit_entry(dir_entry* entry, OpContext* ctx, OpenDirs* open_dirs) {
    if (ctx->verify) return verify_entry(transfer_buffer, entry, ctx);
    return restore_entry(transfer_buffer, entry, ctx, open_dirs);
}

void print_unpacked_name(const char* name) {
    stdout_printf("%s\n", printable_name(name).c_str());
    stdout_flush();
}

// Restores an entry just read, or passes over it under -s or
// ENTRY_HIDDEN_SKIP.
int32_t unpack_read_entry(dir_entry* entry, OpContext* ctx, OpenDirs* open_dirs) {
    bool quiet = (ctx->flags & OPT_QUIET) != 0;
    bool same = same_as_on_disk(entry, ctx);
    bool hidden_skip = (entry->entry_flags & ENTRY_HIDDEN_SKIP) != 0;
    if (same || hidden_skip) {
        if (same && !hidden_skip && !quiet) {
            show_info(MSG_SKIPPING, entry->name);
            if (!stdout_flush()) return RC_OUT_WRITE;
        }
        return pass_over(entry);
    }
    if (!quiet && !(entry->entry_flags & ENTRY_DIR_END)) print_unpacked_name(entry->name);
    // Standard output gone: the files finished so far stay, no more is made.
    if (stdout_failed()) return RC_OUT_WRITE;
    return visit_entry(entry, ctx, open_dirs);
}

// Restores the held directories that a chosen entry lies under, outermost
// first.
int32_t restore_held(std::vector<HeldDir>* held, const NameParts& parts, OpContext* ctx, bool ignore_case,
                     OpenDirs* open_dirs) {
    for (HeldDir& h : *held) {
        if (h.restored || !lies_under(h.parts, parts, ignore_case)) continue;
        h.restored = true;
        h.entry.attr = h.entry.attr_len > 0 ? h.attr : nullptr;
        if (!(ctx->flags & OPT_QUIET)) print_unpacked_name(h.entry.name);
        if (stdout_failed()) return RC_OUT_WRITE;
        int32_t rc = visit_entry(&h.entry, ctx, open_dirs);
        if (rc != 0) return rc;
    }
    return RC_OK;
}

// One entry of an unpack run whose file arguments choose the entries.
// Returns 0, 1 at the end of the archive, or negative.
int32_t unpack_chosen_step(dir_entry* entry, OpContext* ctx, Selection* sel, std::vector<HeldDir>* held,
                           OpenDirs* open_dirs) {
    int32_t rc = read_next_entry(entry, ctx);
    if (rc != RC_OK) return rc;
    bool opening = (entry->mode & plat::MODE_DIR) && !(entry->entry_flags & ENTRY_DIR_END);
    bool hidden_skip = (entry->entry_flags & ENTRY_HIDDEN_SKIP) != 0;
    NameParts parts = name_parts(entry->name);
    // Only the directories this entry lies in (or closes) stay held, so the
    // hold never grows beyond the depth of one name, whatever the archive.
    while (!held->empty() && !same_name(held->back().parts, parts, sel->ignore_case) &&
           !lies_under(held->back().parts, parts, sel->ignore_case))
        held->pop_back();
    if (entry->entry_flags & ENTRY_DIR_END) {
        // The closing record of a held directory ends the hold and follows
        // the fate of its opening record.
        for (size_t k = held->size(); k-- > 0;) {
            if (!same_name((*held)[k].parts, parts, sel->ignore_case)) continue;
            bool restored = (*held)[k].restored;
            held->resize(k);
            return restored ? unpack_read_entry(entry, ctx, open_dirs) : pass_over(entry);
        }
    }
    if (hidden_skip || !selection_choose(sel, entry->name)) {
        rc = pass_over(entry);
        if (rc != 0 || !opening || hidden_skip) return rc;
        held->emplace_back();
        HeldDir& h = held->back();
        h.entry = *entry;
        h.entry.clen = 0;
        if (entry->attr_len > 0 && entry->attr != nullptr) std::memcpy(h.attr, entry->attr, ATTR_CAP);
        h.parts = parts;
        h.restored = false;
        return RC_OK;
    }
    rc = restore_held(held, parts, ctx, sel->ignore_case, open_dirs);
    if (rc != 0) return rc;
    return unpack_read_entry(entry, ctx, open_dirs);
}

// Totals of the detailed listing.
struct ListTotals {
    int64_t entries;
    int64_t size;
    int64_t stored;
};

void add_capped(int64_t* total, int64_t n) {
    if (n > 0 && *total > INT64_MAX - n) {
        *total = INT64_MAX;
    } else {
        *total += n;
    }
}

// The space saved as a whole percentage of size, cut towards zero: "0%"
// for an empty file, negative when the stored form is larger.
std::string saved_percent(int64_t size, int64_t stored) {
    if (size <= 0) return "0%";
    long double pct = (static_cast<long double>(size) - static_cast<long double>(stored)) * 100.0L /
                      static_cast<long double>(size);
    if (pct < -1e18L) pct = -1e18L;
    return std::to_string(static_cast<long long>(pct)) + "%";
}

// "YYYY-MM-DD HH:MM" in local time.
std::string local_date(int64_t seconds) {
    plat::LocalTime t;
    if (!plat::local_time(seconds, &t)) return "\?\?\?\?-\?\?-\?\? \?\?:\?\?";
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02d-%02d %02d:%02d", static_cast<long long>(t.year), t.month,
                  t.day, t.hour, t.minute);
    return text;
}

// d directory, r read-only, h hidden, s system; '-' where not set.  Hidden
// and system come from the attribute block, which means them only in
// archives of this program's origin (as on unpacking).
std::string attribute_letters(const dir_entry* entry, const OpContext* ctx) {
    std::string a = "----";
    if (entry->mode & plat::MODE_DIR) a[0] = 'd';
    if (!(entry->mode & plat::MODE_OWNER_WRITE)) a[1] = 'r';
    if (entry->attr != nullptr && origin_has_bit_4(ctx->flags)) {
        if (entry->attr_len > 0 && entry->attr[0] == '1') a[2] = 'h';
        if (entry->attr_len > 1 && entry->attr[1] == '1') a[3] = 's';
    }
    return a;
}

const char detail_rule[] = "---------- ---------- ----- ---------------- ---- ----\n";

void print_detail_header() {
    stdout_printf("%10s %10s %5s %-16s %-4s %s\n", "Size", "Stored", "Saved", "Modified", "Attr", "Name");
    stdout_printf("%s", detail_rule);
}

// One line: size, stored size, saved, time, attributes, name, and the
// checksum's hex digits when sum is given.  A directory
// counts as size 0: its recorded size is the file system's for the
// directory itself, not content.
void print_detail_line(const dir_entry* entry, int64_t stored, const OpContext* ctx, ListTotals* totals,
                       const char* sum) {
    int64_t size = (entry->mode & plat::MODE_DIR) ? 0 : entry->size;
    stdout_printf("%10lld %10lld %5s %s %s %s%s%s\n", static_cast<long long>(size), static_cast<long long>(stored),
                saved_percent(size, stored).c_str(), local_date(entry->mtime).c_str(),
                attribute_letters(entry, ctx).c_str(), printable_name(entry->name).c_str(), sum ? " " : "",
                sum ? sum : "");
    ++totals->entries;
    add_capped(&totals->size, size);
    add_capped(&totals->stored, stored);
}

void print_detail_totals(const ListTotals& totals) {
    stdout_printf("---------- ---------- -----%23s----\n", "");
    stdout_printf("%10lld %10lld %5s%23s%lld %s\n", static_cast<long long>(totals.size),
                static_cast<long long>(totals.stored), saved_percent(totals.size, totals.stored).c_str(), "",
                static_cast<long long>(totals.entries), totals.entries == 1 ? "entry" : "entries");
}

// One entry of the listing.  *shown is set when the entry belongs to the
// listing (chosen by the file arguments, or there are none).  Plain: its
// name is printed before its data is passed over (the walk ends the line);
// detailed (totals set): its line is printed once its data was passed over,
// and closing and silently skipped records are left out.
int32_t list_entry(dir_entry* entry, OpContext* ctx, Selection* sel, ListTotals* totals, bool* shown) {
    *shown = false;
    int32_t rc = read_next_entry(entry, ctx);
    if (rc != RC_OK) return rc;
    bool hidden = (entry->entry_flags & ENTRY_HIDDEN_SKIP) != 0;
    bool unnamed = (entry->entry_flags & (ENTRY_DIR_END | ENTRY_HIDDEN_SKIP)) != 0;
    // A silently skipped record is never chosen by name.
    bool chosen = hidden ? !selection_active(sel) && !name_excluded(entry->name) : selection_choose(sel, entry->name);
    bool quiet = (ctx->flags & OPT_QUIET) != 0;
    int64_t stored = 0;
    if (hidden) {
        // A checksum entry belongs to the file before it: not even its
        // empty line is printed.
        bool is_checksum = false;
        rc = pass_over_hidden(entry, &is_checksum, &stored);
        *shown = chosen && totals == nullptr && !is_checksum;
    } else {
        if (totals == nullptr && chosen && !quiet && !unnamed) stdout_printf("%s", printable_name(entry->name).c_str());
        *shown = chosen && totals == nullptr;
        if (stdout_failed()) return RC_OUT_WRITE;
        rc = skip_entry_data(entry, &stored);
    }
    // A missing linked header has said so itself (message 20).
    if (rc == RC_READ) show_error(MSG_READ_ERROR, ctx->archive_path);
    if (rc != 0 || totals == nullptr) return rc;
    if (chosen && !quiet && !unnamed) {
        // A file's checksum, when its checksum entry follows, ends its line.
        bool found = false;
        char sum[CHECKSUM_TEXT_LEN + 1] = "";
        if (!(entry->mode & plat::MODE_DIR)) read_checksum_entry(entry, ctx, &found, sum);
        print_detail_line(entry, stored, ctx, totals, sum[0] != '\0' ? sum + CHECKSUM_PREFIX_LEN : nullptr);
    }
    return stdout_failed() ? RC_OUT_WRITE : RC_OK;
}

// The unpack walk's loop over the entries.  A damaged entry is left out and
// the walk goes on; the first failure is the walk's result.  Returns 0 at
// the end of the archive, or negative.
int32_t unpack_entries(OpContext* ctx, Selection* sel, dir_entry* entry, std::vector<HeldDir>* held,
                       OpenDirs* open_dirs) {
    for (;;) {
        int32_t rc = selection_filters(sel) ? unpack_chosen_step(entry, ctx, sel, held, open_dirs)
                                           : uncompress_step(entry, ctx, open_dirs);
        if (rc == RC_END) return RC_OK;
        if (rc == RC_DAMAGED) {
            if (open_dirs->first_failure == 0) open_dirs->first_failure = RC_READ;
            continue;
        }
        // Once an entry was left out, the run ends with its result.
        if (rc < 0) return open_dirs->first_failure != 0 ? open_dirs->first_failure : rc;
    }
}

}  // namespace

int32_t uncompress_step(dir_entry* entry, OpContext* ctx, OpenDirs* open_dirs) {
    int32_t rc = read_next_entry(entry, ctx);
    if (rc != RC_OK) return rc;
    return unpack_read_entry(entry, ctx, open_dirs);
}

int32_t uncompress_walk(OpContext* ctx, Selection* sel) {
    dir_entry entry{};
    OpenDirs open_dirs;
    set_walk_dir(&entry);
    std::vector<HeldDir> held;
    entry_reader_reset();
    decode_ahead_start(ctx, ctx->n_workers);
    int32_t rc = unpack_entries(ctx, sel, &entry, &held, &open_dirs);
    decode_ahead_stop();
    if (rc < 0) return rc;
    // A test or compare run ends with its totals instead.
    if (!(ctx->flags & OPT_QUIET) && !ctx->verify) stdout_write("\n", 1);
    rc = selection_report(sel);
    return open_dirs.first_failure != 0 ? open_dirs.first_failure : rc;
}

int32_t list_walk(OpContext* ctx, Selection* sel, bool detailed) {
    dir_entry entry{};
    set_walk_dir(&entry);
    bool quiet = (ctx->flags & OPT_QUIET) != 0;
    ListTotals totals{};
    entry_reader_reset();
    if (detailed && !quiet) print_detail_header();
    for (;;) {
        bool shown = false;
        int32_t rc = list_entry(&entry, ctx, sel, detailed ? &totals : nullptr, &shown);
        if (rc < 0) return rc;
        if (rc == RC_END) break;
        if (shown && !quiet && !detailed) stdout_write("\n", 1);
        if (stdout_failed()) return RC_OUT_WRITE;
    }
    if (!quiet) {
        if (detailed) {
            print_detail_totals(totals);
        } else {
            stdout_write("\n", 1);
        }
    }
    return selection_report(sel);
}
