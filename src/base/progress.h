// The progress line of long runs, on standard error.
//
// On a terminal (unless -q or --no-progress) one line, shown once the run
// has lasted a second and redrawn at most ten times a second; it is erased
// before any other output and at the end.  With --progress and standard
// error not a terminal, a plain line every second instead.  Otherwise
// nothing at all.  The line reads, for example,
//   "kelparc: 12 entries, 3.4 MB read, 1.2 MB/s, 40%"
// (entries met, archive bytes read or written, the average rate since the
// clock started, and when reading an archive of known size the share read).
//
// Only the main thread calls these; every hook is cheap when nothing is
// shown.
#pragma once

#include <cstdint>
#include <string>

// Chooses how the line is shown (setting: RunConfig::progress, quiet: -q)
// and starts the clock.  reading: the run reads an archive.
void progress_begin(int8_t setting, bool quiet, bool reading);

// Starts the clock again (after a password prompt).
void progress_restart();

// The size of the archive being read, or -1 when unknown (a pipe).
void progress_set_total(int64_t archive_size);

// One more entry met (a file or a directory; closing records do not count).
void progress_entry();

// n more archive bytes written or read.
void progress_bytes(uint64_t n);

// Erases the line if it is shown; called before anything else is written.
void progress_clear();

// Erases the line for good: nothing more is shown in this run.
void progress_end();

// The line's text for these figures (seconds: the time since the clock
// started; total -1 when unknown or not reading).
std::string progress_text(int64_t entries, uint64_t bytes, double seconds, bool reading, int64_t total);
