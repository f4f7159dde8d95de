// The message catalogue: every diagnostic and informational text by number.
//
// Numbers below 500 are errors and warnings (standard error), 500 and above
// informational texts (standard output).  While the quiet switch is on,
// show_message writes nothing at all.
#pragma once

#include <cstdint>
#include <string>

// Messages added beside the original catalogue.
enum : int32_t {
    MSG_CORRUPT_DATA = 45,   // "Corrupt compressed data in %s\n"
    MSG_UNSAFE_PATH = 46,    // "Unsafe path %s restored as %s\n"
    MSG_NAME_TOO_LONG = 47,  // "Name too long, skipping %s\n"
    MSG_BAD_VALUE = 48,      // refusal of a command-line value that does not fit its field
    MSG_NOT_MATCHED = 55,    // "Nothing in the archive matches %s\n"
    MSG_USAGE_DETAIL = 521,  // the usage line of -v
};

// Catalogue messages of restoring, by name.
enum : int32_t {
    MSG_READ_ERROR = 15,             // "Error reading from %s\n"
    MSG_CANNOT_CREATE = 16,          // "Could not create %s\n"
    MSG_CANNOT_OPEN_OUTPUT = 17,     // "Error creating or opening %s\n"
    MSG_WRITE_ERROR = 18,            // "Error writing to file %s\n"
    MSG_CANNOT_DELETE = 19,          // "Unable to delete file %s\n"
    MSG_CANNOT_SET_ATTRIBUTES = 36,  // "Unable to set attributes for file %s\n"
    MSG_CANNOT_SET_TIME = 37,        // "Unable to change time for file %s\n"
    MSG_CANNOT_SET_MODE = 38,        // "Unable to change protections for file %s\n"
    MSG_DIR_EXISTS = 518,            // "%s directory is already created \n"
};

// The process-wide quiet switch; begin_operation sets it from OPT_QUIET.
extern int quiet_switch;

// A value for one placeholder: a text for %s, a number for %d.
struct MsgArg {
    const char* text;
    long number;
    MsgArg() : text(nullptr), number(0) {}
    MsgArg(const char* t) : text(t), number(0) {}  // NOLINT: implicit on purpose
    MsgArg(int n) : text(nullptr), number(n) {}    // NOLINT
    MsgArg(long n) : text(nullptr), number(n) {}   // NOLINT
};

// Formats message `number` with its arguments and writes it whole (never cut,
// whatever its length) to standard error when to_stderr is nonzero, else to
// standard output.  A number without a text writes nothing.  Substituted
// texts are printed literally ('%' inside a file name stays as it is).
// Standard output is not flushed.
void show_message(int32_t number, MsgArg arg1, MsgArg arg2, MsgArg arg3, int to_stderr);

// Shorthands: errors to standard error, informational texts to standard
// output, as the catalogue assigns them.
void show_error(int32_t number, MsgArg arg1 = MsgArg(), MsgArg arg2 = MsgArg());
void show_info(int32_t number, MsgArg arg1 = MsgArg(), MsgArg arg2 = MsgArg());

// Message `number` formatted with its arguments ("" for a number without a
// text), whatever the quiet switch.
std::string format_catalogue(int32_t number, MsgArg arg1 = MsgArg(), MsgArg arg2 = MsgArg());

// The catalogue text of a number, or nullptr.
const char* message_text(int32_t number);
