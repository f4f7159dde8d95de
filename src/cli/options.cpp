// The entry point: option scan, banner, usage, diagnostics, and the choice
// of exactly one operation.
#include "cli/options.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/messages.h"
#include "base/progress.h"
#include "cli/operations.h"
#include "cli/std_streams.h"
#include "files/name_list.h"
#include "platform/platform.h"

const OperationTable real_operations = {run_compress, run_append, run_uncompress, run_list, run_test,
                                         run_compare};

namespace {

// What the option scan found beside the RunConfig.
struct ScanResult {
    int32_t option_count = 0;
    // In the order met, no cap: unrecognised letters (message 9), bad -j
    // values (message 54) and refused long options (message 62).
    enum class Report_kind { letter, bad_jobs, bad_long };
    struct Report {
        Report_kind kind;
        char letter;
        std::string value;  // the -j value, or the whole long option
    };
    std::vector<Report> reports;
    bool bad_jobs = false;
    bool start_dir_too_long = false;
    std::string long_start_dir;
    // The values of --exclude= and --files-from=, pointing into argv.
    std::vector<const char*> excludes;
    std::vector<const char*> files_from;
};

void print_usage(const char* argv0) {
    char base[NAME_CAP] = "";
    plat::_splitpath(argv0 ? argv0 : "", nullptr, nullptr, base, nullptr);
    show_info(MSG_BANNER, "1", "2");
    show_info(MSG_USAGE, base);
    show_info(MSG_USAGE_OPTIONS, base);
    // MSG_USAGE_O, the -o line, belongs to a platform that restores owners.
    static const int32_t lines[] = {MSG_USAGE_A, MSG_USAGE_C, MSG_USAGE_JOBS, MSG_USAGE_L, MSG_USAGE_P, MSG_USAGE_Q, MSG_USAGE_R,
                                    MSG_USAGE_S, MSG_USAGE_T, MSG_USAGE_U, MSG_USAGE_DETAIL, MSG_USAGE_W};
    for (int32_t n : lines) show_info(n);
    for (int32_t n = MSG_USAGE_CHECKSUM; n <= MSG_USAGE_NO_PROGRESS; ++n) show_info(n);
}

// True for the arguments that ask for the usage when they stand alone:
// --help, and h or ? behind the option prefix (-h, -?; /h and /? where '/'
// introduces options too).
bool is_help_request(const char* arg) {
    if (std::strcmp(arg, "--help") == 0) return true;
    return plat::is_option_prefix(arg[0]) && (std::strcmp(arg + 1, "h") == 0 || std::strcmp(arg + 1, "?") == 0);
}

// The banner's text line alone.
void print_version() {
    std::string line = format_catalogue(MSG_BANNER, "1", "2");
    size_t first = line.find_first_not_of('\n');
    size_t last = line.find_last_not_of('\n');
    line = first == std::string::npos ? std::string() : line.substr(first, last - first + 1);
    line += '\n';
    stdout_write(line.data(), line.size());
}

// Bounded copy into a field of cap bytes; the text is cut at cap - 1.
void copy_field(char* field, size_t cap, const char* text) {
    size_t n = std::strlen(text);
    if (n > cap - 1) n = cap - 1;
    std::memcpy(field, text, n);
    field[n] = '\0';
}

// Takes the value of -c: the rest of its argument, or the next argument.
void take_start_dir(const char* value, RunConfig* config, ScanResult* scan) {
    config->flags |= OPT_START_DIR;
    // A directory path cut short would name another directory: keep the
    // whole text aside and refuse it before the operation runs.
    scan->start_dir_too_long = std::strlen(value) >= sizeof config->start_dir;
    scan->long_start_dir = scan->start_dir_too_long ? value : "";
    copy_field(config->start_dir, sizeof config->start_dir, scan->start_dir_too_long ? "" : value);
}

// Takes the value of -j: a number from 1 to MAX_WORKERS, digits only.  A
// bad value is reported like an unrecognised letter and ends the run.
void take_workers(const char* value, RunConfig* config, ScanResult* scan) {
    long n = 0;
    bool ok = *value != '\0';
    for (const char* p = value; ok && *p != '\0'; ++p) {
        ok = *p >= '0' && *p <= '9';
        n = n * 10 + (*p - '0');
        ok = ok && n <= MAX_WORKERS;
    }
    if (ok && n >= 1) {
        config->n_workers = static_cast<int32_t>(n);
        return;
    }
    scan->reports.push_back({ScanResult::Report_kind::bad_jobs, '\0', value});
    scan->bad_jobs = true;
}

// Reads the letters of one option argument.  A letter that takes no value
// (a l q r s u v w) lets the next letter be read as a further option; c, j,
// p and t take the rest of the argument as their value; an unrecognised
// letter is remembered and ends the argument, since it may be one that
// takes a value.  Returns true when -c was left without a value.
bool scan_option(const char* arg, RunConfig* config, ScanResult* scan) {
    // A lone prefix: its "letter" is the terminating NUL.
    if (arg[1] == '\0') {
        scan->reports.push_back({ScanResult::Report_kind::letter, '\0', ""});
        return false;
    }
    for (const char* p = arg + 1; *p != '\0'; ++p) {
        char letter = *p;
        const char* value = p + 1;
        switch (std::tolower(static_cast<unsigned char>(letter))) {
        case 'u': config->flags |= OPT_UNCOMPRESS; break;
        case 'a': config->flags |= OPT_APPEND; break;
        case 'l': config->flags |= OPT_LIST; break;
        case 'r': config->flags |= OPT_RECURSE; break;
        case 'w': config->flags |= OPT_OVERWRITE; break;
        case 's': config->flags |= OPT_SKIP_SAME; break;
        case 'q': config->flags |= OPT_QUIET; break;
        case 'v': config->detailed = 1; break;  // no bit of the option word
        case 'c':
            take_start_dir(value, config, scan);
            return *value == '\0';
        case 'j':
            take_workers(value, config, scan);
            return false;
        case 'p':
            config->flags |= OPT_PASSWORD;
            copy_field(config->password, sizeof config->password, value);
            return false;
        case 't':
            if (std::strpbrk(value, "hH")) config->flags |= OPT_HIDDEN;
            if (std::strpbrk(value, "sS")) config->flags |= OPT_SYSTEM;
            return false;
        default:
            scan->reports.push_back({ScanResult::Report_kind::letter, letter, ""});
            return false;
        }
    }
    return false;
}

// The long options: a word after "--", with "=value" for those that take
// one.  They never bundle and set no bit of the option word.
enum class LongWord { checksum, test, compare, keep_going, exclude, files_from, to_stdout, progress, no_progress };
struct LongOption {
    const char* word;
    LongWord id;
    bool takes_value;
};
constexpr LongOption long_options[] = {
    {"checksum", LongWord::checksum, false},   {"test", LongWord::test, false},
    {"compare", LongWord::compare, false},     {"keep-going", LongWord::keep_going, false},
    {"exclude", LongWord::exclude, true},      {"files-from", LongWord::files_from, true},
    {"to-stdout", LongWord::to_stdout, false}, {"progress", LongWord::progress, false},
    {"no-progress", LongWord::no_progress, false},
};

void apply_long_option(LongWord id, const char* value, RunConfig* config, ScanResult* scan) {
    switch (id) {
    case LongWord::checksum: config->checksum = 1; break;
    case LongWord::test: config->test = 1; break;
    case LongWord::compare: config->compare = 1; break;
    case LongWord::keep_going: config->keep_going = 1; break;
    case LongWord::exclude: scan->excludes.push_back(value); break;
    case LongWord::files_from: scan->files_from.push_back(value); break;
    case LongWord::to_stdout: config->to_stdout = 1; break;
    case LongWord::progress: config->progress = 1; break;
    case LongWord::no_progress: config->progress = -1; break;
    }
}

// Reads one argument that begins with "--".  An unknown word, a lone "--",
// or a known word with a missing (or empty) or unwanted value is reported
// whole and otherwise ignored.
void scan_long_option(const char* arg, RunConfig* config, ScanResult* scan) {
    const char* word = arg + 2;
    const char* equals = std::strchr(word, '=');
    size_t word_len = equals ? static_cast<size_t>(equals - word) : std::strlen(word);
    for (const LongOption& o : long_options) {
        if (std::strlen(o.word) != word_len || std::strncmp(o.word, word, word_len) != 0) continue;
        bool has_value = equals != nullptr && equals[1] != '\0';
        if (o.takes_value == has_value && (o.takes_value || equals == nullptr)) {
            apply_long_option(o.id, has_value ? equals + 1 : nullptr, config, scan);
            return;
        }
        break;
    }
    scan->reports.push_back({ScanResult::Report_kind::bad_long, '\0', arg});
}

// Options are every argument but the last that begins with the option
// prefix; the last argument is always the archive name.  An empty -c takes
// the next argument as its directory unless that one is the archive name or
// is itself an option; it then counts as an option argument too.
void scan_arguments(int argc, char** argv, RunConfig* config, ScanResult* scan) {
    for (int i = 1; i < argc - 1; ++i) {
        const char* arg = argv[i];
        if (!plat::is_option_prefix(arg[0])) continue;
        ++scan->option_count;
        if (arg[0] == '-' && arg[1] == '-') {
            scan_long_option(arg, config, scan);
            continue;
        }
        bool wants_dir = scan_option(arg, config, scan);
        if (wants_dir && i + 1 < argc - 1 && !plat::is_option_prefix(argv[i + 1][0])) {
            ++i;
            ++scan->option_count;
            take_start_dir(argv[i], config, scan);
        }
    }
}

void report_unknown_letters(const ScanResult& scan, uint32_t flags) {
    if (flags & OPT_QUIET) return;
    for (const ScanResult::Report& r : scan.reports) {
        if (r.kind == ScanResult::Report_kind::bad_jobs) {
            show_error(MSG_BAD_JOBS, r.value.c_str());
            continue;
        }
        if (r.kind == ScanResult::Report_kind::bad_long) {
            show_error(MSG_BAD_LONG_OPTION, r.value.c_str());
            continue;
        }
        std::string quoted = "\"";
        if (r.letter != '\0') quoted += r.letter;
        quoted += "\"";
        show_error(MSG_BAD_OPTION, quoted.c_str());
    }
}

// Returns 0 to go on, or -20.  With -l among the conflicting operations
// (and no -q) the run goes on as a list run.
// --test and --compare count as operations here too.
int32_t check_conflicts(RunConfig* config) {
    uint32_t ops = config->flags & (OPT_UNCOMPRESS | OPT_APPEND | OPT_LIST);
    int n_ops = ((ops & OPT_UNCOMPRESS) != 0) + ((ops & OPT_APPEND) != 0) + ((ops & OPT_LIST) != 0) +
                config->test + config->compare;
    if (n_ops < 2) return RC_OK;
    if (config->flags & OPT_QUIET) return RC_CONFLICT;
    show_error(MSG_CONFLICT);
    if (!(ops & OPT_LIST)) return RC_CONFLICT;
    show_error(MSG_LIST_ONLY);
    config->flags &= ~(OPT_UNCOMPRESS | OPT_APPEND);
    config->test = 0;
    config->compare = 0;
    return RC_OK;
}

char* copy_text(const char* text) {
    size_t n = std::strlen(text);
    char* copy = new char[n + 1];
    std::memcpy(copy, text, n + 1);
    return copy;
}

// Copies the archive name; a name longer than the field is refused rather
// than cut, since the cut name would be another file.
int32_t take_archive_name(RunConfig* config, const char* name) {
    if (std::strlen(name) >= sizeof config->archive_name) {
        if (!(config->flags & OPT_QUIET)) show_error(MSG_BAD_VALUE, name);
        return RC_NO_FILES;
    }
    copy_field(config->archive_name, sizeof config->archive_name, name);
    return RC_OK;
}

// Adds the names of every --files-from list, in order, after the file
// arguments.  Returns 0, or -21 when a list cannot be read.
int32_t add_listed_files(const RunConfig& config, std::vector<char*>* files) {
    std::vector<std::string> names;
    for (int32_t i = 0; i < config.n_files_from; ++i) {
        int32_t rc = read_name_list(config.files_from[i], (config.flags & OPT_QUIET) != 0, &names);
        if (rc != RC_OK) return rc;
    }
    for (const std::string& name : names) files->push_back(copy_text(name.c_str()));
    return RC_OK;
}

int32_t choose_and_run(RunConfig* config, const ScanResult& scan, const char* last,
                       const OperationTable& ops) {
    OperationFn op = ops.compress;
    if (config->flags & OPT_UNCOMPRESS) {
        op = ops.uncompress;
    } else if (config->flags & OPT_LIST) {
        op = ops.list;
    } else if (config->test) {
        op = ops.test;
    } else if (config->compare) {
        op = ops.compare;
    } else {
        if (config->flags & OPT_APPEND) op = ops.append;
        if (config->file_count == 0) {
            if (!(config->flags & OPT_QUIET)) show_error(MSG_NO_FILES);
            return RC_NO_FILES;
        }
    }
    if (scan.start_dir_too_long) {
        if (!(config->flags & OPT_QUIET)) show_error(MSG_BAD_VALUE, scan.long_start_dir.c_str());
        return RC_BAD_START_DIR;
    }
    int32_t rc = take_archive_name(config, last);
    return rc != RC_OK ? rc : op(config);
}

}  // namespace

int32_t kelparc_main(int argc, char** argv, const OperationTable& ops) {
    if (argc < 2 || (argc == 2 && is_help_request(argv[1]))) {
        print_usage(argv[0]);
        return stdout_flush() ? RC_OK : RC_OUT_WRITE;
    }
    // A sole --version is not an archive name (no archive is named so on
    // purpose); anywhere else it is an ordinary argument.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        print_version();
        return stdout_flush() ? RC_OK : RC_OUT_WRITE;
    }
    RunConfig config;
    std::memset(&config, 0, sizeof config);
    ScanResult scan;
    scan_arguments(argc, argv, &config, &scan);
    config.n_excludes = static_cast<int32_t>(scan.excludes.size());
    config.excludes = scan.excludes.empty() ? nullptr : scan.excludes.data();
    config.n_files_from = static_cast<int32_t>(scan.files_from.size());
    config.files_from = scan.files_from.empty() ? nullptr : scan.files_from.data();
    route_texts(&config, argv[argc - 1]);
    show_info(MSG_BANNER, "1", "2");
    report_unknown_letters(scan, config.flags);
    if (scan.bad_jobs) return RC_BAD_JOBS;
    int32_t rc = check_conflicts(&config);
    if (rc == RC_OK) rc = prepare_stdin_archive(&config, argv[argc - 1]);
    if (rc != RC_OK) return rc;
    // File arguments are taken by position, after as many arguments as
    // there were options.
    config.file_count = argc - 2 - scan.option_count;
    std::vector<char*> files;
    for (int32_t i = 0; i < config.file_count; ++i) files.push_back(copy_text(argv[1 + scan.option_count + i]));
    rc = add_listed_files(config, &files);
    config.file_count = static_cast<int32_t>(files.size());
    config.files = files.empty() ? nullptr : files.data();
    if (rc == RC_OK) rc = choose_and_run(&config, scan, argv[argc - 1], ops);
    for (char* f : files) delete[] f;
    progress_end();
    // What is still buffered must reach standard output too.
    if (!stdout_flush() && rc == RC_OK) rc = RC_OUT_WRITE;
    return rc;
}
