// The stored name of an entry: the one rule by which a name on disk becomes
// the name in its directory record (and the name printed while storing).
#pragma once

#include <string>

// What a directory record stands for.  A directory is stored as two
// records, one before its contents and one after them.
enum class RecordKind { file, dir_open, dir_close };

// The part of path kept under the strip switch: what follows its last '\'
// or '/', searched from the last character back to the second, so that a
// leading separator alone keeps the whole path ("/x" stays "/x").
const char* stripped_name(const char* path);

// The stored name: name (its stripped part under strip), and for a file
// with a dir_part, dir_part "/" that.  A directory record's name never
// takes a dir_part: the walk hands it the directory's whole stored path.
std::string stored_name(RecordKind kind, const char* name, const char* dir_part, int strip);
