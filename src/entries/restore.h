// Restoring one archive entry to disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/dir_record.h"
#include "base/context.h"
#include "platform/platform.h"

// A directory the unpack walk created or found, waiting for its closing
// record: its times come from that record, its mode and attributes from the
// opening one (applied once its contents are written, so that writing them
// neither changes the times nor is stopped by the mode).
struct OpenDir {
    std::string name;  // stored name, which the closing record repeats
    std::string rel;   // its resolved name below the walk's directory
    uint16_t mode;
    int32_t attr_len;
    unsigned char attr[2];
};

// The directories opened and not yet closed, outermost first, and what the
// unpack walk must end with.  Owned by the unpack walk; only the chain of
// the current entry's ancestors is kept.
struct OpenDirs {
    std::vector<OpenDir> chain;
    // The result of the first entry left out while the walk went on, or 0:
    // RC_OUT_OPEN for one left out for a link leading out (restore_entry),
    // RC_READ for a damaged one (the unpack walk).
    int32_t first_failure = 0;
    // The directory of the last file's place, where the next one likely goes.
    plat::PlaceCache places;
    // A file's decoded chunks gathered for one write.
    std::vector<unsigned char> gathered;
};

// Writes entry at its resolved output path under entry->dir, consuming its
// chunks and linked headers from the archive; missing parent directories
// are made on the way.  With ctx->to_stdout the entry goes to stream_entry
// instead.  There is no writing in place: a file is written to a temporary
// file beside its output path and renamed over it once whole and once the
// checks of integrity.h passed.  Where no temporary file can be made beside
// it nothing is written (MSG_NO_TEMP_FILE, RC_OUT_OPEN).  A failure up to
// the rename (its own included) deletes the temporary file, so an existing
// file stays as it was; so does one that cannot be replaced (the archive
// being read, a directory, a FIFO, a device, a file this user may not
// write: MSG_CANNOT_OPEN_OUTPUT, RC_OUT_OPEN).  Once renamed the file
// stays: properties that cannot be set give only their messages
// (MSG_CANNOT_SET_ATTRIBUTES, MSG_CANNOT_SET_TIME, MSG_CANNOT_SET_MODE),
// and a size other than its record's gives RC_DAMAGED as below.  A symbolic
// link under entry->dir is followed only when it leads to a place beneath
// it; otherwise the entry is left out with MSG_LINK_LEADS_OUT, its data
// passed over, open_dirs->first_failure set, and the result is RC_OK.  A
// directory's opening record is noted in open_dirs and its closing record
// applies the noted properties.  Returns RC_OK; RC_DAMAGED after the damage
// messages when the entry's data is damaged but the next entry can be read
// (nothing of it kept), or when a file was restored with another size than
// its record's and no checksum vouched for it; or RC_READ, RC_MKDIR,
// RC_OUT_OPEN, RC_OUT_WRITE, RC_LINKED after their messages.
int32_t restore_entry(unsigned char* buffer, dir_entry* entry, OpContext* ctx, OpenDirs* open_dirs);

// Resolves a stored name under dir lexically into out (cap bytes): both
// separators, empty and "." components dropped, ".." removes the component
// before it, a ".." that would climb above dir is dropped, and what the
// system would take for a place of its own (a drive, a UNC or device prefix,
// a stream, a device name) is dropped or renamed as the platform says.
// *climbed is set when anything was dropped or renamed; resolved (optional,
// cap bytes) receives the name relative to dir.  Returns false when the
// result does not fit.
bool resolve_output_path(const char* dir, const char* name, char* out, int cap, char* resolved,
                         bool* climbed);
