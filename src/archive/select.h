// Choosing archive entries by the file arguments of -u and -l.
//
// An argument chooses an entry when the entry's stored name has at least as
// many components as the argument and each of the argument's components
// matches the name's component at the same place: exactly, or as a pattern
// where '*' stands for any run of characters and '?' for one character
// (neither ever matches a separator).  So an argument naming a directory
// chooses everything stored under it.  Both separators are alike; empty
// and "." components (leading separators, "./", a trailing separator) are
// ignored on both sides.  Letter case counts unless the platform's names
// ignore it.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

using NameParts = std::vector<std::string>;

// The arguments without a pattern that name the same entry, by that
// entry's components joined with '/' (ASCII letters folded when case is
// ignored), so that an entry is looked up once per component however many
// names were given.
struct ExactNames {
    std::vector<size_t> args;
    bool marked;
};

struct Selection {
    std::vector<std::string> typed;  // the arguments as given
    std::vector<NameParts> wanted;   // their components
    std::vector<uint8_t> matched;    // per argument: it chose an entry
    bool ignore_case;
    // Filled when the first name is chosen.
    bool indexed;
    std::unordered_map<std::string, ExactNames> exact;
    std::vector<size_t> patterned;   // the other arguments, tried one by one
};

// Fills sel from count arguments; with none, every entry is chosen.
void selection_init(Selection* sel, int32_t count, char* const* args);

// True when sel has arguments (and so chooses entries).
bool selection_active(const Selection* sel);

// True when name is chosen (always, without arguments) and not excluded.
// Marks every argument that chooses it; an excluded name marks none.
bool selection_choose(Selection* sel, const char* name);

// True when entries are chosen or left out at all: there are arguments or
// exclusions.
bool selection_filters(const Selection* sel);

// --exclude: names left out of storing and reading, for the whole run.  A
// pattern without a separator excludes a name when any one component of it
// matches; a pattern with one when the name's components lead with the
// pattern's (the whole name, or a directory and everything under it).
// Matching is that of the file arguments.  Patterns with no component
// exclude nothing.  The texts are copied.
void exclusions_set(int32_t count, const char* const* patterns);

// True when a stored name (or the name something would be stored under) is
// excluded.
bool name_excluded(const char* name);

// The components of a stored name or an argument.
NameParts name_parts(const char* name);

// True when a stored directory whose components are dir holds the entry
// whose components are name (lies somewhere under it).
bool lies_under(const NameParts& dir, const NameParts& name, bool ignore_case);

// True when both name the same entry.
bool same_name(const NameParts& a, const NameParts& b, bool ignore_case);

// MSG_NOT_MATCHED for every argument that chose nothing.  Returns RC_OK, or
// RC_NOT_MATCHED when there was one.
int32_t selection_report(const Selection* sel);
