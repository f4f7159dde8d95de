// Test support shared by every test: fresh scratch directories, small file
// helpers, and running the built kelparc with both streams captured.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace th {

// A fresh, empty directory under the build tree, removed when the object
// goes away (kept when KELPARC_KEEP_TMP is set in the environment).
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    // path() + "/" + rel
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

// Writes bytes to path, creating parent directories.
void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
bool exists(const std::string& path);
void make_dirs(const std::string& path);
// Deterministic bytes: text-like (kind 't'), zeros ('z'), random ('r').
std::string make_bytes(size_t n, char kind, uint32_t seed = 1);
// Removes a tree (chmod'ing it writable first).
void remove_tree(const std::string& path);

struct RunOptions {
    std::string cwd;              // working directory of the child ("" = inherit)
    std::string stdin_data;       // fed to standard input (then closed)
    bool stdin_null = false;      // stdin from /dev/null instead
    int timeout_s = 60;           // killed with SIGKILL after this
    int64_t fsize_limit = -1;     // RLIMIT_FSIZE in bytes, SIGXFSZ ignored
    bool as_nobody = false;       // drop to uid/gid 65534 first (when root)
    std::vector<std::string> env; // extra NAME=VALUE entries
    // Standard output of the child: a file opened for writing (for example
    // /dev/full) instead of the captured pipe; or closed (">&-"); or a pipe
    // whose reader has gone before the child starts.
    std::string stdout_path;
    bool close_stdout = false;
    bool stdout_reader_gone = false;
    bool close_stderr = false;    // "2>&-"
};

struct RunResult {
    int status = -1;        // exit status as the shell sees it (0..255), -1 if signalled
    int signal = 0;         // terminating signal, 0 if none
    bool timed_out = false;
    // Standard output and error as the program meant them: for the Windows
    // build the console's "\r\n" line ends are read back as "\n", and a
    // line end without its "\r" shows as "<LF without CR>" so that it fails
    // any comparison.  raw_out and raw_err hold the bytes as they came.
    std::string out;
    std::string err;
    std::string raw_out;
    std::string raw_err;
};

// Runs program with args (argv[0] is program).
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& opt = RunOptions());

// Runs the program under test: the built kelparc, or the program named by
// KELPARC_PROGRAM in the environment, started through KELPARC_RUNNER when
// that is set (the Wine loader, for kelparc.exe).
RunResult run_kelparc(const std::vector<std::string>& args, const RunOptions& opt = RunOptions());

// Runs the Linux build of kelparc, whatever the program under test (for
// archives that cross between the two).
RunResult run_host_kelparc(const std::vector<std::string>& args, const RunOptions& opt = RunOptions());

// True when the program under test is the Windows build (a .exe, run under
// Wine): expectations that differ by platform are stated for each.
bool windows_target();

// What the program's console stream carries for text it writes: on Windows
// the runtime's text mode writes each "\n" as "\r\n".
std::string console(const std::string& text);

// An absolute path (with '/') as the program under test names it, in its
// arguments and in the full paths of its messages: Windows under Wine has
// "Z:\..." with backslashes (a leading '/' would introduce an option).
std::string native_path(const std::string& path);

// The path the program makes for an unpacked entry and names in its
// messages: its target directory in full (as native_path) joined to the
// stored name with '/', on both systems.
std::string output_path(const std::string& target_dir, const std::string& stored);

// The permission bits a restored file or directory shows.  Linux restores
// the stored ones; Windows keeps only read-only (the write bit), so Wine
// shows what it gives any new file or directory under umask 022, without
// its write bits when read-only.
unsigned restored_perms(bool is_dir, unsigned stored_perms);

// Exit status as the shell sees a negative result code.
inline int status_of(int code) { return code & 0xFF; }

// Runs a shell command line; returns its exit status (for tools such as
// gzip and compress used as oracles).
int shell(const std::string& command);

// True when the process runs as root.
bool running_as_root();

// The environment entries that load the fault sweep's preload library
// (tests/tools/fault_inject.cpp) into a Linux program run with RunOptions;
// the library's own variables are added by the caller.
std::vector<std::string> fault_library_env();

// Path of the program under test, and of the prompt and seam probes built
// for the same system (KELPARC_PROMPT_PROBE and KELPARC_SEAM_PROBE in the
// environment, else the host's).
std::string kelparc_path();
std::string prompt_probe_path();
std::string seam_probe_path();

// Runs kelparc on a pseudo-terminal: `keys` are written to the terminal one
// by one (with a short pause each) after the prompt text appears or the
// delay passes; returns everything the terminal showed and the exit status.
struct PtyResult {
    int status = -1;
    int signal = 0;
    bool timed_out = false;
    // Everything written to the terminal.  Under Wine the console redraws
    // each character between cursor and erase sequences: screen holds the
    // text with those sequences taken out (a cursor step forward is the
    // blank it skips); raw_screen holds the bytes as they came.
    std::string screen;
    std::string raw_screen;
};
PtyResult run_in_pty(const std::vector<std::string>& args, const std::string& cwd,
                     const std::vector<std::string>& keys, int timeout_s = 20);
// The same for any program (argv[0] is program).  The first key is written
// a short pause after the prompt text appears, so it reaches a terminal the
// program has already switched to raw mode.
PtyResult run_in_pty(const std::string& program, const std::vector<std::string>& args,
                     const std::string& cwd, const std::vector<std::string>& keys, int timeout_s = 20);

}  // namespace th

// Skips the current test when the program under test runs under Wine, where
// the mechanism the test needs does not exist; the reason is printed.
#define SKIP_UNDER_WINE(reason)                                                     \
    do {                                                                            \
        if (th::windows_target()) GTEST_SKIP() << "not under Wine: " << (reason);   \
    } while (0)
