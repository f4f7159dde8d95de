// The message catalogue and show_message.
#include "base/messages.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "base/progress.h"
#include "platform/platform.h"

int quiet_switch = 0;

namespace {

struct CatalogueEntry {
    int32_t number;
    const char* text;
};

// The texts are part of the program's interface: scripts match them to the
// byte.  Numbers 10 and 504 have no text.
const CatalogueEntry catalogue[] = {
    {1, "Zip filename missing, nothing to uncompress.\n"},
    {2, "Could not open %s\n"},
    {3, "Zip filename missing, nothing to list.\n"},
    {4, "Zip filename missing, nothing to compress to.\n"},
    {5, "Could not stat %s\n"},
    {6, "Warning your zip file is empty.\n"},
    {7, "Zip filename missing, nothing to append to.\n"},
    {8, "Invalid path specified with -c option, %s.\n"},
    {9, "Invalid option %s ignored.\n"},
    {11, "Conflicting options specified for operation.\n"},
    {12, "Using -l option only.\n"},
    {13, "No files specified or zip filename missing.\n"},
    {14, "Error reading extended attributes.\n"},
    {15, "Error reading from %s\n"},
    {16, "Could not create %s\n"},
    {17, "Error creating or opening %s\n"},
    {18, "Error writing to file %s\n"},
    {19, "Unable to delete file %s\n"},
    {20, "Error reading linked header data.\n"},
    {21, "Cannot change to directory %s\n"},
    {22, "Could not stat directory %s\n"},
    {23, "Error searching directory.\n"},
    {24, "Bad stat of file %s! \n"},
    {25, "Cannot overwrite current zip file %s.\n"},
    {26, "Use the -w option to overwrite an existing zip file.\n"},
    {27, "Error in size of buffer header, size = %s \n"},
    {28, "Could not open source file %s\n"},
    {29, "Could not read source file %s\n"},
    {30, "Bad file format for %s\n"},
    {31, "Bad header length, length = %s\n"},
    {32, "Incorrect password supplied.\n"},
    {33, "Zip file does not exist %s.\n"},
    {34, "Do not use the -a option to write to new zip file.\n"},
    {35, "Fatal Error Bad arguments!\n"},
    {36, "Unable to set attributes for file %s\n"},
    {37, "Unable to change time for file %s\n"},
    {38, "Unable to change protections for file %s\n"},
    {39, "Bad file list argument - %s\n"},
    {40, "Invalid file list requested, no files found.\n"},
    {41, "Memory allocation error!\n"},
    {42, "Bad file list selected - %s \n"},
    {43, "Internal error with Find Next %d\n"},
    {44, "During wild card expansion, could not access path:\n    %s\n"},
    {45, "Corrupt compressed data in %s\n"},
    {46, "Unsafe path %s restored as %s\n"},
    {47, "Name too long, skipping %s\n"},
    {48, "Argument too long: %s\n"},
    {49, "The archive %s is also one of the files to store\n"},
    {50, "Name cannot be stored, skipping %s\n"},
    {51, "Error writing to standard output\n"},
    {52, "Cannot read directory %s\n"},
    {53, "File changed while it was stored: %s\n"},
    {54, "Invalid value for -j: %s\n"},
    {55, "Nothing in the archive matches %s\n"},
    {56, "Size of %s differs from its record: %s bytes restored, %s recorded\n"},
    {57, "Checksum mismatch in %s\n"},
    {58, "Cannot make a temporary file beside %s\n"},
    {59, "The archive %s is in use by another run\n"},
    {60, "Not restoring %s: a symbolic link leads out of the target\n"},
    {61, "Cannot read the path of directory %s\n"},
    {62, "Invalid option \"%s\" ignored.\n"},
    {63, "Stored twice as %s: %s\n"},
    {64, "Cannot read the file list %s\n"},
    {500, "Uncompressing %s ...\n"},
    {501, "Listing %s ...\n"},
    {502, "\nOstvale KELPARC Version %s.%s\n\n"},
    {503, " Usage:  %s [options] [files] zipfile\n"},
    {505, " %s supports the following options: \n"},
    {506, "   -a       : Append to a zip file\n"},
    {507, "   -c<path> : Use the path as the point to begin searching for files\n"},
    {508, "   -l       : List contents of a zip file\n"},
    {509, "   -o       : (UNIX only) Restore original uid and gid\n"},
    {510, "   -p[pw]   : Specifies password to lock or unlock zip file\n"},
    {511, "   -q       : Quiet mode\n"},
    {512, "   -r       : Recursively backup of directories\n"},
    {513, "   -s       : On uncompress, skip files that have same time and size\n"},
    {514, "   -t[hs]   : Compress [h]idden or [s]ystem files\n"},
    {515, "   -u       : Unzip an archive\n"},
    {516, "   -w       : Overwrite existing zip file\n"},
    {517, "Skipping %s\n"},
    {518, "%s directory is already created \n"},
    {519, "Enter password:  "},
    {520, "   -j<n>    : Use n threads (default: one per processor)\n"},
    {521, "   -v       : With -l, list sizes, dates and attributes\n"},
    {522, "Testing %s ...\n"},
    {523, "Tested %s entries: %s damaged, %s checked against a checksum\n"},
    {524, "%s differs: %s\n"},
    {525, "Compared %s entries: %s differ, %s damaged\n"},
    {527, "   --checksum          : Store a checksum of each file after it\n"},
    {528, "   --test              : Test an archive: check every entry, write nothing\n"},
    {529, "   --compare           : Compare an archive with the files on disk\n"},
    {530, "   --keep-going        : Leave out what cannot be stored and go on\n"},
    {531, "   --exclude=<pat>     : Leave out names that match the pattern\n"},
    {532, "   --files-from=<file> : Read more file names from a file (- for standard input)\n"},
    {533, "   --to-stdout         : With -u, write the contents to standard output\n"},
    {534, "   --progress          : Show progress also when not on a terminal\n"},
    {535, "   --no-progress       : Never show progress\n"},
};

// Expands %s and %d of text with the arguments in order.  Substituted texts
// are shown as printable names and never interpreted, so a '%' inside a
// file name stays as it is.
std::string format_message(const char* text, const MsgArg* args, int n_args) {
    std::string out;
    int next = 0;
    for (const char* p = text; *p; ++p) {
        if (p[0] != '%' || (p[1] != 's' && p[1] != 'd')) {
            out += *p;
            continue;
        }
        MsgArg a = next < n_args ? args[next] : MsgArg();
        ++next;
        if (p[1] == 's') {
            out += a.text ? printable_name(a.text) : "(null)";
        } else {
            out += std::to_string(a.number);
        }
        ++p;
    }
    return out;
}

// Set by the first failed write or flush of standard output.
bool stdout_broken = false;

// Where the texts meant for standard output go: standard error once
// standard output carries an archive or entry contents.
bool texts_to_stderr = false;

std::FILE* text_out() { return texts_to_stderr ? stderr : stdout; }

// Called right after the failed write or flush.  A reader that has gone
// (a closed pipe) is no error to report: the run only stops.
void note_stdout_failure() {
    if (stdout_broken) return;
    stdout_broken = true;
    if (!plat::stdout_pipe_closed()) show_error(MSG_STDOUT_WRITE);
}

}  // namespace

std::string printable_name(const char* name) {
    std::string out;
    for (const char* p = name; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c != 0x7F) {
            out += *p;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            char code[8];
            std::snprintf(code, sizeof code, "\\%03o", c);
            out += code;
        }
    }
    return out;
}

const char* message_text(int32_t number) {
    for (const auto& e : catalogue) {
        if (e.number == number) return e.text;
    }
    return nullptr;
}

std::string format_catalogue(int32_t number, MsgArg arg1, MsgArg arg2) {
    const char* text = message_text(number);
    const MsgArg args[2] = {arg1, arg2};
    return text == nullptr ? std::string() : format_message(text, args, 2);
}

void show_message(int32_t number, MsgArg arg1, MsgArg arg2, MsgArg arg3, int to_stderr) {
    if (quiet_switch) return;
    const char* text = message_text(number);
    if (text == nullptr) return;
    const MsgArg args[3] = {arg1, arg2, arg3};
    std::string s = format_message(text, args, 3);
    progress_clear();
    if (to_stderr) plat::write_text(stderr, s.data(), s.size());
    else stdout_write(s.data(), s.size());
}

void show_error(int32_t number, MsgArg arg1, MsgArg arg2) { show_message(number, arg1, arg2, MsgArg(), 1); }

void show_info(int32_t number, MsgArg arg1, MsgArg arg2) { show_message(number, arg1, arg2, MsgArg(), 0); }

void stdout_write(const char* data, size_t len) {
    if (stdout_broken || len == 0) return;
    progress_clear();
    if (plat::write_text(text_out(), data, len) != len) note_stdout_failure();
}

void stdout_to_stderr() { texts_to_stderr = true; }

void stdout_printf(const char* format, ...) {
    if (stdout_broken) return;
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    int len = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (len > 0) {
        std::string text(static_cast<size_t>(len) + 1, '\0');
        std::vsnprintf(&text[0], text.size(), format, again);
        stdout_write(text.data(), static_cast<size_t>(len));
    }
    va_end(again);
}

bool stdout_flush() {
    if (!stdout_broken && std::fflush(text_out()) != 0) note_stdout_failure();
    return !stdout_broken;
}

bool stdout_failed() { return stdout_broken; }
