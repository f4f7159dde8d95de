// The message catalogue: every diagnostic and informational text by number,
// and the checked standard output channel.
//
// Numbers below 500 are errors and warnings (standard error), 500 and above
// informational texts (standard output).  While the quiet switch is on,
// show_message writes nothing at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Errors and warnings of the original catalogue (standard error).  10 has
// no text.
enum : int32_t {
    MSG_NO_ARCHIVE_UNCOMPRESS = 1,  // "Zip filename missing, nothing to uncompress.\n"
    MSG_CANNOT_OPEN = 2,            // "Could not open %s\n"
    MSG_NO_ARCHIVE_LIST = 3,        // "Zip filename missing, nothing to list.\n"
    MSG_NO_ARCHIVE_COMPRESS = 4,    // "Zip filename missing, nothing to compress to.\n"
    MSG_CANNOT_STAT = 5,            // "Could not stat %s\n"
    MSG_ARCHIVE_EMPTY = 6,          // "Warning your zip file is empty.\n"
    MSG_NO_ARCHIVE_APPEND = 7,      // "Zip filename missing, nothing to append to.\n"
    MSG_BAD_START_DIR = 8,          // "Invalid path specified with -c option, %s.\n"
    MSG_BAD_OPTION = 9,             // "Invalid option %s ignored.\n"
    MSG_CONFLICT = 11,              // "Conflicting options specified for operation.\n"
    MSG_LIST_ONLY = 12,             // "Using -l option only.\n"
    MSG_NO_FILES = 13,              // "No files specified or zip filename missing.\n"
    MSG_ATTR_READ = 14,             // "Error reading extended attributes.\n"
    MSG_READ_ERROR = 15,            // "Error reading from %s\n"
    MSG_CANNOT_CREATE = 16,         // "Could not create %s\n"
    MSG_CANNOT_OPEN_OUTPUT = 17,    // "Error creating or opening %s\n"
    MSG_WRITE_ERROR = 18,           // "Error writing to file %s\n"
    MSG_CANNOT_DELETE = 19,         // "Unable to delete file %s\n"
    MSG_LINKED_HEADER = 20,         // "Error reading linked header data.\n"
    MSG_CHDIR = 21,                 // "Cannot change to directory %s\n"
    MSG_DIR_STAT = 22,              // "Could not stat directory %s\n"
    MSG_SEARCH = 23,                // "Error searching directory.\n"
    MSG_BAD_STAT = 24,              // "Bad stat of file %s! \n"
    MSG_ARCHIVE_EXISTS = 25,        // "Cannot overwrite current zip file %s.\n"
    MSG_USE_OVERWRITE = 26,         // "Use the -w option to overwrite an existing zip file.\n"
    MSG_HEADER_SIZE = 27,           // "Error in size of buffer header, size = %s \n"
    MSG_SOURCE_OPEN = 28,           // "Could not open source file %s\n"
    MSG_SOURCE_READ = 29,           // "Could not read source file %s\n"
    MSG_BAD_FORMAT = 30,            // "Bad file format for %s\n"
    MSG_BAD_HEADER_LEN = 31,        // "Bad header length, length = %s\n"
    MSG_WRONG_PASSWORD = 32,        // "Incorrect password supplied.\n"
    MSG_ARCHIVE_MISSING = 33,       // "Zip file does not exist %s.\n"
    MSG_APPEND_TO_NEW = 34,         // "Do not use the -a option to write to new zip file.\n"
    MSG_BAD_ARGUMENTS = 35,         // "Fatal Error Bad arguments!\n"
    MSG_CANNOT_SET_ATTRIBUTES = 36,  // "Unable to set attributes for file %s\n"
    MSG_CANNOT_SET_TIME = 37,       // "Unable to change time for file %s\n"
    MSG_CANNOT_SET_MODE = 38,       // "Unable to change protections for file %s\n"
    MSG_BAD_FILE_ARG = 39,          // "Bad file list argument - %s\n"
    MSG_NO_FILES_FOUND = 40,        // "Invalid file list requested, no files found.\n"
    MSG_NO_MEMORY = 41,             // "Memory allocation error!\n"
    MSG_BAD_FILE_LIST = 42,         // "Bad file list selected - %s \n"
    MSG_FIND_NEXT = 43,             // "Internal error with Find Next %d\n"
    MSG_WILDCARD_ACCESS = 44,       // "During wild card expansion, could not access path:\n    %s\n"
};

// Informational texts (standard output).  504 has no text; 506 to 516 are
// the usage lines of the options.
enum : int32_t {
    MSG_UNCOMPRESSING = 500,   // "Uncompressing %s ...\n"
    MSG_LISTING = 501,         // "Listing %s ...\n"
    MSG_BANNER = 502,          // "\nOstvale KELPARC Version %s.%s\n\n"
    MSG_USAGE = 503,           // " Usage:  %s [options] [files] zipfile\n"
    MSG_USAGE_OPTIONS = 505,   // " %s supports the following options: \n"
    MSG_USAGE_A = 506,         // the -a line
    MSG_USAGE_C = 507,         // the -c<path> line
    MSG_USAGE_L = 508,         // the -l line
    MSG_USAGE_O = 509,         // the -o line
    MSG_USAGE_P = 510,         // the -p[pw] line
    MSG_USAGE_Q = 511,         // the -q line
    MSG_USAGE_R = 512,         // the -r line
    MSG_USAGE_S = 513,         // the -s line
    MSG_USAGE_T = 514,         // the -t[hs] line
    MSG_USAGE_U = 515,         // the -u line
    MSG_USAGE_W = 516,         // the -w line
    MSG_SKIPPING = 517,        // "Skipping %s\n"
    MSG_DIR_EXISTS = 518,      // "%s directory is already created \n"
    MSG_PASSWORD_PROMPT = 519,  // "Enter password:  "
};

// Messages added beside the original catalogue.
enum : int32_t {
    MSG_CORRUPT_DATA = 45,   // "Corrupt compressed data in %s\n"
    MSG_UNSAFE_PATH = 46,    // "Unsafe path %s restored as %s\n"
    MSG_NAME_TOO_LONG = 47,  // "Name too long, skipping %s\n"
    MSG_BAD_VALUE = 48,      // refusal of a command-line value that does not fit its field
    MSG_ARCHIVE_IS_INPUT = 49,  // "The archive %s is also one of the files to store\n"
    MSG_NAME_NOT_STORABLE = 50,  // "Name cannot be stored, skipping %s\n"
    MSG_STDOUT_WRITE = 51,   // "Error writing to standard output\n"
    MSG_DIR_UNREADABLE = 52,     // "Cannot read directory %s\n"
    MSG_FILE_CHANGED = 53,       // "File changed while it was stored: %s\n"
    MSG_BAD_JOBS = 54,       // "Invalid value for -j: %s\n"
    MSG_NOT_MATCHED = 55,    // "Nothing in the archive matches %s\n"
    MSG_SIZE_DIFFERS = 56,   // "Size of %s differs from its record: %s bytes restored, %s recorded\n"
    MSG_CHECKSUM_MISMATCH = 57,  // "Checksum mismatch in %s\n"
    MSG_NO_TEMP_FILE = 58,   // "Cannot make a temporary file beside %s\n"
    MSG_ARCHIVE_BUSY = 59,   // "The archive %s is in use by another run\n"
    MSG_LINK_LEADS_OUT = 60,  // "Not restoring %s: a symbolic link leads out of the target\n"
    MSG_DIR_PATH_UNREADABLE = 61,  // "Cannot read the path of directory %s\n"
    MSG_BAD_LONG_OPTION = 62,  // "Invalid option \"%s\" ignored.\n" (a --word, given whole)
    MSG_STORED_TWICE = 63,     // "Stored twice as %s: %s\n" (stored name, then the second source)
    MSG_FILE_LIST_UNREADABLE = 64,  // "Cannot read the file list %s\n"
    MSG_USAGE_JOBS = 520,    // the usage line of -j
    MSG_USAGE_DETAIL = 521,  // the usage line of -v
    MSG_TESTING = 522,       // "Testing %s ...\n"
    MSG_TESTED = 523,        // "Tested %s entries: %s damaged, %s checked against a checksum\n"
    MSG_DIFFERS = 524,       // "%s differs: %s\n"
    MSG_COMPARED = 525,      // "Compared %s entries: %s differ, %s damaged\n"
    // The usage lines of the long options, in the order the usage shows them.
    MSG_USAGE_CHECKSUM = 527,
    MSG_USAGE_TEST = 528,
    MSG_USAGE_COMPARE = 529,
    MSG_USAGE_KEEP_GOING = 530,
    MSG_USAGE_EXCLUDE = 531,
    MSG_USAGE_FILES_FROM = 532,
    MSG_USAGE_TO_STDOUT = 533,
    MSG_USAGE_PROGRESS = 534,
    MSG_USAGE_NO_PROGRESS = 535,
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

// name as it is shown to the user: "\n", "\t" and "\r" for those bytes,
// "\ooo" (three octal digits) for every other byte below 0x20 and for 0x7F,
// every other byte as it is ('\' included).  show_message shows every %s
// argument this way; whatever prints a name directly uses it too, so no
// name can move the cursor, split a line or reach the terminal as a
// control sequence.
std::string printable_name(const char* name);

// The catalogue text of a number, or nullptr.
const char* message_text(int32_t number);

// ---- standard output --------------------------------------------------------
//
// Every byte the program prints on standard output goes through these calls:
// show_message for numbers 500 and above, the names printed while storing
// and unpacking, the listing, the offset line, the password prompt.  Each
// write and each flush is checked.  The first failure (a full disk, a pipe
// whose reader has gone) prints message 51 on standard error and sets a
// failure that stays for the rest of the run: stdout_failed() then answers
// true and later writes are dropped.  The operations test stdout_failed() at
// their safe points (after each printed name, before a new archive is
// renamed into place) and stop with RC_OUT_WRITE; main flushes once more at
// the end.

// Writes len bytes as they are.
void stdout_write(const char* data, size_t len);

// Writes the text of a printf format ("%s/%s\n" and the like).
void stdout_printf(const char* format, ...);

// Flushes standard output.  Returns true, or false when this or an earlier
// write failed.
bool stdout_flush();

// True once a write or flush of standard output has failed.
bool stdout_failed();

// From now on the calls above write to standard error: standard output
// carries the archive (or, with --to-stdout, the entries' contents).
void stdout_to_stderr();
