// Noticing two entries of one storing run that unpacking would restore to
// the same path.
#pragma once

// Notes that an entry is stored under the name stored, from source (the
// path it was found by, unstripped).  When an entry of this run already
// resolves to the same path (as unpacking resolves stored names; letter
// case aside where file names ignore it), MSG_STORED_TWICE names the stored
// name and source.  Closing records are not noted.  The run goes on either
// way.
void note_stored_name(const char* stored, const char* source);
