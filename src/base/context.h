// The run configuration, the operation context and the option bits.
//
// RunConfig is filled from the command line once per run.  OpContext is
// built by begin_operation at the start of each operation and handed by
// pointer to every lower layer.  The option bits are part of the archive
// format: the header of a new archive records the context's whole flag word.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Low four bits: the archive's origin code (4 for archives written here).
constexpr uint32_t ORIGIN_MASK = 0x000F;
constexpr uint32_t ORIGIN_KELPARC = 0x0004;
// ORIGIN_BIT_4 (0x0004) of the origin code, the bit ORIGIN_KELPARC sets,
// so every archive written here has it.  -s and the stored hidden and
// system attributes are honoured only when the archive's origin code has it
// (origin_has_bit_4 of the context's flags; the whole code is not
// compared).
constexpr uint32_t ORIGIN_BIT_4 = 0x0004;
inline bool origin_has_bit_4(uint32_t flags) { return (flags & ORIGIN_BIT_4) != 0; }
constexpr uint32_t OPT_UNCOMPRESS = 0x0010;
constexpr uint32_t OPT_QUIET = 0x0040;
constexpr uint32_t OPT_RECURSE = 0x0080;
constexpr uint32_t OPT_OVERWRITE = 0x0100;
constexpr uint32_t OPT_APPEND = 0x0200;
constexpr uint32_t OPT_LIST = 0x0400;
constexpr uint32_t OPT_START_DIR = 0x0800;
constexpr uint32_t OPT_PASSWORD = 0x1000;
constexpr uint32_t OPT_HIDDEN = 0x2000;
constexpr uint32_t OPT_SYSTEM = 0x4000;
constexpr uint32_t OPT_SKIP_SAME = 0x8000;

// Field widths fixed by the archive format and the command line.
constexpr int NAME_CAP = 256;      // stored names: 255 characters + NUL
constexpr int PASSWORD_CAP = 64;   // 63 characters + NUL
constexpr int VERSION_CAP = 4;     // 3 characters + NUL

// start_dir and archive_name are operating-system paths, not format
// fields: they hold what the system's path limit allows.
struct RunConfig {
    uint32_t flags;
    char password[PASSWORD_CAP];
    char start_dir[plat::PATH_CAP];
    int32_t file_count;
    char** files;
    char archive_name[plat::PATH_CAP];
    // -v: the listing shows sizes, dates and attributes.  Not an option
    // bit: the option word is recorded in archives and has no room for it.
    uint8_t detailed;
    // -j: threads for storing and unpacking, 1 to MAX_WORKERS; 0 when not
    // given (as many as there are online processors).  No bit of the option
    // word; recorded nowhere.
    int32_t n_workers;
    // Long options (--word): no bit of the option word; recorded nowhere.
    uint8_t checksum;    // --checksum
    uint8_t test;        // --test: an operation beside -u, -a and -l
    uint8_t compare;     // --compare: likewise
    uint8_t keep_going;  // --keep-going
    uint8_t to_stdout;   // --to-stdout
    int8_t progress;     // the last of --progress (1) and --no-progress (-1); 0: neither
    // The values of --exclude= and --files-from=, in the order given; they
    // point into the command line, which outlives the run.
    int32_t n_excludes;
    const char* const* excludes;
    int32_t n_files_from;
    const char* const* files_from;
};

constexpr int32_t MAX_WORKERS = 64;

// The archive name "-": standard output when writing, standard input when
// reading (a file of that name is reached as "./-").  It is also the
// archive's name in every message.
inline bool names_std_stream(const char* name) { return name[0] == '-' && name[1] == '\0'; }

struct OpContext {
    int32_t read_handle;
    int32_t write_handle;
    // Full path of the archive; empty when it cannot be formed.
    char archive_path[plat::PATH_CAP];
    uint32_t flags;
    char version_major[VERSION_CAP];
    char version_minor[VERSION_CAP];
    // The directory the operation works from, absolute once begin_operation
    // has run.
    char start_dir[plat::PATH_CAP];
    // The archive's file identity, noted when the archive is opened for
    // writing, or else the first time a stored entry is compared with it;
    // archive_id_known is 0 until then.
    uint8_t archive_id_known;
    plat::FileId archive_id;
    // The file the entries are being written to when it is another than the
    // archive at its name (a new archive's temporary file): it is the
    // archive itself too.  output_id_known is 0 when there is none.
    uint8_t output_id_known;
    plat::FileId output_id;
    // --to-stdout with -u: file contents go to standard output, nothing
    // is written to disk.
    uint8_t to_stdout;
    // --checksum: storing writes a checksum entry after each file.
    uint8_t checksum;
    // Reading without restoring: 0 restore, else VERIFY_TEST or
    // VERIFY_COMPARE.
    uint8_t verify;
    // Storing: with keep_going (--keep-going) an input that cannot be
    // stored is left out and the run goes on; n_left_out counts them (each
    // after its message), n_entries the files and directories stored.
    uint8_t keep_going;
    // The archive goes to standard output: nothing written can be taken back.
    uint8_t archive_streamed;
    int32_t n_left_out;
    int32_t n_entries;
    // -j: the threads that decode ahead when reading (0: one per online
    // processor; 1: none).
    int32_t n_workers;
};

enum : uint8_t { VERIFY_TEST = 1, VERIFY_COMPARE = 2 };

// Result codes, passed up unchanged and returned from main as the exit
// status.
enum : int32_t {
    RC_OK = 0,
    RC_END = 1,               // end of data (block reads and walks only)
    // An entry whose data is damaged but whose framing holds: the walk goes
    // on and ends with RC_READ.  Never an exit status.
    RC_DAMAGED = 2,
    RC_PASSWORD_QUIET = -1,
    RC_BAD_START_DIR = -2,
    RC_PASSWORD = -3,
    RC_OPEN = -4,
    RC_WRITE = -5,
    RC_READ = -6,
    RC_LIST_QUIET = -7,
    RC_NO_FILES = -8,
    RC_ATTR = -10,
    RC_MKDIR = -11,
    RC_OUT_OPEN = -12,
    RC_OUT_WRITE = -13,
    RC_LINKED = -14,
    RC_CHDIR = -15,
    RC_SEARCH = -16,
    RC_DIR_STAT = -17,
    RC_HEADER_LONG = -18,
    RC_CANCEL = -19,
    RC_CONFLICT = -20,
    RC_EXPAND = -21,
    RC_FIND_NEXT = -22,
    RC_BAD_JOBS = -23,        // a -j value that is missing, not a number, or out of range
    RC_NOT_MATCHED = -24,     // a file argument of -u or -l chose no entry
    RC_DIFFERS = -25,         // --compare: an entry differs from the file on disk
};
