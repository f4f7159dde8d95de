// Test support implementation: POSIX process control for the tests.
#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace th {

static std::atomic<unsigned> scratch_counter{0};

ScratchDir::ScratchDir() {
    std::string base = KELPARC_TEST_TMP;
    fs::create_directories(base);
    ::chmod(base.c_str(), 0777);
    for (;;) {
        path_ = base + "/t" + std::to_string(::getpid()) + "_" + std::to_string(scratch_counter++);
        if (::mkdir(path_.c_str(), 0777) == 0) break;
        if (errno != EEXIST) throw std::runtime_error("cannot create scratch dir " + path_);
    }
    ::chmod(path_.c_str(), 0777);
}

ScratchDir::~ScratchDir() {
    if (std::getenv("KELPARC_KEEP_TMP") == nullptr) remove_tree(path_);
}

void make_dirs(const std::string& path) { fs::create_directories(path); }

void write_file(const std::string& path, const std::string& bytes) {
    fs::path p(path);
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::string();
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::string make_bytes(size_t n, char kind, uint32_t seed) {
    std::string s(n, '\0');
    std::mt19937 rng(seed);
    static const char* words[] = {"the ",    "archive ", "chunk ", "of ",   "data\n", "int ",
                                  "return ", "static ",  "void ",  "kelp ", "{\n",    "}\n"};
    size_t i = 0;
    switch (kind) {
    case 'z': break;
    case 'r':
        for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
        break;
    default:
        while (i < n) {
            const char* w = words[rng() % 12];
            for (; *w && i < n; ++w) s[i++] = *w;
        }
    }
    return s;
}

void remove_tree(const std::string& path) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(path, ec))) return;
    for (auto it = fs::recursive_directory_iterator(path, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0777);
    }
    ::chmod(path.c_str(), 0777);
    fs::remove_all(path, ec);
}

bool running_as_root() { return ::geteuid() == 0; }

std::vector<std::string> fault_library_env() {
    // A sanitized program wants its runtime first; the library need not
    // come after it.
#ifdef FAULT_LIB
    return {"LD_PRELOAD=" FAULT_LIB, "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
#else
    return {};
#endif
}

static std::string env_or(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : fallback;
}

std::string kelparc_path() { return env_or("KELPARC_PROGRAM", KELPARC_BIN); }

std::string prompt_probe_path() { return env_or("KELPARC_PROMPT_PROBE", PROMPT_PROBE_BIN); }

std::string seam_probe_path() { return env_or("KELPARC_SEAM_PROBE", SEAM_PROBE_BIN); }

static std::string runner() { return env_or("KELPARC_RUNNER", ""); }

bool windows_target() {
    static const bool is_exe = [] {
        std::string p = kelparc_path();
        return p.size() > 4 && p.compare(p.size() - 4, 4, ".exe") == 0;
    }();
    return is_exe;
}

std::string console(const std::string& text) {
    if (!windows_target()) return text;
    std::string shown;
    for (char c : text) {
        if (c == '\n') shown += '\r';
        shown += c;
    }
    return shown;
}

std::string native_path(const std::string& path) {
    if (!windows_target()) return path;
    std::string shown = "Z:" + path;
    for (char& c : shown) {
        if (c == '/') c = '\\';
    }
    return shown;
}

std::string output_path(const std::string& target_dir, const std::string& stored) {
    return native_path(target_dir) + "/" + stored;
}

unsigned restored_perms(bool is_dir, unsigned stored_perms) {
    if (!windows_target()) return stored_perms & 07777;
    unsigned perms = is_dir ? 0755 : 0644;
    return (stored_perms & 0200) != 0 ? perms : perms & ~0222u;
}

// True for the programs built for the system under test.
static bool under_test(const std::string& program) {
    return program == kelparc_path() || program == prompt_probe_path() || program == seam_probe_path();
}

// Undoes the console's text mode, strictly: see RunResult.
static std::string from_console(const std::string& raw) {
    if (!windows_target()) return raw;
    std::string text;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
        if (raw[i] == '\n' && (i == 0 || raw[i - 1] != '\r')) text += "<LF without CR>";
        text += raw[i];
    }
    return text;
}

// The program and its arguments, behind the runner when there is one.
static std::vector<std::string> command_of(const std::string& program, const std::vector<std::string>& args,
                                           std::string* exec_path) {
    std::vector<std::string> cmd;
    std::string run_with = runner();
    if (!run_with.empty() && under_test(program)) {
        cmd.push_back(run_with);
        *exec_path = run_with;
    } else {
        *exec_path = program;
    }
    cmd.push_back(program);
    cmd.insert(cmd.end(), args.begin(), args.end());
    return cmd;
}

static void drain(int fd, std::string* into) {
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            into->append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
    }
}

// Changes to dir, one component at a time when the whole path is longer than
// the system accepts.
static int change_dir(const std::string& dir) {
    if (::chdir(dir.c_str()) == 0) return 0;
    if (errno != ENAMETOOLONG) return -1;
    if (dir[0] == '/' && ::chdir("/") != 0) return -1;
    size_t at = 0;
    while (at < dir.size()) {
        size_t end = dir.find('/', at);
        if (end == std::string::npos) end = dir.size();
        if (end > at && ::chdir(dir.substr(at, end - at).c_str()) != 0) return -1;
        at = end + 1;
    }
    return 0;
}

static void child_streams(const RunOptions& opt) {
    if (!opt.stdout_path.empty()) {
        int fd = ::open(opt.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (fd < 0 || ::dup2(fd, 1) < 0) _exit(125);
        ::close(fd);
    }
    if (opt.close_stdout) ::close(1);
    if (opt.close_stderr) ::close(2);
}

static void child_setup(const RunOptions& opt) {
    if (!opt.cwd.empty() && change_dir(opt.cwd) != 0) _exit(127);
    if (opt.fsize_limit >= 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl;
        rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(opt.fsize_limit);
        ::setrlimit(RLIMIT_FSIZE, &rl);
    }
    if (opt.as_nobody && ::geteuid() == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(126);
    }
    for (const auto& e : opt.env) ::putenv(const_cast<char*>(e.c_str()));
}

static RunResult run_once(const std::string& program, const std::vector<std::string>& args,
                          const RunOptions& opt) {
    RunResult r;
    int out_pipe[2], err_pipe[2], in_pipe[2];
    if (::pipe(out_pipe) || ::pipe(err_pipe) || ::pipe(in_pipe)) throw std::runtime_error("pipe");
    std::string exec_path;
    std::vector<std::string> cmd = command_of(program, args, &exec_path);
    std::vector<char*> argv;
    for (const auto& a : cmd) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (opt.stdout_reader_gone) {
        // Nobody reads, from before the child starts: its writes fail with a
        // broken pipe.  /dev/null stands in for the reader (end of file).
        int null_fd = ::open("/dev/null", O_RDONLY);
        ::dup2(null_fd, out_pipe[0]);
        ::close(null_fd);
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();  // no controlling terminal: the prompt falls back to stdin
        if (opt.stdin_null) {
            int fd = ::open("/dev/null", O_RDONLY);
            ::dup2(fd, 0);
        } else {
            ::dup2(in_pipe[0], 0);
        }
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        ::close(in_pipe[0]); ::close(in_pipe[1]);
        ::close(out_pipe[0]); ::close(out_pipe[1]);
        ::close(err_pipe[0]); ::close(err_pipe[1]);
        child_setup(opt);
        child_streams(opt);
        ::execv(exec_path.c_str(), argv.data());
        _exit(127);
    }
    ::close(in_pipe[0]);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    bool out_open = !opt.stdout_reader_gone, err_open = true;
    // Standard input is fed beside the reading of the outputs, so a child
    // that writes much while it reads much never waits on a full pipe.
    ::signal(SIGPIPE, SIG_IGN);
    std::thread feeder([fd = in_pipe[1], &data = opt.stdin_data] {
        for (size_t at = 0; at < data.size();) {
            ssize_t put = ::write(fd, data.data() + at, data.size() - at);
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) break;
            at += static_cast<size_t>(put);
        }
        ::close(fd);
    });
    // Read both streams until they close or the deadline passes.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(opt.timeout_s);
    ::fcntl(out_pipe[0], F_SETFL, O_NONBLOCK);
    ::fcntl(err_pipe[0], F_SETFL, O_NONBLOCK);
    while (out_open || err_open) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            r.timed_out = true;
            ::kill(pid, SIGKILL);
            break;
        }
        struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
        int n = ::poll(fds, 2, static_cast<int>(left > 1000 ? 1000 : left));
        if (n < 0 && errno != EINTR) break;
        char buf[65536];
        for (int i = 0; i < 2; ++i) {
            bool& open = i == 0 ? out_open : err_open;
            if (!open || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
            if (got > 0) (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(got));
            else if (got == 0 || (errno != EAGAIN && errno != EINTR)) open = false;
        }
    }
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    feeder.join();
    ::fcntl(out_pipe[0], F_SETFL, 0);
    ::fcntl(err_pipe[0], F_SETFL, 0);
    if (!r.timed_out) {
        drain(out_pipe[0], &r.out);
        drain(err_pipe[0], &r.err);
    }
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    if (WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) r.signal = WTERMSIG(wstatus);
    r.raw_out = r.out;
    r.raw_err = r.err;
    r.out = under_test(program) ? from_console(r.raw_out) : r.raw_out;
    r.err = under_test(program) ? from_console(r.raw_err) : r.raw_err;
    return r;
}

// Under Wine a run now and then ends with status 1 before the program has
// printed anything (the loader did not get it started; seen about once in
// a few thousand runs on a loaded machine).  The program itself never ends
// with 1: its statuses are 0 and 234-255, and a crash under Wine reports
// the exception.  Such a run is made again, at most twice, and said so.
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& opt) {
    RunResult r = run_once(program, args, opt);
    const bool behind_runner = !runner().empty() && under_test(program);
    for (int again = 0; again < 2 && behind_runner && !r.timed_out && r.signal == 0 && r.status == 1 &&
                        r.raw_out.empty() && opt.stdout_path.empty();
         ++again) {
        std::fprintf(stderr, "[harness] the runner ended with status 1 before any output: running again\n");
        r = run_once(program, args, opt);
    }
    return r;
}

RunResult run_kelparc(const std::vector<std::string>& args, const RunOptions& opt) {
    return run_program(kelparc_path(), args, opt);
}

RunResult run_host_kelparc(const std::vector<std::string>& args, const RunOptions& opt) {
    return run_program(KELPARC_BIN, args, opt);
}

int shell(const std::string& command) {
    int rc = std::system(command.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// The text of a Wine console's output: escape sequences dropped, except a
// cursor step forward ("ESC [ n C"), which skips n blanks.
static std::string console_text(const std::string& raw) {
    if (!windows_target()) return raw;
    std::string text;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\x1b' || i + 1 >= raw.size() || raw[i + 1] != '[') {
            text += raw[i];
            continue;
        }
        size_t end = i + 2;
        while (end < raw.size() && !(raw[end] >= '@' && raw[end] <= '~')) ++end;
        if (end >= raw.size()) break;
        if (raw[end] == 'C') {
            std::string count = raw.substr(i + 2, end - i - 2);
            text.append(count.empty() ? 1 : static_cast<size_t>(std::atoi(count.c_str())), ' ');
        }
        i = end;
    }
    return text;
}

PtyResult run_in_pty(const std::vector<std::string>& args, const std::string& cwd,
                     const std::vector<std::string>& keys, int timeout_s) {
    return run_in_pty(kelparc_path(), args, cwd, keys, timeout_s);
}

PtyResult run_in_pty(const std::string& program, const std::vector<std::string>& args,
                     const std::string& cwd, const std::vector<std::string>& keys, int timeout_s) {
    PtyResult r;
    std::string exec_path;
    std::vector<std::string> cmd = command_of(program, args, &exec_path);
    std::vector<char*> argv;
    for (const auto& a : cmd) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int master = -1;
    pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0) throw std::runtime_error("forkpty");
    if (pid == 0) {
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) _exit(127);
        ::execv(exec_path.c_str(), argv.data());
        _exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    size_t next_key = 0;
    bool prompted = false;
    auto last_key = std::chrono::steady_clock::now();
    for (;;) {
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            r.timed_out = true;
            ::kill(pid, SIGKILL);
            break;
        }
        struct pollfd pfd = {master, POLLIN, 0};
        int n = ::poll(&pfd, 1, 50);
        if (n > 0) {
            char buf[4096];
            ssize_t got = ::read(master, buf, sizeof buf);
            if (got > 0) r.screen.append(buf, static_cast<size_t>(got));
            else if (got <= 0 && errno != EINTR && errno != EAGAIN) break;
        }
        now = std::chrono::steady_clock::now();
        if (!prompted && console_text(r.screen).find("Enter password:") != std::string::npos) {
            prompted = true;
            last_key = now;  // the pause before the first key too
        }
        if (prompted && next_key < keys.size() && now - last_key > std::chrono::milliseconds(60)) {
            ssize_t w = ::write(master, keys[next_key].data(), keys[next_key].size());
            (void)w;
            ++next_key;
            last_key = now;
        }
        int wstatus;
        pid_t done = ::waitpid(pid, &wstatus, WNOHANG);
        if (done == pid) {
            // Collect what is still buffered on the terminal.
            for (;;) {
                struct pollfd p2 = {master, POLLIN, 0};
                if (::poll(&p2, 1, 50) <= 0) break;
                char buf[4096];
                ssize_t got = ::read(master, buf, sizeof buf);
                if (got <= 0) break;
                r.screen.append(buf, static_cast<size_t>(got));
            }
            if (WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
            if (WIFSIGNALED(wstatus)) r.signal = WTERMSIG(wstatus);
            ::close(master);
            r.raw_screen = r.screen;
            r.screen = console_text(r.raw_screen);
            return r;
        }
    }
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    if (WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) r.signal = WTERMSIG(wstatus);
    ::close(master);
    r.raw_screen = r.screen;
    r.screen = console_text(r.raw_screen);
    return r;
}

}  // namespace th
