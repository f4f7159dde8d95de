// The fault sweep: every file call of a run of -w over an old archive, -a
// onto one and -u over an existing tree is made to fail in turn (through
// the preload library tests/tools/fault_inject.cpp), and after every run
// the user's data is whole: the old archive byte for byte or the complete
// new one, each existing file with its old or its complete new content, no
// temporary file left, a message for every failure, status 0 only when the
// result is complete.  Linux only.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

namespace fs = std::filesystem;
using Tree = std::map<std::string, std::string>;  // relative path -> bytes

const char* const KINDS[] = {"open",  "read",      "write", "close", "rename", "ftruncate", "fsync",
                             "mkdir", "utimensat", "chmod", "setxattr", "lseek", "access", "getcwd"};

// How each kind of call is made to fail: EIO always; ENOSPC where space is
// taken; an interruption and a short count where the call is retried.
std::vector<std::string> hows_of(const std::string& kind) {
    if (kind == "read" || kind == "write") return {"eio", "enospc", "eintr", "short"};
    if (kind == "open" || kind == "mkdir" || kind == "rename" || kind == "ftruncate" || kind == "fsync" ||
        kind == "setxattr")
        return {"eio", "enospc"};
    return {"eio"};
}

Tree files_under(const std::string& dir) {
    Tree tree;
    if (!fs::exists(dir)) return tree;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file()) tree[fs::relative(e.path(), dir).string()] = th::read_file(e.path().string());
    }
    return tree;
}

// Temporary files left anywhere under dir.
std::vector<std::string> temp_files_under(const std::string& dir) {
    std::vector<std::string> left;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.path().filename().string().rfind(".kelparc-", 0) == 0) left.push_back(e.path().string());
    }
    return left;
}

void pin(const std::string& path) {
    struct timeval tv[2] = {{1000000000, 0}, {1000000000, 0}};
    ::utimes(path.c_str(), tv);
}

// The template every run starts from: sources (one of several chunks),
// an old archive, an archive of the sources, and an existing tree that
// holds older versions of some of its files.
struct Template {
    th::ScratchDir dir;
    Template() {
        th::write_file(dir / "src/a.txt", th::make_bytes(40000, 't', 3));
        th::write_file(dir / "src/b.bin", th::make_bytes(5000, 'r', 4));
        th::write_file(dir / "src/empty", "");
        th::write_file(dir / "src/sub/c.txt", "c\n");
        th::write_file(dir / "old.txt", "what the old archive holds\n");
        for (const char* p : {"src/a.txt", "src/b.bin", "src/empty", "src/sub/c.txt", "src/sub", "src", "old.txt"})
            pin(dir / p);
        th::RunOptions opt;
        opt.cwd = dir.path();
        EXPECT_EQ(th::run_host_kelparc({"-q", "old.txt", "a.kel"}, opt).status, 0);
        EXPECT_EQ(th::run_host_kelparc({"-q", "-r", "src", "u.kel"}, opt).status, 0);
        th::write_file(dir / "t/src/a.txt", "old a\n");
        th::write_file(dir / "t/src/sub/c.txt", "old c\n");
        th::write_file(dir / "t/keep", "not in the archive\n");
    }
};

struct Scenario {
    const char* name;
    std::vector<std::string> args;
    bool unpack;       // the tree t is checked, else the archive a.kel
    bool no_openat2;   // the kernel's openat2 answers ENOSYS
    // Kinds of call left out of this scenario's sweep, for routes of the
    // writing side still open (see the table below).
    std::vector<std::string> left_out;
};

struct Outcome {
    th::RunResult run;
    std::map<std::string, long> counts;
    bool hit = false;
    std::string dir_path;
};

struct Sweep {
    Template tmpl;
    long runs = 0, injected = 0, failed = 0, left_out = 0;

    Outcome run(const Scenario& s, const std::string& fault) {
        th::ScratchDir* dir = new th::ScratchDir;
        EXPECT_EQ(th::shell("cp -a '" + tmpl.dir.path() + "/.' '" + dir->path() + "'"), 0);
        th::RunOptions opt;
        opt.cwd = dir->path();
        opt.stdin_null = true;
        std::string report = dir->path() + "/../" + fs::path(dir->path()).filename().string() + ".report";
        opt.env = th::fault_library_env();
        opt.env.push_back("KELPARC_FAULT_REPORT=" + report);
        if (!fault.empty()) opt.env.push_back("KELPARC_FAULT=" + fault);
        if (s.no_openat2) opt.env.push_back("KELPARC_FAULT_NO_OPENAT2=1");
        Outcome o;
        o.run = th::run_kelparc(s.args, opt);
        std::ifstream in(report);
        std::string kind;
        long n = 0;
        while (in >> kind >> n) {
            if (kind == "hit") o.hit = n != 0;
            else o.counts[kind] = n;
        }
        fs::remove(report);
        o.dir_path = dir->path();
        dirs.emplace_back(dir);
        return o;
    }
    std::vector<std::unique_ptr<th::ScratchDir>> dirs;
    void drop_dirs() { dirs.clear(); }
};

// What an archive holds, by a run of the Linux build without faults: its
// detailed listing, and the files it unpacks to (the archive's own bytes
// differ from run to run: they record each source's change time).
Tree archive_contents(const std::string& dir) {
    th::RunOptions opt;
    opt.cwd = dir;
    opt.stdin_null = true;
    th::RunResult listed = th::run_host_kelparc({"-l", "-v", "a.kel"}, opt);
    th::make_dirs(dir + "/check");
    th::RunResult unpacked = th::run_host_kelparc({"-u", "-q", "-ccheck", "a.kel"}, opt);
    Tree tree = files_under(dir + "/check");
    // Past the line that names the archive by its full path.
    size_t names_at = listed.out.find("\n      Size");
    tree["(listing)"] = std::to_string(listed.status) + listed.out.substr(names_at == std::string::npos ? 0 : names_at);
    tree["(unpack status)"] = std::to_string(unpacked.status);
    th::remove_tree(dir + "/check");
    return tree;
}

// Only the messages of properties that could not be restored leave the
// status at 0.
bool only_property_warnings(const std::string& err) {
    std::istringstream lines(err);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("Unable to set attributes", 0) != 0 && line.rfind("Unable to change", 0) != 0) return false;
    }
    return true;
}

// Checks one run against the fault-free reference.  Returns "" or what
// went wrong.
std::string check(const Scenario& s, const Outcome& o, const std::string& how, const Tree& reference,
                  const Tree& before) {
    if (o.run.timed_out || o.run.signal != 0) return "ended by a signal or hung";
    std::vector<std::string> left = temp_files_under(o.dir_path);
    if (!left.empty()) return "temporary file left: " + left[0];
    if (o.run.status != 0 && o.run.err.empty()) return "failed without a message";
    bool retried = how == "eintr" || how == "short";
    if (retried && (o.run.status != 0 || !o.run.err.empty())) return "a retried call failed the run: " + o.run.err;
    Tree after = files_under(o.dir_path + (s.unpack ? "/t" : ""));
    if (!s.unpack) {
        if (o.run.status != 0) return after["a.kel"] == before.at("a.kel") ? "" : "failed run changed the archive";
        return archive_contents(o.dir_path) == reference ? "" : "status 0 without the complete new archive";
    }
    for (const auto& [path, bytes] : reference) {
        auto old = before.find(path);
        auto now = after.find(path);
        bool is_new = now != after.end() && now->second == bytes;
        bool is_old = old == before.end() ? now == after.end() : (now != after.end() && now->second == old->second);
        if (!is_new && !is_old) return path + " is neither old nor new";
        if (o.run.status == 0 && !is_new) return "status 0 but " + path + " was not restored";
    }
    if (after["keep"] != before.at("keep")) return "a file not in the archive changed";
    if (o.run.status == 0 && !only_property_warnings(o.run.err)) return "status 0 after " + o.run.err;
    return "";
}

TEST(FaultSweep, EveryCallFailingKeepsTheUsersData) {
    SKIP_UNDER_WINE("the preload library works on Linux programs only");
    Sweep sweep;
    const Scenario scenarios[] = {
        {"-w over an old archive", {"-w", "-r", "src", "a.kel"}, false, false, {}},
        {"-a onto an archive", {"-a", "-r", "src", "a.kel"}, false, false, {}},
        {"-u over an existing tree", {"-u", "-ct", "u.kel"}, true, false, {}},
        {"-u without openat2", {"-u", "-ct", "u.kel"}, true, true, {}},
    };
    for (const Scenario& s : scenarios) {
        Outcome clean = sweep.run(s, "");
        ASSERT_EQ(clean.run.status, 0) << s.name << ": " << clean.run.err;
        Tree reference = s.unpack ? files_under(clean.dir_path + "/t") : archive_contents(clean.dir_path);
        Tree before = files_under(sweep.tmpl.dir.path() + (s.unpack ? "/t" : ""));
        sweep.drop_dirs();
        for (const char* kind : KINDS) {
            if (std::find(s.left_out.begin(), s.left_out.end(), kind) != s.left_out.end()) {
                sweep.left_out += clean.counts[kind];
                continue;
            }
            for (long n = 1; n <= clean.counts[kind]; ++n) {
                for (const std::string& how : hows_of(kind)) {
                    std::string fault = std::string(kind) + ":" + std::to_string(n) + ":" + how;
                    Outcome o = sweep.run(s, fault);
                    ++sweep.runs;
                    if (o.hit) ++sweep.injected;
                    if (o.run.status != 0) ++sweep.failed;
                    std::string wrong = check(s, o, how, reference, before);
                    EXPECT_EQ(wrong, "") << s.name << ", " << fault << "\n" << o.run.err;
                    sweep.drop_dirs();
                }
            }
        }
    }
    std::printf("fault sweep: %ld runs, %ld faults injected, %ld runs ended with a failure, %ld calls left out\n",
                sweep.runs, sweep.injected, sweep.failed, sweep.left_out);
    EXPECT_EQ(sweep.injected, sweep.runs);
}

}  // namespace
